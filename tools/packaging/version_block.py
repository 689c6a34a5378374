"""The version block (RT_VERSION 1): VS_VERSIONINFO with the fixed file
information and one string table "040904b0" (English, United States, in
UTF-16), laid out as the resource compiler lays it out.

Each node is a 16-bit length, the value's length, its type, the key in
UTF-16 with its terminator, then the value and the children, each of those
starting at a multiple of 4 bytes. A node's length covers what it holds, but
not the padding after its last child.
"""

import struct

# The keys of the string table, in the order Windows' own installers have them.
STRING_KEYS = ["CompanyName", "FileDescription", "FileVersion", "InternalName", "LegalCopyright", "ProductName",
               "ProductVersion", "CompanyShortName", "ProductShortName", "LastChange", "Official Build"]
# The whole block: its length is a 16-bit field.
BLOCK_LIMIT = 65535
TEXT_VALUE, BINARY_VALUE = 1, 0
FIXED_SIGNATURE = 0xFEEF04BD
FIXED_STRUCTURE_VERSION = 0x00010000
FILE_FLAGS_MASK = 0x17
FILE_OS_WINDOWS32 = 0x4
FILE_TYPE_APP = 0x1


def _pad(data):
    return data + bytes(-len(data) % 4)


def _node(key, value=b"", value_length=0, value_type=BINARY_VALUE, children=()):
    body = _pad(struct.pack("<HHH", 0, value_length, value_type) + (key + "\0").encode("utf-16-le"))
    if value:
        body = _pad(body + value) if children else body + value
    for index, child in enumerate(children):
        body = body + (child if index == len(children) - 1 else _pad(child))
    # A length past 16 bits is cut here; such a block is longer than
    # BLOCK_LIMIT, which the caller refuses.
    return struct.pack("<H", len(body) & 0xFFFF) + body[2:]


def _string(key, text):
    value = (text + "\0").encode("utf-16-le", errors="surrogatepass")
    return _node(key, value, len(value) // 2, TEXT_VALUE)


def encode(version, strings):
    """The block for `version` (four numbers) and `strings` ({key: text},
    every key of STRING_KEYS). Usable only when it is at most BLOCK_LIMIT
    bytes long."""
    major, minor, build, revision = version
    ms, ls = major << 16 | minor, build << 16 | revision
    fixed = struct.pack("<13I", FIXED_SIGNATURE, FIXED_STRUCTURE_VERSION, ms, ls, ms, ls, FILE_FLAGS_MASK, 0,
                        FILE_OS_WINDOWS32, FILE_TYPE_APP, 0, 0, 0)
    table = _node("040904b0", value_type=TEXT_VALUE,
                  children=[_string(key, strings[key]) for key in STRING_KEYS])
    string_info = _node("StringFileInfo", value_type=TEXT_VALUE, children=[table])
    translation = _node("Translation", struct.pack("<HH", 0x0409, 1200), 4, BINARY_VALUE)
    variable_info = _node("VarFileInfo", value_type=TEXT_VALUE, children=[translation])
    return _node("VS_VERSION_INFO", fixed, len(fixed), BINARY_VALUE, [string_info, variable_info])
