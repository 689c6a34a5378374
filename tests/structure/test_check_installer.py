#!/usr/bin/python3
"""The structure check must notice a broken installer: each case breaks one
thing in a built installer's bytes and expects exactly the checks that cover
it to fail, and no other. The protections are broken in the bare stubs too,
which are checked without resources.

    STUB_INSTALLER=build/x64/installer.exe ./test.sh arm64 -m structure

STUB_INSTALLER names one installer; by default the x64 and ARM64 installers
and bare stubs under build/ are used, whichever are built.
"""

import os
import re
import struct
import unittest

import pefile

import check_installer as ci

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
BUILT = os.path.join(ROOT, "build")
if "STUB_INSTALLER" in os.environ:
    INSTALLERS, STUBS = [os.environ["STUB_INSTALLER"]], []
else:
    INSTALLERS = [p for p in (os.path.join(BUILT, arch, "installer.exe") for arch in ci.MACHINES) if os.path.exists(p)]
    STUBS = [p for p in (os.path.join(BUILT, arch, "stub.exe") for arch in ci.MACHINES) if os.path.exists(p)]
MACHINE_NAMES = {value: name for name, value in ci.MACHINES.items()}


# A mutation gets the parsed original and changes a copy of its bytes
# (pefile's own write() would put back the fields it parsed).

def resource_offset(pe, image, rtype, name):
    _, rva, size = image.resources[(rtype, name)][0]
    return pe.get_offset_from_rva(rva), size


def patch_resource(old, new, rtype, name):
    """Replaces the one occurrence of old in a resource."""
    assert len(old) == len(new)

    def mutate(pe, image, data):
        offset, size = resource_offset(pe, image, rtype, name)
        found = data[offset:offset + size]
        assert found.count(old) == 1, f"{old!r} occurs {found.count(old)} times in {rtype}/{name}"
        offset += found.index(old)
        data[offset:offset + len(old)] = new
    return mutate


def patch_struct(rtype, name, offset, fmt, value):
    """Overwrites a field at offset in a resource."""
    def mutate(pe, image, data):
        struct.pack_into(fmt, data, resource_offset(pe, image, rtype, name)[0] + offset, value)
    return mutate


def set_field(structure, field, value, data):
    struct.pack_into("<I" if field != "Name" else "<H", data, structure.get_field_absolute_offset(field), value)


def change_header_field(structure, field, fmt, change):
    """Rewrites a header field of `fmt` with change(old value)."""
    def mutate(pe, image, data):
        offset = structure(pe).get_field_absolute_offset(field)
        struct.pack_into(fmt, data, offset, change(struct.unpack_from(fmt, data, offset)[0]))
    return mutate


def section_of_directory(index):
    """The section that holds data directory `index`."""
    def find(pe):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        return ci.section_holding(pe, entry.VirtualAddress, entry.Size)
    return find


def directory(index):
    return lambda pe: pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]


def code_moved_half_a_page(pe, image, data):
    """The code's bytes moved 0x200 nearer the start of the file (into the
    padding after the headers), and its header with them: the image still
    holds the same code, only at an offset that is not its page's."""
    section = pe.sections[0]
    start, used = section.PointerToRawData, section.Misc_VirtualSize
    headers_end = pe.sections[-1].get_file_offset() + 40  # after the last section header
    assert start - 0x200 >= headers_end, "no padding to move the code into"
    data[start - 0x200:start - 0x200 + used] = data[start:start + used]
    data[start - 0x200 + used:start + used] = bytes(0x200)  # what was left of the old place
    change_header_field(lambda pe: pe.sections[0], "PointerToRawData", "<I", lambda offset: offset - 0x200)(
        pe, image, data)


def set_pe_time_stamp(pe, image, data):
    set_field(pe.FILE_HEADER, "TimeDateStamp", 0x5F000000, data)


def set_resource_time_stamp(pe, image, data):
    set_field(pe.DIRECTORY_ENTRY_RESOURCE.struct, "TimeDateStamp", 0x5F000000, data)


def set_archive_language_german(pe, image, data):
    for type_entry in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        if type_entry.name is not None and str(type_entry.name) == "B7":
            set_field(type_entry.directory.entries[0].directory.entries[0].struct, "Name", 1031, data)


def swap_first_two_icon_ids(pe, image, data):
    # nID is the last field of each 14-byte entry after the 6-byte header.
    patch_struct(ci.RT_GROUP_ICON, ci.ICON_GROUP_ID, 6 + 12, "<H", 2)(pe, image, data)
    patch_struct(ci.RT_GROUP_ICON, ci.ICON_GROUP_ID, 6 + 14 + 12, "<H", 1)(pe, image, data)


def load_config_field(name, change):
    """Rewrites a load configuration field with change(old value)."""
    def mutate(pe, image, data):
        entry = pe.OPTIONAL_HEADER.DATA_DIRECTORY[ci.IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG]
        field_offset, fmt = ci.LOAD_CONFIG_FIELDS[name]
        offset = pe.get_offset_from_rva(entry.VirtualAddress) + field_offset
        struct.pack_into(fmt, data, offset, change(struct.unpack_from(fmt, data, offset)[0]))
    return mutate


def both(*mutations):
    def mutate(pe, image, data):
        for mutation in mutations:
            mutation(pe, image, data)
    return mutate


def machine_of(pe):
    return MACHINE_NAMES[pe.FILE_HEADER.Machine]


def fail_fast_offset(pe, data):
    sequence = ci.FAIL_FAST[machine_of(pe)]
    assert data.count(sequence) == 1, "the fail-fast is not there once"
    return data.index(sequence)


def fail_fast_returns(pe, image, data):
    """The fail-fast's trap replaced by a return: a smashed frame would be returned through."""
    offset = fail_fast_offset(pe, data)
    if machine_of(pe) == "x64":
        data[offset + 5:offset + 7] = b"\xC3\xCC"  # ret; int3
    else:
        struct.pack_into("<I", data, offset + 4, 0xD65F03C0)  # ret


def cookie_checks_skip_the_fail_fast(pe, image, data):
    """Every call of the fail-fast made a no-op, as if no function checked its cookie."""
    nop = b"\x90" * 5 if machine_of(pe) == "x64" else struct.pack("<I", 0xD503201F)
    target = pe.get_rva_from_offset(fail_fast_offset(pe, data))
    for address, length in ci.call_sites(pe, machine_of(pe), target):
        offset = pe.get_offset_from_rva(address)
        data[offset:offset + length] = nop[:length]


def indirect_calls_unchecked(pe, image, data):
    """Code compiled without the guard: nothing reaches the check (x64: dispatch) pointer."""
    config = ci.load_config(image)
    name = "GuardCFDispatchFunctionPointer" if machine_of(pe) == "x64" else "GuardCFCheckFunctionPointer"
    length, nop = (6, b"\x90" * 6) if machine_of(pe) == "x64" else (4, struct.pack("<I", 0xD503201F))
    for address in ci.guard_pointer_uses(pe, machine_of(pe), config[name] - pe.OPTIONAL_HEADER.ImageBase):
        offset = pe.get_offset_from_rva(address)
        data[offset:offset + length] = nop


def cet_compat_cleared(pe, image, data):
    for entry in pe.DIRECTORY_ENTRY_DEBUG:
        if entry.struct.Type == ci.IMAGE_DEBUG_TYPE_EX_DLLCHARACTERISTICS:
            struct.pack_into("<I", data, entry.struct.PointerToRawData, 0)


def check_pointer_in_writable_data(pe, image, data):
    """The load configuration names a pointer in .data, which anyone with a write could aim elsewhere."""
    section = next(s for s in pe.sections if ci.writable(s))
    address = pe.OPTIONAL_HEADER.ImageBase + section.VirtualAddress
    load_config_field("GuardCFCheckFunctionPointer", lambda _: address)(pe, image, data)


def rdata(pe):
    return next(section for section in pe.sections if ci.section_name(section) == ".rdata")


def dll_characteristic_cleared(flag):
    return change_header_field(lambda pe: pe.OPTIONAL_HEADER, "DllCharacteristics", "<H", lambda flags: flags & ~flag)


def import_renamed(old, new):
    """One imported function's name in the import tables changed to another of its length."""
    assert len(old) == len(new)

    def mutate(pe, image, data):
        for entry in pe.DIRECTORY_ENTRY_IMPORT:
            for imported in entry.imports:
                if imported.name == old:
                    offset = imported.name_offset
                    data[offset:offset + len(old)] = new
                    return
        raise AssertionError(f"{old!r} is not imported")
    return mutate


def manifest_with_common_controls(pe, image, data):
    """A dependency on the Common-Controls assembly put back into the
    manifest, in the room its comments and indentation took, the length kept
    by blanks at its end."""
    offset, size = resource_offset(pe, image, ci.RT_MANIFEST, 1)
    text = re.sub(r">\s+<", "><", re.sub(r"<!--.*?-->", "", bytes(data[offset:offset + size]).decode("utf-8")))
    dependency = ('<dependency><dependentAssembly><assemblyIdentity type="win32" '
                  'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"/></dependentAssembly></dependency>')
    text = text.replace("</trustInfo>", "</trustInfo>" + dependency, 1)
    planted = text.encode("utf-8")
    assert len(planted) <= size, "no room for the dependency"
    data[offset:offset + size] = planted + b" " * (size - len(planted))


def load_config_size(size):
    return both(load_config_field("Size", lambda _: size),
                change_header_field(directory(ci.IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG), "Size", "<I", lambda _: size))


# The protections, broken one at a time in installers and bare stubs alike:
# (what is broken, mutation, checks that must fail, machines it applies to).
PROTECTION_CASES = [
    ("HIGH_ENTROPY_VA cleared", dll_characteristic_cleared(ci.IMAGE_DLLCHARACTERISTICS_HIGH_ENTROPY_VA),
     {"image flags"}, ci.MACHINES),
    ("NX_COMPAT cleared", dll_characteristic_cleared(ci.IMAGE_DLLCHARACTERISTICS_NX_COMPAT),
     {"image flags"}, ci.MACHINES),
    ("code section made writable",
     change_header_field(lambda pe: pe.sections[0], "Characteristics", "<I",
                         lambda flags: flags | ci.IMAGE_SCN_MEM_WRITE), {"section permissions"}, ci.MACHINES),
    ("load configuration dropped",
     change_header_field(directory(ci.IMAGE_DIRECTORY_ENTRY_LOAD_CONFIG), "Size", "<I", lambda _: 0),
     {"dependent loads", "control flow guard"}, ci.MACHINES),
    ("load configuration sized unlike its directory", load_config_field("Size", lambda size: size - 4),
     {"dependent loads", "control flow guard"}, ci.MACHINES),
    ("DependentLoadFlags cleared", load_config_field("DependentLoadFlags", lambda _: 0),
     {"dependent loads"}, ci.MACHINES),
    ("DependentLoadFlags with the application's folder",  # LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
     load_config_field("DependentLoadFlags", lambda _: 0x1000), {"dependent loads"}, ci.MACHINES),
    ("load configuration cut before the guard fields", load_config_size(0x50),
     {"control flow guard"}, ci.MACHINES),
    ("GUARD_CF cleared", dll_characteristic_cleared(ci.IMAGE_DLLCHARACTERISTICS_GUARD_CF),
     {"control flow guard"}, ci.MACHINES),
    ("table of valid call targets emptied", load_config_field("GuardCFFunctionCount", lambda _: 0),
     {"control flow guard"}, ci.MACHINES),
    ("guard flags claim a longjmp table",
     load_config_field("GuardFlags", lambda flags: flags | ci.IMAGE_GUARD_CF_LONGJUMP_TABLE_PRESENT),
     {"control flow guard"}, ci.MACHINES),
    ("read-only data, where the guard's table and pointers lie, made writable",
     change_header_field(rdata, "Characteristics", "<I", lambda flags: flags | ci.IMAGE_SCN_MEM_WRITE),
     {"control flow guard"}, ci.MACHINES),
    ("check pointer in writable data", check_pointer_in_writable_data, {"control flow guard"}, ci.MACHINES),
    ("indirect calls left unchecked", indirect_calls_unchecked, {"control flow guard"}, ci.MACHINES),
    ("no dispatch pointer", load_config_field("GuardCFDispatchFunctionPointer", lambda _: 0),
     {"control flow guard"}, ["x64"]),
    ("stack-cookie fail-fast returns", fail_fast_returns, {"stack cookies"}, ci.MACHINES),
    ("no function checks its cookie", cookie_checks_skip_the_fail_fast, {"stack cookies"}, ci.MACHINES),
    ("CET_COMPAT cleared", cet_compat_cleared, {"shadow stacks"}, ["x64"]),
    ("library search left to the loader's default",
     import_renamed(b"SetDefaultDllDirectories", b"SetDefaultDllDirectorieZ"), {"imports"}, ci.MACHINES),
    ("a library's folder taken from the environment",
     import_renamed(b"GetFinalPathNameByHandleW", b"ExpandEnvironmentStringsW"), {"imports"}, ci.MACHINES),
]


# Byte offsets inside the resources: CFFOLDER.typeCompress follows the
# 36-byte CFHEADER and two fields; VS_FIXEDFILEINFO.dwFileFlags sits after
# the 40-byte node header and key and seven fields.
CABINET_TYPE_COMPRESS = 36 + 6
VERSION_FILE_FLAGS = 40 + 7 * 4
PNG_ENTRY_BIT_COUNT = 6 + 14 * 6 + 6

CASES = [
    # (what is broken, mutation, checks that must fail)
    ("7z signature", patch_resource(ci.SEVEN_ZIP_SIGNATURE, b"PK\3\4\0\0", "B7", "BRISEL.PACKED.7Z"),
     {"product archive"}),
    ("name stored in the cabinet", patch_resource(b"setup.exe\0", b"setup.exf\0", "BL", "SETUP.EX_"),
     {"setup program"}),
    ("cabinet stored without compression", patch_struct("BL", "SETUP.EX_", CABINET_TYPE_COMPRESS, "<H", 0),
     {"setup program"}),
    ("import directory's section made executable",
     change_header_field(section_of_directory(ci.IMAGE_DIRECTORY_ENTRY_IMPORT), "Characteristics", "<I",
                         lambda flags: flags | ci.IMAGE_SCN_MEM_EXECUTE), {"import sections", "control flow guard"}),
    ("import directory's section marked as code",
     change_header_field(section_of_directory(ci.IMAGE_DIRECTORY_ENTRY_IMPORT), "Characteristics", "<I",
                         lambda flags: flags | ci.IMAGE_SCN_CNT_CODE), {"import sections", "control flow guard"}),
    ("import address table entry dropped",
     change_header_field(directory(ci.IMAGE_DIRECTORY_ENTRY_IAT), "VirtualAddress", "<I", lambda _: 0),
     {"import sections"}),
    ("DYNAMIC_BASE cleared",
     change_header_field(lambda pe: pe.OPTIONAL_HEADER, "DllCharacteristics", "<H",
                         lambda flags: flags & ~ci.IMAGE_DLLCHARACTERISTICS_DYNAMIC_BASE), {"relocations"}),
    ("relocations marked stripped",
     change_header_field(lambda pe: pe.FILE_HEADER, "Characteristics", "<H",
                         lambda flags: flags | ci.IMAGE_FILE_RELOCS_STRIPPED), {"relocations"}),
    ("base relocation directory dropped",
     change_header_field(directory(ci.IMAGE_DIRECTORY_ENTRY_BASERELOC), "Size", "<I", lambda _: 0),
     {"relocations"}),
    ("code section half a page off its page", code_moved_half_a_page, {"page-mapped sections"}),
    ("PE time stamp", set_pe_time_stamp, {"time stamps"}),
    ("resource directory time stamp", set_resource_time_stamp, {"time stamps"}),
    ("archive's language", set_archive_language_german, {"resource languages"}),
    ("icon order", swap_first_two_icon_ids, {"icon 1", "icon 2"}),
    ("PNG icon's bit count in the group", patch_struct(ci.RT_GROUP_ICON, ci.ICON_GROUP_ID,
                                                       PNG_ENTRY_BIT_COUNT, "<H", 24), {"icon 7"}),
    ("version key", patch_resource("CompanyName".encode("utf-16-le"), "CompanyNamf".encode("utf-16-le"),
                                   ci.RT_VERSION, 1), {"version block"}),
    ("version flags", patch_struct(ci.RT_VERSION, 1, VERSION_FILE_FLAGS, "<I", 1), {"version block"}),
    ("execution level", patch_resource(b'"asInvoker"', b'"asInvokex"', ci.RT_MANIFEST, 1), {"manifest"}),
    ("supportedOS GUID", patch_resource(b"8e0f7a12", b"8e0f7a13", ci.RT_MANIFEST, 1), {"manifest"}),
    ("manifest XML", patch_resource(b"</assembly>", b"</assembler", ci.RT_MANIFEST, 1), {"manifest"}),
    ("Common-Controls dependency", manifest_with_common_controls, {"manifest"}),
]


class Built:
    """A built image's bytes, parsed once."""

    def __init__(self, path):
        self.name = os.path.relpath(path, ROOT)
        with open(path, "rb") as file:
            self.original = file.read()
        self.pe = pefile.PE(data=self.original)
        self.machine = machine_of(self.pe)

    def planted(self, mutate):
        data = bytearray(self.original)
        mutate(self.pe, ci.Image(self.pe), data)
        return bytes(data)


def installer_failures(data, machine, **expectations):
    return set(ci.run_checks(data, machine, out=None, **expectations).failed())


def image_failures(data, machine):
    return set(ci.run_image_checks(data, machine, out=None).failed())


@unittest.skipUnless(INSTALLERS, "no installer under build/: build it first")
class CheckInstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.installers = [Built(path) for path in INSTALLERS]

    def test_built_installers_pass(self):
        for built in self.installers:
            with self.subTest(built.name):
                self.assertEqual(installer_failures(built.original, built.machine), set())

    def test_each_fault_fails_its_checks_only(self):
        for built in self.installers:
            cases = [(what, mutate, expected) for what, mutate, expected, machines in PROTECTION_CASES
                     if built.machine in machines]
            for what, mutate, expected in CASES + cases:
                with self.subTest(what, image=built.name):
                    self.assertEqual(installer_failures(built.planted(mutate), built.machine), expected)

    def test_expectations_from_the_command_line(self):
        built = self.installers[0]
        other_machine = next(name for name in ci.MACHINES if name != built.machine)
        # Read as x64, an ARM64 image also lacks the x64 fail-fast, dispatch
        # pointer and shadow-stack mark; read as ARM64, an x64 image lacks the
        # ARM64 fail-fast.
        wrong_machine = {"x64": {"machine", "setup program", "stack cookies", "control flow guard", "shadow stacks"},
                         "arm64": {"machine", "setup program", "stack cookies"}}
        cases = [
            ("machine", dict(machine=other_machine), wrong_machine[other_machine]),
            ("setup storage", dict(storage="BN"), {"setup program"}),
            ("version", dict(expected_version="9.9.9.9"), {"version block"}),
            ("company", dict(expected_strings={"CompanyName": "Other"}), {"version block"}),
        ]
        for what, expectations, expected in cases:
            with self.subTest(what):
                machine = expectations.pop("machine", built.machine)
                self.assertEqual(installer_failures(built.original, machine, **expectations), expected)


@unittest.skipUnless(STUBS, "no bare stub under build/: build it first")
class CheckBareStubTest(unittest.TestCase):
    """The bare stub has no resources: only the image's own checks apply."""

    @classmethod
    def setUpClass(cls):
        cls.stubs = [Built(path) for path in STUBS]

    def test_built_stubs_pass(self):
        for built in self.stubs:
            with self.subTest(built.name):
                self.assertEqual(image_failures(built.original, built.machine), set())

    def test_each_protection_fault_fails_its_check_only(self):
        for built in self.stubs:
            for what, mutate, expected, machines in PROTECTION_CASES:
                if built.machine in machines:
                    with self.subTest(what, image=built.name):
                        self.assertEqual(image_failures(built.planted(mutate), built.machine), expected)


if __name__ == "__main__":
    unittest.main()
