"""Every input is checked here, before anything is built; all problems are
reported at once, each naming its option (exit 1)."""

import os
import re
import struct
import subprocess
import tempfile

import check_installer as layout
from signing import read_pkcs12


class Problems:
    """The refusals found so far, each a line naming the option."""

    def __init__(self):
        self.lines = []

    def refuse(self, option, path, message):
        self.lines.append(f"{option} {path}: {message}" if path else f"{option}: {message}")

    def add(self, line):
        self.lines.append(line)


def readable_file(problems, option, path):
    """The file's first bytes, or None after a refusal."""
    if not os.path.exists(path):
        problems.refuse(option, path, "no such file")
    elif not os.path.isfile(path):
        problems.refuse(option, path, "not a regular file")
    else:
        try:
            with open(path, "rb") as file:
                head = file.read(4096)
        except OSError as error:
            problems.refuse(option, path, f"cannot be read ({error.strerror})")
            return None
        if not head:
            problems.refuse(option, path, "is empty")
            return None
        return head
    return None


# --- Archive ---------------------------------------------------------------------

def seven_zip_findings(path):
    """What 7-Zip's test of the whole archive found wrong (empty when it tests
    clean). An archive with encrypted contents is tested without the password:
    its headers and whatever is not encrypted are checked, and the errors that
    a missing password alone causes are not findings."""
    def run(*command):
        # A fixed wrong password, so that 7-Zip never asks for one.
        done = subprocess.run(["7zz", *command, "-t7z", "-bd", "-bsp0", "-pnot-the-password", "--", path],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, errors="replace")
        return done.returncode, (done.stdout + "\n" + done.stderr).splitlines()

    status, lines = run("t")
    if status == 0 and "WARNINGS:" not in lines:
        return []
    # Encrypted items by name, from the listing, which needs no password
    # unless the headers themselves are encrypted.
    _, listing = run("l", "-slt") if status else (0, [])
    encrypted, name = set(), None
    for line in listing + [""]:
        if line.startswith("Path = "):
            name = line[len("Path = "):]
        elif line == "Encrypted = +" and name is not None:
            encrypted.add(name)
    locked = "Cannot open encrypted archive. Wrong password?"
    findings, excused, heading = [], False, False
    for line in lines:
        if line in ("ERRORS:", "WARNINGS:"):
            heading = True
        elif not line.strip() or " = " in line:
            # A blank line, or the archive's properties, end the list.
            heading = False
        elif heading:
            findings.append(line)
        elif line == locked:
            # Headers encrypted as well: what 7-Zip checks before it needs
            # the password (the start header, the headers' checksum) passed.
            excused = True
        elif line.startswith("Open ERROR:"):
            findings.append(line)
        elif line.startswith("ERROR: ") and line != "ERROR: " + path:
            message, _, item = line[len("ERROR: "):].rpartition(" : ")
            if item in encrypted and "in encrypted file" in message:
                excused = True
            else:
                findings.append(line[len("ERROR: "):])
    if not findings and not excused:
        findings.append(f"7zz ended with status {status}")
    return list(dict.fromkeys(findings))


def check_archive(problems, archive):
    head = readable_file(problems, "--archive", archive)
    if head is not None and not head.startswith(layout.SEVEN_ZIP_SIGNATURE):
        problems.refuse("--archive", archive,
                        "not a 7z archive (it does not start with the 7z signature 37 7A BC AF 27 1C)")
    elif head is not None:
        findings = seven_zip_findings(archive)
        if findings:
            problems.refuse("--archive", archive, "does not test clean with 7-Zip (7zz t): " + "; ".join(findings))


# --- Setup program -----------------------------------------------------------------

def check_setup(problems, setup, arch):
    import pefile  # installed by install-deps.sh, which runs before this

    if readable_file(problems, "--setup", setup) is None:
        return
    try:
        pe = pefile.PE(setup, fast_load=True)
    except pefile.PEFormatError as error:
        problems.refuse("--setup", setup, f"not a PE program ({error.value})")
        return
    machine, wanted = pe.FILE_HEADER.Machine, layout.MACHINES[arch]
    if machine != wanted:
        problems.refuse("--setup", setup, f"is for machine 0x{machine:04X}; --arch {arch} needs 0x{wanted:04X}")
    elif pe.FILE_HEADER.Characteristics & 0x2000:
        problems.refuse("--setup", setup, "is a DLL, not a program")
    pe.close()


# --- Version block -----------------------------------------------------------------

def normalised_version(problems, version):
    """The version as the version block will hold it (no leading zeros)."""
    parts = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)\.(\d+)", version)
    if not parts or any(len(p) > 5 or int(p) > 65535 for p in parts.groups()):
        problems.refuse("--version", "", f"'{version}' is not four numbers a.b.c.d each from 0 to 65535")
        return version
    return ".".join(str(int(p)) for p in parts.groups())


def check_texts(problems, texts):
    """`texts`: [(option, text)] of the version block's text fields given."""
    for option, text in texts:
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            problems.refuse(option, "", f"{text!r} is not UTF-8 text")
            continue
        if any(ord(c) < 0x20 or ord(c) == 0x7F for c in text):
            problems.refuse(option, "", f"{text!r} has control characters (line breaks, tabs)")


# --- Icon ----------------------------------------------------------------------------

def check_icon(problems, icon):
    if readable_file(problems, "--icon", icon) is None:
        return
    extension = os.path.splitext(icon)[1].lower()
    if extension == ".ico":
        check_icon_file(problems, icon)
    elif extension == ".png":
        found = subprocess.run(["convert-im6.q16", icon + "[0]", "-format", "%m %w %h", "info:"],
                               capture_output=True, text=True)
        fields = found.stdout.split()
        if found.returncode or len(fields) != 3 or fields[0] != "PNG":
            reason = found.stderr.strip().splitlines()[0] if found.stderr.strip() else ""
            problems.refuse("--icon", icon, "not a readable PNG picture" + (": " + reason if reason else ""))
        elif fields[1] != fields[2]:
            problems.refuse("--icon", icon, f"the picture is {fields[1]}x{fields[2]}; the icon needs a square one")
    else:
        problems.refuse("--icon", icon, "must be an .ico or a .png file")


def check_icon_file(problems, icon):
    expected = "".join(
        f"--icon --index={i} --width={size} --height={size} --bit-depth={bits} "
        f"--palette-size={16 if bits == 4 else 256 if bits == 8 else 0}\n"
        for i, (size, bits, _) in enumerate(layout.ICON_IMAGES, 1))
    listing = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True)
    if listing.stderr or listing.returncode:
        problems.refuse("--icon", icon, "not a readable icon: " + (listing.stderr.strip() or "icotool failed"))
        return
    if listing.stdout != expected:
        problems.refuse("--icon", icon, "does not hold the ten images of icon group 107; icotool -l lists\n"
                        + listing.stdout + "expected\n" + expected.rstrip("\n"))
        return
    # icotool -l does not tell how an image is stored: the 256-pixel one must
    # be an 8-bit RGBA PNG without time or text chunks, the others bitmaps.
    with open(icon, "rb") as file:
        data = file.read()
    try:
        for index, (size, _, is_png) in enumerate(layout.ICON_IMAGES):
            length, offset = struct.unpack_from("<II", data, 6 + 16 * index + 8)
            image = data[offset:offset + length]
            if image.startswith(layout.PNG_SIGNATURE) != is_png:
                problems.refuse("--icon", icon, f"image {index + 1} ({size}x{size}) must be stored as "
                                + ("PNG" if is_png else "a bitmap, not PNG"))
            elif is_png:
                chunks = layout.png_chunks(image)
                extra = sorted({kind for kind, _ in chunks} & {"tIME", "tEXt", "zTXt", "iTXt"})
                if struct.unpack_from(">IIBB", chunks[0][1]) != (size, size, 8, 6):
                    problems.refuse("--icon", icon, f"image {index + 1} must be an 8-bit RGBA PNG")
                elif extra:
                    problems.refuse("--icon", icon, f"image {index + 1} has PNG {', '.join(extra)} chunks "
                                    "(times or text); strip them, e.g. with convert -strip")
    except (struct.error, IndexError) as error:
        problems.refuse("--icon", icon, f"not a readable icon ({error})")


# --- Signing ---------------------------------------------------------------------------

def check_pkcs12(problems, pkcs12, password_file):
    usable = readable_file(problems, "--sign-pkcs12", pkcs12) is not None
    usable = readable_file(problems, "--sign-password-file", password_file) is not None and usable
    if not usable:
        return
    opened = read_pkcs12(pkcs12, password_file, "-nocerts", "-nodes")
    if opened.returncode:
        problems.refuse("--sign-pkcs12", pkcs12, "cannot be opened with the password from --sign-password-file: "
                        + (opened.stderr.strip().splitlines() or ["openssl failed"])[0])
    elif "PRIVATE KEY" not in opened.stdout:
        problems.refuse("--sign-pkcs12", pkcs12, "holds no private key")


def check_certificates(problems, option, path):
    """Refuses a file that holds no PEM certificate or one openssl cannot read."""
    if readable_file(problems, option, path) is None:
        return
    with open(path, "rb") as file:
        text = file.read()
    read = subprocess.run(["openssl", "crl2pkcs7", "-nocrl", "-certfile", path, "-outform", "DER"],
                          capture_output=True)
    if b"-----BEGIN CERTIFICATE-----" not in text or read.returncode:
        reason = (read.stderr.decode(errors="replace").strip().splitlines() or ["no BEGIN CERTIFICATE line"])[0]
        problems.refuse(option, path, "holds no readable PEM certificate: " + reason)


def check_token(problems, options):
    module = options.sign_module
    head = readable_file(problems, "--sign-pkcs11-module", module)
    if head is not None and not head.startswith(b"\x7fELF"):
        problems.refuse("--sign-pkcs11-module", module, "not a shared library (no ELF header)")
    uri = options.sign_key_uri
    attributes = [a.split("=", 1)[0].lower() for a in re.split(r"[;?&]", uri[len("pkcs11:"):])]
    if not uri.startswith("pkcs11:"):
        problems.refuse("--sign-key-uri", "", f"'{uri}' is not a pkcs11: URI")
    elif "pin-value" in attributes:
        # Whatever is in the URI is on osslsigncode's command line, where
        # every user of the machine can read it.
        problems.refuse("--sign-key-uri", "",
                        "holds the PIN (pin-value); give it with --sign-pin-file or PACKAGE_SIGN_PIN")
    check_certificates(problems, "--sign-certificates", options.sign_certificates)
    pin_file = options.sign_pin_file
    if pin_file and readable_file(problems, "--sign-pin-file", pin_file) is not None:
        with open(pin_file, "rb") as file:
            if not file.readline().rstrip(b"\r\n"):
                problems.refuse("--sign-pin-file", pin_file, "its first line is empty")


# --- Output ----------------------------------------------------------------------------

def check_output(problems, options):
    output = options.output
    directory = os.path.dirname(output)
    if os.path.isdir(output):
        problems.refuse("--output", output, "is a directory")
        return
    if not os.path.isdir(directory):
        problems.refuse("--output", output, f"its directory {directory} does not exist")
        return
    try:
        os.unlink(tempfile.mkstemp(dir=directory, prefix=".package-probe-")[1])
    except OSError as error:
        problems.refuse("--output", output, f"its directory {directory} cannot be written ({error.strerror})")
        return
    for option, path in [("--archive", options.archive), ("--setup", options.setup), ("--icon", options.icon)]:
        if path and os.path.exists(output) and os.path.exists(path) and os.path.samefile(output, path):
            problems.refuse("--output", output, f"is the {option} file")


# --- All of them -----------------------------------------------------------------------

def check(options, environ):
    """(problems, the version as the version block will hold it, or None)."""
    problems = Problems()
    check_archive(problems, options.archive)
    check_setup(problems, options.setup, options.arch)
    version = options.fields.get("version")
    if version:
        version = normalised_version(problems, version)
    check_texts(problems, [("--" + name, text) for name, text in options.fields.items() if name != "version"])
    if options.icon:
        check_icon(problems, options.icon)
    epoch = environ.get("SOURCE_DATE_EPOCH", "")
    if epoch and not (epoch.isdigit() and 315532800 <= int(epoch) <= 4102444799):
        # A cabinet stores a DOS date, which starts in 1980.
        problems.add(f"SOURCE_DATE_EPOCH '{epoch}': must be a time from 1980 to 2099 in seconds since 1970")
    if options.sign_pkcs12:
        check_pkcs12(problems, options.sign_pkcs12, options.sign_password_file)
    if options.token:
        check_token(problems, options)
    if options.timestamp_ca:
        check_certificates(problems, "--timestamp-ca", options.timestamp_ca)
    check_output(problems, options)
    return problems.lines, version
