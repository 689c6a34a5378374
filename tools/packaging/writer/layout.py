"""Where each part of the installer lies: the stub's sections at file offsets
of whole pages, then the resource section, then the stub's base relocations
moved behind it, and the headers that say so.

At offsets of whole pages a loader maps every page of the image straight
from the file and reads only what is touched; a loader that finds a section
off its page (Wine, for one) reads that section in full when the image loads,
which for the resource section would be the whole archive.
"""

import struct
from dataclasses import dataclass

from writer.stub import IMAGE_DIRECTORY_ENTRY_BASERELOC, IMAGE_DIRECTORY_ENTRY_RESOURCE, SECTION_HEADER_BYTES

PAGE = 4096
# Windows maps no executable image whose SizeOfImage passes 2 GiB.
IMAGE_LIMIT = 2 ** 31
RESOURCE_CHARACTERISTICS = 0x40000040  # initialised data, readable
IMAGE_SCN_CNT_CODE = 0x20
IMAGE_SCN_CNT_INITIALIZED_DATA = 0x40
IMAGE_SCN_CNT_UNINITIALIZED_DATA = 0x80


class ImageTooLarge(Exception):
    """The installer's image would pass the limit Windows loads."""


def align(value, alignment=PAGE):
    return (value + alignment - 1) // alignment * alignment


@dataclass
class Placed:
    name: bytes
    address: int
    virtual_size: int
    file_offset: int        # 0 for a section with no bytes in the file
    raw_size: int
    characteristics: int
    raw: bytes = None       # the stub's bytes; None for the resource section
    header: bytes = bytes(SECTION_HEADER_BYTES)  # the stub's section header it is made from


class Layout:
    def __init__(self, stub, section):
        self.stub = stub
        self.section = section
        kept, relocations = stub.sections[:-1], stub.sections[-1]
        self.sections = []
        offset = PAGE  # the headers take the first page
        for part in kept:
            raw_size = align(len(part.raw)) if part.raw else 0
            self.sections.append(Placed(part.name, part.address, part.virtual_size, offset if raw_size else 0,
                                        raw_size, part.characteristics, part.raw, part.header))
            offset += raw_size
        resource_address = align(kept[-1].address + kept[-1].virtual_size)
        self.resources = Placed(b".rsrc\0\0\0", resource_address, section.size, offset, align(section.size),
                                RESOURCE_CHARACTERISTICS)
        self.sections.append(self.resources)
        offset += self.resources.raw_size
        self.relocations = Placed(relocations.name, align(resource_address + section.size),
                                  relocations.virtual_size, offset, align(len(relocations.raw)),
                                  relocations.characteristics, relocations.raw, relocations.header)
        self.sections.append(self.relocations)
        self.file_size = offset + self.relocations.raw_size
        self.image_size = align(self.relocations.address + self.relocations.virtual_size)
        if self.image_size > IMAGE_LIMIT:
            raise ImageTooLarge(
                f"the installer's image would be {self.image_size} bytes (SizeOfImage), past the "
                f"{IMAGE_LIMIT}-byte (2 GiB) limit of an executable image that Windows loads")
        self._patch_debug_pointers()

    def _holding(self, address):
        for placed in self.sections:
            if placed.address <= address < placed.address + max(placed.virtual_size, placed.raw_size):
                return placed
        raise ValueError(f"address 0x{address:X} lies in no section")

    def _patch_debug_pointers(self):
        """A debug entry's file pointer is the one field of the stub's data
        that says where something lies in the file."""
        patched = {}
        for pointer in self.stub.debug_pointers:
            holder = self._holding(pointer.address)
            target = self._holding(pointer.data_address)
            raw = patched.setdefault(id(holder), bytearray(holder.raw))
            struct.pack_into("<I", raw, pointer.address - holder.address,
                             target.file_offset + pointer.data_address - target.address)
        for placed in self.sections:
            if id(placed) in patched:
                placed.raw = bytes(patched[id(placed)])

    def headers(self, checksum=0):
        """The first page of the installer."""
        stub = self.stub
        out = bytearray(PAGE)
        out[:len(stub.headers)] = stub.headers

        def put(fmt, offset, value):
            struct.pack_into(fmt, out, offset, value)

        put("<H", stub.field_offset("FILE_HEADER", "NumberOfSections"), len(self.sections))
        for field, value in [("FileAlignment", PAGE), ("SizeOfHeaders", PAGE), ("SizeOfImage", self.image_size),
                             ("CheckSum", checksum),
                             ("SizeOfCode", self._raw_sizes(IMAGE_SCN_CNT_CODE)),
                             ("SizeOfInitializedData", self._raw_sizes(IMAGE_SCN_CNT_INITIALIZED_DATA)),
                             ("SizeOfUninitializedData", self._raw_sizes(IMAGE_SCN_CNT_UNINITIALIZED_DATA))]:
            put("<I", stub.field_offset("OPTIONAL_HEADER", field), value)
        struct.pack_into("<II", out, stub.directory_offset(IMAGE_DIRECTORY_ENTRY_RESOURCE),
                         self.resources.address, self.section.size)
        put("<I", stub.directory_offset(IMAGE_DIRECTORY_ENTRY_BASERELOC), self.relocations.address)

        for index, placed in enumerate(self.sections):
            at = stub.section_table + SECTION_HEADER_BYTES * index
            header = bytearray(placed.header)
            header[0:8] = placed.name
            struct.pack_into("<IIII", header, 8, placed.virtual_size, placed.address, placed.raw_size,
                             placed.file_offset)
            struct.pack_into("<I", header, 36, placed.characteristics)
            out[at:at + SECTION_HEADER_BYTES] = header
        return bytes(out)

    def _raw_sizes(self, kind):
        return sum(placed.raw_size for placed in self.sections if placed.characteristics & kind)

    def checksum_offset(self):
        return self.stub.field_offset("OPTIONAL_HEADER", "CheckSum")
