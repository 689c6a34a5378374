"""The ready stub (build/<arch>/stub.exe): the image that every installer of
its architecture carries. Read here, and refused unless the writer can lay it
out as an installer without changing a byte of its code or data: no
resources and no certificate yet, nothing after its last section, and the
base relocations alone in the last section (which moves behind the resource
section, as a linker would put it)."""

from dataclasses import dataclass

import pefile

IMAGE_DIRECTORY_ENTRY_SECURITY = 4
IMAGE_DIRECTORY_ENTRY_RESOURCE = 2
IMAGE_DIRECTORY_ENTRY_BASERELOC = 5
SECTION_HEADER_BYTES = 40


class StubError(Exception):
    """The ready stub is missing or is not one the writer can use."""


@dataclass
class StubSection:
    name: bytes             # the eight bytes of its header's name
    address: int            # relative virtual address
    virtual_size: int
    raw: bytes              # its bytes in the file (SizeOfRawData of them)
    characteristics: int
    header: bytes           # its 40-byte section header as the stub has it


@dataclass
class DebugPointer:
    """A debug directory entry's file pointer (PointerToRawData), which says
    where in the file its data lie and so moves with the layout."""

    address: int            # where the field itself lies (an RVA)
    data_address: int       # AddressOfRawData: where the data lie (an RVA)


class ReadyStub:
    def __init__(self, path):
        try:
            with open(path, "rb") as file:
                self.data = file.read()
        except OSError as error:
            raise StubError(f"the ready stub {path} cannot be read ({error.strerror})") from None
        self.path = path
        try:
            pe = pefile.PE(data=self.data, fast_load=True)
        except pefile.PEFormatError as error:
            raise StubError(f"the ready stub {path} is not a PE image ({error.value})") from None
        pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_DEBUG"]])
        self.pe = pe
        optional = pe.OPTIONAL_HEADER
        self.machine = pe.FILE_HEADER.Machine
        self.section_alignment = optional.SectionAlignment
        directories = optional.DATA_DIRECTORY

        def refuse(why):
            raise StubError(f"the ready stub {path} {why}")

        if optional.Magic != 0x20B:
            refuse("is not a 64-bit image")
        if self.section_alignment != 4096:
            refuse(f"has a section alignment of {self.section_alignment}, not one page")
        if directories[IMAGE_DIRECTORY_ENTRY_RESOURCE].VirtualAddress:
            refuse("has resources already: it is an installer, not the bare stub")
        if directories[IMAGE_DIRECTORY_ENTRY_SECURITY].VirtualAddress:
            refuse("is signed: a signature belongs on the installer")
        self.sections = []
        for section in pe.sections:
            start = section.PointerToRawData
            raw = self.data[start:start + section.SizeOfRawData] if section.SizeOfRawData else b""
            self.sections.append(StubSection(section.Name, section.VirtualAddress, section.Misc_VirtualSize, raw,
                                             section.Characteristics, section.__pack__()))
        end = max([s.PointerToRawData + s.SizeOfRawData for s in pe.sections] + [optional.SizeOfHeaders])
        if end != len(self.data):
            refuse(f"has {len(self.data) - end} bytes after its last section")
        relocations = directories[IMAGE_DIRECTORY_ENTRY_BASERELOC]
        last = self.sections[-1] if self.sections else None
        if last is None or not relocations.VirtualAddress or relocations.VirtualAddress != last.address \
                or relocations.Size > last.virtual_size:
            refuse("does not end with a section of its base relocations")
        for before, after in zip(self.sections, self.sections[1:]):
            if after.address != _align(before.address + before.virtual_size, self.section_alignment):
                refuse("has a gap between its sections")
        self.relocations_size = relocations.Size
        self.section_table = pe.sections[0].get_file_offset() if pe.sections else 0
        table_end = self.section_table + SECTION_HEADER_BYTES * len(self.sections)
        if any(self.data[table_end:optional.SizeOfHeaders]):
            refuse("holds data after its section table, where the writer puts one more section")
        self.headers = self.data[:table_end]
        self.debug_pointers = []
        for entry in getattr(pe, "DIRECTORY_ENTRY_DEBUG", []):
            field = entry.struct.get_field_absolute_offset("PointerToRawData")
            self.debug_pointers.append(DebugPointer(pe.get_rva_from_offset(field), entry.struct.AddressOfRawData))

    def field_offset(self, structure, name):
        """Where a header field lies in the file (the same in the installer:
        the headers keep their place)."""
        return getattr(self.pe, structure).get_field_absolute_offset(name)

    def directory_offset(self, index):
        entry = self.pe.OPTIONAL_HEADER.DATA_DIRECTORY[index]
        return entry.get_file_offset()


def _align(value, alignment):
    return (value + alignment - 1) // alignment * alignment
