"""The installer written in one pass: headers, the stub's sections, the
resource section with each item streamed from its file, the base
relocations; then the checksum put into the headers. Memory stays at one
chunk however large the archive is, and each streamed item's SHA-256 is taken
from the very bytes written."""

import hashlib
import struct

from writer.layout import PAGE

CHUNK = 1 << 20


class InputChanged(Exception):
    """A streamed file no longer has the size it was laid out with."""


class Checksum:
    """The PE image checksum: the file's 16-bit little-endian words added
    with end-around carry (the checksum field counted as 0), plus the file's
    length. Kept modulo 0xFFFF, which is the same sum: a chunk read as one
    little-endian number is its words each times a power of 0x10000, and
    0x10000 leaves 1 modulo 0xFFFF (a chunk at an odd offset is shifted by
    one byte, a factor of 0x100)."""

    def __init__(self):
        self.remainder = 0
        self.any = False

    def add(self, data, offset):
        value = int.from_bytes(data, "little")
        if value:
            self.any = True
            self.remainder = (self.remainder + value * (0x100 if offset % 2 else 1)) % 0xFFFF

    def value(self, length):
        # End-around carry never reaches 0 once anything was added.
        folded = (self.remainder or 0xFFFF) if self.any else 0
        return (folded + length) & 0xFFFFFFFF


class _Out:
    def __init__(self, file, progress):
        self.file = file
        self.offset = 0
        self.checksum = Checksum()
        self.progress = progress

    def write(self, data):
        self.file.write(data)
        self.checksum.add(data, self.offset)
        self.offset += len(data)
        self.progress.advance(self.offset)

    def pad_to(self, offset):
        while self.offset < offset:
            self.write(bytes(min(offset - self.offset, CHUNK)))


def _stream(out, item):
    """Copies the item's file; its SHA-256."""
    digest = hashlib.sha256()
    left = item.size
    with open(item.path, "rb") as source:
        while left:
            block = source.read(min(CHUNK, left))
            if not block:
                raise InputChanged(f"{item.path} ended {left} bytes before the size it had when checked")
            digest.update(block)
            out.write(block)
            left -= len(block)
        if source.read(1):
            raise InputChanged(f"{item.path} grew after it was checked")
    return digest.hexdigest()


def write(file, layout, progress):
    """Writes the installer of `layout` to the open binary `file`. Returns
    {item index: SHA-256} of the items streamed from files."""
    out = _Out(file, progress)
    out.write(layout.headers())
    digests = {}
    for placed in layout.sections:
        if placed is layout.resources:
            section = layout.section
            out.write(section.head(placed.address))
            for index, (item, offset) in enumerate(zip(section.items, section.offsets)):
                out.pad_to(placed.file_offset + offset)
                if item.data is not None:
                    out.write(item.data)
                else:
                    digests[index] = _stream(out, item)
        elif placed.raw_size:
            out.write(placed.raw)
        out.pad_to(placed.file_offset + placed.raw_size if placed.raw_size else out.offset)
    assert out.offset == layout.file_size and out.offset % PAGE == 0
    file.seek(layout.checksum_offset())
    file.write(struct.pack("<I", out.checksum.value(out.offset)))
    file.seek(0, 2)
    return digests
