#!/usr/bin/env bash
# Turns a release's own product archive and setup program into a finished
# installer. Run ./package.sh --help for the options.
#
# Installs what is missing first (Debian 12, as root), checks every input
# before building, builds in a private tree (build/package/<arch>/), reads the
# result back with tests/structure/check_installer.py, signs, time-stamps and
# verifies it when asked, and only then renames it to the output path: a failed run
# leaves whatever was at that path before, and never a partial file.
set -euo pipefail

usage() {
    cat <<'EOF'
Usage: ./package.sh --archive A.7z --setup S.exe --output OUT.exe [options]

Inputs:
  --archive FILE         the product archive (7z), stored as B7/BRISEL.PACKED.7Z
  --setup FILE           the second-stage setup program (a PE program for --arch)
  --output FILE          where the installer goes (its directory must exist)
  --arch arm64|x64       target machine (default arm64)
  --storage BL|BN        setup program as an MSZIP cabinet SETUP.EX_ (BL, default)
                         or uncompressed SETUP.EXE (BN)
  --icon FILE            an .ico with the ten images of icon group 107, or one
                         square .png the build makes them from (default: the
                         project's icon)
Version block (defaults: the project's own values):
  --version A.B.C.D      file and product version, four numbers up to 65535
  --company TEXT         CompanyName          --company-short TEXT  CompanyShortName
  --product TEXT         ProductName          --product-short TEXT  ProductShortName
  --description TEXT     FileDescription      --internal-name TEXT  InternalName
  --copyright TEXT       LegalCopyright       --last-change TEXT    LastChange
  --official-build       "Official Build" is 1 (else 0)
Signing with a PKCS#12 file (both or neither):
  --sign-pkcs12 FILE     PKCS#12 file with the signing key and certificate chain
  --sign-password-file FILE   file whose first line is its password
Signing with a key on a PKCS#11 token (instead; the first three together):
  --sign-pkcs11-module LIB    the token's PKCS#11 library
  --sign-key-uri URI     the key, as a pkcs11: URI (RFC 7512) without the PIN
  --sign-certificates FILE    the signing certificate and its chain (PEM)
  --sign-pin-file FILE   file whose first line is the token's PIN; without it,
                         the PIN is taken from PACKAGE_SIGN_PIN in the environment
                         (the token gets PACKAGE_SIGN_TIMEOUT seconds to sign,
                         default 300, time enough for a touch or a PIN pad)
Time stamps (RFC 3161, SHA-256), for a signed installer:
  --timestamp-url URL    a time-stamp authority; repeat it to name more, tried
                         in order until one answers (each gets
                         PACKAGE_TIMESTAMP_TIMEOUT seconds, default 60)
  --timestamp-ca FILE    the certificates (PEM) that the time stamp is verified
                         against (default: the system's root certificates)

The cabinet stores the setup program's file time: SOURCE_DATE_EPOCH from the
environment when set, else the setup file's own modification time.

Exit status: 0 done, 1 an input was refused, 2 wrong usage, 3 the build or its
check failed, 4 signing, time-stamping or verification failed.
EOF
}

usage_error() {
    echo "package.sh: $*" >&2
    echo "Run ./package.sh --help for the options." >&2
    exit 2
}

fail() {
    local status=$1
    shift
    echo "package.sh: $*" >&2
    exit "$status"
}

# Absolute form of a path given relative to where the command was started.
absolute() {
    case $1 in
        "") echo "" ;;
        /*) echo "$1" ;;
        *) echo "$PWD/$1" ;;
    esac
}

archive="" setup="" output="" arch=arm64 storage=BL icon=""
sign_pkcs12="" sign_password_file="" official_build=OFF
sign_module="" sign_key_uri="" sign_certificates="" sign_pin_file="" timestamp_ca=""
timestamp_urls=()
# The PIN is read here and kept out of the environment of every command that
# follows, so that no other process is handed it.
sign_pin=${PACKAGE_SIGN_PIN-} sign_pin_given=${PACKAGE_SIGN_PIN+x}
unset PACKAGE_SIGN_PIN
# Version block: option name, cache variable, version string key.
fields=(
    "version STUB_VERSION"
    "company STUB_COMPANY_NAME CompanyName"
    "description STUB_FILE_DESCRIPTION FileDescription"
    "copyright STUB_LEGAL_COPYRIGHT LegalCopyright"
    "product STUB_PRODUCT_NAME ProductName"
    "internal-name STUB_INTERNAL_NAME InternalName"
    "company-short STUB_COMPANY_SHORT_NAME CompanyShortName"
    "product-short STUB_PRODUCT_SHORT_NAME ProductShortName"
    "last-change STUB_LAST_CHANGE LastChange"
)
declare -A given=()

while [ $# -gt 0 ]; do
    option=$1
    shift
    has_value=0
    if [[ $option == --*=* ]]; then
        value=${option#*=}
        option=${option%%=*}
        has_value=1
    fi
    field_name=""
    for field in "${fields[@]}"; do
        read -r name _ <<<"$field"
        [ "$option" != "--$name" ] || field_name=$name
    done
    case $option in
        -h | --help) usage; exit 0 ;;
        --official-build)
            [ $has_value = 0 ] || usage_error "$option takes no value"
            official_build=ON
            continue
            ;;
        --archive | --setup | --output | --arch | --storage | --icon | --sign-pkcs12 | --sign-password-file | \
        --sign-pkcs11-module | --sign-key-uri | --sign-certificates | --sign-pin-file | --timestamp-url | \
        --timestamp-ca) ;;
        *) [ -n "$field_name" ] || usage_error "unknown option '$option'" ;;
    esac
    if [ $has_value = 0 ]; then
        [ $# -ge 1 ] || usage_error "$option needs a value"
        value=$1
        shift
    fi
    case $option in
        --archive) archive=$(absolute "$value") ;;
        --setup) setup=$(absolute "$value") ;;
        --output) output=$(absolute "$value") ;;
        --arch) arch=$value ;;
        --storage) storage=$value ;;
        --icon) icon=$(absolute "$value") ;;
        --sign-pkcs12) sign_pkcs12=$(absolute "$value") ;;
        --sign-password-file) sign_password_file=$(absolute "$value") ;;
        --sign-pkcs11-module) sign_module=$(absolute "$value") ;;
        --sign-key-uri) sign_key_uri=$value ;;
        --sign-certificates) sign_certificates=$(absolute "$value") ;;
        --sign-pin-file) sign_pin_file=$(absolute "$value") ;;
        --timestamp-url) timestamp_urls+=("$value") ;;
        --timestamp-ca) timestamp_ca=$(absolute "$value") ;;
        *) given[$field_name]=$value ;;
    esac
done

[ -n "$archive" ] || usage_error "--archive is required"
[ -n "$setup" ] || usage_error "--setup is required"
[ -n "$output" ] || usage_error "--output is required"
[[ $arch == arm64 || $arch == x64 ]] || usage_error "--arch is '$arch'; it must be arm64 or x64"
[[ $storage == BL || $storage == BN ]] || usage_error "--storage is '$storage'; it must be BL or BN"
if [[ -n $sign_pkcs12 && -z $sign_password_file || -z $sign_pkcs12 && -n $sign_password_file ]]; then
    usage_error "--sign-pkcs12 and --sign-password-file go together"
fi
token_options=$([ -z "$sign_module" ] || echo m)$([ -z "$sign_key_uri" ] || echo u)$([ -z "$sign_certificates" ] || echo c)
if [[ -n $token_options && $token_options != muc ]]; then
    usage_error "--sign-pkcs11-module, --sign-key-uri and --sign-certificates go together"
fi
if [[ -n $sign_pkcs12 && -n $token_options ]]; then
    usage_error "sign either with --sign-pkcs12 or with a token (--sign-pkcs11-module), not both"
fi
if [[ -n $sign_pin_file && -z $token_options ]]; then
    usage_error "--sign-pin-file is the PIN of a token; it needs --sign-pkcs11-module"
fi
if [[ -n $token_options && -z $sign_pin_file && -z $sign_pin_given ]]; then
    usage_error "the token's PIN: give --sign-pin-file FILE, or set PACKAGE_SIGN_PIN in the environment"
fi
if [[ -n $token_options && -z $sign_pin_file && -z $sign_pin ]]; then
    usage_error "PACKAGE_SIGN_PIN is empty"
fi
if ((${#timestamp_urls[@]})) && [[ -z $sign_pkcs12 && -z $token_options ]]; then
    usage_error "--timestamp-url stamps a signature; it needs --sign-pkcs12 or --sign-pkcs11-module"
fi
for url in "${timestamp_urls[@]}"; do
    [[ $url =~ ^https?://[^/?#]+ ]] || usage_error "--timestamp-url is '$url'; it must be an http:// or https:// URL"
done
if [[ -n $timestamp_ca && ${#timestamp_urls[@]} == 0 ]]; then
    usage_error "--timestamp-ca verifies a time stamp; it needs --timestamp-url"
fi
# A limit in seconds from the environment variable $1, $2 when it is unset.
seconds_from() {
    local value=${!1:-$2}
    [[ $value =~ ^[1-9][0-9]{0,3}$ ]] ||
        usage_error "$1 is '$value'; it must be a number of seconds from 1 to 9999"
    echo "$value"
}
timestamp_timeout=$(seconds_from PACKAGE_TIMESTAMP_TIMEOUT 60) || exit
sign_timeout=$(seconds_from PACKAGE_SIGN_TIMEOUT 300) || exit

cd "$(dirname "$0")"
REPO=$PWD
tools/install-deps.sh build >&2

work=$(mktemp -d)
stage_dir=""
cleanup() {
    rm -rf "$work"
    [ -z "$stage_dir" ] || rm -rf "$stage_dir"
}
trap cleanup EXIT

# --- Inputs -------------------------------------------------------------------
# Every input is checked here, before anything is built; all problems are
# reported at once. Prints the version normalised (no leading zeros), which
# is what the version block will hold.
texts=()
for field in "${fields[@]:1}"; do
    read -r name _ <<<"$field"
    [ -z "${given[$name]+x}" ] || texts+=("--$name" "${given[$name]}")
done
version=$(
    PKG_ARCHIVE=$archive PKG_SETUP=$setup PKG_OUTPUT=$output PKG_ARCH=$arch PKG_ICON=$icon \
    PKG_PKCS12=$sign_pkcs12 PKG_PASSWORD_FILE=$sign_password_file PKG_VERSION=${given[version]-} \
    PKG_MODULE=$sign_module PKG_KEY_URI=$sign_key_uri PKG_CERTIFICATES=$sign_certificates \
    PKG_PIN_FILE=$sign_pin_file PKG_TIMESTAMP_CA=$timestamp_ca \
    /usr/bin/python3 - "${texts[@]}" <<'PY'
import os, re, struct, subprocess, sys, tempfile
sys.path.insert(0, "tests/structure")
import check_installer as layout
import pefile

env = os.environ
problems = []


def refuse(option, path, message):
    problems.append(f"{option} {path}: {message}" if path else f"{option}: {message}")


def readable_file(option, path):
    """The file's first bytes, or None after a refusal."""
    if not os.path.exists(path):
        refuse(option, path, "no such file")
    elif not os.path.isfile(path):
        refuse(option, path, "not a regular file")
    else:
        try:
            with open(path, "rb") as file:
                head = file.read(4096)
        except OSError as error:
            refuse(option, path, f"cannot be read ({error.strerror})")
            return None
        if not head:
            refuse(option, path, "is empty")
            return None
        return head
    return None


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


archive = env["PKG_ARCHIVE"]
head = readable_file("--archive", archive)
if head is not None and not head.startswith(layout.SEVEN_ZIP_SIGNATURE):
    refuse("--archive", archive, "not a 7z archive (it does not start with the 7z signature 37 7A BC AF 27 1C)")
elif head is not None:
    findings = seven_zip_findings(archive)
    if findings:
        refuse("--archive", archive, "does not test clean with 7-Zip (7zz t): " + "; ".join(findings))

setup = env["PKG_SETUP"]
if readable_file("--setup", setup) is not None:
    try:
        pe = pefile.PE(setup, fast_load=True)
    except pefile.PEFormatError as error:
        refuse("--setup", setup, f"not a PE program ({error.value})")
    else:
        machine, wanted = pe.FILE_HEADER.Machine, layout.MACHINES[env["PKG_ARCH"]]
        if machine != wanted:
            refuse("--setup", setup, f"is for machine 0x{machine:04X}; --arch {env['PKG_ARCH']} needs 0x{wanted:04X}")
        elif pe.FILE_HEADER.Characteristics & 0x2000:
            refuse("--setup", setup, "is a DLL, not a program")
        pe.close()

version = env["PKG_VERSION"]
if version:
    parts = re.fullmatch(r"(\d+)\.(\d+)\.(\d+)\.(\d+)", version)
    if not parts or any(len(p) > 5 or int(p) > 65535 for p in parts.groups()):
        refuse("--version", "", f"'{version}' is not four numbers a.b.c.d each from 0 to 65535")
    else:
        version = ".".join(str(int(p)) for p in parts.groups())

texts = sys.argv[1:]  # option, text, option, text...
for option, text in zip(texts[0::2], texts[1::2]):
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        refuse(option, "", f"{text!r} is not UTF-8 text")
        continue
    if any(ord(c) < 0x20 or ord(c) == 0x7F for c in text):
        refuse(option, "", f"{text!r} has control characters (line breaks, tabs)")

icon = env["PKG_ICON"]
if icon and readable_file("--icon", icon) is not None:
    extension = os.path.splitext(icon)[1].lower()
    if extension == ".ico":
        expected = "".join(
            f"--icon --index={i} --width={size} --height={size} --bit-depth={bits} "
            f"--palette-size={16 if bits == 4 else 256 if bits == 8 else 0}\n"
            for i, (size, bits, _) in enumerate(layout.ICON_IMAGES, 1))
        listing = subprocess.run(["icotool", "-l", icon], capture_output=True, text=True)
        if listing.stderr or listing.returncode:
            refuse("--icon", icon, "not a readable icon: " + (listing.stderr.strip() or "icotool failed"))
        elif listing.stdout != expected:
            refuse("--icon", icon, "does not hold the ten images of icon group 107; icotool -l lists\n"
                   + listing.stdout + "expected\n" + expected.rstrip("\n"))
        else:
            # icotool -l does not tell how an image is stored: the 256-pixel
            # one must be an 8-bit RGBA PNG without time or text chunks, the
            # others bitmaps.
            with open(icon, "rb") as file:
                data = file.read()
            try:
                for index, (size, _, is_png) in enumerate(layout.ICON_IMAGES):
                    length, offset = struct.unpack_from("<II", data, 6 + 16 * index + 8)
                    image = data[offset:offset + length]
                    if image.startswith(layout.PNG_SIGNATURE) != is_png:
                        refuse("--icon", icon, f"image {index + 1} ({size}x{size}) must be stored as "
                               + ("PNG" if is_png else "a bitmap, not PNG"))
                    elif is_png:
                        chunks = layout.png_chunks(image)
                        extra = sorted({kind for kind, _ in chunks} & {"tIME", "tEXt", "zTXt", "iTXt"})
                        if struct.unpack_from(">IIBB", chunks[0][1]) != (size, size, 8, 6):
                            refuse("--icon", icon, f"image {index + 1} must be an 8-bit RGBA PNG")
                        elif extra:
                            refuse("--icon", icon, f"image {index + 1} has PNG {', '.join(extra)} chunks "
                                   "(times or text); strip them, e.g. with convert -strip")
            except (struct.error, IndexError) as error:
                refuse("--icon", icon, f"not a readable icon ({error})")
    elif extension == ".png":
        found = subprocess.run(["convert-im6.q16", icon + "[0]", "-format", "%m %w %h", "info:"],
                               capture_output=True, text=True)
        fields = found.stdout.split()
        if found.returncode or len(fields) != 3 or fields[0] != "PNG":
            refuse("--icon", icon, "not a readable PNG picture" + (": " + found.stderr.strip().splitlines()[0] if found.stderr.strip() else ""))
        elif fields[1] != fields[2]:
            refuse("--icon", icon, f"the picture is {fields[1]}x{fields[2]}; the icon needs a square one")
    else:
        refuse("--icon", icon, "must be an .ico or a .png file")

epoch = env.get("SOURCE_DATE_EPOCH", "")
if epoch and not (epoch.isdigit() and 315532800 <= int(epoch) <= 4102444799):
    # A cabinet stores a DOS date, which starts in 1980.
    problems.append(f"SOURCE_DATE_EPOCH '{epoch}': must be a time from 1980 to 2099 in seconds since 1970")

pkcs12, password_file = env["PKG_PKCS12"], env["PKG_PASSWORD_FILE"]
if pkcs12:
    usable = readable_file("--sign-pkcs12", pkcs12) is not None
    usable = readable_file("--sign-password-file", password_file) is not None and usable
    if usable:
        opened = subprocess.run(["openssl", "pkcs12", "-in", pkcs12, "-passin", "file:" + password_file,
                                 "-nocerts", "-nodes"], capture_output=True, text=True)
        if opened.returncode:
            opened = subprocess.run(["openssl", "pkcs12", "-legacy", "-in", pkcs12,
                                     "-passin", "file:" + password_file, "-nocerts", "-nodes"],
                                    capture_output=True, text=True)
        if opened.returncode:
            refuse("--sign-pkcs12", pkcs12, "cannot be opened with the password from --sign-password-file: "
                   + (opened.stderr.strip().splitlines() or ["openssl failed"])[0])
        elif "PRIVATE KEY" not in opened.stdout:
            refuse("--sign-pkcs12", pkcs12, "holds no private key")



def certificates(option, path):
    """Refuses a file that holds no PEM certificate or one openssl cannot read."""
    if readable_file(option, path) is None:
        return
    with open(path, "rb") as file:
        text = file.read()
    read = subprocess.run(["openssl", "crl2pkcs7", "-nocrl", "-certfile", path, "-outform", "DER"],
                          capture_output=True)
    if b"-----BEGIN CERTIFICATE-----" not in text or read.returncode:
        reason = (read.stderr.decode(errors="replace").strip().splitlines() or ["no BEGIN CERTIFICATE line"])[0]
        refuse(option, path, "holds no readable PEM certificate: " + reason)


if env["PKG_MODULE"]:
    module = env["PKG_MODULE"]
    head = readable_file("--sign-pkcs11-module", module)
    if head is not None and not head.startswith(b"\x7fELF"):
        refuse("--sign-pkcs11-module", module, "not a shared library (no ELF header)")
    uri = env["PKG_KEY_URI"]
    attributes = [a.split("=", 1)[0].lower() for a in re.split(r"[;?&]", uri[len("pkcs11:"):])]
    if not uri.startswith("pkcs11:"):
        refuse("--sign-key-uri", "", f"'{uri}' is not a pkcs11: URI")
    elif "pin-value" in attributes:
        # Whatever is in the URI is on osslsigncode's command line, where
        # every user of the machine can read it.
        refuse("--sign-key-uri", "", "holds the PIN (pin-value); give it with --sign-pin-file or PACKAGE_SIGN_PIN")
    certificates("--sign-certificates", env["PKG_CERTIFICATES"])
    pin_file = env["PKG_PIN_FILE"]
    if pin_file and readable_file("--sign-pin-file", pin_file) is not None:
        with open(pin_file, "rb") as file:
            if not file.readline().rstrip(b"\r\n"):
                refuse("--sign-pin-file", pin_file, "its first line is empty")
if env["PKG_TIMESTAMP_CA"]:
    certificates("--timestamp-ca", env["PKG_TIMESTAMP_CA"])

output = env["PKG_OUTPUT"]
directory = os.path.dirname(output)
if os.path.isdir(output):
    refuse("--output", output, "is a directory")
elif not os.path.isdir(directory):
    refuse("--output", output, f"its directory {directory} does not exist")
else:
    try:
        os.unlink(tempfile.mkstemp(dir=directory, prefix=".package-probe-")[1])
    except OSError as error:
        refuse("--output", output, f"its directory {directory} cannot be written ({error.strerror})")
    else:
        for option, path in [("--archive", archive), ("--setup", setup), ("--icon", icon)]:
            if path and os.path.exists(output) and os.path.exists(path) and os.path.samefile(output, path):
                refuse("--output", output, f"is the {option} file")

for problem in problems:
    print("package.sh: " + problem, file=sys.stderr)
if problems:
    sys.exit(1)
print(version)
PY
) || fail 1 "nothing was built; no file was written to $output"

# --- Build ------------------------------------------------------------------
tree=$REPO/build/package/$arch
inputs=$tree/inputs
log=$tree/package.log
mkdir -p "$inputs"
# One package run per tree at a time.
exec 9>"$REPO/build/package/$arch.lock"
flock -n 9 || { echo "package.sh: waiting for another package run for $arch" >&2; flock 9; }

# The build names fixed links to the inputs, so that no path the engineer
# chose (quotes, semicolons, backslashes) ever reaches the resource script or
# a CMake list.
ln -sfn "$archive" "$inputs/archive.7z"
ln -sfn "$setup" "$inputs/setup.exe"
rm -f "$inputs"/icon.*
icon_link=""
if [ -n "$icon" ]; then
    extension=${icon##*.}
    icon_link=$inputs/icon.${extension,,}
    ln -sfn "$icon" "$icon_link"
fi
# An input may be replaced by another file with an older time, which make
# would not see: remove everything made from the inputs, so that each run
# makes it afresh.
rm -rf "$tree/resources/given" "$tree/resources/installer.res" "$tree/installer.exe"

settings=(
    -DSTUB_PAYLOAD_ARCHIVE:FILEPATH="$inputs/archive.7z"
    -DSTUB_PAYLOAD_SETUP:FILEPATH="$inputs/setup.exe"
    -DSTUB_PAYLOAD_SETUP_STORAGE:STRING="$storage"
    -DSTUB_ICON:FILEPATH="$icon_link"
    -DSTUB_SOURCE_DATE_EPOCH:STRING="${SOURCE_DATE_EPOCH:-}"
    -DSTUB_OFFICIAL_BUILD:BOOL="$official_build"
)
[ -z "${given[version]+x}" ] || given[version]=$version
for field in "${fields[@]}"; do
    read -r name variable _ <<<"$field"
    if [ -n "${given[$name]+x}" ]; then
        settings+=("-D$variable:STRING=${given[$name]}")
    else
        # Back to the project's default, whatever an earlier run set.
        settings+=(-U "$variable")
    fi
done

echo "building the $arch installer in $tree" >&2
if ! { cmake --preset "$arch" -B "$tree" "${settings[@]}" &&
       cmake --build "$tree" --target installer -j "$(nproc)"; } >"$log" 2>&1; then
    tail -n 30 "$log" >&2
    fail 3 "the build failed (log: $log); no file was written to $output"
fi
installer=$tree/installer.exe

# --- Check --------------------------------------------------------------------
# What the version block must say: each field as given, or the project's default.
cache_value() {
    sed -n "s/^$1:[A-Z]*=//p" "$tree/CMakeCache.txt"
}
checks=(--expect-setup-storage "$storage")
if [ -n "${given[version]+x}" ]; then
    checks+=(--expect-version "$version")
fi
for field in "${fields[@]:1}"; do
    read -r name variable key <<<"$field"
    if [ -n "${given[$name]+x}" ]; then value=${given[$name]}; else value=$(cache_value "$variable"); fi
    checks+=(--expect-string "$key=$value")
done
checks+=(--expect-string "Official Build=$([ $official_build = ON ] && echo 1 || echo 0)")

if ! /usr/bin/python3 tests/structure/check_installer.py "$installer" "$arch" "${checks[@]}" >"$work/check.log" 2>&1; then
    grep -E '^FAIL|checks failed' "$work/check.log" >&2 || cat "$work/check.log" >&2
    fail 3 "the built installer failed its structure check; no file was written to $output"
fi
# The payload must be the given files, byte for byte.
if ! /usr/bin/python3 - "$installer" "$archive" "$setup" "$storage" <<'PY' >&2; then
import sys
sys.path.insert(0, "tests/structure")
import check_installer as layout
import pefile

installer, archive, setup, storage = sys.argv[1:]
# fast_load skips a byte count over the whole file, which takes half a
# minute for a 1 GiB archive; only the resources are needed.
pe = pefile.PE(installer, fast_load=True)
pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
image = layout.Image(pe)
with open(archive, "rb") as file:
    same_archive = image.resource("B7", "BRISEL.PACKED.7Z") == file.read()
if storage == "BL":
    stored = layout.read_cabinet(image.resource("BL", "SETUP.EX_"))[0][1]
else:
    stored = image.resource("BN", "SETUP.EXE")
with open(setup, "rb") as file:
    same_setup = stored == file.read()
for same, what in [(same_archive, "archive"), (same_setup, "setup program")]:
    if not same:
        print(f"the installer's {what} differs from the given file")
sys.exit(0 if same_archive and same_setup else 1)
PY
    fail 3 "the built installer does not carry the given payload; no file was written to $output"
fi

# As large as the payload, and made afresh by every run.
rm -f "$tree/resources/installer.res"

# --- Sign and put in place ------------------------------------------------------
# Staged in a new folder beside the output, so that the last step is a rename
# within one file system.
stage_dir=$(mktemp -d "$(dirname "$output")/.package.XXXXXX") ||
    fail 1 "--output $output: cannot write in its directory; no file was written"
staged=$stage_dir/$(basename "$output")

# Why a signing through the token failed, in the engineer's terms.
token_failure() {
    local log=$1
    if grep -qE 'PIN incorrect|PIN_INCORRECT|PIN len|PIN_LEN_RANGE|PIN locked|PIN_LOCKED' "$log"; then
        echo "the token refused the PIN ($( [ -n "$sign_pin_file" ] && echo "first line of $sign_pin_file" ||
            echo PACKAGE_SIGN_PIN)): $(grep -m1 -oE 'PIN [a-z ]+' "$log")"
    elif grep -q 'key values mismatch' "$log"; then
        echo "no certificate in --sign-certificates $sign_certificates belongs to the key $sign_key_uri"
    elif grep -qE 'object not found|No matching initialized token|private key was not found' "$log"; then
        echo "--sign-key-uri $sign_key_uri names no private key on the token of $sign_module"
    else
        cat "$log" >&2
        echo "osslsigncode could not sign with the token"
    fi
}

sign_installer() {
    if [ -n "$sign_pkcs12" ]; then
        if ! osslsigncode sign -pkcs12 "$sign_pkcs12" -readpass "$sign_password_file" -h sha256 \
                -in "$installer" -out "$staged" >"$work/sign.log" 2>&1; then
            cat "$work/sign.log" >&2
            fail 4 "signing failed; no file was written to $output"
        fi
        openssl pkcs12 -in "$sign_pkcs12" -passin "file:$sign_password_file" -nokeys -out "$work/chain.pem" \
            2>/dev/null ||
            openssl pkcs12 -legacy -in "$sign_pkcs12" -passin "file:$sign_password_file" -nokeys \
                -out "$work/chain.pem" 2>/dev/null || fail 4 "the certificates could not be read from $sign_pkcs12"
        return
    fi
    local pin=$sign_pin
    if [ -n "$sign_pin_file" ]; then
        IFS= read -r pin <"$sign_pin_file" || true
        pin=${pin%$'\r'}
    fi
    # The PIN goes through a pipe from the shell itself (printf is a
    # builtin): on a command line any user of the machine could read it.
    # /dev/stdin rather than "-", which older osslsigncode takes for a file.
    # A token or HSM connection that hangs must not hold the release forever.
    local status=0
    if printf '%s\n' "$pin" | timeout "$sign_timeout" osslsigncode sign -pkcs11module "$sign_module" \
            -key "$sign_key_uri" -certs "$sign_certificates" -readpass /dev/stdin -h sha256 -in "$installer" \
            -out "$staged" >"$work/sign.log" 2>&1; then
        status=0
    else
        status=${PIPESTATUS[1]}
    fi
    if [ "$status" = 124 ]; then
        fail 4 "signing failed: the token did not sign within $sign_timeout s; no file was written to $output"
    elif [ "$status" != 0 ]; then
        fail 4 "signing failed: $(token_failure "$work/sign.log"); no file was written to $output"
    fi
    cp "$sign_certificates" "$work/chain.pem"
}

# Each authority in turn until one answers, each given a bounded time: an
# authority that takes the connection and never answers would otherwise hold
# the release forever.
add_time_stamp() {
    local url status
    for url in "${timestamp_urls[@]}"; do
        status=0
        timeout "$timestamp_timeout" osslsigncode add -ts "$url" -h sha256 -in "$staged" -out "$staged.stamped" \
            >"$work/timestamp.log" 2>&1 || status=$?
        if [ $status = 0 ]; then
            mv -f "$staged.stamped" "$staged"
            stamped_by=$url
            return
        fi
        rm -f "$staged.stamped"
        if [ $status = 124 ]; then
            echo "package.sh: time-stamp authority $url: no answer within $timestamp_timeout s" >&2
        else
            echo "package.sh: time-stamp authority $url: $(grep -m1 -E 'error|failure|Failed' "$work/timestamp.log")" >&2
        fi
    done
    fail 4 "no time-stamp authority answered (${timestamp_urls[*]}); no file was written to $output"
}

# The signer's own certificates are trusted, so that a certificate of the
# engineer's own (self-signed, or from a private CA) verifies too, and so are
# the system's root certificates, for a chain that stops below its root. This
# checks the signature, the file's digest and the time stamp, not whether
# Windows will trust the certificate. sbverify computes the image's digest
# with code of its own: two verifiers that agree.
verify_signature() {
    local system_roots=/etc/ssl/certs/ca-certificates.crt anchor verified=""
    cat "$work/chain.pem" >"$work/trusted.pem"
    [ ! -r "$system_roots" ] || cat "$system_roots" >>"$work/trusted.pem"
    local arguments=(-CAfile "$work/trusted.pem")
    if ((${#timestamp_urls[@]})); then
        if [ -n "$timestamp_ca" ]; then
            arguments+=(-TSA-CAfile "$timestamp_ca")
        elif [ -r "$system_roots" ]; then
            arguments+=(-TSA-CAfile "$system_roots")
        fi
    fi
    if ! osslsigncode verify "${arguments[@]}" -in "$staged" >"$work/verify.log" 2>&1 ||
        { ((${#timestamp_urls[@]})) &&
            ! grep -q '^Timestamp Server Signature verification: ok' "$work/verify.log"; }; then
        grep -iE 'fail|error|unsupported|invalid|mismatch' "$work/verify.log" >&2 || tail -n 5 "$work/verify.log" >&2
        fail 4 "the signed installer does not verify; no file was written to $output"
    fi
    grep -E '^(Timestamp Server )?Signature verification: ' "$work/verify.log" | sed 's/^/osslsigncode verify: /' >&2
    # sbverify takes one certificate to trust: any one of the chain will do.
    awk -v prefix="$work/anchor-" '/BEGIN CERTIFICATE/ { n++ } n { print > (prefix n ".pem") }' "$work/chain.pem"
    for anchor in "$work"/anchor-*.pem; do
        if [ -e "$anchor" ] && sbverify --cert "$anchor" "$staged" >"$work/sbverify.log" 2>&1; then
            verified=1
            break
        fi
    done
    if [ -z "$verified" ]; then
        cat "$work/sbverify.log" >&2
        fail 4 "the signed installer does not verify with sbverify; no file was written to $output"
    fi
    grep -m1 'Signature verification' "$work/sbverify.log" | sed 's/^/sbverify: /' >&2
}

signed="" stamped_by=""
[ -z "$sign_pkcs12$token_options" ] || signed=1
if [ -n "$signed" ]; then
    sign_installer
    ((${#timestamp_urls[@]} == 0)) || add_time_stamp
    verify_signature
    rm -f "$installer"
else
    mv "$installer" "$staged"
fi
chmod "$(printf '%o' $((0666 & ~$(umask))))" "$staged"
mv -f "$staged" "$output"

size=$(stat -c %s "$output")
sum=$(sha256sum "$output" | cut -d' ' -f1)
echo "$output: $arch installer, $size bytes, sha256 $sum${signed:+, signed}${stamped_by:+, time-stamped by $stamped_by}"
