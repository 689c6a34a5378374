#!/usr/bin/python3
"""Figures for ./bench.sh: size, time to child start (ours against a peer
built with NSIS), archive independence, page-cache residency, and what one
run writes and allocates. Each figure that a change moves is printed for this
tree and, beside it, for the tree before the change, measured in the same
run. Prints each figure with how it was measured and writes them all to
bench/results.md.

    bench.py [--runs N] --before DIR

Expects what bench.sh prepares: the arm64, x64 and tests-x64 builds here and
in DIR (a worktree of the commit before, with this tree's
tests/behaviour/bench_run_test.cpp copied in), makensis, and the test
harness, the structure check and the packaging's modules on the module path.
Runs Wine in a prefix of its own (build/wineprefix-bench), always torn down.
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
from pathlib import Path

from harness.wine import WinePrefix

REPO = Path(__file__).resolve().parents[2]
WORK = REPO / "build" / "bench"
WINE64 = "/usr/lib/wine/wine64"
MIB = 1 << 20
# A fixed cabinet date, so that the installers are the same from run to run.
SOURCE_DATE_EPOCH = "1700000000"

GOAL_STUB_BYTES = 12288
# What the cabinet's expansion from memory must leave room for: the size
# before it is the limit, with the protections that the savings pay for.
AIM_STUB_BYTES = 12800
GOAL_OVERHEAD_RATIO = 1.3
GOAL_PEER_RATIO = 0.5
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


def package(archive, setup, output, tree=REPO):
    """An x64 installer with the setup program as a cabinet, made by the
    package.sh of `tree` (this one, or the tree before)."""
    env = dict(os.environ, SOURCE_DATE_EPOCH=SOURCE_DATE_EPOCH)
    subprocess.run([str(tree / "package.sh"), "--arch", "x64", "--storage", "BL", "--archive", str(archive),
                    "--setup", str(setup), "--output", str(output)], check=True, env=env,
                   stdout=subprocess.DEVNULL)


PEER_SCRIPT = """Unicode true
Target amd64-unicode
SetCompressor zlib
SilentInstall silent
RequestExecutionLevel user
Name "peer"
OutFile "{output}"
Section
  InitPluginsDir
  SetOutPath "$PLUGINSDIR"
  File "/oname=setup.exe" "{setup}"
  ExecWait '"$PLUGINSDIR\\setup.exe"' $0
  SetErrorLevel $0
SectionEnd
"""


def package_peer(setup, output):
    """The peer installer: NSIS (Debian's makensis), silent, the same setup
    program compressed with zlib (deflate, as our MSZIP cabinet), extracted to
    a temporary folder of its own ($PLUGINSDIR, removed when it ends), run and
    waited for, its exit code passed on."""
    script = WORK / "peer.nsi"
    script.write_text(PEER_SCRIPT.format(output=output, setup=setup))
    subprocess.run(["makensis", "-V2", str(script)], check=True, stdout=subprocess.DEVNULL)


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


def time_of_baseline(installer, tree=REPO):
    """QPC ticks from the launcher's CreateProcessW to the end of the
    baseline's work (tools/bench_baseline of `tree`)."""
    folder = WORK / "baseline"
    folder.mkdir(exist_ok=True)
    for stale in folder.iterdir():
        stale.unlink()
    result = WORK / "baseline.out"
    result.unlink(missing_ok=True)
    tool = tree / "build/x64/tools/bench_baseline.exe"
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
    # The packaging's modules (tools/packaging) and the structure check they
    # take from tools/ are on the module path, as bench.sh sets it.
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


def figure_size(before):
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
    say(f"Before and after, the bare stubs of the tree before ({revision(before)}) and of this one, "
        "with the bytes each section uses (its virtual size):")
    say()
    say("| image | before | after | change |")
    say("|---|---:|---:|---:|")
    for arch in ("arm64", "x64"):
        old_size, old_parts = image_layout(before / "build" / arch / "stub.exe")
        new_size, new_parts = image_layout(REPO / "build" / arch / "stub.exe")
        say(f"| {arch} stub.exe, file | {old_size} | {new_size} | {new_size - old_size:+d} |")
        old_used, new_used = dict((n, u) for n, _, u in old_parts), dict((n, u) for n, _, u in new_parts)
        for name in (".text", ".rdata"):
            say(f"| {arch} {name}, used | {old_used[name]} | {new_used[name]} | "
                f"{new_used[name] - old_used[name]:+d} |")
    arm64_after = image_layout(REPO / "build" / "arm64" / "stub.exe")[0]
    arm64_before = image_layout(before / "build" / "arm64" / "stub.exe")[0]
    say()
    say(f"Limit: ARM64 stub <= {arm64_before} bytes (the size before): {arm64_after} bytes, "
        f"{verdict(arm64_after <= arm64_before)}; aim <= {AIM_STUB_BYTES}: {verdict(arm64_after <= AIM_STUB_BYTES)}")
    say()


def revision(tree):
    return subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=tree, capture_output=True,
                          text=True).stdout.strip()


# --- Inputs -------------------------------------------------------------------

def make_inputs(before):
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
                  "1gib": WORK / "installer-1gib.exe", "before": WORK / "installer-before.exe",
                  "peer": WORK / "peer-nsis.exe"}
    print("packaging the benchmark installers (the 1 GiB one takes a minute or two)", flush=True)
    package(small, setup, installers["small"])
    package(small, setup, installers["before"], before)
    package_peer(setup, installers["peer"])
    package(one_mib, setup, installers["1mib"])
    package(one_gib, setup, installers["1gib"])
    return setup, installers


def payload_extents(installer):
    """File offsets (first byte, end) of the archive and of the setup resource."""
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

def figure_child_start(setup, installers, runs, before):
    say("## 2. Time to child start (x64 under Wine), before and after, and against NSIS")
    say()
    say(f"Setup program: build/x64/tools/probe.exe with pseudo-random bytes appended to 5 MiB "
        f"({setup.stat().st_size} bytes; an overlay, it still runs), stored as an MSZIP cabinet "
        f"(BL/SETUP.EX_, {setup_resource_size(installers['small'])} bytes) around a small 7z archive "
        f"made with 7zz ({(WORK / 'small.7z').stat().st_size} bytes).")
    say("Each figure is QueryPerformanceCounter ticks from the launcher's call to CreateProcessW "
        "(tools/launcher prints `start=`) to the event named; Wine has one such clock for all its processes.")
    say(f"- (a) installer: the installer started by the launcher, until the probe it starts records its start; "
        f"made by this tree's package.sh (after) and by that of the tree before ({revision(before)}).")
    say("- (b) probe alone: the 5 MiB probe started by the launcher, until it records its start.")
    say("- (c) baseline: tools/bench_baseline of each tree started by the launcher; it maps the installer as a "
        "data file and does that tree's least work with the product's own payload modules (after: expands "
        "BL/SETUP.EX_ from the mapping with ExpandCabinet; before: writes it with SaveResourceAs, then expands "
        "the file), then records its QPC. It includes one process start, as (a) does.")
    say("- (n) NSIS: the peer installer built by Debian's makensis from the same probe (zlib, silent): it "
        "extracts the probe to a temporary folder of its own, runs it and waits for it.")
    say(f"{runs} runs of each, interleaved (the order rotates each round).")
    say()
    samples = interleaved([
        ("after", lambda: time_to_probe(installers["small"])),
        ("before", lambda: time_to_probe(installers["before"])),
        ("probe", lambda: time_to_probe(setup)),
        ("c-after", lambda: time_of_baseline(installers["small"])),
        ("c-before", lambda: time_of_baseline(installers["small"], before)),
        ("nsis", lambda: time_to_probe(installers["peer"])),
    ], runs)
    say(f"- (a) installer, after:  {summary(samples['after'])}")
    say(f"- (a) installer, before: {summary(samples['before'])}")
    say(f"- (b) probe alone:       {summary(samples['probe'])}")
    say(f"- (c) baseline, after:   {summary(samples['c-after'])}")
    say(f"- (c) baseline, before:  {summary(samples['c-before'])}")
    say(f"- (n) NSIS:              {summary(samples['nsis'])}")
    median = {name: statistics.median(values) for name, values in samples.items()}
    overhead = {tree: median[tree] - median["probe"] for tree in ("after", "before")}
    peer = median["nsis"] - median["probe"]
    say()
    say("| figure | before | after |")
    say("|---|---:|---:|")
    say(f"| our overhead to the child's start, median(a) - median(b) | {ms(overhead['before']):.2f} ms "
        f"| {ms(overhead['after']):.2f} ms |")
    say(f"| over its own tree's baseline, (median(a) - median(b)) / median(c) | "
        f"{overhead['before'] / median['c-before']:.3f} | {overhead['after'] / median['c-after']:.3f} |")
    say(f"| over the baseline before, (median(a) - median(b)) / median(c, before) | "
        f"{overhead['before'] / median['c-before']:.3f} | {overhead['after'] / median['c-before']:.3f} |")
    say(f"| against NSIS, (median(a) - median(b)) / (median(n) - median(b)) | "
        f"{overhead['before'] / peer:.3f} | {overhead['after'] / peer:.3f} |")
    say()
    ratio = overhead["after"] / median["c-after"]
    say(f"Goal: overhead over the baseline <= {GOAL_OVERHEAD_RATIO}: {ratio:.3f}, "
        f"{verdict(ratio <= GOAL_OVERHEAD_RATIO)}; against NSIS <= {GOAL_PEER_RATIO}: "
        f"{overhead['after'] / peer:.3f}, {verdict(overhead['after'] / peer <= GOAL_PEER_RATIO)}; "
        f"time to child start lower than before: {verdict(median['after'] < median['before'])}")
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
    say("Wine maps the image and the stub expands the setup resource straight from the mapping, so the "
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


# --- 4. What one run writes and allocates ---------------------------------------

def run_figures(tree, module):
    """What the disabled behaviour test BenchRunTest.DISABLED_OneWholeRun of
    `tree` printed for one run of `module` (an installer, or a layout module
    with a runnable setup program): a dict of the figures, or the test's
    output when it printed none."""
    env = dict(os.environ, BENCH_RUN_MODULE=windows_path(module))
    completed = subprocess.run(
        ["timeout", "600", WINE64, "behaviour_tests.exe", "--gtest_also_run_disabled_tests",
         "--gtest_filter=BenchRunTest.*"], cwd=tree / "build/tests-x64", stdin=subprocess.DEVNULL,
        capture_output=True, text=True, env=env)
    found = re.search(r"--- run figures ---\n(.*?)--- end ---", completed.stdout, re.S)
    # gtest prints "[  PASSED  ] 0 tests." even when the one test failed.
    if not found or completed.returncode != 0 or "[  FAILED  ]" in completed.stdout:
        return completed.stdout[-2000:]
    figures = {"heap": {}}
    for line in found.group(1).rstrip("\n").split("\n"):
        word, _, rest = line.partition(" ")
        if word == "heap":
            who, calls, size = rest.split("\t")
            figures["heap"][who] = (int(calls), int(size))
        elif word == "outcome":
            figures["outcome"] = tuple(int(x) for x in rest.split())
        elif word == "written":
            figures["writes"], figures["written"] = (int(x) for x in rest.split())
        elif word == "created":
            count, _, names = rest.partition(" ")
            figures["created"] = (int(count), names)
        elif word == "peak":
            figures["peak"] = int(rest)
    return figures


def figure_run(installers, setup, before):
    say("## 4. What one whole run writes and allocates, before and after")
    say()
    say("Measured by the disabled behaviour test BenchRunTest.DISABLED_OneWholeRun "
        "(tests/behaviour/bench_run_test.cpp), compiled into each tree's behaviour tests (bench.sh copies "
        "this tree's file into the tree before, so both are counted by the same code): RunStub over a copy of "
        "an installer, under Wine, with the seam counting. Bytes written: every WriteFile call of the run "
        "(the stub's own and the cabinet library's through the stub's write callback). Files created: "
        "CreateFileW calls that may create a file beside the installer (the scratch directory itself comes "
        "from the native create and is not counted). Peak disk use: the bytes of all files beside the "
        "installer, read after every write. Heap: HeapAlloc and LocalAlloc and their sizes, and the calls that "
        "make the system allocate for the stub (sizes from LocalSize of the block returned); a HeapAlloc "
        "inside the stub's allocation callback, which the cabinet library calls, is the library's. "
        "In a tree that asks the volume by path (GetVolumeInformationW), the call is made to report "
        "FILE_PERSISTENT_ACLS, as NTFS does on Windows, because Wine's drives report no ACLs and the token, "
        "SID and descriptor allocations would not happen; a tree that builds the descriptor on every volume "
        "makes them anyway.")
    say()
    # The same two modules for both trees: a layout built in each tree would
    # hold a program of its own (the paths of its build are in it), whose
    # cabinet the library decompresses with other allocations.
    layout = REPO / "build/tests-x64/payload_layouts/runnable_setup.dll"
    runs = {}
    for name, tree in (("before", before), ("after", REPO)):
        runs[name] = {"bench": run_figures(tree, installers["small"]), "layout": run_figures(tree, layout)}
    for name, kinds in runs.items():
        for kind, figures in kinds.items():
            if isinstance(figures, str):
                say(f"The run figures test of the tree {name} printed no figures for the {kind} run:")
                say("```")
                say(figures)
                say("```")
                return
    n = setup.stat().st_size
    say(f"The bench's installer (the 5 MiB probe, N = {n} bytes, as a cabinet of "
        f"{setup_resource_size(installers['small'])} bytes):")
    say()
    say("| figure | before | after | goal |")
    say("|---|---:|---:|---|")
    b, a = runs["before"]["bench"], runs["after"]["bench"]
    say(f"| bytes written | {b['written']} ({b['writes']} writes) | {a['written']} ({a['writes']} writes) | "
        f"N: {verdict(a['written'] == n)} |")
    say(f"| files created beside the installer | {b['created'][0]} ({b['created'][1]}) | {a['created'][0]} "
        f"({a['created'][1]}) | 1: {verdict(a['created'][0] == 1)} |")
    say(f"| peak disk use | {b['peak']} | {a['peak']} | N: {verdict(a['peak'] == n)} |")
    for label, key in (("HeapAlloc", "= all HeapAlloc"), ("LocalAlloc", "= all LocalAlloc")):
        say(f"| {label}: calls, bytes | {b['heap'][key][0]}, {b['heap'][key][1]} | "
            f"{a['heap'][key][0]}, {a['heap'][key][1]} | |")
    say(f"| run's outcome (exit code, system error) | {b['outcome']} | {a['outcome']} | |")
    say()
    say("Heap of a run of the runnable_setup layout of this tree (archive and a cabinet holding a program that "
        "exits with 7), for both trees. How many blocks the library takes depends on the program it "
        "decompresses, which each tree builds with its own paths in it: the records before this table gave "
        "47 allocations and 108,056 bytes for the program of their day.")
    say()
    say("| who | calls before | bytes before | calls after | bytes after |")
    say("|---|---:|---:|---:|---:|")
    b, a = runs["before"]["layout"]["heap"], runs["after"]["layout"]["heap"]
    for who in a:
        say(f"| {who} | {b.get(who, (0, 0))[0]} | {b.get(who, (0, 0))[1]} | {a[who][0]} | {a[who][1]} |")
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
   started directly, (c) a baseline that only does the unavoidable work
   (expand the cabinet from the mapped image), and (n) a peer installer built
   with NSIS from the same setup program. The ratios are the installer's own
   overhead over the baseline and over the peer's.
3. **Archive independence**: the same installer with a 1 MiB and a 1 GiB
   archive must start its setup program equally fast, and a run must not read
   the archive into the page cache.
4. **One run's writes and heap**: the bytes a run writes, the files it
   creates, its peak disk use, and who allocates what.

The figures that a change moves (size, time to child start, one run's writes
and heap) are printed for this tree and for the tree before the change
(`./bench.sh --before REV`), measured in the same run.

Times are medians of interleaved runs on a shared machine: load from other
work shows as a spread between min and max; compare medians, and mind the
load average below.
"""


PACKAGING_MARK = "<!-- packaging figures: ./bench.sh packaging -->"


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--before", type=Path, required=True,
                        help="the tree of the commit before the change, built by bench.sh")
    args = parser.parse_args()
    before = args.before.resolve()

    load = open("/proc/loadavg").read().split()[:3]
    model = next((line.split(":", 1)[1].strip() for line in open("/proc/cpuinfo")
                  if line.lower().startswith(("model name", "cpu model"))), "unknown")
    say(f"Date: {datetime.datetime.now().astimezone().isoformat(timespec='seconds')}")
    say(f"Machine: {os.cpu_count()} cores (nproc {subprocess.run(['nproc'], capture_output=True, text=True).stdout.strip()}), "
        f"CPU {model}; load average at start {' '.join(load)}")
    say(f"Commit: {revision(REPO)} (plus uncommitted changes, if any); before: {revision(before)}")
    say()

    figure_size(before)
    prefix = WinePrefix(REPO / "build" / "wineprefix-bench", WORK / "wine.log").start()
    try:
        setup, installers = make_inputs(before)
        figure_child_start(setup, installers, args.runs, before)
        figure_archive(installers, args.runs)
        figure_run(installers, setup, before)
    finally:
        prefix.stop()
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
