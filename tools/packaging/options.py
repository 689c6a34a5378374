"""The command line: what each option means, and the rules on how they go
together. Anything wrong here is wrong usage (exit 2), found before anything
is installed, read or built."""

import argparse
import os
import re
from dataclasses import dataclass, field

import names as installer_names

PROGRAM = "package.sh"


class UsageError(Exception):
    """Wrong usage: the message names the option."""


@dataclass
class VersionField:
    option: str   # without the leading dashes
    default: str  # the project's own value, for a field left out
    key: str      # its key in the version block ("" for the version)


VERSION_FIELDS = [
    VersionField("version", "1.0.0.0", ""),
    VersionField("company", "Tolvane", "CompanyName"),
    VersionField("description", "Brisel Installer", "FileDescription"),
    VersionField("copyright", "Copyright Tolvane. All rights reserved.", "LegalCopyright"),
    VersionField("product", "Brisel", "ProductName"),
    VersionField("internal-name", "installer", "InternalName"),
    VersionField("company-short", "Tolvane", "CompanyShortName"),
    VersionField("product-short", "Brisel", "ProductShortName"),
    VersionField("last-change", "unknown", "LastChange"),
]
TEXT_FIELDS = VERSION_FIELDS[1:]


@dataclass
class Options:
    archive: str = ""
    setup: str = ""
    output: str = ""
    arch: str = "arm64"
    storage: str = "BL"
    icon: str = ""
    official_build: bool = False
    # Version block fields given, by option name without dashes; a field left
    # out gets the project's default.
    fields: dict = field(default_factory=dict)
    sign_pkcs12: str = ""
    sign_password_file: str = ""
    sign_module: str = ""
    sign_key_uri: str = ""
    sign_certificates: str = ""
    sign_pin_file: str = ""
    # The token's PIN from PACKAGE_SIGN_PIN (None when it was not set); never
    # handed to another process but through osslsigncode's standard input.
    sign_pin: str = None
    timestamp_urls: list = field(default_factory=list)
    timestamp_ca: str = ""
    timestamp_timeout: int = 60
    sign_timeout: int = 300
    # The installer's own names; those not given are the project's.
    names: installer_names.Names = field(default_factory=installer_names.Names)
    # Names given, by option without dashes: with any of them the installer
    # carries all its names as a resource, else the stub's own are used.
    names_given: dict = field(default_factory=dict)
    execution_level: str = "asInvoker"
    # With signing: the setup program is stored unsigned rather than signed
    # with the installer's key.
    keep_setup_unsigned: bool = False
    report: str = ""
    sbom: str = ""
    provenance: str = ""
    # The command line as given, for the provenance.
    argv: list = field(default_factory=list)

    @property
    def token(self):
        return bool(self.sign_module)

    @property
    def signed(self):
        return bool(self.sign_pkcs12 or self.sign_module)

    def written_files(self):
        """[(option, path)] of the documents written beside the installer."""
        given = [("--report", self.report), ("--sbom", self.sbom), ("--provenance", self.provenance)]
        return [(option, path) for option, path in given if path]


HELP = """\
Usage: ./package.sh --archive A.7z --setup S.exe --output OUT.exe [options]

Inputs:
  --archive FILE         the product archive (7z), stored under type B7 as
                         BRISEL.PACKED.7Z (or --archive-name)
  --setup FILE           the second-stage setup program (a PE program for --arch)
  --output FILE          where the installer goes (its directory must exist)
  --arch arm64|x64       target machine (default arm64)
  --storage BL|BN        setup program as an MSZIP cabinet SETUP.EX_ (BL, default)
                         or uncompressed SETUP.EXE (BN)
  --icon FILE            an .ico or one square .png; the packaging makes the ten
                         images of icon group 107 from the .png or from the
                         .ico's largest image (an .ico of exactly those ten is
                         taken as it is; default: the project's icon)
Version block (defaults: the project's own values; each text at most 4096
characters, the block at most 65535 bytes):
  --version A.B.C.D      file and product version, four numbers up to 65535
  --company TEXT         CompanyName          --company-short TEXT  CompanyShortName
  --product TEXT         ProductName          --product-short TEXT  ProductShortName
  --description TEXT     FileDescription      --internal-name TEXT  InternalName
  --copyright TEXT       LegalCopyright       --last-change TEXT    LastChange
  --official-build       "Official Build" is 1 (else 0)
Your own names, carried by the installer (defaults: the project's own):
  --cleanup-key KEY      registry key under HKEY_CURRENT_USER whose value keeps
                         the scratch directory (default Software\\Tolvane)
  --cleanup-value NAME   that value, a REG_SZ: "0" keeps the scratch directory
                         and the setup program (default BriselInstallerCleanup)
  --archive-name NAME    the archive's resource name (stored in upper case, as
                         the setup program is told it); the installer
                         recognises its archive as the
                         resource whose name begins with it (ASCII letters,
                         digits, . _ -, not beginning like SETUP; default
                         BRISEL.PACKED.7Z, recognised by "brisel")
  --path-switch NAME     the switch that tells the setup program the
                         installer's path, without its dashes (default
                         ferrolt-path)
  --refused-switch TEXT  an argument refused with exit code 118 before anything
                         is done (compared in any case); repeat it for more;
                         replaces the default pair --cleanup and --brisel-frame
  --execution-level asInvoker|highestAvailable|requireAdministrator
                         the manifest's requestedExecutionLevel (default
                         asInvoker)
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
The setup program of a signed installer is signed first, with the same key
and time-stamp authorities; one that carries a signature already keeps it,
once both verifiers accept it (one that does not verify is refused):
  --keep-setup-unsigned  store an unsigned setup program unsigned
What the run tells, each written only when the run succeeds:
  --report FILE          JSON for CI: the output's path, architecture, size and
                         SHA-256, whether it is signed and time-stamped (and by
                         which authority), the SHA-256 of the archive and of the
                         setup program, and what became of the setup program's
                         signature
  --sbom FILE            a CycloneDX 1.6 bill of materials (JSON): the installer,
                         the stub (its source commit), the archive, the setup
                         program and the icon with their SHA-256, and the tools
  --provenance FILE      an in-toto Statement with SLSA Provenance v1: the
                         installer's SHA-256, every input's, the command line
                         and the tools; a signed installer's is a DSSE envelope
                         signed with the same key

What the setup program gets: the installer writes it to a new scratch
directory beside itself (QX_XXXXX.tmp, which nobody else may enter) and starts
it, in the installer's own current directory, with this command line:

  "<scratch directory>\\setup.exe" --ferrolt-path="<installer's path>"
      --archive-resource-name="BRISEL.PACKED.7Z" --archive-resource-type="B7"
      <the installer's own arguments, exactly as typed>

(--path-switch and --archive-name change the first switch's name and the
second's value.) It must read the archive from the installer's resources
itself; its console output goes nowhere; its exit code becomes the
installer's. tools/second_stage is a setup program that does this.

The cabinet stores the setup program's file time: SOURCE_DATE_EPOCH from the
environment when set, else the setup file's own modification time.

The installer's image (its SizeOfImage) may not pass 2 GiB, which Windows
loads no image beyond; an archive that would make it larger is refused.

Exit status: 0 done, 1 an input was refused, 2 wrong usage, 3 writing the
installer or its check failed, 4 signing, time-stamping or verification failed.
"""

# (option, destination, kind): "path" is made absolute against the directory
# the command was started in, "text" is kept as given, "list" may be repeated.
VALUE_OPTIONS = [
    ("--archive", "archive", "path"),
    ("--setup", "setup", "path"),
    ("--output", "output", "path"),
    ("--arch", "arch", "text"),
    ("--storage", "storage", "text"),
    ("--icon", "icon", "path"),
    ("--sign-pkcs12", "sign_pkcs12", "path"),
    ("--sign-password-file", "sign_password_file", "path"),
    ("--sign-pkcs11-module", "sign_module", "path"),
    ("--sign-key-uri", "sign_key_uri", "text"),
    ("--sign-certificates", "sign_certificates", "path"),
    ("--sign-pin-file", "sign_pin_file", "path"),
    ("--timestamp-url", "timestamp_urls", "list"),
    ("--timestamp-ca", "timestamp_ca", "path"),
    ("--cleanup-key", "name:cleanup_key", "text"),
    ("--cleanup-value", "name:cleanup_value", "text"),
    ("--archive-name", "name:archive_name", "text"),
    ("--path-switch", "name:path_switch", "text"),
    ("--refused-switch", "name:refused_switches", "list"),
    ("--execution-level", "execution_level", "text"),
    ("--report", "report", "path"),
    ("--sbom", "sbom", "path"),
    ("--provenance", "provenance", "path"),
] + [("--" + f.option, "field:" + f.option, "text") for f in VERSION_FIELDS]


def absolute(path):
    """The path as given, against the directory the command was started in;
    not normalised, so that a/../b means what the shell would make of it."""
    if not path or os.path.isabs(path):
        return path
    return os.path.join(os.getcwd(), path)


class _Parser(argparse.ArgumentParser):
    def error(self, message):
        raise UsageError(message)


FLAGS = ("--official-build", "--keep-setup-unsigned")


def _parser():
    parser = _Parser(prog=PROGRAM, add_help=False, allow_abbrev=False, exit_on_error=False)
    parser.add_argument("-h", "--help", action="store_true")
    for flag in FLAGS:
        parser.add_argument(flag, action="store_true")
    for option, dest, kind in VALUE_OPTIONS:
        parser.add_argument(option, dest=dest, action="append", default=[])
    return parser


def _joined(argv):
    """The arguments with every option's value joined to it ("--x=value"), so
    that a value is simply the next argument, even one that starts with a
    dash; an option missing its value is named here."""
    takes_value = {option for option, _, _ in VALUE_OPTIONS}
    joined, index = [], 0
    while index < len(argv):
        argument = argv[index]
        index += 1
        name = argument.split("=", 1)[0] if argument.startswith("--") else argument
        if argument in ("-h", "--help"):
            # Asked for help: what follows is not looked at.
            return joined + [argument]
        if name in FLAGS and "=" in argument:
            raise UsageError(f"{name} takes no value")
        if argument in takes_value:
            if index >= len(argv):
                raise UsageError(f"{argument} needs a value")
            argument = f"{argument}={argv[index]}"
            index += 1
        elif name not in takes_value and name not in FLAGS:
            raise UsageError(f"unknown option '{name}'")
        joined.append(argument)
    return joined


def _seconds_from(environ, variable, default):
    """A limit in seconds from the environment, the default when unset."""
    value = environ.get(variable) or str(default)
    if not re.fullmatch(r"[1-9][0-9]{0,3}", value):
        raise UsageError(f"{variable} is '{value}'; it must be a number of seconds from 1 to 9999")
    return int(value)


def parse(argv, environ, pin):
    """Options from the command line, or UsageError. `pin` is what
    PACKAGE_SIGN_PIN held (None when unset); the caller has already taken it
    out of the environment. Returns None for --help."""
    try:
        namespace = _parser().parse_args(_joined(argv))
    except argparse.ArgumentError as error:
        raise UsageError(str(error)) from None
    if namespace.help:
        return None

    options = Options(official_build=namespace.official_build, keep_setup_unsigned=namespace.keep_setup_unsigned,
                      sign_pin=pin, argv=list(argv))
    for option, dest, kind in VALUE_OPTIONS:
        values = getattr(namespace, dest)
        if not values:
            continue
        if kind != "list" and len(values) > 1:
            # Which one was meant cannot be known; taking the last would
            # build something that nobody asked for.
            raise UsageError(f"{option} is given {len(values)} times; give it once")
        value = list(values) if kind == "list" else values[0]
        if dest.startswith("name:"):
            # The installer's own names, checked (exit 1) with the inputs.
            setattr(options.names, dest[len("name:"):], value)
            options.names_given[option[2:]] = value
        elif dest.startswith("field:"):
            options.fields[dest[len("field:"):]] = value
        else:
            setattr(options, dest, absolute(value) if kind == "path" else value)
    _check(options)
    options.timestamp_timeout = _seconds_from(environ, "PACKAGE_TIMESTAMP_TIMEOUT", 60)
    options.sign_timeout = _seconds_from(environ, "PACKAGE_SIGN_TIMEOUT", 300)
    return options


def _check(options):
    """The rules on how the options go together."""
    if not options.archive:
        raise UsageError("--archive is required")
    if not options.setup:
        raise UsageError("--setup is required")
    if not options.output:
        raise UsageError("--output is required")
    if options.arch not in ("arm64", "x64"):
        raise UsageError(f"--arch is '{options.arch}'; it must be arm64 or x64")
    if options.storage not in ("BL", "BN"):
        raise UsageError(f"--storage is '{options.storage}'; it must be BL or BN")
    if options.execution_level not in installer_names.EXECUTION_LEVELS:
        raise UsageError(f"--execution-level is '{options.execution_level}'; it must be "
                         + ", ".join(installer_names.EXECUTION_LEVELS[:-1]) + " or "
                         + installer_names.EXECUTION_LEVELS[-1])
    if bool(options.sign_pkcs12) != bool(options.sign_password_file):
        raise UsageError("--sign-pkcs12 and --sign-password-file go together")
    token = [options.sign_module, options.sign_key_uri, options.sign_certificates]
    if any(token) and not all(token):
        raise UsageError("--sign-pkcs11-module, --sign-key-uri and --sign-certificates go together")
    if options.sign_pkcs12 and options.token:
        raise UsageError("sign either with --sign-pkcs12 or with a token (--sign-pkcs11-module), not both")
    if options.sign_pin_file and not options.token:
        raise UsageError("--sign-pin-file is the PIN of a token; it needs --sign-pkcs11-module")
    if options.token and not options.sign_pin_file and options.sign_pin is None:
        raise UsageError("the token's PIN: give --sign-pin-file FILE, or set PACKAGE_SIGN_PIN in the environment")
    if options.token and not options.sign_pin_file and not options.sign_pin:
        raise UsageError("PACKAGE_SIGN_PIN is empty")
    if options.timestamp_urls and not options.signed:
        raise UsageError("--timestamp-url stamps a signature; it needs --sign-pkcs12 or --sign-pkcs11-module")
    for url in options.timestamp_urls:
        if not re.match(r"https?://[^/?#]+", url):
            raise UsageError(f"--timestamp-url is '{url}'; it must be an http:// or https:// URL")
    if options.timestamp_ca and not options.timestamp_urls:
        raise UsageError("--timestamp-ca verifies a time stamp; it needs --timestamp-url")
    if options.keep_setup_unsigned and not options.signed:
        raise UsageError("--keep-setup-unsigned keeps the setup program out of the signing; it needs "
                         "--sign-pkcs12 or --sign-pkcs11-module")
