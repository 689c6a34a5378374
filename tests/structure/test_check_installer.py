#!/usr/bin/python3
"""The structure check must notice a broken installer: each case breaks one
thing in a built installer's bytes and expects exactly the checks that cover
it to fail, and no other.

    STUB_INSTALLER=build/x64/installer.exe /usr/bin/python3 -m unittest discover -s tests/structure -v

STUB_INSTALLER defaults to build/x64/installer.exe; build it first.
"""

import os
import struct
import unittest

import pefile

import check_installer as ci

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
INSTALLER = os.environ.get("STUB_INSTALLER", os.path.join(ROOT, "build", "x64", "installer.exe"))
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
                         lambda flags: flags | ci.IMAGE_SCN_MEM_EXECUTE), {"import sections"}),
    ("import directory's section marked as code",
     change_header_field(section_of_directory(ci.IMAGE_DIRECTORY_ENTRY_IMPORT), "Characteristics", "<I",
                         lambda flags: flags | ci.IMAGE_SCN_CNT_CODE), {"import sections"}),
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
    ("code section half a page off its page",
     change_header_field(lambda pe: pe.sections[0], "PointerToRawData", "<I", lambda offset: offset + 0x200),
     {"page-mapped sections"}),
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
]


@unittest.skipUnless(os.path.exists(INSTALLER), f"no installer at {INSTALLER}: build it first")
class CheckInstallerTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(INSTALLER, "rb") as file:
            cls.original = file.read()
        cls.pe = pefile.PE(data=cls.original)
        cls.machine = MACHINE_NAMES[cls.pe.FILE_HEADER.Machine]

    def failures(self, data, machine=None, **expectations):
        return set(ci.run_checks(data, machine or self.machine, out=None, **expectations).failed())

    def test_built_installer_passes(self):
        self.assertEqual(self.failures(self.original), set())

    def test_each_fault_fails_its_checks_only(self):
        for what, mutate, expected in CASES:
            with self.subTest(what):
                data = bytearray(self.original)
                mutate(self.pe, ci.Image(self.pe), data)
                self.assertEqual(self.failures(bytes(data)), expected)

    def test_expectations_from_the_command_line(self):
        other_machine = next(name for name in ci.MACHINES if name != self.machine)
        cases = [
            ("machine", dict(machine=other_machine), {"machine", "setup program"}),
            ("setup storage", dict(storage="BN"), {"setup program"}),
            ("version", dict(expected_version="9.9.9.9"), {"version block"}),
            ("company", dict(expected_strings={"CompanyName": "Other"}), {"version block"}),
        ]
        for what, expectations, expected in cases:
            with self.subTest(what):
                self.assertEqual(self.failures(self.original, **expectations), expected)


if __name__ == "__main__":
    unittest.main()
