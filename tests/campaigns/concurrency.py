#!/usr/bin/python3
"""Many installers started at once from one folder, end to end under x64 Wine.

    concurrency.py [--count N] [--rounds R] [--timeout SECONDS]

One copy of build/x64/probe-installer.exe in one folder, started N times
together (default 32), each through its own tools/launcher with its own
PROBE_OUT and PROBE_EXIT, the removal on. A round holds when every launcher
reports the exit code its own probe was given, the N recorded command lines
name N distinct scratch directories QX_XXXXX.tmp beside the installer, and
afterwards the folder holds the installer alone. --rounds repeats it (the long
form).

Counts one test per installer (its exit code and its own scratch directory)
and one per round for the folder afterwards; the last line is
"N passed, N failed". Under this much load Wine now and then fails to
start a process ("failed to map the shared user data: c0000018", seen with
WINEDEBUG=err+all, about once in a thousand starts): a launcher then ends
without a word, or a stub reports 124 (the system refused to start its setup
program, which is the stub's right answer). A round whose only failures are
such starts, with nothing left behind, is printed and then run once more,
each such start counted against the few that a test run may retry
(tests/lib/platform_starts.py). Needs WINEPREFIX with a prepared prefix.
"""

import argparse
import collections
import os
import re
import shutil
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "e2e"))
sys.path.insert(0, str(REPO / "tests" / "lib"))
import e2e  # noqa: E402  (the end-to-end suite's runner and launcher protocol)
import platform_starts  # noqa: E402

WORK = REPO / "build" / "campaigns" / "concurrency"
# Codes that no stage of the stub uses and that need all 32 bits.
FIRST_PROBE_EXIT = 0xA5000000


def start_refused(result, name):
    """Why Wine failed to start a process of this run (the launcher never
    ran, or the stub got 124 from CreateProcessW: either way no setup program
    ran), or None."""
    return result.start_refused() if name is None else None


def run_round(runner, number, count):
    """Returns (passed, failed, notes, refused): refused lists the failures
    that were starts Wine refused."""
    folder = WORK / ("round-%d" % number)
    records = WORK / ("records-%d" % number)
    for path in (folder, records):
        shutil.rmtree(path, ignore_errors=True)
        path.mkdir(parents=True)
    installer = folder / "installer.exe"
    shutil.copyfile(runner.build / "probe-installer.exe", installer)
    command = '"%s"' % runner.windows_path(installer)

    # Every launcher is started before the first is waited for.
    started = []
    for index in range(count):
        env = {"PROBE_OUT": runner.windows_path(records / ("probe-%02d.out" % index)),
               "PROBE_EXIT": "0x%08X" % (FIRST_PROBE_EXIT + index)}
        started.append(runner.launch_async(command, env=env, cwd=folder))
    results = [e2e.LaunchResult(runner.finish(process)) for process in started]

    scratch = re.compile('^"%s\\\\(QX_[0-9A-F]{5}\\.tmp)\\\\setup\\.exe" ' % re.escape(runner.windows_path(folder)))
    notes = []
    directories = collections.Counter()
    names = []
    spans = []
    for index, result in enumerate(results):
        record = records / ("probe-%02d.out" % index)
        name = None
        if record.exists():
            fields = record.read_bytes().decode("utf-16-le", errors="replace").split("\0")
            found = scratch.match(fields[0])
            name = found.group(1) if found else None
            if result.start is not None and len(fields) > 2 and fields[2].isdigit():
                spans.append((result.start, int(fields[2])))
        names.append(name)
        directories[name] += 1

    passed = failed = 0
    refused = []
    for index, (result, name) in enumerate(zip(results, names)):
        expected = FIRST_PROBE_EXIT + index
        problems = []
        if result.exit_code != expected:
            problems.append("exit %s, expected 0x%08X" % (
                "none" if result.exit_code is None else "0x%08X" % result.exit_code, expected))
            problems.append("the launcher ended with status %s, printed %r, Wine said %r" % (
                result.returncode, result.stdout, result.stderr.strip()[-1500:]))
        if name is None:
            problems.append("no scratch directory recorded")
        elif directories[name] > 1:
            problems.append("%s shared with %d others" % (name, directories[name] - 1))
        if problems:
            failed += 1
            reason = start_refused(result, name)
            if reason:
                refused.append("round %d installer %d: %s" % (number, index, reason))
            notes.append("  FAIL round %d installer %d: %s" % (number, index, "; ".join(problems)))
        else:
            passed += 1
    left = sorted(p.name for p in folder.iterdir())
    if left == ["installer.exe"]:
        passed += 1
    else:
        failed += 1
        notes.append("  FAIL round %d: left beside the installer: %s" % (number, ", ".join(
            n for n in left if n != "installer.exe")))

    # How far the runs overlapped: the most stubs between their start and
    # their probe's start at one moment (the probe starts at the end of a
    # stub's own work).
    events = sorted([(s, 1) for s, _ in spans] + [(e, -1) for _, e in spans])
    running = most = 0
    for _, step in events:
        running += step
        most = max(most, running)
    notes.append("concurrency: round %d: %d distinct scratch directories of %d, %d right exit codes, "
                 "up to %d stubs at work at once, left %s" % (
                     number, len([n for n in directories if n is not None]), count,
                     sum(1 for i, r in enumerate(results) if r.exit_code == FIRST_PROBE_EXIT + i), most,
                     "nothing" if left == ["installer.exe"] else ", ".join(left)))
    if failed == 0:
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(records, ignore_errors=True)
    return passed, failed, notes, refused


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--count", type=int, default=32, help="installers started at once (default 32)")
    parser.add_argument("--rounds", type=int, default=1, help="times to do it (default 1)")
    parser.add_argument("--timeout", type=int, default=300, help="seconds one run may take (default 300)")
    options = parser.parse_args()
    if "WINEPREFIX" not in os.environ:
        sys.exit("WINEPREFIX is not set: run through tests/campaigns/run.sh or test.sh")

    started = time.monotonic()
    runner = e2e.WineRunner("x64", timeout=options.timeout)
    runner.set_cleanup_value(None)
    shutil.rmtree(WORK, ignore_errors=True)
    passed = failed = 0
    for number in range(1, options.rounds + 1):
        p, f, notes, refused = run_round(runner, number, options.count)
        if f and f == len(refused) and all(platform_starts.may_retry("concurrency " + r) for r in refused):
            # Wine now and then fails to start one of many processes started
            # at once; that says nothing about the stub, so the round runs
            # once more, and counts only then. Shown, never hidden.
            for note in notes:
                print(note)
            print("concurrency: round %d: %d process(es) that Wine failed to start; the round runs once more"
                  % (number, f))
            p, f, notes, _ = run_round(runner, number, options.count)
        passed += p
        failed += f
        for note in notes:
            print(note)
    print("concurrency: %d round(s) of %d installers at once, %.0f s" % (
        options.rounds, options.count, time.monotonic() - started))
    platform_starts.print_count()
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
