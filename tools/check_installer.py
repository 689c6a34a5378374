#!/usr/bin/python3
"""Reads a built installer back and checks its structure: the PE headers and
imports, that the import tables lie outside executable sections, the
relocations, the protections a security review looks for first (the load
configuration's dependent-load flags, Control Flow Guard, stack cookies with a
fail-fast, the address-space and no-execute flags, no writable code, shadow
stacks on x64), the payload resources, the icon, the version block, the
manifest, the installer's names, and that its code and data are those of the
ready stub (build/<arch>/stub.exe) byte for byte.

    check_installer.py INSTALLER {arm64|x64} [--expect-setup-storage BL|BN]
                       [--expect-archive-name NAME] [--expect-execution-level LEVEL]
                       [--expect-version A.B.C.D] [--expect-company TEXT]
                       [--expect-product TEXT] [--expect-string KEY=VALUE]...
                       [--expect-names TEXT...] [--stub READY_STUB]
    check_installer.py IMAGE {arm64|x64} --image-only [--quiet]

--image-only checks the image alone (headers, imports, protections), for an
image made from the stub without an installer's resources, such as the bare
stub.

Prints one line per check, "ok: ..." or "FAIL: ...", and exits 1 if any
failed. Uses Debian's python3-pefile (run it with /usr/bin/python3).
"""

import argparse
import struct
import sys
import xml.etree.ElementTree as ElementTree
import zlib

import pefile

MACHINES = {"arm64": 0xAA64, "x64": 0x8664}
ALLOWED_DLLS = {"KERNEL32.DLL", "ADVAPI32.DLL", "SHELL32.DLL"}
# The stub's first step sets the library search of its whole process to the
# system folder; and no environment variable may decide where a library
# comes from, which for an elevated run the user would choose.
REQUIRED_IMPORTS = {"KERNEL32.DLL": ["SetDefaultDllDirectories"]}
FORBIDDEN_IMPORTS = ["ExpandEnvironmentStringsW"]
LANG_EN_US = 1033

IMAGE_FILE_RELOCS_STRIPPED = 0x0001
IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA = 0x0020
IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE = 0x0040
IMAGE_DLLCHARACTERISTICS_NX_COMPAT = 0x0100
IMAGE_DLLCHARACTERISTICS_GUARD_CF = 0x4000
IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT = 0x0001
IMAGE_SCN_CNT_CODE = 0x00000020
IMAGE_SCN_MEM_EXECUTE = 0x20000000
IMAGE_SCN_MEM_WRITE = 0x80000000
IMAGE_DIRECTORY_ENTRY_IMPORT = 1
IMAGE_DIRECTORY_ENTRY_BASERELOC = 5
IMAGE_DIRECTORY_ENTRY_DEBUG = 6
IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG = 10
IMAGE_DIRECTORY_ENTRY_IAT = 12
IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
IMAGE_REL_BASED_ABSOLUTE = 0  # padding at the end of a block, not a fixup
PAGE_BYTES = 4096

# The 64-bit load configuration's fields that the checks read: (offset, format).
LOAD_CONFIG_FIELDS = {
    "Size": (0x00, "<I"),
    "DependentLoadFlags": (0x4E, "<H"),
    "GuardCFCheckFunctionPointer": (0x70, "<Q"),
    "GuardCFDispatchFunctionPointer": (0x78, "<Q"),
    "GuardCFFunctionTable": (0x80, "<Q"),
    "GuardCFFunctionCount": (0x88, "<Q"),
    "GuardFlags": (0x90, "<I"),
}
LOAD_LIBRARY_SEARCH_SYSTEM32 = 0x0800
IMAGE_GUARD_CF_INSTRUMENTED = 0x00000100
IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT = 0x00000400
IMAGE_GUARD_CF_LONGJUMP_TABLE_PRESENT = 0x00010000
IMAGE_GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT = 28  # extra bytes per table entry, in the top four bits

# What the stack-cookie check calls when a cookie was overwritten: the code
# FAST_FAIL_STACK_COOKIE_CHECK_FAILURE (2) into the register the system reads,
# then the fail-fast trap.
FAIL_FAST = {
    "x64": bytes.fromhex("B902000000" "CD29"),                # mov ecx, 2; int 0x29
    "arm64": struct.pack("<II", 0x52800040, 0xD43E0060),      # mov w0, #2; brk #0xF003
}

RT_ICON = 3
RT_RCDATA = 10
RT_GROUP_ICON = 14
RT_VERSION = 16
RT_MANIFEST = 24

SEVEN_ZIP_SIGNATURE = bytes.fromhex("377ABCAF271C")
# The archive's resource name unless a release gives its own (stored upper case).
ARCHIVE_NAME = "BRISEL.PACKED.7Z"
EXECUTION_LEVELS = ["asInvoker", "highestAvailable", "requireAdministrator"]
PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"

# Icon group 107: (size, bits per pixel, stored as PNG), icon ids 1 to 10.
ICON_GROUP_ID = 107
ICON_IMAGES = [
    (48, 4, False), (32, 4, False), (16, 4, False),
    (48, 8, False), (32, 8, False), (16, 8, False),
    (256, 32, True),
    (48, 32, False), (32, 32, False), (16, 32, False),
]

VERSION_KEYS = [
    "CompanyName", "FileDescription", "FileVersion", "InternalName",
    "LegalCopyright", "ProductName", "ProductVersion", "CompanyShortName",
    "ProductShortName", "LastChange", "Official Build",
]

SUPPORTED_OS = {
    "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  # Windows Vista
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  # Windows 7
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  # Windows 8
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  # Windows 8.1
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  # Windows 10 and 11
}


class Failure(Exception):
    """A check's finding; its text says what was wrong."""


class Report:
    """Runs named checks; each prints one line and is kept for the caller."""

    def __init__(self, out=sys.stdout):
        self.out = out
        self.results = []  # (name, passed, line)

    def check(self, name, function, *args):
        try:
            detail = function(*args)
            passed, line = True, f"ok: {name}" + (f": {detail}" if detail else "")
        except Failure as failure:
            passed, line = False, f"FAIL: {name}: {failure}"
        except (ValueError, IndexError, KeyError, struct.error, zlib.error, UnicodeDecodeError,
                ElementTree.ParseError) as error:
            passed, line = False, f"FAIL: {name}: unreadable ({type(error).__name__}: {error})"
        self.results.append((name, passed, line))
        if self.out:
            print(line, file=self.out)

    def failed(self):
        return [name for name, passed, _ in self.results if not passed]


def require(condition, message):
    if not condition:
        raise Failure(message)


# --- Resources -----------------------------------------------------------------

def entry_key(entry):
    return str(entry.name) if entry.name is not None else entry.id


def read_resources(pe):
    """{(type, name): [(language, rva, size)]} and every directory's time stamp."""
    resources, stamps = {}, []
    root = getattr(pe, "DIRECTORY_ENTRY_RESOURCE", None)
    if root is None:
        return resources, stamps
    stamps.append(root.struct.TimeDateStamp)
    for type_entry in root.entries:
        stamps.append(type_entry.directory.struct.TimeDateStamp)
        for name_entry in type_entry.directory.entries:
            stamps.append(name_entry.directory.struct.TimeDateStamp)
            for lang_entry in name_entry.directory.entries:
                data = lang_entry.data.struct
                resources.setdefault((entry_key(type_entry), entry_key(name_entry)), []).append(
                    (lang_entry.id, data.OffsetToData, data.Size))
    return resources, stamps


class Image:
    def __init__(self, pe):
        self.pe = pe
        self.resources, self.resource_stamps = read_resources(pe)

    def names(self, rtype):
        names = [name for t, name in self.resources if t == rtype]
        return sorted(n for n in names if isinstance(n, int)) + sorted(n for n in names if isinstance(n, str))

    def located(self, rtype, name):
        """(rva, size) of the one language of a resource."""
        entries = self.resources.get((rtype, name))
        require(entries, f"no resource {rtype}/{name}")
        require(len(entries) == 1, f"{rtype}/{name} exists in {len(entries)} languages")
        _, rva, size = entries[0]
        return rva, size

    def resource(self, rtype, name):
        return self.pe.get_data(*self.located(rtype, name))

    def file_extent(self, rtype, name):
        """(first byte, end) of a resource in the file."""
        rva, size = self.located(rtype, name)
        begin = self.pe.get_offset_from_rva(rva)
        return begin, begin + size


# --- Headers -------------------------------------------------------------------

def check_machine(image, machine):
    found = image.pe.FILE_HEADER.Machine
    require(found == MACHINES[machine], f"machine 0x{found:04X}, expected 0x{MACHINES[machine]:04X}")
    return f"0x{found:04X}"


def check_subsystem(image):
    found = image.pe.OPTIONAL_HEADER.Subsystem
    require(found == 2, f"subsystem {found}, expected 2 (Windows GUI)")
    return "2 (Windows GUI)"


def check_entry_point(image):
    found = image.pe.OPTIONAL_HEADER.AddressOfEntryPoint
    require(found != 0, "no entry point")
    return f"0x{found:X}"


def check_imports(image):
    entries = getattr(image.pe, "DIRECTORY_ENTRY_IMPORT", [])
    dlls = [entry.dll.decode("ascii") for entry in entries]
    others = [dll for dll in dlls if dll.upper() not in ALLOWED_DLLS]
    require(not others, f"imports from {', '.join(others)}")
    names = {entry.dll.decode("ascii").upper(): {i.name.decode("ascii") for i in entry.imports if i.name}
             for entry in entries}
    for dll, required in REQUIRED_IMPORTS.items():
        missing = [name for name in required if name not in names.get(dll, set())]
        require(not missing, f"does not import {', '.join(missing)} from {dll}")
    forbidden = sorted({name for imported in names.values() for name in imported} & set(FORBIDDEN_IMPORTS))
    require(not forbidden, f"imports {', '.join(forbidden)}")
    return ", ".join(dlls)


def section_holding(pe, rva, size):
    """The section that holds all of [rva, rva + size), or None."""
    for section in pe.sections:
        extent = max(section.Misc_VirtualSize, section.SizeOfRawData)
        if section.VirtualAddress <= rva and rva + size <= section.VirtualAddress + extent:
            return section
    return None


def section_name(section):
    return section.Name.rstrip(b"\0").decode("latin-1")


def check_import_sections(image):
    """The import tables are data: a section that may execute must not hold
    them (an attacker who can write or aim at them would have code there)."""
    placed = []
    for what, index in (("import directory", IMAGE_DIRECTORY_ENTRY_IMPORT),
                        ("import address table", IMAGE_DIRECTORY_ENTRY_IAT)):
        entry = image.pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        require(entry.VirtualAddress and entry.Size, f"no {what}")
        section = section_holding(image.pe, entry.VirtualAddress, entry.Size)
        require(section is not None, f"{what} at 0x{entry.VirtualAddress:X} lies in no one section")
        executable = section.Characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE)
        require(not executable, f"{what} lies in {section_name(section)}, an executable section "
                                f"(characteristics 0x{section.Characteristics:08X})")
        placed.append(f"{what} in {section_name(section)}")
    return ", ".join(placed) + ", not executable"


def check_relocations(image):
    """Address space layout randomisation needs both the fixups and the flag
    that lets the loader move the image."""
    pe = image.pe
    require(not pe.FILE_HEADER.Characteristics & IMAGE_FILE_RELOCS_STRIPPED,
            "relocations marked stripped (IMAGE_FILE_RELOCS_STRIPPED)")
    require(pe.OPTIONAL_HEADER.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE,
            "no DYNAMIC_BASE: the loader would not move the image")
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_BASERELOC]
    require(entry.VirtualAddress and entry.Size, "no base relocation directory")
    blocks = getattr(pe, "DIRECTORY_ENTRY_BASERELOC", [])
    fixups = sum(1 for block in blocks for fixup in block.entries if fixup.type != IMAGE_REL_BASED_ABSOLUTE)
    require(fixups, "the base relocation directory holds no fixups")
    return f"{fixups} fixups in {len(blocks)} block{'s' if len(blocks) != 1 else ''}, DYNAMIC_BASE"


# --- Protections ----------------------------------------------------------------

def executable(section):
    return bool(section.Characteristics & (IMAGE_SCN_MEM_EXECUTE | IMAGE_SCN_CNT_CODE))


def writable(section):
    return bool(section.Characteristics & IMAGE_SCN_MEM_WRITE)


def in_code(pe, rva):
    section = section_holding(pe, rva, 1)
    return section is not None and executable(section)


def code_sections(pe):
    """(bytes, address) of each section that holds code."""
    return [(s.get_data(), s.VirtualAddress) for s in pe.sections if executable(s)]


def check_image_flags(image):
    """High-entropy address space layout randomisation, and data that the
    processor refuses to execute."""
    flags = image.pe.OPTIONAL_HEADER.DllCharacteristics
    require(flags & IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA,
            "no HIGH_ENTROPY_VA: the image would be placed within the low 4 GiB only")
    require(flags & IMAGE_DLLCHARACTERISTICS_NX_COMPAT, "no NX_COMPAT: data pages could be executed")
    return "HIGH_ENTROPY_VA, NX_COMPAT"


def check_section_permissions(image):
    """Code that can be written is code an attacker can write."""
    both = [f"{section_name(s)} (0x{s.Characteristics:08X})" for s in image.pe.sections
            if writable(s) and executable(s)]
    require(not both, f"writable and executable: {', '.join(both)}")
    return f"{len(image.pe.sections)} sections, none both writable and executable"


def load_config(image):
    """The load configuration's fields that its Size covers (None for the others)."""
    pe = image.pe
    entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG]
    require(entry.VirtualAddress and entry.Size, "no load configuration")
    data = pe.get_data(entry.VirtualAddress, entry.Size)
    size = struct.unpack_from("<I", data, 0)[0]
    # The loader reads the record as far as its own Size, and refuses one that
    # the directory sizes differently.
    require(size == entry.Size, f"the record says {size} bytes, the directory {entry.Size}")
    fields = {}
    for name, (offset, fmt) in LOAD_CONFIG_FIELDS.items():
        end = offset + struct.calcsize(fmt)
        fields[name] = struct.unpack_from(fmt, data, offset)[0] if end <= size else None
    return fields


def check_dependent_loads(image):
    """Whatever our imports load in turn comes from System32 only, never from
    the folder the installer was started from (a Downloads folder may hold
    planted libraries)."""
    flags = load_config(image)["DependentLoadFlags"]
    require(flags is not None, "the load configuration ends before DependentLoadFlags")
    require(flags == LOAD_LIBRARY_SEARCH_SYSTEM32,
            f"DependentLoadFlags 0x{flags:X}, expected 0x{LOAD_LIBRARY_SEARCH_SYSTEM32:X} (System32 only)")
    return f"DependentLoadFlags 0x{flags:X} (LOAD_LIBRARY_SEARCH_SYSTEM32)"


def check_guard_pointer(image, name, address):
    """A pointer through which guarded code calls the loader's check: read-only,
    so nobody can aim it elsewhere, and leading to code."""
    pe = image.pe
    rva = address - pe.OPTIONAL_HEADER.ImageBase
    section = section_holding(pe, rva, 8)
    require(section is not None, f"{name} 0x{address:X} lies in no section")
    require(not writable(section) and not executable(section),
            f"{name} lies in {section_name(section)} (0x{section.Characteristics:08X}), not read-only data")
    target = struct.unpack("<Q", pe.get_data(rva, 8))[0] - pe.OPTIONAL_HEADER.ImageBase
    require(in_code(pe, target), f"{name} leads to 0x{target:X}, which is not code")
    return section


# Where a function ends: ret, retaa, retab, and br Xn (a tail call).
def arm64_leaves(word):
    return word in (0xD65F03C0, 0xD65F0BFF, 0xD65F0FFF) or word & 0xFFFFFC1F == 0xD61F0000


def guard_pointer_uses(pe, machine, pointer):
    """Addresses of the code that reaches the guard's pointer at address
    pointer: x64 calls through it (call [rip+disp32]); ARM64 loads it with an
    ldr from a register that an adrp gave its page. The compiler may keep the
    page in a callee-saved register for a whole function and load from it far
    below the adrp, so a page is followed until its register takes another
    page or the function returns or jumps through a register. Each load counts
    once, however many pages reach it."""
    found = set()
    for data, base in code_sections(pe):
        if machine == "x64":
            for i in range(len(data) - 5):
                if data[i:i + 2] == b"\xFF\x15" and base + i + 6 + struct.unpack_from("<i", data, i + 2)[0] == pointer:
                    found.add(base + i)
            continue
        words = [struct.unpack_from("<I", data, i)[0] for i in range(0, len(data) - 3, 4)]
        for index, word in enumerate(words):
            if word & 0x9F000000 != 0x90000000:  # adrp
                continue
            page_offset = ((word >> 29) & 3 | (word >> 3) & 0x1FFFFC) << 12
            page_offset -= (page_offset & (1 << 32)) << 1
            page = ((base + 4 * index) & ~0xFFF) + page_offset
            register = word & 0x1F
            if page != pointer & ~0xFFF:
                continue
            for offset, later in enumerate(words[index + 1:], index + 1):
                if arm64_leaves(later) or (later & 0x9F000000 == 0x90000000 and later & 0x1F == register):
                    break
                # ldr Xt, [Xn, #imm12 * 8] from the same register
                if (later & 0xFFC00000 == 0xF9400000 and (later >> 5) & 0x1F == register
                        and page + ((later >> 10) & 0xFFF) * 8 == pointer):
                    found.add(base + 4 * offset)
    return sorted(found)


def check_control_flow_guard(image, machine):
    """Every indirect call is checked against the image's table of valid
    targets before it is made."""
    pe = image.pe
    require(pe.OPTIONAL_HEADER.DllCharacteristics & IMAGE_DLLCHARACTERISTICS_GUARD_CF,
            "no GUARD_CF: the loader would not enforce the checks")
    config = load_config(image)
    flags = config["GuardFlags"]
    require(flags is not None, f"the load configuration ({config['Size']} bytes) ends before GuardFlags")
    require(flags & IMAGE_GUARD_CF_INSTRUMENTED, f"GuardFlags 0x{flags:X}: not CF_INSTRUMENTED")
    require(flags & IMAGE_GUARD_CF_FUNCTION_TABLE_PRESENT, f"GuardFlags 0x{flags:X}: no function table")
    require(not flags & IMAGE_GUARD_CF_LONGJUMP_TABLE_PRESENT,
            f"GuardFlags 0x{flags:X} claim a longjmp target table, which the record does not hold")

    count = config["GuardCFFunctionCount"]
    require(count, "the table of valid call targets is empty")
    stride = 4 + (flags >> IMAGE_GUARD_CF_FUNCTION_TABLE_SIZE_SHIFT)
    table = config["GuardCFFunctionTable"] - pe.OPTIONAL_HEADER.ImageBase
    holder = section_holding(pe, table, count * stride)
    require(holder is not None, f"the table of {count} targets at 0x{table:X} lies in no one section")
    require(not writable(holder), f"the table of valid call targets lies in writable {section_name(holder)}")
    data = pe.get_data(table, count * stride)
    targets = [struct.unpack_from("<I", data, i * stride)[0] for i in range(count)]
    stray = [f"0x{t:X}" for t in targets if not in_code(pe, t)]
    require(not stray, f"valid call targets outside code: {', '.join(stray)}")

    pointers = ["GuardCFCheckFunctionPointer"]
    if machine == "x64":
        pointers.append("GuardCFDispatchFunctionPointer")  # x64 code dispatches; ARM64 code only checks
    for name in pointers:
        require(config[name], f"no {name}")
        holder = check_guard_pointer(image, name, config[name])
    # The linker builds a table and sets the flags even for code compiled
    # without the guard; only calls through the pointer show that it is used.
    used = pointers[-1]
    uses = len(guard_pointer_uses(pe, machine, config[used] - pe.OPTIONAL_HEADER.ImageBase))
    require(uses, f"no code reaches {used}: the indirect calls are not checked")
    return (f"{count} valid call targets, GuardFlags 0x{flags:X}, pointers in {section_name(holder)}, "
            f"reached from {uses} place{'s' if uses != 1 else ''} in the code")


def call_sites(pe, machine, target):
    """The direct calls (and jumps) in the code that lead to address target:
    [(address, length in bytes)]."""
    sites = []
    for data, base in code_sections(pe):
        if machine == "x64":
            for i in range(len(data) - 4):
                if data[i] in (0xE8, 0xE9) and base + i + 5 + struct.unpack_from("<i", data, i + 1)[0] == target:
                    sites.append((base + i, 5))  # call / jmp rel32
        else:
            for i in range(0, len(data) - 3, 4):
                word = struct.unpack_from("<I", data, i)[0]
                offset = word & 0x03FFFFFF
                offset -= (offset & 0x02000000) << 1
                if word & 0x7C000000 == 0x14000000 and base + i + 4 * offset == target:
                    sites.append((base + i, 4))  # b / bl imm26
    return sites


def check_stack_cookies(image, machine):
    """Functions with buffers on the stack compare a cookie before they return
    and, when it was overwritten, end the process through the system's
    fail-fast: no return through a smashed frame, no handler of ours runs."""
    pe = image.pe
    found = []
    for data, base in code_sections(pe):
        at = -1
        while (at := data.find(FAIL_FAST[machine], at + 1)) >= 0:
            if machine == "x64" or at % 4 == 0:
                found.append(base + at)
    require(found, "no stack-cookie fail-fast (FAST_FAIL_STACK_COOKIE_CHECK_FAILURE) in the code")
    require(len(found) == 1, f"{len(found)} stack-cookie fail-fasts, expected one")
    callers = len(call_sites(pe, machine, found[0]))
    require(callers, "nothing calls the stack-cookie fail-fast: no function checks a cookie")
    return f"fail-fast at 0x{found[0]:X}, reached from {callers} call site{'s' if callers != 1 else ''}"


def check_shadow_stacks(image, machine):
    """x64: the image declares itself compatible with hardware shadow stacks
    (CET), so a system that enforces them checks every return."""
    if machine != "x64":
        return "not applicable to ARM64"
    pe = image.pe
    entries = [d for d in getattr(pe, "DIRECTORY_ENTRY_DEBUG", [])
               if d.struct.Type == IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS]
    require(entries, "no extended DLL characteristics in the debug directory: not CET compatible")
    data = pe.get_data(entries[0].struct.AddressOfRawData, entries[0].struct.SizeOfData)
    flags = struct.unpack_from("<I", data, 0)[0] if len(data) >= 4 else 0
    require(flags & IMAGE_DLLCHARACTERISTICS_EX_CET_COMPAT, f"extended DLL characteristics 0x{flags:X}: no CET_COMPAT")
    return f"extended DLL characteristics 0x{flags:X} (CET_COMPAT)"


def check_page_mapped_sections(image):
    """Every section's file offset lies at the same place in its page as its
    address: a loader can then map the pages straight from the file and read
    only those that are touched. Otherwise a loader such as Wine's reads the
    section in full when the image loads, and for the resource section that
    is the whole archive, which the stub must never read."""
    misplaced = [f"{section_name(section)} at file offset 0x{section.PointerToRawData:X} for address "
                 f"0x{section.VirtualAddress:X}"
                 for section in image.pe.sections
                 if section.SizeOfRawData and (section.PointerToRawData - section.VirtualAddress) % PAGE_BYTES]
    require(not misplaced, f"not at their page offset: {', '.join(misplaced)}")
    return f"{len(image.pe.sections)} sections, file offsets at their pages ({PAGE_BYTES} bytes)"


def check_time_stamps(image):
    stamp = image.pe.FILE_HEADER.TimeDateStamp
    require(stamp == 0, f"PE time stamp 0x{stamp:08X}")
    require(image.resource_stamps, "no resource directory")
    nonzero = [f"0x{s:08X}" for s in image.resource_stamps if s]
    require(not nonzero, f"resource directory time stamps {', '.join(nonzero)}")
    return "PE header and resource directories 0"


def check_languages(image):
    others = sorted({(t, n, lang) for (t, n), entries in image.resources.items()
                     for lang, _, _ in entries if lang != LANG_EN_US}, key=str)
    require(image.resources, "no resources")
    require(not others, "not English (US): " + ", ".join(f"{t}/{n} language {l}" for t, n, l in others))
    return f"{sum(len(e) for e in image.resources.values())} resources, all language {LANG_EN_US}"


# --- Payload -------------------------------------------------------------------

def check_archive(image, name=ARCHIVE_NAME):
    require(image.names("B7") == [name], f"B7 resources are {image.names('B7')}, expected [{name!r}]")
    rva, size = image.located("B7", name)
    # The signature only: a large archive is not read for this.
    data = image.pe.get_data(rva, min(size, len(SEVEN_ZIP_SIGNATURE)))
    require(data.startswith(SEVEN_ZIP_SIGNATURE), f"starts with {data[:6].hex()}, not the 7z signature")
    return f"B7/{name}, 7z, {size} bytes"


def read_cabinet(data):
    """The files of a single-cabinet set: [(name, contents)]. Raises Failure."""
    require(data[:4] == b"MSCF", f"starts with {data[:4]!r}, not MSCF")
    (_, _, cb_cabinet, _, coff_files, _, _, _, c_folders, c_files, flags, _, _) = \
        struct.unpack_from("<4sIIIIIBBHHHHH", data, 0)
    require(cb_cabinet == len(data), f"cabinet says {cb_cabinet} bytes, resource has {len(data)}")
    require(flags & 3 == 0, "cabinet is part of a set (previous/next cabinet flags)")
    offset, folder_reserve, data_reserve = 36, 0, 0
    if flags & 4:
        header_reserve, folder_reserve, data_reserve = struct.unpack_from("<HBB", data, offset)
        offset += 4 + header_reserve
    folders = []
    for _ in range(c_folders):
        folders.append(struct.unpack_from("<IHH", data, offset))
        offset += 8 + folder_reserve

    contents = []
    for coff_start, c_data, type_compress in folders:
        require(type_compress & 0x0F == 1, f"folder compression type 0x{type_compress:04X}, not MSZIP")
        history, offset = b"", coff_start
        for _ in range(c_data):
            _, cb_data, cb_uncomp = struct.unpack_from("<IHH", data, offset)
            offset += 8 + data_reserve
            block = data[offset:offset + cb_data]
            offset += cb_data
            require(block[:2] == b"CK", "MSZIP block without its CK signature")
            # Each block is raw deflate that may refer back into the one before.
            inflater = zlib.decompressobj(-15, zdict=history[-32768:]) if history else zlib.decompressobj(-15)
            out = inflater.decompress(block[2:]) + inflater.flush()
            require(len(out) == cb_uncomp, f"block inflates to {len(out)} bytes, header says {cb_uncomp}")
            history += out
        contents.append(history)

    files, offset = [], coff_files
    for _ in range(c_files):
        cb_file, uoff_start, i_folder, _, _, _ = struct.unpack_from("<IIHHHH", data, offset)
        end = data.index(b"\0", offset + 16)
        name = data[offset + 16:end].decode("ascii")
        offset = end + 1
        require(i_folder < len(contents), f"{name} is in folder {i_folder} of {len(contents)}")
        body = contents[i_folder][uoff_start:uoff_start + cb_file]
        require(len(body) == cb_file, f"{name}: {cb_file} bytes stored, {len(body)} in the folder")
        files.append((name, body))
    return files


def pe_machine(data):
    require(data[:2] == b"MZ", "setup program is not a PE file (no MZ)")
    pe_offset = struct.unpack_from("<I", data, 0x3C)[0]
    require(data[pe_offset:pe_offset + 4] == b"PE\0\0", "setup program is not a PE file")
    return struct.unpack_from("<H", data, pe_offset + 4)[0]


def check_setup(image, storage, machine):
    present = {t for t, _ in image.resources} & {"BL", "BN"}
    require(present == {storage}, f"setup resource types {sorted(present)}, expected only {storage}")
    if storage == "BL":
        require(image.names("BL") == ["SETUP.EX_"], f"BL resources are {image.names('BL')}")
        files = read_cabinet(image.resource("BL", "SETUP.EX_"))
        require([name for name, _ in files] == ["setup.exe"],
                f"cabinet holds {[name for name, _ in files]}, expected only setup.exe")
        program, described = files[0][1], "BL/SETUP.EX_, MSZIP cabinet holding setup.exe"
    else:
        require(image.names("BN") == ["SETUP.EXE"], f"BN resources are {image.names('BN')}")
        program, described = image.resource("BN", "SETUP.EXE"), "BN/SETUP.EXE, uncompressed"
    found = pe_machine(program)
    require(found == MACHINES[machine], f"setup.exe is for machine 0x{found:04X}")
    return f"{described}, {len(program)} bytes for 0x{found:04X}"


# --- Icon ----------------------------------------------------------------------

def png_chunks(data):
    chunks, offset = [], len(PNG_SIGNATURE)
    while offset < len(data):
        length, kind = struct.unpack_from(">I4s", data, offset)
        chunks.append((kind.decode("latin-1"), data[offset + 8:offset + 8 + length]))
        offset += 12 + length
    return chunks


def check_icon_group(image):
    require(image.names(RT_GROUP_ICON) == [ICON_GROUP_ID], f"icon groups {image.names(RT_GROUP_ICON)}")
    data = image.resource(RT_GROUP_ICON, ICON_GROUP_ID)
    reserved, kind, count = struct.unpack_from("<HHH", data, 0)
    require((reserved, kind) == (0, 1), "not an icon group header")
    require(count == len(ICON_IMAGES), f"{count} images, expected {len(ICON_IMAGES)}")
    icons = image.names(RT_ICON)
    require(icons == list(range(1, len(ICON_IMAGES) + 1)), f"icon ids {icons}")
    return f"{count} images, icon ids 1 to {count}"


def check_icon_image(image, index):
    size, bits, is_png = ICON_IMAGES[index]
    group = image.resource(RT_GROUP_ICON, ICON_GROUP_ID)
    width, height, colours, _, planes, bit_count, byte_count, icon_id = \
        struct.unpack_from("<BBBBHHIH", group, 6 + 14 * index)
    require(icon_id == index + 1, f"entry {index + 1} is icon {icon_id}")
    width, height = width or 256, height or 256
    require((width, height, bit_count) == (size, size, bits),
            f"group entry {width}x{height} {bit_count}-bit, expected {size}x{size} {bits}-bit")
    require(planes == 1, f"group entry has {planes} planes")
    require(colours == (16 if bits == 4 else 0), f"group entry has colour count {colours}")
    data = image.resource(RT_ICON, icon_id)
    require(byte_count == len(data), f"group entry says {byte_count} bytes, icon has {len(data)}")
    if is_png:
        require(data.startswith(PNG_SIGNATURE), "not stored as PNG")
        chunks = png_chunks(data)
        require(chunks[0][0] == "IHDR", "PNG without IHDR first")
        w, h, depth, colour_type = struct.unpack_from(">IIBB", chunks[0][1])
        require((w, h, depth, colour_type) == (size, size, 8, 6),
                f"PNG {w}x{h}, bit depth {depth}, colour type {colour_type}; expected 8-bit RGBA")
        extra = sorted({kind for kind, _ in chunks} & {"tIME", "tEXt", "zTXt", "iTXt"})
        require(not extra, f"PNG has {', '.join(extra)} chunks (times or text)")
        stored = "PNG"
    else:
        require(not data.startswith(PNG_SIGNATURE), "stored as PNG, expected a bitmap")
        header_size, w, h, bmp_planes, bmp_bits = struct.unpack_from("<IiiHH", data, 0)
        require(header_size == 40, f"bitmap header of {header_size} bytes")
        # The height counts the colour image and the transparency mask.
        require((w, h, bmp_bits) == (size, 2 * size, bits),
                f"bitmap {w}x{h // 2} {bmp_bits}-bit, expected {size}x{size} {bits}-bit")
        stored = "bitmap"
    return f"{size}x{size} {bits}-bit {stored}"


# --- Version block ------------------------------------------------------------

def read_version_node(data, offset):
    """One VS_VERSIONINFO-style node: (key, value bytes, children, end)."""
    length, value_length, value_type = struct.unpack_from("<HHH", data, offset)
    end = offset + length
    require(6 < length and end <= len(data), f"version node of length {length} at {offset}")
    key_end = offset + 6
    while data[key_end:key_end + 2] != b"\0\0":
        key_end += 2
    key = data[offset + 6:key_end].decode("utf-16-le")
    position = (key_end + 2 + 3) & ~3
    value_size = value_length * 2 if value_type == 1 else value_length
    value = data[position:position + value_size]
    position = (position + value_size + 3) & ~3
    children = []
    while position < end:
        child = read_version_node(data, position)
        children.append(child)
        position = (child[3] + 3) & ~3
    return key, value, children, end


def text(value):
    return value.decode("utf-16-le").split("\0", 1)[0]


def check_version(image, expected_strings, expected_version):
    require(image.names(RT_VERSION) == [1], f"version resources {image.names(RT_VERSION)}")
    key, fixed, children, _ = read_version_node(image.resource(RT_VERSION, 1), 0)
    require(key == "VS_VERSION_INFO", f"root key {key!r}")
    require(len(fixed) == 52, f"fixed file info of {len(fixed)} bytes")
    (signature, _, file_ms, file_ls, product_ms, product_ls, flags_mask, flags, os, file_type,
     _, date_ms, date_ls) = struct.unpack("<13I", fixed)
    require(signature == 0xFEEF04BD, f"fixed file info signature 0x{signature:08X}")
    fixed_fields = {"FILEFLAGSMASK": (flags_mask, 0x17), "FILEFLAGS": (flags, 0),
                    "FILEOS": (os, 0x4), "FILETYPE": (file_type, 0x1), "file date": ((date_ms, date_ls), (0, 0))}
    for field, (found, wanted) in fixed_fields.items():
        require(found == wanted, f"{field} is {found}, expected {wanted}")
    require((file_ms, file_ls) == (product_ms, product_ls), "FILEVERSION differs from PRODUCTVERSION")
    version = f"{file_ms >> 16}.{file_ms & 0xFFFF}.{file_ls >> 16}.{file_ls & 0xFFFF}"
    if expected_version:
        require(version == expected_version, f"version {version}, expected {expected_version}")

    blocks = {child[0]: child for child in children}
    require([child[0] for child in children] == ["StringFileInfo", "VarFileInfo"],
            f"blocks {[child[0] for child in children]}")
    tables = blocks["StringFileInfo"][2]
    require([table[0] for table in tables] == ["040904b0"], f"string tables {[table[0] for table in tables]}")
    strings = [(entry[0], text(entry[1])) for entry in tables[0][2]]
    keys = [k for k, _ in strings]
    require(keys == VERSION_KEYS, f"keys {keys}")
    values = dict(strings)
    require(values["FileVersion"] == values["ProductVersion"] == version,
            f"FileVersion {values['FileVersion']!r}, ProductVersion {values['ProductVersion']!r}, "
            f"fixed {version}")
    require(values["Official Build"] in ("0", "1"), f"Official Build {values['Official Build']!r}")
    for k, wanted in expected_strings.items():
        require(values.get(k) == wanted, f"{k} is {values.get(k)!r}, expected {wanted!r}")

    variables = blocks["VarFileInfo"][2]
    require([(v[0], v[1]) for v in variables] == [("Translation", struct.pack("<HH", 0x409, 1200))],
            f"VarFileInfo {[(v[0], v[1].hex()) for v in variables]}")
    return f"{version}, {len(keys)} strings in 040904b0, translation 0x409/1200"


# --- Names ------------------------------------------------------------------

# RT_RCDATA "NAMES": the installer's own names, as the stub reads them. Each
# text is UTF-16LE ended by one NUL unit: these four, each at least one unit
# and at most its limit, then up to REFUSED_SWITCH_COUNT refused switches,
# then an empty text that ends the list and the resource.
NAMES_NAME = "NAMES"
NAME_LIMITS = [("cleanup key", 255), ("cleanup value", 255), ("path switch", 64), ("archive prefix", 64)]
REFUSED_SWITCH_LIMIT = 64
REFUSED_SWITCH_COUNT = 16


def units(text):
    return len(text.encode("utf-16-le", errors="surrogatepass")) // 2


def read_names(data):
    """The texts of a names resource; Failure naming what makes the stub
    refuse it (exit code 120)."""
    require(len(data) % 2 == 0, f"{len(data)} bytes: an odd size")
    text_units = data.decode("utf-16-le", errors="surrogatepass")
    texts, at = [], 0
    while True:
        end = text_units.find("\0", at)
        require(end >= 0, f"text {len(texts) + 1} has no terminator within the resource")
        text, at = text_units[at:end], end + 1
        if len(texts) < len(NAME_LIMITS):
            what, limit = NAME_LIMITS[len(texts)]
            require(text, f"the {what} is empty")
            require(units(text) <= limit, f"the {what} is {units(text)} units long; its limit is {limit}")
        elif not text:
            require(at == len(text_units), f"{len(text_units) - at} units after the end of the list")
            return texts
        else:
            require(len(texts) - len(NAME_LIMITS) < REFUSED_SWITCH_COUNT,
                    f"more than {REFUSED_SWITCH_COUNT} refused switches")
            require(units(text) <= REFUSED_SWITCH_LIMIT,
                    f"refused switch {text!r} is {units(text)} units long; its limit is {REFUSED_SWITCH_LIMIT}")
        texts.append(text)


def check_names(image, expected=None):
    present = image.names(RT_RCDATA)
    if expected is None:
        require(present == [], f"RT_RCDATA resources {present}, expected none (the stub's own names)")
        return "none: the stub's own names"
    require(present == [NAMES_NAME], f"RT_RCDATA resources {present}, expected [{NAMES_NAME!r}]")
    texts = read_names(image.resource(RT_RCDATA, NAMES_NAME))
    require(texts == list(expected), f"names {texts}, expected {list(expected)}")
    return f"{NAMES_NAME}: key, value, path switch, archive prefix and {len(texts) - len(NAME_LIMITS)} refused switches"


# --- The ready stub -------------------------------------------------------------

def _debug_masked(image):
    """Each section's bytes with the debug entries' file pointers zeroed, once
    each is seen to point at its own data in this file: the one field of the
    stub's data that moves with the layout."""
    pe = image.pe
    resources = pe.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress
    # The resource section (which holds the archive) is not read.
    data = {section.VirtualAddress: bytearray(section.get_data()) for section in pe.sections
            if not resources or section.VirtualAddress != resources}
    for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
        pointer = entry.struct.PointerToRawData
        wanted = pe.get_offset_from_rva(entry.struct.AddressOfRawData)
        require(pointer == wanted, f"a debug entry's file pointer 0x{pointer:X} is not its data's offset 0x{wanted:X}")
        field = pe.get_rva_from_offset(entry.struct.get_field_absolute_offset("PointerToRawData"))
        holder = section_holding(pe, field, 4)
        struct.pack_into("<I", data[holder.VirtualAddress], field - holder.VirtualAddress, 0)
    return data


# The header fields that say where the stub's code and data are, and how
# they run: all of them the ready stub's.
STUB_FIELDS = ["AddressOfEntryPoint", "ImageBase", "SectionAlignment", "Subsystem", "DllCharacteristics",
               "MajorOperatingSystemVersion", "MajorSubsystemVersion", "SizeOfStackReserve", "SizeOfStackCommit"]
MOVED_DIRECTORIES = {2, 4, 5}  # the resources (new), the certificate (signing), the base relocations (moved)


def check_ready_stub(image, stub):
    """The installer carries the ready stub's sections byte for byte (every
    one but the base relocations at its own address), and one section more:
    the resources, put before the relocations."""
    pe, ready = image.pe, stub.pe
    require(not ready.OPTIONAL_HEADER.DATA_DIRECTORY[2].VirtualAddress, "the ready stub has resources")
    require(pe.FILE_HEADER.Machine == ready.FILE_HEADER.Machine, "another machine than the ready stub's")
    for field in STUB_FIELDS:
        found, wanted = getattr(pe.OPTIONAL_HEADER, field), getattr(ready.OPTIONAL_HEADER, field)
        require(found == wanted, f"{field} 0x{found:X}, the ready stub's is 0x{wanted:X}")
    for index, (found, wanted) in enumerate(zip(pe.OPTIONAL_HEADER.DATA_DIRECTORY, ready.OPTIONAL_HEADER.DATA_DIRECTORY)):
        if index not in MOVED_DIRECTORIES:
            require((found.VirtualAddress, found.Size) == (wanted.VirtualAddress, wanted.Size),
                    f"data directory {index} differs from the ready stub's")
    names = [section_name(s) for s in pe.sections]
    stub_names = [section_name(s) for s in ready.sections]
    require(names == stub_names[:-1] + [".rsrc"] + stub_names[-1:],
            f"sections {names}, expected the ready stub's {stub_names} with .rsrc before the last")
    found_data, wanted_data = _debug_masked(image), _debug_masked(stub)
    carried = pe.sections[:-2] + pe.sections[-1:]
    for index, (section, original) in enumerate(zip(carried, ready.sections)):
        last = index == len(ready.sections) - 1
        name = section_name(section)
        require(section.Characteristics == original.Characteristics, f"{name}: other characteristics")
        require(section.Misc_VirtualSize == original.Misc_VirtualSize, f"{name}: another virtual size")
        require(last or section.VirtualAddress == original.VirtualAddress, f"{name}: another address")
        found, wanted = found_data[section.VirtualAddress], wanted_data[original.VirtualAddress]
        require(found[:len(wanted)] == wanted and not any(found[len(wanted):]),
                f"{name}: its bytes are not the ready stub's")
    relocations = pe.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    wanted = ready.OPTIONAL_HEADER.DATA_DIRECTORY[5]
    require((relocations.VirtualAddress, relocations.Size) == (pe.sections[-1].VirtualAddress, wanted.Size),
            "the base relocations are not the ready stub's, in the last section")
    return f"{', '.join(stub_names)}: the ready stub's bytes (the debug entries' file pointers aside)"


# --- Manifest -----------------------------------------------------------------

def local(tag):
    return tag.rsplit("}", 1)[-1]


def check_manifest(image, level="asInvoker"):
    require(image.names(RT_MANIFEST) == [1], f"manifest resources {image.names(RT_MANIFEST)}")
    root = ElementTree.fromstring(image.resource(RT_MANIFEST, 1))
    require(local(root.tag) == "assembly", f"root element {local(root.tag)}")
    elements = {}
    for element in root.iter():
        elements.setdefault(local(element.tag), []).append(element)

    levels = [e.attrib for e in elements.get("requestedExecutionLevel", [])]
    require(levels == [{"level": level, "uiAccess": "false"}], f"requestedExecutionLevel {levels}")

    # No dependent assembly: the stub draws no window, and a dependency is
    # what lets a folder "<installer>.exe.local" beside the installer redirect
    # that assembly's libraries into an elevated run.
    dependencies = [identity.attrib for dependent in elements.get("dependentAssembly", [])
                    for identity in dependent if local(identity.tag) == "assemblyIdentity"]
    require(not dependencies and not elements.get("dependency"), f"dependencies {dependencies}")

    supported = [e.get("Id", "").lower() for e in elements.get("supportedOS", [])]
    require(sorted(supported) == sorted(SUPPORTED_OS), f"supportedOS {supported}")
    tested = [e.get("Id") for e in elements.get("maxversiontested", [])]
    require(tested == ["10.0.18362.0"], f"maxversiontested {tested}")
    return f"{level}, no dependent assembly, five supportedOS, maxversiontested 10.0.18362.0"


# --- Driver -------------------------------------------------------------------

def check_image(report, image, machine):
    """The checks of the image itself, which hold for every image made from
    the stub, with or without resources."""
    report.check("machine", check_machine, image, machine)
    report.check("subsystem", check_subsystem, image)
    report.check("entry point", check_entry_point, image)
    report.check("imports", check_imports, image)
    report.check("import sections", check_import_sections, image)
    report.check("relocations", check_relocations, image)
    report.check("image flags", check_image_flags, image)
    report.check("section permissions", check_section_permissions, image)
    report.check("dependent loads", check_dependent_loads, image)
    report.check("control flow guard", check_control_flow_guard, image, machine)
    report.check("stack cookies", check_stack_cookies, image, machine)
    report.check("shadow stacks", check_shadow_stacks, image, machine)


def parse(data):
    """`data`: the image's bytes, or the path of its file, which is mapped
    rather than read: no check reads the archive beyond its signature."""
    # A fast load and then the directories: a full load would also walk every
    # byte of a large archive for no check of ours.
    if isinstance(data, (bytes, bytearray)):
        pe = pefile.PE(data=data, fast_load=True)
    else:
        pe = pefile.PE(name=str(data), fast_load=True)
    pe.parse_data_directories()
    return Image(pe)


def run_image_checks(data, machine, out=sys.stdout):
    """Checks an image without an installer's resources (the bare stub); returns the Report."""
    report = Report(out)
    check_image(report, parse(data), machine)
    return report


def run_checks(data, machine, storage="BL", expected_strings=None, expected_version=None, out=sys.stdout,
               archive_name=ARCHIVE_NAME, execution_level="asInvoker", names=None, stub=None):
    """Checks an installer (its bytes, or its file); returns the Report.
    `names`: the texts its names resource must hold, in their order (None: it
    has none, and the stub uses its own). `stub`: the ready stub (bytes or
    file) whose sections it must carry unchanged."""
    report = Report(out)
    image = parse(data)
    check_image(report, image, machine)
    report.check("page-mapped sections", check_page_mapped_sections, image)
    report.check("time stamps", check_time_stamps, image)
    report.check("resource languages", check_languages, image)
    report.check("product archive", check_archive, image, archive_name)
    report.check("setup program", check_setup, image, storage, machine)
    report.check("icon group", check_icon_group, image)
    for index in range(len(ICON_IMAGES)):
        report.check(f"icon {index + 1}", check_icon_image, image, index)
    report.check("version block", check_version, image, expected_strings or {}, expected_version)
    report.check("manifest", check_manifest, image, execution_level)
    report.check("names", check_names, image, names)
    if stub is not None:
        report.check("ready stub", check_ready_stub, image, parse(stub))
    return report


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("installer")
    parser.add_argument("machine", choices=sorted(MACHINES))
    parser.add_argument("--image-only", action="store_true",
                        help="check the image alone (headers, imports, protections), for the bare stub")
    parser.add_argument("--quiet", action="store_true", help="print only the failed checks and the count")
    parser.add_argument("--expect-setup-storage", choices=["BL", "BN"], default="BL")
    parser.add_argument("--expect-archive-name", metavar="NAME", default=ARCHIVE_NAME,
                        help="the archive's resource name as given (it is stored upper case)")
    parser.add_argument("--expect-execution-level", choices=EXECUTION_LEVELS, default="asInvoker")
    parser.add_argument("--expect-version", metavar="A.B.C.D")
    parser.add_argument("--expect-company", metavar="TEXT")
    parser.add_argument("--expect-product", metavar="TEXT")
    parser.add_argument("--expect-string", metavar="KEY=VALUE", action="append", default=[],
                        help="a version string's expected value (repeatable)")
    parser.add_argument("--expect-names", metavar="TEXT", nargs="+",
                        help="the texts the names resource holds, in its order (default: no names resource)")
    parser.add_argument("--stub", metavar="READY_STUB",
                        help="the ready stub whose sections the installer must carry byte for byte")
    args = parser.parse_args(argv)

    expected = {}
    for pair in args.expect_string:
        key, separator, value = pair.partition("=")
        if not separator or key not in VERSION_KEYS:
            parser.error(f"--expect-string {pair!r}: want KEY=VALUE with KEY one of {VERSION_KEYS}")
        expected[key] = value
    if args.expect_company is not None:
        expected["CompanyName"] = args.expect_company
    if args.expect_product is not None:
        expected["ProductName"] = args.expect_product

    data = args.installer
    try:
        out = None if args.quiet else sys.stdout
        if args.image_only:
            report = run_image_checks(data, args.machine, out)
        else:
            report = run_checks(data, args.machine, args.expect_setup_storage, expected, args.expect_version, out,
                                archive_name=args.expect_archive_name.upper(),
                                execution_level=args.expect_execution_level, names=args.expect_names,
                                stub=args.stub)
    except pefile.PEFormatError as error:
        print(f"FAIL: {args.installer} is not a PE file: {error}")
        return 1
    failed = report.failed()
    if args.quiet:
        for _, passed, line in report.results:
            if not passed:
                print(line)
    if failed:
        print(f"{args.installer}: {len(failed)} of {len(report.results)} checks failed")
    else:
        print(f"{args.installer}: all {len(report.results)} checks passed")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
