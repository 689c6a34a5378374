"""Installers with a damaged setup cabinet, end to end under x64 Wine.

    ./test.sh campaigns [--long] [--cabinet-count N] [--cabinet-seed S]
                        [--cabinet-no-checksum] [--cabinet-keep]

Each installer is a copy of build/x64/probe-installer.exe in which one byte of
the BL/SETUP.EX_ resource (the probe as a cabinet) has been changed in place:
the resource keeps its size, so nothing is relinked. The changed bytes are
spread evenly over the cabinet's areas, found by reading its CFHEADER: the
header, the folder entry, the file entry, the data blocks' headers and the
compressed data. The choice comes from a seeded generator, so a count and a
seed always make the same installers. The known cases (known_cases()) run
every time besides: damage that once got past the stub, kept as a guard.

Every installer runs once, through tools/launcher, in a folder of its own, the
removal on. It holds when the stub exits with 115 (the cabinet could not be
expanded) or, when the damage did not matter, the probe ran from a scratch
directory beside the installer and its exit code came through; and nothing
but the installer is left in its folder. Every case whose probe ran runs once
more afterwards with the removal off (the registry value "0"), and the setup
program it keeps must be the whole packed probe: a damaged cabinet can give a
program that is not whole and still runs.

Wine's own cabinet library crashes on some damaged cabinets, and Wine may then
hang while it reports the crash. Such a run is a class of its own, and only
when the crash is shown to be inside the library. Every run has Wine's seh and
loaddll traces on: the loaddll lines give the thread that loaded installer.exe
(the stub's main thread, which runs the library) and where each module was
loaded; the seh lines give the address of every exception. The first exception
of the stub's thread is the crash; it counts as the library's when its address
lies inside cabinet.dll's mapped image (its load address plus the image size in
the PE header of Wine's cabinet.dll) and so outside the installer's. A run
whose stub raised an exception gets a few seconds to end and is then stopped,
with every process of the run (found by the environment they all inherit,
which names the case's folder). Any other crash, a hang, another exit code or
a file left behind fails. A run in which Wine never loaded the installer
(Wine now and then hangs starting a process), or that Wine failed to start
(harness.platform_starts), says nothing about the stub and runs again
once, counted against the few that a test run may retry.

--no-checksum also clears the data blocks' checksum field before the byte is
changed, so that damage reaches the decompressor: an exploration beyond the
shipped form of a cabinet, in which library crashes do happen and in which the
library may also expand damaged data without an error (that fails, as a
damaged setup program runs).

Each installer is a test of its own (a crash inside the library counts as
passed), all of them run by one fixture two at a time; the campaign's
summary ends the tier's part of the run.
"""

import collections
import concurrent.futures
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import tempfile
import time
from pathlib import Path

import pefile
import pytest

import check_installer as layout  # reads the installer's resources
from harness import platform_starts, plugin
from harness.paths import BUILD
from harness.runner import LaunchResult, WineRunner, hex_units

WORK = BUILD / "campaigns" / "cabinet"
SOURCE = BUILD / "x64" / "probe-installer.exe"
EXIT_SETUP_RESOURCE_FAILED = 115
PROBE_EXIT = 77
EXCEPTION_CODES = 0xC0000000  # NTSTATUS errors: how a process that died of an exception ends
CRASH_GRACE_SECONDS = 8  # after the stub's first exception, before the run is stopped
JOBS = 2  # installers run at once
TIMEOUT = 60  # seconds one run may take
# The known cases (known_cases()), run every time besides the drawn ones.
KNOWN_CASES = 1

# Wine's builtin libraries for x64, where cabinet.dll's image size is read.
WINE_LIBRARY_DIRECTORIES = [Path("/usr/lib/x86_64-linux-gnu/wine/x86_64-windows"),
                            Path("/usr/lib/wine/x86_64-windows")]

LOADED = re.compile(r'^([0-9a-f]{4}):trace:loaddll:\S+ Loaded L"(.+)" at ([0-9A-Fa-f]+)')
EXCEPTION = re.compile(r'^([0-9a-f]{4}):trace:seh:dispatch_exception code=([0-9a-f]+) flags=\S+ addr=([0-9A-Fa-f]+)')

AREAS = ("header", "folder", "file", "data-header", "data")


# --- The cabinet and where it sits in the installer ---------------------------------

def setup_resource(image):
    """(file offset, size) of the BL/SETUP.EX_ resource."""
    try:
        begin, end = layout.Image(pefile.PE(data=image)).file_extent("BL", "SETUP.EX_")
    except layout.Failure as failure:
        raise AssertionError("%s: %s" % (SOURCE, failure))
    return begin, end - begin


def cabinet_areas(cabinet):
    """The byte ranges of a cabinet by what they hold: {"header": [(start, end)], ...}."""
    (signature, _, size, _, files_offset, _, _, _, folders, files, flags, _, _) = struct.unpack_from(
        "<4sIIIIIBBHHHHH", cabinet, 0)
    if signature != b"MSCF" or size != len(cabinet):
        raise AssertionError("the setup resource is no cabinet of its own size")
    header_end = 36
    folder_reserve = data_reserve = 0
    if flags & 0x0004:  # reserved areas present
        header_reserve, folder_reserve, data_reserve = struct.unpack_from("<HBB", cabinet, 36)
        header_end += 4 + header_reserve
    for flag in (0x0001, 0x0002):  # previous and next cabinet: two strings each
        if flags & flag:
            for _ in range(2):
                header_end = cabinet.index(b"\0", header_end) + 1
    folders_end = header_end + folders * (8 + folder_reserve)
    file_end = files_offset
    for _ in range(files):
        file_end = cabinet.index(b"\0", file_end + 16) + 1
    areas = {"header": [(0, header_end)], "folder": [(header_end, folders_end)],
             "file": [(files_offset, file_end)], "data-header": [], "data": []}
    for folder in range(folders):
        offset, blocks = struct.unpack_from("<IH", cabinet, header_end + folder * (8 + folder_reserve))
        for _ in range(blocks):
            compressed = struct.unpack_from("<H", cabinet, offset + 4)[0]
            areas["data-header"].append((offset, offset + 8 + data_reserve))
            areas["data"].append((offset + 8 + data_reserve, offset + 8 + data_reserve + compressed))
            offset += 8 + data_reserve + compressed
    return areas


def plan(cabinet, count, seed):
    """`count` changes (area, offset in the cabinet, new byte), the areas taken in turn."""
    rng = random.Random(seed)
    areas = cabinet_areas(cabinet)
    names = [name for name in AREAS if areas[name]]
    changes = []
    for number in range(count):
        name = names[number % len(names)]
        offset = rng.choice([o for start, end in areas[name] for o in range(start, end)])
        changes.append((name, offset, cabinet[offset] ^ rng.randrange(1, 256)))
    return changes


def known_cases(cabinet):
    """Damage that this campaign once found getting past the stub, run every
    time in addition to the drawn cases: (area, offset, new byte, what it does).

    The size a CFFILE entry announces is covered by no checksum. With its
    second byte changed the library writes exactly that many bytes of the
    program and no more and reports the file complete; the stub used to start
    that truncated program. It now checks the file table against the data
    blocks first and stops with 115."""
    size_byte = struct.unpack_from("<I", cabinet, 16)[0] + 1
    value = 0x01 if cabinet[size_byte] != 0x01 else 0x00
    return [("file", size_byte, value, "the file's announced size cut to 256..511 bytes")]


def without_checksums(cabinet):
    cleared = bytearray(cabinet)
    for start, _ in cabinet_areas(cabinet)["data-header"]:
        struct.pack_into("<I", cleared, start, 0)
    return bytes(cleared)


# --- Where a crash happened ---------------------------------------------------------------

def image_size(path):
    try:
        return pefile.PE(str(path), fast_load=True).OPTIONAL_HEADER.SizeOfImage
    except (OSError, pefile.PEFormatError):
        return None


def wine_library_size(name):
    """The mapped size of one of Wine's own x64 libraries, or None."""
    for directory in WINE_LIBRARY_DIRECTORIES:
        if (directory / name).exists():
            return image_size(directory / name)
    return None


class Trace:
    """What Wine's loaddll and seh traces say about one run."""

    def __init__(self, text):
        self.modules = collections.defaultdict(list)  # thread -> [(base, module name)]
        self.exceptions = collections.defaultdict(list)  # thread -> [(code, address)]
        for line in text.splitlines():
            found = LOADED.match(line)
            if found:
                name = found.group(2).replace("\\\\", "\\").rsplit("\\", 1)[-1].lower()
                self.modules[found.group(1)].append((int(found.group(3), 16), name))
                continue
            found = EXCEPTION.match(line)
            # Codes with the top bits clear are notices (a debug string, a
            # thread name), not faults.
            if found and int(found.group(2), 16) >= EXCEPTION_CODES:
                self.exceptions[found.group(1)].append((int(found.group(2), 16), int(found.group(3), 16)))

    def thread_of(self, module):
        for thread, loaded in self.modules.items():
            if any(name == module for _, name in loaded):
                return thread
        return None

    def first_fault(self, module):
        """(code, address) of the first exception in the thread that loaded `module`."""
        thread = self.thread_of(module)
        return self.exceptions[thread][0] if thread and self.exceptions[thread] else None

    def locate(self, thread_module, address, sizes):
        """Which module of the process whose main thread loaded
        `thread_module` holds `address`: (name, offset), by load address and
        image size (from `sizes`, else from Wine's own library of that name);
        (None, address) when none does."""
        for base, name in self.modules[self.thread_of(thread_module)]:
            size = sizes.get(name) or wine_library_size(name)
            if size and base <= address < base + size:
                return name, address - base
        return None, address


def place(name, offset):
    return "%s+0x%X" % (name, offset) if name else "0x%X, in no traced module" % offset


# --- One installer ------------------------------------------------------------------------

class Case:
    def __init__(self, number, area, offset, value, original, known=None):
        self.number, self.area, self.offset, self.value, self.original = number, area, offset, value, original
        self.known = known
        self.restarted = False
        self.folder = WORK / ("case-%04d" % number)
        self.outcome = None  # "stopped", "probe", "library crash" or "failed"
        self.detail = ""

    def label(self):
        return "%s %d: %s byte 0x%03X 0x%02X->0x%02X%s" % (
            "known case" if self.known else "case", self.number, self.area, self.offset, self.original,
            self.value, " (%s)" % self.known if self.known else "")


def stop(process, marker):
    """Ends a run that does not end: the launcher and every process of the
    run. Wine starts a Windows process detached from its parent, so they are
    found by the environment they all inherit, which names the case's own
    folder (`marker`), and ended by id."""
    process.kill()
    for entry in Path("/proc").iterdir():
        if entry.name.isdigit():
            try:
                if marker in (entry / "environ").read_bytes().split(b"\0"):
                    os.kill(int(entry.name), signal.SIGKILL)
            except OSError:
                pass
    process.wait()


class Campaign:
    def __init__(self, options):
        self.options = options
        # The runner's own time limit is only a back-stop: watch() stops a run
        # first, with everything it started.
        self.runner = WineRunner("x64", timeout=options.timeout + 60)
        image = SOURCE.read_bytes()
        self.resource_offset, resource_size = setup_resource(image)
        cabinet = image[self.resource_offset:self.resource_offset + resource_size]
        if options.no_checksum:
            cabinet = without_checksums(cabinet)
        self.cabinet = cabinet
        self.image = image[:self.resource_offset] + cabinet + image[self.resource_offset + resource_size:]
        self.probe = (BUILD / "x64" / "tools" / "probe.exe").read_bytes()
        self.sizes = {"installer.exe": pefile.PE(data=image, fast_load=True).OPTIONAL_HEADER.SizeOfImage,
                      "setup.exe": image_size(BUILD / "x64" / "tools" / "probe.exe"),
                      "cabinet.dll": wine_library_size("cabinet.dll")}

    def run_case(self, case):
        shutil.rmtree(case.folder, ignore_errors=True)
        result, stopped, trace, run, record = self.execute(case, "run")
        self.judge(case, result, stopped, trace, run, record)
        if not self.options.keep and case.outcome != "failed":
            shutil.rmtree(case.folder, ignore_errors=True)
        return case

    def recheck(self, case):
        """Runs a case whose probe ran once more, now with the removal off
        (the caller has set the registry value), and compares the setup
        program it kept with the packed probe: the probe may run even when a
        damaged cabinet gave a program that is not whole."""
        result, stopped, _, run, _ = self.execute(case, "kept")
        scratch = [p for p in run.iterdir() if p.name != "installer.exe"]
        kept = sorted(p.name for p in scratch[0].iterdir()) if len(scratch) == 1 and scratch[0].is_dir() else None
        if stopped or result.exit_code != PROBE_EXIT or kept != ["setup.exe"]:
            case.outcome = "failed"
            case.detail = "run again with the removal off: exit %s, left %s" % (
                "none" if result.exit_code is None else "0x%08X" % result.exit_code,
                ", ".join(p.name for p in scratch) or "nothing")
        else:
            program = (scratch[0] / "setup.exe").read_bytes()
            if program != self.probe:
                case.outcome = "failed"
                case.detail = "the probe ran, but not whole: the stub started a setup program of %d bytes " \
                              "that differs from the packed one (%d bytes)" % (len(program), len(self.probe))
        if not self.options.keep and case.outcome != "failed":
            shutil.rmtree(case.folder, ignore_errors=True)
        return case

    def execute(self, case, name):
        """One run of the case's installer in the folder `name` of the case:
        (launcher result, stopped?, trace, run folder, probe record). Now and
        then Wine hangs starting a process, or fails to start one; a run in
        which the installer was never even loaded, or that Wine failed to
        start, says nothing about the stub, and runs again once."""
        result = self.execute_once(case, name)
        stopped, trace = result[1], result[2]
        if stopped:
            refused = "Wine hung before it loaded the installer" if trace.thread_of("installer.exe") is None else None
        else:
            refused = result[0].start_refused()
        if refused and platform_starts.may_retry("cabinet %s (%s): %s" % (case.label(), name, refused)):
            case.restarted = True
            result = self.execute_once(case, name)
        return result

    def execute_once(self, case, name):
        runner = self.runner
        run = case.folder / name
        shutil.rmtree(run, ignore_errors=True)
        run.mkdir(parents=True)
        installer = run / "installer.exe"
        damaged = bytearray(self.image)
        damaged[self.resource_offset + case.offset] = case.value
        installer.write_bytes(damaged)
        record = case.folder / (name + "-probe.out")
        trace_path = case.folder / (name + "-trace.txt")

        env = dict(os.environ, PROBE_OUT=runner.windows_path(record), PROBE_EXIT=str(PROBE_EXIT),
                   WINEDEBUG="-all,+seh,+loaddll")
        args = [runner.build / "tools/launcher.exe", hex_units('"%s"' % runner.windows_path(installer)),
                "-", "-"]
        output = tempfile.TemporaryFile(mode="w+")
        with open(trace_path, "w") as trace_file:
            process = subprocess.Popen(runner.prefix + [str(a) for a in args], env=env, cwd=run,
                                       stdin=subprocess.DEVNULL, stdout=output, stderr=trace_file)
            stopped = self.watch(process, trace_path, ("PROBE_OUT=" + env["PROBE_OUT"]).encode())
        output.seek(0)
        result = LaunchResult(subprocess.CompletedProcess(process.args, process.returncode, output.read(), ""))
        output.close()
        return result, stopped, Trace(trace_path.read_text(errors="replace")), run, record

    def watch(self, process, trace_path, marker):
        """Waits for the run; stops it after the time allowed, or a few
        seconds after its stub raised an exception. True when stopped."""
        deadline = time.monotonic() + self.options.timeout
        fault_seen = None
        while process.poll() is None:
            now = time.monotonic()
            if fault_seen is None and Trace(trace_path.read_text(errors="replace")).first_fault("installer.exe"):
                fault_seen = now
            if now > deadline or (fault_seen is not None and now - fault_seen > CRASH_GRACE_SECONDS):
                stop(process, marker)
                return True
            time.sleep(0.25)
        return False

    def judge(self, case, result, stopped, trace, run, record):
        left = sorted(p.name for p in run.iterdir() if p.name != "installer.exe")
        code = result.exit_code
        fault = trace.first_fault("installer.exe")
        if fault is not None:
            name, offset = trace.locate("installer.exe", fault[1], self.sizes)
            case.detail = "exception 0x%08X in the stub at %s%s" % (
                fault[0], place(name, offset), ", the run stopped afterwards" if stopped else "")
            case.outcome = "library crash" if name == "cabinet.dll" else "failed"
            if left:
                case.detail += "; left " + ", ".join(left)
            return
        program_fault = trace.first_fault("setup.exe")
        if program_fault is not None:
            name, offset = trace.locate("setup.exe", program_fault[1], self.sizes)
            case.outcome = "failed"
            case.detail = "a damaged setup program ran: exception 0x%08X in it at %s%s" % (
                program_fault[0], place(name, offset), ", the run stopped afterwards" if stopped else "")
        elif stopped or code is None:
            case.outcome, case.detail = "failed", "no exit code: hung, stopped after %d s" % self.options.timeout
        elif code == EXIT_SETUP_RESOURCE_FAILED and not record.exists() and not left:
            case.outcome = "stopped"
        elif code == PROBE_EXIT and record.exists() and not left:
            command_line = record.read_bytes().decode("utf-16-le").split("\0")[0]
            scratch = re.escape(self.runner.windows_path(run)) + r"\\QX_[0-9A-F]{5}\.tmp\\setup\.exe"
            if re.match('^"%s" ' % scratch, command_line):
                case.outcome = "probe"
            else:
                case.outcome, case.detail = "failed", "the probe ran from elsewhere: %s" % command_line
        else:
            case.outcome = "failed"
            case.detail = "exit 0x%08X, the probe %s, left %s" % (
                code, "ran" if record.exists() else "did not run", ", ".join(left) or "nothing")


class Options:
    """How the campaign runs, from the test run's command line."""

    def __init__(self, config):
        self.count = config.getoption("cabinet_count") or (2000 if config.getoption("long") else 200)
        self.seed = config.getoption("cabinet_seed")
        self.no_checksum = config.getoption("cabinet_no_checksum")
        self.keep = config.getoption("cabinet_keep")
        self.jobs = JOBS
        self.timeout = TIMEOUT


def pytest_generate_tests(metafunc):
    if "case_number" in metafunc.fixturenames:
        count = Options(metafunc.config).count
        numbers = list(range(count + KNOWN_CASES))
        metafunc.parametrize("case_number", numbers,
                             ids=["case-%04d" % n if n < count else "known-%d" % (n - count) for n in numbers])


def summary(campaign, cases, options, seconds):
    """The campaign's own account of its cases, by class and by area."""
    classes = collections.Counter(case.outcome for case in cases)
    by_area = collections.defaultdict(collections.Counter)
    for case in cases:
        by_area[case.area][case.outcome] += 1
    lines = ["cabinet campaign: %d installers (%d drawn with seed %d, %d known), one byte of the %d-byte setup "
             "cabinet changed in each%s" % (len(cases), options.count, options.seed, len(cases) - options.count,
                                            len(campaign.cabinet),
                                            ", data checksums cleared" if options.no_checksum else "")]
    for case in cases:
        if case.outcome in ("library crash", "failed"):
            lines.append("  %s %s: %s" % ("CRASH IN LIBRARY" if case.outcome == "library crash" else "FAIL",
                                          case.label(), case.detail))
    lines.append("cabinet campaign: stopped with 115: %d" % classes["stopped"])
    lines.append("cabinet campaign: probe ran, its exit code came through: %d" % classes["probe"])
    lines.append("cabinet campaign: crashed inside Wine's cabinet.dll, not in the stub: %d" % classes["library crash"])
    lines.append("cabinet campaign: failed: %d" % classes["failed"])
    for area in AREAS:
        counts = by_area[area]
        lines.append("cabinet campaign:   %-12s %s" % (area + ":", ", ".join(
            "%s %d" % (name, counts[name]) for name in ("stopped", "probe", "library crash", "failed")
            if counts[name]) or "none"))
    restarted = sum(1 for case in cases if case.restarted)
    if restarted:
        lines.append("cabinet campaign: runs that Wine never started and that ran again: %d" % restarted)
    if campaign.sizes["cabinet.dll"] is None:
        lines.append("cabinet campaign: Wine's cabinet.dll was not found, so no crash can be placed inside it")
    lines.append("cabinet campaign: %.0f s" % seconds)
    return "\n".join(lines)


@pytest.fixture(scope="module")
def campaign_cases(request, wine_x64):
    """Runs every case, two at a time, then those whose probe ran once more
    with the removal off; {number: case}."""
    options = Options(request.config)
    started = time.monotonic()
    campaign = Campaign(options)
    campaign.runner.set_cleanup_value(None)
    shutil.rmtree(WORK, ignore_errors=True)
    WORK.mkdir(parents=True)
    cabinet = campaign.cabinet
    cases = [Case(number, area, offset, value, cabinet[offset])
             for number, (area, offset, value) in enumerate(plan(cabinet, options.count, options.seed))]
    cases += [Case(len(cases) + number, area, offset, value, cabinet[offset], known)
              for number, (area, offset, value, known) in enumerate(known_cases(cabinet))]
    with concurrent.futures.ThreadPoolExecutor(max_workers=options.jobs) as pool:
        list(pool.map(campaign.run_case, cases))
        # The registry value is the whole prefix's, so the runs that keep
        # their setup program come after all the others.
        campaign.runner.set_cleanup_value("0")
        try:
            list(pool.map(campaign.recheck, [case for case in cases if case.outcome == "probe"]))
        finally:
            campaign.runner.set_cleanup_value(None)
    text = summary(campaign, cases, options, time.monotonic() - started)
    (BUILD / "campaigns" / "cabinets.log").write_text(text + "\n")
    plugin.note(request.config, text)
    return {case.number: case for case in cases}


def test_damaged_cabinet_stops_with_115_or_runs_the_whole_setup_program(case_number, campaign_cases):
    case = campaign_cases[case_number]
    assert case.outcome in ("stopped", "probe", "library crash"), "%s: %s" % (case.label(), case.detail)
