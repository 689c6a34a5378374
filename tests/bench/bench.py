#!/usr/bin/python3
"""Figures for ./bench.sh: size, time to child start, archive independence,
page-cache residency and heap use. Prints each figure with how it was
measured and writes them all to bench/results.md.

    bench.py [--runs N]

Expects what bench.sh prepares: the arm64, x64 and tests-x64 builds, and
WINEPREFIX naming a ready Wine prefix with a persistent wineserver.
"""

import argparse
import ctypes
import datetime
import mmap
import os
import random
import re
import statistics
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
WORK = REPO / "build" / "bench"
WINE64 = "/usr/lib/wine/wine64"
MIB = 1 << 20
# A fixed cabinet date, so that the installers are the same from run to run.
SOURCE_DATE_EPOCH = "1700000000"

GOAL_STUB_BYTES = 12288
GOAL_OVERHEAD_RATIO = 1.3
GOAL_ARCHIVE_RATIO = 1.05

lines = []  # the report, as printed


def say(text=""):
    print(text, flush=True)
    lines.append(text)


def verdict(met):
    return "met" if met else "NOT MET"


def windows_path(path):
    return "Z:" + str(path).replace("/", "\\")


def hex_units(text):
    data = text.encode("utf-16-le")
    return "".join("%02X%02X" % (data[i + 1], data[i]) for i in range(0, len(data), 2))


def quoted(path):
    return '"' + windows_path(path) + '"'


def pseudo_random_file(path, size, seed, head=b""):
    """`head` followed by deterministic pseudo-random bytes, `size` in all."""
    generator = random.Random(seed)
    with open(path, "wb") as file:
        file.write(head)
        left = size - len(head)
        while left > 0:
            chunk = min(left, 64 * MIB)
            file.write(generator.randbytes(chunk))
            left -= chunk


def stored_archive(path, size, seed):
    """A real 7z archive holding `size` pseudo-random bytes stored as they
    are (-mx=0), so that it is about `size` bytes long and passes the archive
    test that package.sh makes before it builds. Kept between runs."""
    if path.exists() and size <= path.stat().st_size < size + 4096:
        return
    content = path.with_suffix(".bin")
    pseudo_random_file(content, size, seed)
    path.unlink(missing_ok=True)
    subprocess.run(["7zz", "a", "-bd", "-mx=0", str(path), str(content)], check=True, stdout=subprocess.DEVNULL)
    content.unlink()


def package(archive, setup, output):
    env = dict(os.environ, SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
    subprocess.run([str(REPO / "package.sh"), "--arch", "x64", "--storage", "BL", "--archive", str(archive),
                    "--setup", str(setup), "--output", str(output)], check=True, env=env,
                   stdout=subprocess.DEVNULL)


def launch(command, env=None):
    """Runs `command` through the launcher; returns the launcher's start QPC
    and the exit code it reports."""
    full_env = dict(os.environ)
    full_env.update(env or {})
    launcher = REPO / "build/x64/tools/launcher.exe"
    completed = subprocess.run(["timeout", "300", WINE64, str(launcher), hex_units(command)], env=full_env,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, cwd=WORK)
    start = re.search(r"start=(\d+)", completed.stdout)
    code = re.search(r"exit=0x([0-9A-F]{8})", completed.stdout)
    if not start or not code:
        raise RuntimeError(f"launcher gave {completed.stdout!r} for {command}")
    return int(start.group(1)), int(code.group(1), 16)


def probe_start(path):
    """The QPC the probe recorded at its start (third NUL-separated field)."""
    fields = path.read_bytes().decode("utf-16-le").split("\0")
    return int(fields[2])


def time_to_probe(program):
    """QPC ticks from the launcher's CreateProcessW to the probe's start, with
    `program` (an installer or the probe itself) as the launched program."""
    out = WORK / "probe.out"
    out.unlink(missing_ok=True)
    start, code = launch(quoted(program), {"PROBE_OUT": windows_path(out)})
    if code != 0:
        raise RuntimeError(f"{program.name} ended with 0x{code:08X}")
    return probe_start(out) - start


def time_of_baseline(installer):
    """QPC ticks from the launcher's CreateProcessW to the end of the
    baseline's write and expansion."""
    folder = WORK / "baseline"
    folder.mkdir(exist_ok=True)
    for stale in folder.iterdir():
        stale.unlink()
    result = WORK / "baseline.out"
    result.unlink(missing_ok=True)
    tool = REPO / "build/x64/tools/bench_baseline.exe"
    command = f'{quoted(tool)} {quoted(installer)} "{windows_path(folder)}\\\\" {quoted(result)}'
    start, code = launch(command)
    if code != 0:
        raise RuntimeError(f"bench_baseline failed at step {code}")
    done, frequency = (int(x) for x in result.read_text().split())
    time_of_baseline.frequency = frequency
    return done - start


time_of_baseline.frequency = 10_000_000


def ms(ticks):
    return 1000.0 * ticks / time_of_baseline.frequency


def summary(samples):
    return (f"median {ms(statistics.median(samples)):.2f} ms (min {ms(min(samples)):.2f}, "
            f"max {ms(max(samples)):.2f}, n={len(samples)})")


def interleaved(kinds, runs):
    """Runs each kind `runs` times, rotating the order every round so that a
    change of load falls on all kinds alike."""
    samples = {name: [] for name, _ in kinds}
    for round_number in range(runs):
        shift = round_number % len(kinds)
        for name, measure in kinds[shift:] + kinds[:shift]:
            samples[name].append(measure())
    return samples


# --- 1. Size ------------------------------------------------------------------

FILE_ALIGNMENT = 512
SECTION_HEADER_BYTES = 40


def image_layout(path):
    """(file size, [(part, raw, virtual or used)]) of a PE image: the headers
    (bytes in use against SizeOfHeaders) and then each section."""
    import pefile
    pe = pefile.PE(str(path), fast_load=True)
    used = (pe.DOS_HEADER.e_lfanew + 4 + 20 + pe.FILE_HEADER.SizeOfOptionalHeader
            + SECTION_HEADER_BYTES * len(pe.sections))
    parts = [("headers", pe.OPTIONAL_HEADER.SizeOfHeaders, used)]
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode("latin-1")
        parts.append((name, section.SizeOfRawData, section.Misc_VirtualSize))
    pe.close()
    return path.stat().st_size, parts


def left_in_block(raw, used):
    """Bytes that a part can grow before it takes one more file block; "-"
    for a section that takes no file space (zero-filled data)."""
    return str(raw - used) if raw else "-"


def say_layout(title, path):
    size, parts = image_layout(path)
    say(f"{title} ({path.relative_to(REPO)}): {size} bytes")
    say()
    say("| part | raw size | virtual size (headers: bytes used) | left before the next 512-byte step |")
    say("|---|---:|---:|---:|")
    for name, raw, used in parts:
        say(f"| {name} | {raw} | {used} | {left_in_block(raw, used)} |")
    say()
    return size, dict((name, (raw, used)) for name, raw, used in parts)


def bare_installer(arch):
    """build/bench/installer-bare-<arch>.exe: the ready stub with the manifest
    and the version block only, laid out by the packaging's own writer."""
    sys.path.insert(0, str(REPO / "tools" / "packaging"))
    import assemble
    import inputs
    import options
    import progress
    import version_block
    from writer import layout, output, resources, stub

    dotted, strings = inputs.version_strings(options.Options(), None)
    items = [resources.Item(assemble.RT_MANIFEST, assemble.MANIFEST_ID, data=assemble.manifest(REPO, "asInvoker")),
             resources.Item(assemble.RT_VERSION, assemble.VERSION_ID,
                            data=version_block.encode([int(p) for p in dotted.split(".")], strings))]
    laid_out = layout.Layout(stub.ReadyStub(str(REPO / "build" / arch / "stub.exe")), resources.Section(items))
    path = REPO / "build" / "bench" / f"installer-bare-{arch}.exe"
    path.parent.mkdir(parents=True, exist_ok=True)
    with open(path, "wb") as file:
        output.write(file, laid_out, progress.Quiet())
    return path


def figure_size():
    say("## 1. Size of the bare stub and of the installer without payload and icon")
    say()
    say("Measured: file size of build/<arch>/stub.exe (no resources at all) and of "
        "build/bench/installer-bare-<arch>.exe (the same stub with the manifest and the version block "
        "that every installer carries, and no payload or icon); headers and sections read with pefile. "
        f"Each part of the file takes whole blocks of {FILE_ALIGNMENT} bytes (the file alignment); the last "
        "column says how much a part can grow before it takes one more.")
    say()
    sizes = {}
    for arch in ("arm64", "x64"):
        sizes[arch], parts = say_layout(f"{arch} bare stub", REPO / "build" / arch / "stub.exe")
        if arch == "arm64":
            stub_parts = parts
        say_layout(f"{arch} installer without payload and icon", bare_installer(arch))
    say(f"Goal: ARM64 stub <= {GOAL_STUB_BYTES} bytes: {sizes['arm64']} bytes, "
        f"{verdict(sizes['arm64'] <= GOAL_STUB_BYTES)}")
    spare_blocks = max(0, GOAL_STUB_BYTES - sizes["arm64"]) // FILE_ALIGNMENT
    room = {name: stub_parts[name][0] - stub_parts[name][1] + spare_blocks * FILE_ALIGNMENT
            for name in (".text", ".rdata") if name in stub_parts}
    say("Room within the goal: " + ", ".join(f"{name} can grow by {bytes_} bytes" for name, bytes_ in room.items())
        + " (each alone) before the ARM64 stub passes it.")
    say()


# --- Inputs -------------------------------------------------------------------

def make_inputs():
    WORK.mkdir(parents=True, exist_ok=True)
    probe = REPO / "build/x64/tools/probe.exe"
    setup = WORK / "probe-5mib.exe"
    body = probe.read_bytes()
    # The appended bytes are an overlay: the loader maps only the sections,
    # so the probe still runs.
    with open(setup, "wb") as file:
        file.write(body)
    generator = random.Random(5)
    with open(setup, "ab") as file:
        file.write(generator.randbytes(5 * MIB - len(body)))

    small = WORK / "small.7z"
    if not small.exists():
        content = WORK / "readme.txt"
        content.write_text("the product archive of the benchmark\n")
        subprocess.run(["7zz", "a", "-bd", "-mx=9", str(small), str(content)], check=True,
                       stdout=subprocess.DEVNULL)
    one_mib = WORK / "archive-1mib.7z"
    one_gib = WORK / "archive-1gib.7z"
    stored_archive(one_mib, MIB, 1)
    stored_archive(one_gib, 1024 * MIB, 2)

    installers = {"small": WORK / "installer-small.exe", "1mib": WORK / "installer-1mib.exe",
                  "1gib": WORK / "installer-1gib.exe"}
    print("packaging the benchmark installers (the 1 GiB one takes a minute or two)", flush=True)
    package(small, setup, installers["small"])
    package(one_mib, setup, installers["1mib"])
    package(one_gib, setup, installers["1gib"])
    return setup, installers


def payload_extents(installer):
    """File offsets (first byte, end) of the archive and of the setup resource."""
    sys.path.insert(0, str(REPO / "tools"))
    import check_installer as layout
    import pefile
    pe = pefile.PE(str(installer), fast_load=True)
    pe.parse_data_directories(directories=[pefile.DIRECTORY_ENTRY["IMAGE_DIRECTORY_ENTRY_RESOURCE"]])
    image = layout.Image(pe)
    extents = {"archive": image.file_extent("B7", "BRISEL.PACKED.7Z"), "setup": image.file_extent("BL", "SETUP.EX_")}
    pe.close()
    return extents


def setup_resource_size(installer):
    begin, end = payload_extents(installer)["setup"]
    return end - begin


# --- 2. Time to child start ---------------------------------------------------

def figure_child_start(setup, installers, runs):
    say("## 2. Time to child start (x64 under Wine)")
    say()
    say(f"Setup program: build/x64/tools/probe.exe with pseudo-random bytes appended to 5 MiB "
        f"({setup.stat().st_size} bytes; an overlay, it still runs), stored as an MSZIP cabinet "
        f"(BL/SETUP.EX_, {setup_resource_size(installers['small'])} bytes) around a small 7z archive "
        f"made with 7zz ({(WORK / 'small.7z').stat().st_size} bytes).")
    say("Each figure is QueryPerformanceCounter ticks from the launcher's call to CreateProcessW "
        "(tools/launcher prints `start=`) to the event named; Wine has one such clock for all its processes.")
    say("- (a) installer: the installer started by the launcher, until the probe it starts records its start.")
    say("- (b) probe alone: the 5 MiB probe started by the launcher, until it records its start.")
    say("- (c) baseline: tools/bench_baseline started by the launcher; it maps the installer as a data file, "
        "writes BL/SETUP.EX_ with the product's SaveResourceAs and expands it with the product's "
        "ExpandCabinet (cabinet.dll FDI), then records its QPC. It includes one process start, "
        "as (a) does.")
    say(f"{runs} runs of each, interleaved (the order rotates each round).")
    say()
    samples = interleaved([
        ("a", lambda: time_to_probe(installers["small"])),
        ("b", lambda: time_to_probe(setup)),
        ("c", lambda: time_of_baseline(installers["small"])),
    ], runs)
    say(f"- (a) installer:   {summary(samples['a'])}")
    say(f"- (b) probe alone: {summary(samples['b'])}")
    say(f"- (c) baseline:    {summary(samples['c'])}")
    a, b, c = (statistics.median(samples[k]) for k in "abc")
    ratio = (a - b) / c
    say()
    say(f"Ratio (median(a) - median(b)) / median(c) = {ratio:.3f}. Goal <= {GOAL_OVERHEAD_RATIO}: "
        f"{verdict(ratio <= GOAL_OVERHEAD_RATIO)}")
    say()


# --- 3. Archive independence --------------------------------------------------

def resident_ranges(path):
    """The byte ranges of `path` that are in the page cache, from mincore(2)
    on a mapping of the whole file (mapping touches no page; fincore(1) gives
    only the total, which is checked against the sum)."""
    size = path.stat().st_size
    libc = ctypes.CDLL("libc.so.6", use_errno=True)
    with open(path, "rb") as file, mmap.mmap(file.fileno(), size, access=mmap.ACCESS_COPY) as view:
        pages = (size + mmap.PAGESIZE - 1) // mmap.PAGESIZE
        vector = (ctypes.c_ubyte * pages)()
        anchor = ctypes.c_char.from_buffer(view)
        try:
            if libc.mincore(ctypes.c_void_p(ctypes.addressof(anchor)), ctypes.c_size_t(size), vector) != 0:
                raise OSError(ctypes.get_errno(), "mincore")
        finally:
            del anchor
    ranges, start = [], None
    for page in range(pages + 1):
        resident = page < pages and vector[page] & 1
        if resident and start is None:
            start = page
        elif not resident and start is not None:
            ranges.append((start * mmap.PAGESIZE, page * mmap.PAGESIZE))
            start = None
    listing = subprocess.run(["fincore", "--bytes", "--noheadings", str(path)], capture_output=True, text=True,
                             check=True).stdout.split()
    if int(listing[0]) != sum(end - begin for begin, end in ranges):
        raise RuntimeError(f"fincore says {listing[0]} bytes of {path.name} are resident, mincore disagrees")
    return ranges


def overlap(ranges, begin, end):
    return sum(max(0, min(end, b) - max(begin, a)) for a, b in ranges)


def read_ahead_file(path):
    """The read_ahead_kb file of the block device holding `path`, or None."""
    device = os.stat(path).st_dev
    base = Path(f"/sys/dev/block/{os.major(device)}:{os.minor(device)}")
    for queue in (base / "queue", base / ".." / "queue"):  # a whole disk, or a partition of one
        if (queue / "read_ahead_kb").exists():
            return queue / "read_ahead_kb"
    return None


def evict(path):
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
        os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)
    finally:
        os.close(fd)


def residency_after_run(installer):
    """Evicts the installer's pages, runs it once, and returns (resident
    ranges, resident bytes before the run)."""
    evict(installer)
    before = sum(end - begin for begin, end in resident_ranges(installer))
    time_to_probe(installer)
    return resident_ranges(installer), before


def residency_lines(installers, limit, read_ahead):
    for key, label in (("1mib", "1 MiB archive"), ("1gib", "1 GiB archive")):
        ranges, before = residency_after_run(installers[key])
        extents = payload_extents(installers[key])
        total = sum(end - begin for begin, end in ranges)
        archive = overlap(ranges, *extents["archive"])
        setup = overlap(ranges, *extents["setup"])
        say(f"- {label}, read-ahead {read_ahead} KiB: {total} bytes resident after the run ({before} after "
            f"eviction): setup resource {setup} of {extents['setup'][1] - extents['setup'][0]}, archive {archive} "
            f"of {extents['archive'][1] - extents['archive'][0]}, the rest {total - setup - archive}. "
            f"Goal: {verdict(total <= limit)}")


def figure_archive(installers, runs):
    say("## 3. Archive independence")
    say()
    sizes = {k: installers[k].stat().st_size for k in ("1mib", "1gib")}
    say(f"The same 5 MiB setup program (as above) with a 1 MiB and a 1 GiB archive (7z archives "
        f"of pseudo-random bytes stored uncompressed); installers of {sizes['1mib']} and {sizes['1gib']} bytes. "
        f"Time to child start as in (a); {runs} runs of each, interleaved.")
    say()
    samples = interleaved([
        ("1mib", lambda: time_to_probe(installers["1mib"])),
        ("1gib", lambda: time_to_probe(installers["1gib"])),
    ], runs)
    say(f"- 1 MiB archive: {summary(samples['1mib'])}")
    say(f"- 1 GiB archive: {summary(samples['1gib'])}")
    ratio = statistics.median(samples["1gib"]) / statistics.median(samples["1mib"])
    say()
    say(f"Ratio median(1 GiB) / median(1 MiB) = {ratio:.3f}. Goal <= {GOAL_ARCHIVE_RATIO}: "
        f"{verdict(ratio <= GOAL_ARCHIVE_RATIO)}")
    say()

    resource = setup_resource_size(installers["1mib"])
    limit = resource + MIB
    say("Page cache: the installer file's pages evicted (fsync, then "
        "posix_fadvise(POSIX_FADV_DONTNEED)), one run, then the resident pages from mincore(2) on a mapping of "
        "the file (their total checked against `fincore --bytes`), split by where they lie: the setup "
        "resource, the archive, the rest (headers, code, resource directory, icons, version, manifest). "
        f"Goal: resident <= setup resource ({resource} bytes) + 1 MiB = {limit} bytes.")
    say()
    say("Wine maps the image and the stub writes the setup resource straight from the mapping, so the "
        "pages come in through page faults, and the kernel reads around each faulting page: half of the "
        "disk's read-ahead window before it and half after. The archive lies just before the setup "
        "resource, so the window's first half falls on the archive's tail; the figure therefore depends "
        "on the disk's read-ahead setting, and is shown with the machine's own and, where it can be "
        "changed for the measurement (root), with the kernel's default of 128 KiB, restored afterwards.")
    say()
    control = read_ahead_file(installers["1gib"])
    own = control.read_text().strip() if control else "unknown"
    residency_lines(installers, limit, own)
    if control and own != "128":
        try:
            control.write_text("128")
        except OSError as error:
            say(f"- (the read-ahead setting could not be changed here: {error.strerror})")
        else:
            try:
                residency_lines(installers, limit, "128")
            finally:
                control.write_text(own)
    say()


# --- 4. Heap --------------------------------------------------------------------

def figure_heap():
    say("## 4. Heap use of one whole run")
    say()
    say("Measured by the disabled behaviour test BenchHeapTest.DISABLED_OneWholeRunOfTheShippedLayout "
        "(tests/behaviour/bench_heap_test.cpp): RunStub on the runnable_setup layout (archive and a cabinet "
        "holding a program that exits with 7), under Wine, with the seam counting HeapAlloc and LocalAlloc "
        "and their sizes, and the calls that make the system allocate for the stub (sizes from LocalSize "
        "of the block returned). GetVolumeInformationW is made to report FILE_PERSISTENT_ACLS, as NTFS "
        "does on Windows, because Wine's drives report no ACLs and the token, SID and descriptor "
        "allocations would not happen.")
    say()
    completed = subprocess.run(
        ["timeout", "600", WINE64, "behaviour_tests.exe", "--gtest_also_run_disabled_tests",
         "--gtest_filter=BenchHeapTest.*"], cwd=REPO / "build/tests-x64", stdin=subprocess.DEVNULL,
        capture_output=True, text=True)
    found = re.search(r"--- heap figures ---\n(.*?)--- end ---", completed.stdout, re.S)
    if not found:
        say("The heap test printed no figures:")
        say("```")
        say(completed.stdout[-2000:])
        say("```")
        return
    for line in found.group(1).rstrip("\n").split("\n"):
        say(line)
    # gtest prints "[  PASSED  ] 0 tests." even when the one test failed.
    if completed.returncode != 0 or "[  FAILED  ]" in completed.stdout:
        say()
        say("(The run did not end as expected; see the test's output.)")
    say()


HEADER = """# Benchmark results

Written by `./bench.sh` (overwritten on each run; compare with the previous
commit of this file). No test asserts a time: these figures are the record.

What the figures mean:

1. **Size**: bytes of the bare stub (`build/<arch>/stub.exe`, no resources)
   and of the installer without payload and icon (`installer-bare.exe`: the
   stub with the manifest and version block), with the headers' and each
   section's raw (file) and virtual (memory) size and the bytes left in each
   before the next 512-byte file block.
2. **Time to child start**: how long after being started the installer's
   setup program starts, on x64 under Wine, against (b) the setup program
   started directly and (c) a baseline that only does the unavoidable work
   (write the cabinet from the mapped image, expand it). The ratio is the
   installer's own overhead over the baseline.
3. **Archive independence**: the same installer with a 1 MiB and a 1 GiB
   archive must start its setup program equally fast, and a run must not read
   the archive into the page cache.
4. **Heap**: who allocates what during one whole run.

Times are medians of interleaved runs on a shared machine: load from other
work shows as a spread between min and max; compare medians, and mind the
load average below.
"""


PACKAGING_MARK = "<!-- packaging figures: ./bench.sh packaging -->"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=15)
    args = parser.parse_args()

    load = open("/proc/loadavg").read().split()[:3]
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.lower().startswith(("model name", "cpu model"))), "unknown")
    say(f"Date: {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}")
    say(f"Machine: {os.cpu_count()} cores (nproc {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()}), "
        f"CPU {model}; load average at start {' '.join(load)}")
    say(f"Commit: {subprocess.run(['git', 'rev-parse', '--short', 'HEAD'], cwd=REPO, capture_output=True, text=True).stdout.strip()} "
        f"(plus uncommitted changes, if any)")
    say()

    figure_size()
    setup, installers = make_inputs()
    figure_child_start(setup, installers, args.runs)
    figure_archive(installers, args.runs)
    figure_heap()
    say(f"Load average at the end: {' '.join(open('/proc/loadavg').read().split()[:3])}")

    results = REPO / "bench" / "results.md"
    results.parent.mkdir(exist_ok=True)
    # The packaging's figures (./bench.sh packaging) are measured apart: kept.
    kept = ""
    if results.exists() and PACKAGING_MARK in results.read_text():
        kept = "\n" + results.read_text()[results.read_text().index(PACKAGING_MARK):]
    results.write_text(HEADER + "\n" + "\n".join(lines) + "\n" + kept)
    print(f"written: {results.relative_to(REPO)}")


if __name__ == "__main__":
    main()
