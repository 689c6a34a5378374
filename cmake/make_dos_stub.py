#!/usr/bin/python3
"""Writes the DOS stub that the linker puts in front of the PE headers
(lld-link /stub:FILE): a 64-byte DOS header and a program of 5 bytes that
ends at once with exit code 1. lld's own stub is 120 bytes and prints a
message; this one leaves room for four section headers in a single 512-byte
header block. lld sets the offset of the PE header (e_lfanew, 0x3C) to the
stub's size rounded up to 8, i.e. 72.

    make_dos_stub.py OUTPUT
"""

import struct
import sys

HEADER_BYTES = 64
# mov ax, 4C01h; int 21h: DOS "terminate with return code" 1.
PROGRAM = bytes.fromhex("B8014CCD21")
STACK_BYTES = 256


def dos_stub():
    size = HEADER_BYTES + len(PROGRAM)
    header = struct.pack(
        "<2s13H",
        b"MZ",
        size % 512,              # e_cblp: bytes in the last 512-byte page
        (size + 511) // 512,     # e_cp: pages in the file
        0,                       # e_crlc: no DOS relocations
        HEADER_BYTES // 16,      # e_cparhdr: header size in 16-byte paragraphs
        STACK_BYTES // 16,       # e_minalloc: room for the stack after the program
        0xFFFF,                  # e_maxalloc
        0,                       # e_ss: stack segment = the program's own
        (len(PROGRAM) + 15) // 16 * 16 + STACK_BYTES,  # e_sp: the top of that room
        0,                       # e_csum
        0,                       # e_ip: the program is the first byte after the header
        0,                       # e_cs
        HEADER_BYTES,            # e_lfarlc: (empty) relocation table
        0)                       # e_ovno
    header += bytes(HEADER_BYTES - len(header))  # e_res, e_oemid, e_oeminfo, e_res2, e_lfanew (set by lld)
    return header + PROGRAM


def main():
    with open(sys.argv[1], "wb") as file:
        file.write(dos_stub())


if __name__ == "__main__":
    main()
