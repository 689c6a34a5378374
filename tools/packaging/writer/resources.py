"""The resource section: a directory of three levels (type, name, language),
the data entries it leads to, the names it holds, and then the items' data.

Items are given in the order their data is to lie in the section; the
directory itself is sorted as the loader's binary search needs it (names
before numbers, each in ascending order). The section's bytes up to the first
item (`head`) are made here; the items' data are the writer's to stream.
"""

import struct
from dataclasses import dataclass

LANG_EN_US = 1033
# Every item starts at a multiple of this (the version block and the icons
# are read as structures of 32-bit fields).
DATA_ALIGNMENT = 8
DIRECTORY_BYTES = 16
ENTRY_BYTES = 8
DATA_ENTRY_BYTES = 16
SUBDIRECTORY = 0x80000000
NAMED = 0x80000000


class LayoutError(Exception):
    """Items that no resource directory can hold as given."""


@dataclass
class Item:
    """One resource: its type and name (a number, or a text stored upper
    case), its language, and its bytes, given (`data`) or streamed from a
    file of `size` bytes (`path`)."""

    type: object
    name: object
    data: bytes = None
    path: str = None
    size: int = 0
    language: int = LANG_EN_US

    @property
    def length(self):
        return len(self.data) if self.data is not None else self.size


def _align(value, alignment):
    return (value + alignment - 1) // alignment * alignment


def _order(key):
    # Named entries come first, in ascending order of their UTF-16 units
    # (all names are stored upper case, as the loader compares them); then
    # numbered ones, ascending.
    return (0, key.encode("utf-16-be")) if isinstance(key, str) else (1, key)


def _stored(key):
    return key.upper() if isinstance(key, str) else key


class Section:
    """Where everything of the resource section lies, as offsets from its
    start: `offsets` of each item's data (in the given order), `size` of the
    whole section."""

    def __init__(self, items):
        self.items = list(items)
        self.tree = {}
        for item in self.items:
            if isinstance(item.type, int) and not 0 < item.type < 0x10000 or \
                    isinstance(item.name, int) and not 0 < item.name < 0x10000:
                raise LayoutError(f"resource {item.type}/{item.name}: a number must be from 1 to 65535")
            languages = self.tree.setdefault(_stored(item.type), {}).setdefault(_stored(item.name), {})
            if item.language in languages:
                raise LayoutError(f"resource {item.type}/{item.name} given twice in language {item.language}")
            languages[item.language] = item

        types = sorted(self.tree, key=_order)
        offset = DIRECTORY_BYTES + ENTRY_BYTES * len(types)
        self._type_tables = {}
        for rtype in types:
            self._type_tables[rtype] = offset
            offset += DIRECTORY_BYTES + ENTRY_BYTES * len(self.tree[rtype])
        self._name_tables = {}
        for rtype in types:
            for name in sorted(self.tree[rtype], key=_order):
                self._name_tables[(rtype, name)] = offset
                offset += DIRECTORY_BYTES + ENTRY_BYTES * len(self.tree[rtype][name])
        self._data_entries = {}
        for rtype in types:
            for name in sorted(self.tree[rtype], key=_order):
                for language in sorted(self.tree[rtype][name]):
                    self._data_entries[id(self.tree[rtype][name][language])] = offset
                    offset += DATA_ENTRY_BYTES
        self._strings = {}
        for key in types + [name for rtype in types for name in sorted(self.tree[rtype], key=_order)]:
            if isinstance(key, str) and key not in self._strings:
                self._strings[key] = offset
                offset += 2 + len(key.encode("utf-16-le"))
        self.head_size = _align(offset, DATA_ALIGNMENT)
        self.offsets = []
        offset = self.head_size
        for item in self.items:
            offset = _align(offset, DATA_ALIGNMENT)
            self.offsets.append(offset)
            offset += item.length
        self.size = offset

    def _entry(self, key, target):
        name = NAMED | self._strings[key] if isinstance(key, str) else key
        return struct.pack("<II", name, target)

    def head(self, address):
        """The section's bytes before the first item, for a section at the
        relative virtual address `address`."""
        out = bytearray(self.head_size)
        directory = struct.Struct("<IIHHHH")  # no characteristics, time stamp or version

        def table(offset, keys, targets):
            named = sum(1 for key in keys if isinstance(key, str))
            directory.pack_into(out, offset, 0, 0, 0, 0, named, len(keys) - named)
            for index, (key, target) in enumerate(zip(keys, targets)):
                at = offset + DIRECTORY_BYTES + ENTRY_BYTES * index
                out[at:at + ENTRY_BYTES] = self._entry(key, target)

        types = sorted(self.tree, key=_order)
        table(0, types, [SUBDIRECTORY | self._type_tables[t] for t in types])
        for rtype in types:
            names = sorted(self.tree[rtype], key=_order)
            table(self._type_tables[rtype], names, [SUBDIRECTORY | self._name_tables[(rtype, n)] for n in names])
            for name in names:
                languages = sorted(self.tree[rtype][name])
                items = [self.tree[rtype][name][language] for language in languages]
                table(self._name_tables[(rtype, name)], languages, [self._data_entries[id(i)] for i in items])
        for item, offset in zip(self.items, self.offsets):
            struct.pack_into("<IIII", out, self._data_entries[id(item)], address + offset, item.length, 0, 0)
        for key, offset in self._strings.items():
            units = key.encode("utf-16-le")
            struct.pack_into("<H", out, offset, len(units) // 2)
            out[offset + 2:offset + 2 + len(units)] = units
        return bytes(out)
