"""The names a release may give its own installer, the rules they must keep,
and the resource that carries them to the stub.

package.sh checks them with the other inputs (exit 1, naming the rule a name
breaks). The stub itself trusts the resource no further than its limits: the
rules of the characters are the packaging's own.
"""

import re
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
# Words a resource script reads as the start of a statement, never as a
# resource's name: an installer's resources written out as a script (by a
# resource editor, say) could not be compiled again.
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
        """The archive's resource name as stored: resource names are kept in
        upper case, as the loader compares them."""
        return self.archive_name.upper()

    @property
    def archive_prefix(self):
        return DEFAULT_ARCHIVE_PREFIX if self.archive_name == DEFAULT_ARCHIVE_NAME else self.archive_name


def utf16_units(text):
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def _text_problems(option, text, limit):
    """What makes `text` unusable anywhere: not UTF-8, a control character, a
    semicolon (which lists of names, such as a CMake list of them, take for
    a separator), empty, or too long."""
    try:
        text.encode("utf-8")
    except UnicodeEncodeError:
        return [f"{option}: {text!r} is not UTF-8 text"]
    if not text:
        return [f"{option}: is empty"]
    if any(ord(c) < 0x20 or 0x7F <= ord(c) < 0xA0 for c in text):
        return [f"{option}: {text!r} has control characters"]
    if ";" in text:
        return [f"{option}: {text!r} has a semicolon, which lists of names take for a separator"]
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


# --- The names resource --------------------------------------------------------------

# RT_RCDATA "NAMES", which the stub reads at its start; without it the stub
# has the project's own names.
NAMES_TYPE = 10
NAMES_NAME = "NAMES"


def resource(names):
    """The names as the stub reads them: UTF-16LE texts, each ended by one
    NUL unit, in this order: the cleanup key, the cleanup value, the path
    switch, the archive prefix, the refused switches, then an empty text
    that ends the list and the resource."""
    texts = [names.cleanup_key, names.cleanup_value, names.path_switch, names.archive_prefix,
             *names.refused_switches, ""]
    return "".join(text + "\0" for text in texts).encode("utf-16-le", errors="surrogatepass")
