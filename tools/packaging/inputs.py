"""Every input is checked here, before anything is built; all problems are
reported at once, each naming its option (exit 1)."""

import os
import re
import subprocess
import tempfile
from pathlib import Path

import check_installer as layout
import icon
import progress
import names
import version_block
from options import TEXT_FIELDS, VERSION_FIELDS
import signing
from signing import read_pkcs12
from writer.layout import IMAGE_LIMIT


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
    def run(*command, step=None):
        # A fixed wrong password, so that 7-Zip never asks for one.
        status, out, err = progress.run_watched(
            ["7zz", *command, "-t7z", "-bd", "-bsp0", "-pnot-the-password", "--", path], step, path)
        return status, (out + "\n" + err).splitlines()

    size = os.stat(path).st_size
    with progress.Step("testing the archive with 7-Zip (7zz t)", size) as step:
        status, lines = run("t", step=step)
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
    if locked in lines:
        # Headers decrypted with a wrong password are noise, which 7-Zip may
        # or may not take for a damaged header, depending on the bytes.
        findings = [finding for finding in findings if finding != "Headers Error"]
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

IMAGE_DIRECTORY_ENTRY_SECURITY = 4


def check_setup(problems, setup, arch):
    """True when the setup program carries a signature (its certificate
    table, whatever it holds)."""
    import pefile  # installed by install-deps.sh, which runs before this

    if readable_file(problems, "--setup", setup) is None:
        return False
    try:
        pe = pefile.PE(setup, fast_load=True)
    except pefile.PEFormatError as error:
        problems.refuse("--setup", setup, f"not a PE program ({error.value})")
        return False
    machine, wanted = pe.FILE_HEADER.Machine, layout.MACHINES[arch]
    if machine != wanted:
        problems.refuse("--setup", setup, f"is for machine 0x{machine:04X}; --arch {arch} needs 0x{wanted:04X}")
    elif pe.FILE_HEADER.Characteristics & 0x2000:
        problems.refuse("--setup", setup, "is a DLL, not a program")
    certificates = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_SECURITY]
    pe.close()
    return bool(certificates.VirtualAddress or certificates.Size)


def check_setup_signature(problems, options):
    """A setup program signed already is stored as it is, so its signature
    must verify as the installer's will: a broken one would ship inside a
    signed installer. Checked against the signer's chain and the system's
    root certificates, by both verifiers."""
    with tempfile.TemporaryDirectory(prefix="package-setup.") as work:
        try:
            chain = signing.chain_of(options, Path(work))
            signing.verify(options, options.setup, chain, Path(work), what="setup program", stamped=False)
        except signing.SigningFailed as failure:
            problems.refuse("--setup", options.setup, f"carries a signature that does not verify ({failure}); "
                            "sign it again, or give it unsigned to have it signed with the installer's key")


# --- Version block -----------------------------------------------------------------

# One text of the version block, in UTF-16 units: far beyond any name or
# notice, and small enough that no one text can take the whole block.
TEXT_LIMIT = 4096
# The whole block: its length is a 16-bit field.
VERSION_BLOCK_LIMIT = 65535


def normalised_version(problems, version):
    """The version as the version block will hold it (no leading zeros)."""
    parts = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)\.(\d+)", version)
    if not parts or any(len(p) > 5 or int(p) > 65535 for p in parts.groups()):
        problems.refuse("--version", "", f"'{version}' is not four numbers a.b.c.d each from 0 to 65535")
        return None
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
        elif names.utf16_units(text) > TEXT_LIMIT:
            problems.refuse(option, "", f"{names.utf16_units(text)} characters (UTF-16 units) long; "
                                        f"its limit is {TEXT_LIMIT}")


def version_strings(options, version):
    """The version block's texts as the installer will hold them: each field
    given, or the project's own."""
    dotted = version or VERSION_FIELDS[0].default
    strings = {field.key: options.fields.get(field.option, field.default) for field in TEXT_FIELDS}
    strings.update({"FileVersion": dotted, "ProductVersion": dotted,
                    "Official Build": "1" if options.official_build else "0"})
    return dotted, strings


def check_version_block(problems, options, version):
    """The block with every text as it will be written must fit."""
    dotted, strings = version_strings(options, version)
    size = len(version_block.encode([int(part) for part in dotted.split(".")], strings))
    if size > version_block.BLOCK_LIMIT:
        given = sorted((f for f in TEXT_FIELDS if f.option in options.fields),
                       key=lambda f: -names.utf16_units(options.fields[f.option]))
        problems.add(f"{', '.join('--' + f.option for f in given)}: together they make a version block of "
                     f"{size} bytes; its limit is {version_block.BLOCK_LIMIT}")


# --- Icon ----------------------------------------------------------------------------

def check_icon(problems, path):
    """What the icon is made of: the ten images of an .ico taken as it is
    (a list of bytes), or a square picture (a PIL image); None after a
    refusal."""
    if readable_file(problems, "--icon", path) is None:
        return None
    extension = os.path.splitext(path)[1].lower()
    try:
        if extension == ".png":
            picture = icon.open_picture(path)
        elif extension == ".ico":
            return icon_of_file(problems, path)
        else:
            problems.refuse("--icon", path, "must be an .ico or a .png file")
            return None
        icon.check_square(picture)
    except icon.IconError as error:
        problems.refuse("--icon", path, str(error))
        return None
    return picture


def icon_of_file(problems, path):
    try:
        entries = icon.read_icon_file(path)
    except icon.IconError as error:
        problems.refuse("--icon", path, f"not a readable icon: {error}")
        return None
    if not icon.group_107_differences(entries):
        return [entry.data for entry in entries]
    # Any other icon: its largest square image (the deepest of those, when
    # several are that large) is made into the ten, as a picture would be.
    largest = icon.largest_square(entries)
    if largest is None:
        listed = ", ".join(f"{e.width}x{e.height} {e.bits}-bit" for e in entries)
        problems.refuse("--icon", path, f"holds no square image to make the icon from (it holds {listed})")
        return None
    try:
        return icon.picture_of_entry(path, largest)
    except (icon.IconError, OSError, SyntaxError, ValueError) as error:
        problems.refuse("--icon", path, f"its image {largest.index} ({largest.width}x{largest.height}) "
                        f"cannot be read: {error}")
        return None


# --- Size ------------------------------------------------------------------------------

def check_image_size(problems, archive, stub_image_size):
    """The archive alone must leave the image within the limit Windows loads
    (the writer checks the exact size again once everything is laid out)."""
    try:
        size = os.stat(archive).st_size
    except OSError:
        return
    at_least = stub_image_size + size
    if at_least > IMAGE_LIMIT:
        problems.refuse("--archive", archive,
                        f"{size} bytes would make the installer's image at least {at_least} bytes (SizeOfImage), "
                        f"past the {IMAGE_LIMIT}-byte (2 GiB) limit of an executable image that Windows loads")


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
    unwritable = unwritable_directory(directory)
    if unwritable:
        problems.refuse("--output", output, f"its directory {directory} cannot be written ({unwritable})")
        return
    # Written over at the end of a run: the output must be none of the files
    # the run reads, through a link or another name either.
    for option, path in input_files(options):
        if same_file(output, path):
            problems.refuse("--output", output, f"is the {option} file")


def unwritable_directory(directory):
    """Why no file can be made in `directory`, or "" when one can."""
    try:
        os.unlink(tempfile.mkstemp(dir=directory, prefix=".package-probe-")[1])
    except OSError as error:
        return error.strerror
    return ""


def same_file(first, second):
    """True when both paths name one file, or would once the first is written."""
    if os.path.exists(first) and os.path.exists(second):
        return os.path.samefile(first, second)
    return os.path.realpath(first) == os.path.realpath(second)


def check_written(problems, options, option, written):
    """A document written beside the installer (--report, --sbom,
    --provenance): never over the output, an input or another document."""
    directory = os.path.dirname(written)
    if os.path.isdir(written):
        problems.refuse(option, written, "is a directory")
    elif not os.path.isdir(directory):
        problems.refuse(option, written, f"its directory {directory} does not exist")
    elif unwritable := unwritable_directory(directory):
        problems.refuse(option, written, f"its directory {directory} cannot be written ({unwritable})")
    elif same_file(written, options.output):
        problems.refuse(option, written, "is the --output file")
    else:
        documents = [(other, path) for other, path in options.written_files() if other != option]
        for other, path in input_files(options) + documents:
            if same_file(written, path):
                problems.refuse(option, written, f"is the {other} file")


def input_files(options):
    """[(option, path)] of every file the run reads."""
    given = [("--archive", options.archive), ("--setup", options.setup), ("--icon", options.icon),
             ("--sign-pkcs12", options.sign_pkcs12), ("--sign-password-file", options.sign_password_file),
             ("--sign-pkcs11-module", options.sign_module), ("--sign-certificates", options.sign_certificates),
             ("--sign-pin-file", options.sign_pin_file), ("--timestamp-ca", options.timestamp_ca)]
    return [(option, path) for option, path in given if path]


# --- All of them -----------------------------------------------------------------------

class Checked:
    """What the checks settled for the making of the installer."""

    def __init__(self, version, icon_source, setup_signed=False):
        self.version = version          # as the version block holds it; None when not given
        self.icon_source = icon_source  # ten images as given, or the picture they are made of; None: default
        self.setup_signed = setup_signed  # the setup program carries a signature of its own


def check(options, environ, stub_image_size):
    """(problems, Checked). `stub_image_size`: the ready stub's SizeOfImage."""
    problems = Problems()
    check_archive(problems, options.archive)
    check_image_size(problems, options.archive, stub_image_size)
    setup_signed = check_setup(problems, options.setup, options.arch)
    version = None
    if "version" in options.fields:
        version = normalised_version(problems, options.fields["version"])
    texts = [("--" + name, text) for name, text in options.fields.items() if name != "version"]
    before = len(problems.lines)
    check_texts(problems, texts)
    if len(problems.lines) == before and (version or "version" not in options.fields):
        check_version_block(problems, options, version)
    icon_source = check_icon(problems, options.icon) if options.icon else None
    epoch = environ.get("SOURCE_DATE_EPOCH", "")
    if epoch and not (epoch.isdigit() and 315532800 <= int(epoch) <= 4102444799):
        # A cabinet stores a DOS date, which starts in 1980.
        problems.add(f"SOURCE_DATE_EPOCH '{epoch}': must be a time from 1980 to 2099 in seconds since 1970")
    signing_problems = len(problems.lines)
    if options.sign_pkcs12:
        check_pkcs12(problems, options.sign_pkcs12, options.sign_password_file)
    if options.token:
        check_token(problems, options)
    if options.timestamp_ca:
        check_certificates(problems, "--timestamp-ca", options.timestamp_ca)
    if setup_signed and options.signed and len(problems.lines) == signing_problems:
        # Last: it needs the signer's certificates, checked just above.
        check_setup_signature(problems, options)
    for problem in names.check(options.names):
        problems.add(problem)
    check_output(problems, options)
    for option, path in options.written_files():
        check_written(problems, options, option, path)
    return problems.lines, Checked(version, icon_source, setup_signed)
