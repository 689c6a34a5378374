#!/usr/bin/python3
"""Makes the files the payload tests read and the layouts embed.

    make_test_data.py --gcab GCAB --sevenzip 7ZZ --out DIR
    make_test_data.py --gcab GCAB --program EXE --out DIR

Every file comes out the same on every run. gcab and 7zz store file times,
so both pack staged copies with a fixed time, and the stamp the cabinet tests
check is written into the cabinets afterwards. The cases gcab cannot make
(odd attributes, an impossible date, no file at all, damaged data) are the
ordinary cabinet with fields of its header or one data byte changed here.

Output (in DIR):
  archive.7z        a small 7z archive, standing in for the product archive
  setup.bin         320 KiB of pseudo-random bytes, standing in for the setup
                    program: incompressible, so every data block is full
  first.bin         4 KiB, second.bin, 96 KiB, and third.bin, 8 KiB, for
                    the cabinets of several files
  setup.cab         setup.bin stored as "setup.exe"; stamp 2021-06-15
                    13:45:30, attributes 0x20
  readonly.cab      the same with attributes 0x21 (read-only, archive)
  exec.cab          the same with attributes 0x40 (execute) only
  allbits.cab       the same with all eight attribute bits (0xFF) stored
  baddate.cab       the same with month 13 in its date
  two.cab           first.bin, then second.bin
  reordered.cab     two.cab with its file table listing second.bin first:
                    the first entry starts 4 KiB into the folder
  three.cab         first.bin, second.bin, then third.bin, in one folder
  twofolders.cab    first.bin in one folder and second.bin in a second: the
                    offsets in each folder start at 0
  twofolders_reordered.cab
                    twofolders.cab with its file table listing second.bin,
                    of the second folder, first
  nofile.cab        setup.cab claiming no file
  corrupt.cab       setup.cab with one byte of its fifth data block flipped
  shortfile.cab     setup.cab whose file entry announces 0x100 bytes fewer:
                    valid checksums, a file table that does not add up
  truncated.cab     setup.cab cut 1000 bytes short, inside its last data
                    block: its tables promise more than its bytes hold
  reserve.cab       two.cab rebuilt with reserved areas (6 bytes in the
                    header, 2 per folder, 3 per data block), checksums 0
  empty.bin         no bytes: a resource of size zero
  names_*.bin       names resources (the installer's own names, as the
                    packaging writes them): at_limits holds each text at its
                    limit and 16 refused switches; the others are each one
                    field cut short (the resource ends inside it) or one unit
                    over its limit, a 17th refused switch, an odd size, or a
                    unit after the list's end

With --program, only this (the program is built, so it comes later):
  program.cab       EXE stored as "setup.exe", stamped like setup.cab
"""

import argparse
import hashlib
import os
import shutil
import struct
import subprocess
import sys
import tempfile

# 2021-06-15 13:45:30 as the cabinet stores it: a DOS date and time, local.
DOS_DATE = ((2021 - 1980) << 9) | (6 << 5) | 15
DOS_TIME = (13 << 11) | (45 << 5) | (30 // 2)
BAD_DOS_DATE = ((2021 - 1980) << 9) | (13 << 5) | 15
# 2024-01-01 00:00 UTC, the time of every staged file.
EPOCH = 1704067200

HEADER_FILES_OFFSET = 16  # coffFiles
HEADER_FOLDERS_COUNT = 26  # cFolders
HEADER_FILES_COUNT = 28  # cFiles
HEADER_FLAGS = 30
HEADER_SIZE = 36
FLAG_RESERVE_PRESENT = 0x0004


def pseudo_random(size, seed):
    """Bytes from SHA-256 in counter mode: the same on every Python."""
    out = bytearray()
    counter = 0
    while len(out) < size:
        out += hashlib.sha256(b"%s:%d" % (seed, counter)).digest()
        counter += 1
    return bytes(out[:size])


def write(path, data):
    with open(path, "wb") as f:
        f.write(data)


def stage(directory, name, data):
    path = os.path.join(directory, name)
    write(path, data)
    os.chmod(path, 0o644)
    os.utime(path, (EPOCH, EPOCH))
    return path


def run(*command, cwd=None):
    result = subprocess.run(command, cwd=cwd, capture_output=True, text=True)
    if result.returncode != 0:
        sys.exit("%s failed (%d):\n%s%s" % (" ".join(command), result.returncode, result.stdout, result.stderr))
    return result.stdout


def make_cabinet(gcab, out, staged_paths, expected_listing):
    # -n: only the file's own name is stored, not the staging directory.
    run(gcab, "-c", "-z", "-n", out, *staged_paths)
    listing = run(gcab, "-t", out).split()
    if listing != expected_listing:
        sys.exit("%s holds %s, not %s" % (out, listing, expected_listing))
    with open(out, "rb") as f:
        return bytearray(f.read())


def file_entries(cabinet):
    """Offsets of the CFFILE entries."""
    offset = struct.unpack_from("<I", cabinet, HEADER_FILES_OFFSET)[0]
    count = struct.unpack_from("<H", cabinet, HEADER_FILES_COUNT)[0]
    entries = []
    for _ in range(count):
        entries.append(offset)
        name_end = cabinet.index(b"\0", offset + 16)
        offset = name_end + 1
    return entries


def stamp(cabinet, date=DOS_DATE, time=DOS_TIME, attributes=0x20):
    """Sets date, time and attributes of every CFFILE entry. CFFILE has no
    checksum, so the cabinet stays valid."""
    patched = bytearray(cabinet)
    for entry in file_entries(patched):
        struct.pack_into("<HHH", patched, entry + 10, date, time, attributes)
    return patched


def reordered(cabinet):
    """The cabinet with the order of its CFFILE entries reversed. The file
    table has no checksum and keeps its size, so the cabinet stays valid."""
    patched = bytearray(cabinet)
    entries = file_entries(patched)
    end = patched.index(b"\0", entries[-1] + 16) + 1
    starts = entries + [end]
    pieces = [bytes(patched[starts[i]:starts[i + 1]]) for i in range(len(entries))]
    patched[entries[0]:end] = b"".join(reversed(pieces))
    return patched


def one_folder_each(cabinets):
    """One cabinet with a folder for each of the given one-folder cabinets,
    in their order: their file entries (each pointing at its own folder),
    then the data blocks of each. A data block's checksum covers only the
    block itself, so the blocks are taken over unchanged."""
    folders = bytearray()
    files = bytearray()
    blocks = []
    for index, cabinet in enumerate(cabinets):
        data = data_blocks(cabinet)
        compression = struct.unpack_from("<H", cabinet, HEADER_SIZE + 6)[0]
        folders += struct.pack("<IHH", 0, len(data), compression)
        entries = file_entries(cabinet)
        end = cabinet.index(b"\0", entries[-1] + 16) + 1
        table = bytearray(cabinet[entries[0]:end])
        for entry in entries:
            struct.pack_into("<H", table, entry - entries[0] + 8, index)
        files += table
        blocks.append(b"".join(bytes(cabinet[offset:offset + 8 + struct.unpack_from("<H", cabinet, offset + 4)[0]])
                               for offset in data))

    out = bytearray(cabinets[0][:HEADER_SIZE])
    folders_at = len(out)
    out += folders
    files_at = len(out)
    out += files
    for index, data in enumerate(blocks):
        struct.pack_into("<I", out, folders_at + 8 * index, len(out))  # coffCabStart
        out += data
    struct.pack_into("<I", out, 8, len(out))  # cbCabinet
    struct.pack_into("<I", out, HEADER_FILES_OFFSET, files_at)
    struct.pack_into("<H", out, HEADER_FOLDERS_COUNT, len(cabinets))
    struct.pack_into("<H", out, HEADER_FILES_COUNT, sum(len(file_entries(c)) for c in cabinets))
    return out


def check_extracts(gcab, cabinet, expected):
    """gcab, which reads a cabinet with code of its own, must extract exactly
    `expected` (name to bytes) from a cabinet made here."""
    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "check.cab")
        write(path, cabinet)
        target = os.path.join(directory, "out")
        os.mkdir(target)
        run(gcab, "-x", "-C", target, path)
        found = {name: open(os.path.join(target, name), "rb").read() for name in os.listdir(target)}
    if found != expected:
        sys.exit("a cabinet made here does not extract as built: %s" % sorted(found))


def data_blocks(cabinet):
    """Offsets of the CFDATA blocks of the one folder."""
    flags = struct.unpack_from("<H", cabinet, HEADER_FLAGS)[0]
    if flags & FLAG_RESERVE_PRESENT:
        sys.exit("reserved areas are not expected in a gcab cabinet")
    if struct.unpack_from("<H", cabinet, HEADER_FOLDERS_COUNT)[0] != 1:
        sys.exit("one folder expected")
    first, count = struct.unpack_from("<IH", cabinet, HEADER_SIZE)
    blocks = []
    offset = first
    for _ in range(count):
        blocks.append(offset)
        compressed = struct.unpack_from("<H", cabinet, offset + 4)[0]
        offset += 8 + compressed
    return blocks


def with_reserved_areas(cabinet, header=6, folder=2, data=3):
    """The cabinet rebuilt with reserved areas of the given sizes, filled with
    0xAA. The data blocks' checksums would cover their reserved bytes, so
    they are set to 0: no checksum."""
    if struct.unpack_from("<H", cabinet, HEADER_FLAGS)[0] & FLAG_RESERVE_PRESENT:
        sys.exit("the cabinet already has reserved areas")
    files_offset = struct.unpack_from("<I", cabinet, HEADER_FILES_OFFSET)[0]
    blocks = data_blocks(cabinet)
    first_block, block_count, compression = struct.unpack_from("<IHH", cabinet, HEADER_SIZE)
    files = cabinet[files_offset:blocks[0]]

    out = bytearray(cabinet[:HEADER_SIZE])
    out += struct.pack("<HBB", header, folder, data) + b"\xAA" * header
    folder_at = len(out)
    out += struct.pack("<IHH", 0, block_count, compression) + b"\xAA" * folder
    new_files_offset = len(out)
    out += files
    new_first_block = len(out)
    for offset in blocks:
        stored, expanded = struct.unpack_from("<HH", cabinet, offset + 4)
        out += struct.pack("<IHH", 0, stored, expanded) + b"\xAA" * data
        out += cabinet[offset + 8:offset + 8 + stored]
    struct.pack_into("<I", out, 8, len(out))  # cbCabinet
    struct.pack_into("<I", out, HEADER_FILES_OFFSET, new_files_offset)
    struct.pack_into("<H", out, HEADER_FLAGS,
                     struct.unpack_from("<H", cabinet, HEADER_FLAGS)[0] | FLAG_RESERVE_PRESENT)
    struct.pack_into("<I", out, folder_at, new_first_block)
    return out


# The names resource: the key, the value, the path switch, the archive
# prefix, then the refused switches and an empty text; each text UTF-16LE
# ended by one NUL unit. Each name at its limit, and 16 refused switches.
NAME_LIMITS = {"key": 255, "value": 255, "switch": 64, "prefix": 64, "refused": 64}
AT_LIMITS = ["Software\\" + "k" * 246, "v" * 255, "s" * 64, "p" * 64] + [f"--r{n:02}" + "x" * 59 for n in range(16)]


def names_resource(texts, end=True):
    return "".join(text + "\0" for text in texts + ([""] if end else [])).encode("utf-16-le")


def names_cases():
    """{name: bytes} of the names resources the tests load."""
    fields = ["key", "value", "switch", "prefix", "refused"]
    cases = {"at_limits": names_resource(AT_LIMITS)}
    for index, field in enumerate(fields):
        longer = list(AT_LIMITS)
        longer[index] = longer[index] + "x"
        cases[f"{field}_long"] = names_resource(longer)
        # The resource ends in the middle of this field, its NUL never come.
        whole = names_resource(AT_LIMITS[:index], end=False)
        cases[f"{field}_cut"] = whole + AT_LIMITS[index][:10].encode("utf-16-le")
    cases["seventeen"] = names_resource(AT_LIMITS + ["--one-more"])
    cases["odd"] = names_resource(AT_LIMITS) + b"\0"
    cases["trailing"] = names_resource(AT_LIMITS) + "x\0".encode("utf-16-le")
    cases["no_end"] = names_resource(AT_LIMITS, end=False)
    cases["empty_key"] = names_resource([""] + AT_LIMITS[1:])
    return cases


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--gcab", required=True)
    parser.add_argument("--sevenzip")
    parser.add_argument("--program")
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    out = lambda name: os.path.join(args.out, name)

    if args.program:
        with open(args.program, "rb") as f:
            program = f.read()
        with tempfile.TemporaryDirectory() as staging:
            cabinet = make_cabinet(args.gcab, os.path.join(staging, "program.cab"),
                                   [stage(staging, "setup.exe", program)], ["setup.exe"])
        write(out("program.cab"), stamp(cabinet))
        return
    if not args.sevenzip:
        parser.error("--sevenzip is needed for the test data")

    setup = pseudo_random(320 * 1024, b"setup")
    first = pseudo_random(4 * 1024, b"first")
    second = pseudo_random(96 * 1024, b"second")
    third = pseudo_random(8 * 1024, b"third")
    write(out("setup.bin"), setup)
    write(out("first.bin"), first)
    write(out("second.bin"), second)
    write(out("third.bin"), third)
    write(out("empty.bin"), b"")
    for name, data in names_cases().items():
        write(out(f"names_{name}.bin"), data)

    with tempfile.TemporaryDirectory() as staging:
        product = stage(staging, "product.txt", b"The product archive is never read by the stub.\n")
        archive = os.path.join(staging, "archive.7z")
        run(args.sevenzip, "a", "-t7z", "-mx=9", "-mmt=1", "-mtc=off", "-mta=off", "-mtm=on", "-bd", "-y",
            archive, "--", os.path.basename(product), cwd=staging)
        shutil.copyfile(archive, out("archive.7z"))

        single = make_cabinet(args.gcab, os.path.join(staging, "setup.cab"),
                              [stage(staging, "setup.exe", setup)], ["setup.exe"])
        two = make_cabinet(args.gcab, os.path.join(staging, "two.cab"),
                           [stage(staging, "first.bin", first), stage(staging, "second.bin", second)],
                           ["first.bin", "second.bin"])
        three = make_cabinet(args.gcab, os.path.join(staging, "three.cab"),
                             [stage(staging, "first.bin", first), stage(staging, "second.bin", second),
                              stage(staging, "third.bin", third)],
                             ["first.bin", "second.bin", "third.bin"])
        only_first = make_cabinet(args.gcab, os.path.join(staging, "first.cab"),
                                  [stage(staging, "first.bin", first)], ["first.bin"])
        only_second = make_cabinet(args.gcab, os.path.join(staging, "second.cab"),
                                   [stage(staging, "second.bin", second)], ["second.bin"])

    write(out("setup.cab"), stamp(single))
    write(out("readonly.cab"), stamp(single, attributes=0x21))
    write(out("exec.cab"), stamp(single, attributes=0x40))
    write(out("baddate.cab"), stamp(single, date=BAD_DOS_DATE))
    write(out("allbits.cab"), stamp(single, attributes=0xFF))
    write(out("two.cab"), stamp(two))
    write(out("reordered.cab"), reordered(stamp(two)))
    write(out("three.cab"), stamp(three))
    two_folders = one_folder_each([stamp(only_first), stamp(only_second)])
    check_extracts(args.gcab, two_folders, {"first.bin": first, "second.bin": second})
    write(out("twofolders.cab"), two_folders)
    write(out("twofolders_reordered.cab"), reordered(two_folders))

    nofile = stamp(single)
    struct.pack_into("<H", nofile, HEADER_FILES_COUNT, 0)
    write(out("nofile.cab"), nofile)

    corrupt = stamp(single)
    blocks = data_blocks(corrupt)
    if len(blocks) < 8:
        sys.exit("setup.cab has %d data blocks; the damaged one must be in the middle" % len(blocks))
    # Past the block's 8-byte header, MSZIP's "CK" and the header of the
    # stored deflate block: a byte of the setup program itself.
    corrupt[blocks[4] + 8 + 100] ^= 0xFF
    write(out("corrupt.cab"), corrupt)

    # The damage that the checksums miss: the library writes exactly the
    # announced bytes and reports the file complete.
    short = stamp(single)
    entry = file_entries(short)[0]
    struct.pack_into("<I", short, entry, struct.unpack_from("<I", short, entry)[0] - 0x100)
    write(out("shortfile.cab"), short)

    write(out("truncated.cab"), stamp(single)[:-1000])

    write(out("reserve.cab"), with_reserved_areas(stamp(two)))


if __name__ == "__main__":
    main()
