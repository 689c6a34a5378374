#!/usr/bin/python3
"""The names a release may give its own installer, the rules they must keep,
and the header that compiles them into the stub.

package.sh checks them with the other inputs; the build runs this file to
check them again and to write the header, for a build of one's own too:

    names.py HEADER [--cleanup-key=KEY] [--cleanup-value=NAME]
             [--archive-name=NAME] [--path-switch=NAME] [--refused-switch=TEXT]...

Refused names are printed one a line, and the exit status is 1.
"""

import argparse
import re
import sys
from dataclasses import dataclass, field

# The project's own names, which an installer has unless told otherwise.
DEFAULT_CLEANUP_KEY = "Software\\Tolvane"
DEFAULT_CLEANUP_VALUE = "BriselInstallerCleanup"
DEFAULT_ARCHIVE_NAME = "BRISEL.PACKED.7Z"
DEFAULT_PATH_SWITCH = "ferrolt-path"
DEFAULT_REFUSED_SWITCHES = ["--cleanup", "--brisel-frame"]
EXECUTION_LEVELS = ["asInvoker", "highestAvailable", "requireAdministrator"]
# The archive of the project's own name is recognised by this prefix; an
# archive of a release's own name by the whole name.
DEFAULT_ARCHIVE_PREFIX = "brisel"
SETUP_PREFIX = "SETUP"

# A registry key or value name: 255 characters at most.
REGISTRY_NAME_LIMIT = 255
# Both go into the setup program's command line, which must keep room for the
# arguments passed on even when both paths in it are at their longest.
ARCHIVE_NAME_LIMIT = 64
PATH_SWITCH_LIMIT = 64
REFUSED_SWITCH_LIMIT = 64
REFUSED_SWITCH_COUNT = 16
# Words the resource compiler reads as the start of a statement, never as a
# resource's name.
RESOURCE_SCRIPT_WORDS = {"BEGIN", "END", "LANGUAGE", "STRINGTABLE"}
# The setup program's other two switches.
OTHER_SWITCHES = {"archive-resource-name", "archive-resource-type"}


@dataclass
class Names:
    cleanup_key: str = DEFAULT_CLEANUP_KEY
    cleanup_value: str = DEFAULT_CLEANUP_VALUE
    archive_name: str = DEFAULT_ARCHIVE_NAME
    path_switch: str = DEFAULT_PATH_SWITCH
    refused_switches: list = field(default_factory=lambda: list(DEFAULT_REFUSED_SWITCHES))

    @property
    def archive_resource_name(self):
        """The archive's resource name as stored: the resource compiler
        stores names in upper case."""
        return self.archive_name.upper()

    @property
    def archive_prefix(self):
        return DEFAULT_ARCHIVE_PREFIX if self.archive_name == DEFAULT_ARCHIVE_NAME else self.archive_name


def utf16_units(text):
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def _text_problems(option, text, limit):
    """What makes `text` unusable anywhere: not UTF-8, a control character, a
    semicolon (which splits a CMake list), empty, or too long."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return [f"{option}: {text!r} is not UTF-8 text"]
    if not text:
        return [f"{option}: is empty"]
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in text):
        return [f"{option}: {text!r} has control characters"]
    if ";" in text:
        return [f"{option}: {text!r} has a semicolon, which the build would take for a list"]
    if utf16_units(text) > limit:
        return [f"{option}: {text!r} is {utf16_units(text)} characters (UTF-16 units) long; its limit is {limit}"]
    return []


def check(names):
    """The refusals, one line each, naming the option."""
    problems = []
    key = names.cleanup_key
    found = _text_problems("--cleanup-key", key, REGISTRY_NAME_LIMIT)
    if not found and any(not part for part in key.split("\\")):
        found = [f"--cleanup-key: {key!r} must be key names under HKEY_CURRENT_USER, separated by single "
                 "backslashes, with none at either end"]
    problems += found
    problems += _text_problems("--cleanup-value", names.cleanup_value, REGISTRY_NAME_LIMIT)

    name = names.archive_name
    found = _text_problems("--archive-name", name, ARCHIVE_NAME_LIMIT)
    if not found and not re.fullmatch(r"[A-Za-z][A-Za-z0-9._-]*", name):
        found = [f"--archive-name: {name!r} must begin with an ASCII letter and hold only ASCII letters, "
                 "digits, '.', '_' and '-' (it is a resource name)"]
    elif not found and name.upper() in RESOURCE_SCRIPT_WORDS:
        found = [f"--archive-name: {name!r} is a word of the resource script, not a name"]
    elif not found and (name.upper().startswith(SETUP_PREFIX) or SETUP_PREFIX.startswith(name.upper())):
        # The installer tells its archive from its setup program by the
        # beginnings of their names.
        found = [f"--archive-name: {name!r} could be taken for the setup program's name, which begins "
                 f"with '{SETUP_PREFIX}'"]
    problems += found

    switch = names.path_switch
    found = _text_problems("--path-switch", switch, PATH_SWITCH_LIMIT)
    if not found and not re.fullmatch(r"[A-Za-z0-9][A-Za-z0-9._-]*", switch):
        found = [f"--path-switch: {switch!r} must be the switch's name without its dashes: ASCII letters, "
                 "digits, '.', '_' and '-', beginning with a letter or digit"]
    elif not found and switch.lower() in OTHER_SWITCHES:
        found = [f"--path-switch: {switch!r} is the name of another of the setup program's switches"]
    problems += found

    if len(names.refused_switches) > REFUSED_SWITCH_COUNT:
        problems.append(f"--refused-switch: given {len(names.refused_switches)} times; its limit is "
                        f"{REFUSED_SWITCH_COUNT}")
    seen = set()
    for refused in names.refused_switches:
        found = _text_problems("--refused-switch", refused, REFUSED_SWITCH_LIMIT)
        if not found and re.search(r'[\s"]', refused):
            found = [f"--refused-switch: {refused!r} has a blank or a double quote; it is compared with "
                     "whole arguments as the command line splits them"]
        elif not found and refused.casefold() in seen:
            found = [f"--refused-switch: {refused!r} is given twice (letters compared in any case)"]
        seen.add(refused.casefold())
        problems += found
    return problems


# --- The header ---------------------------------------------------------------------

# Characters written into a literal as they are; every other one as a
# universal character name, so that no name can end the literal, start an
# escape or form a trigraph.
_PLAIN = re.compile(r"[A-Za-z0-9 ._,:/=+()\[\]{}<>!#$%&*@^|~'-]")


def wide_literal(text):
    """`text` as a C++ wide string literal."""
    return 'L"' + "".join(c if _PLAIN.fullmatch(c) else
                          (f"\\u{ord(c):04X}" if ord(c) <= 0xFFFF else f"\\U{ord(c):08X}") for c in text) + '"'


def header(names):
    return "\n".join([
        "// The installer names of this build, written by tools/packaging/names.py",
        "// from the build's settings; see src/settings/installer_names.h.",
        "#pragma once",
        "",
        f"#define INSTALLER_CLEANUP_KEY {wide_literal(names.cleanup_key)}",
        f"#define INSTALLER_CLEANUP_VALUE {wide_literal(names.cleanup_value)}",
        f"#define INSTALLER_REFUSED_SWITCHES {', '.join(wide_literal(s) for s in names.refused_switches)}",
        f"#define INSTALLER_PATH_SWITCH {wide_literal(names.path_switch)}",
        f"#define INSTALLER_ARCHIVE_PREFIX {wide_literal(names.archive_prefix)}",
        "",
    ])


def write_header(path, names):
    """Writes the header unless it already holds these names, so that a
    build that changes nothing compiles nothing again."""
    text = header(names)
    try:
        with open(path, encoding="utf-8") as existing:
            if existing.read() == text:
                return
    except FileNotFoundError:
        pass
    with open(path, "w", encoding="utf-8") as written:
        written.write(text)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("header")
    parser.add_argument("--cleanup-key", default=DEFAULT_CLEANUP_KEY)
    parser.add_argument("--cleanup-value", default=DEFAULT_CLEANUP_VALUE)
    parser.add_argument("--archive-name", default=DEFAULT_ARCHIVE_NAME)
    parser.add_argument("--path-switch", default=DEFAULT_PATH_SWITCH)
    parser.add_argument("--refused-switch", action="append", default=[])
    arguments = parser.parse_args(argv)
    names = Names(arguments.cleanup_key, arguments.cleanup_value, arguments.archive_name, arguments.path_switch,
                  arguments.refused_switch or list(DEFAULT_REFUSED_SWITCHES))
    problems = check(names)
    for problem in problems:
        print(problem)
    if problems:
        return 1
    write_header(arguments.header, names)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
