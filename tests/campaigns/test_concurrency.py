"""Many installers started at once from one folder, end to end under x64 Wine.

    ./test.sh campaigns [--long] [--concurrency-rounds R]

One copy of build/x64/probe-installer.exe in one folder, started N times
together (default 32), each through its own tools/launcher with its own
PROBE_OUT and PROBE_EXIT, the removal on. A round holds when every launcher
reports the exit code its own probe was given, the N recorded command lines
name N distinct scratch directories QX_XXXXX.tmp beside the installer, and
afterwards the folder holds the installer alone. --rounds repeats it (the long
form).

One test per installer (its exit code and its own scratch directory) and one
per round for the folder afterwards, all of them run by one fixture. Under
this much load Wine now and then fails to
start a process ("failed to map the shared user data: c0000018", seen with
WINEDEBUG=err+all, about once in a thousand starts): a launcher then ends
without a word, or a stub reports 124 (the system refused to start its setup
program, which is the stub's right answer). A round whose only failures are
such starts, with nothing left behind, is printed and then run once more,
each such start counted against the few that a test run may retry
(harness.platform_starts).
"""

import collections
import re
import shutil
import time

import pytest

from harness import platform_starts, plugin
from harness.paths import BUILD
from harness.runner import LaunchResult, WineRunner

WORK = BUILD / "campaigns" / "concurrency"
COUNT = 32  # installers started at once
TIMEOUT = 300  # seconds one run may take
# Codes that no stage of the stub uses and that need all 32 bits.
FIRST_PROBE_EXIT = 0xA5000000


def start_refused(result, name):
    """Why Wine failed to start a process of this run (the launcher never
    ran, or the stub got 124 from CreateProcessW: either way no setup program
    ran), or None."""
    return result.start_refused() if name is None else None


def run_round(runner, number, count):
    """Returns ({test name: problem or None}, notes, refused): refused lists
    the failures that were starts Wine refused."""
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
    results = [LaunchResult(runner.finish(process)) for process in started]

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

    outcomes = {}
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
        outcomes[installer_test(number, index)] = "; ".join(problems) or None
        if problems:
            reason = start_refused(result, name)
            if reason:
                refused.append("round %d installer %d: %s" % (number, index, reason))
            notes.append("  FAIL round %d installer %d: %s" % (number, index, "; ".join(problems)))
    left = sorted(p.name for p in folder.iterdir())
    outcomes[folder_test(number)] = None if left == ["installer.exe"] else \
        "left beside the installer: %s" % ", ".join(n for n in left if n != "installer.exe")
    if outcomes[folder_test(number)]:
        notes.append("  FAIL round %d: %s" % (number, outcomes[folder_test(number)]))

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
    if not any(outcomes.values()):
        shutil.rmtree(folder, ignore_errors=True)
        shutil.rmtree(records, ignore_errors=True)
    return outcomes, notes, refused


def installer_test(number, index):
    return "round-%d-installer-%02d" % (number, index)


def folder_test(number):
    return "round-%d-folder" % number


def rounds(config):
    return config.getoption("concurrency_rounds") or (5 if config.getoption("long") else 1)


def pytest_generate_tests(metafunc):
    if "check" in metafunc.fixturenames:
        names = [name for number in range(1, rounds(metafunc.config) + 1)
                 for name in [installer_test(number, index) for index in range(COUNT)] + [folder_test(number)]]
        metafunc.parametrize("check", names, ids=names)


@pytest.fixture(scope="module")
def round_outcomes(request, wine_x64):
    """Every round, run once more when its only failures were starts Wine
    refused; {test name: problem or None}."""
    started = time.monotonic()
    runner = WineRunner("x64", timeout=TIMEOUT)
    runner.set_cleanup_value(None)
    shutil.rmtree(WORK, ignore_errors=True)
    count = rounds(request.config)
    outcomes, lines = {}, []
    for number in range(1, count + 1):
        found, notes, refused = run_round(runner, number, COUNT)
        failed = [name for name, problem in found.items() if problem]
        if failed and len(failed) == len(refused) and all(
                platform_starts.may_retry("concurrency " + r) for r in refused):
            # Wine now and then fails to start one of many processes started
            # at once; that says nothing about the stub, so the round runs
            # once more, and counts only then. Shown, never hidden.
            lines += notes
            lines.append("concurrency: round %d: %d process(es) that Wine failed to start; the round runs once more"
                         % (number, len(failed)))
            found, notes, _ = run_round(runner, number, COUNT)
        outcomes.update(found)
        lines += notes
    lines.append("concurrency: %d round(s) of %d installers at once, %.0f s" % (
        count, COUNT, time.monotonic() - started))
    (BUILD / "campaigns" / "concurrency.log").write_text("\n".join(lines) + "\n")
    plugin.note(request.config, "\n".join(lines))
    return outcomes


def test_installers_at_once_each_get_their_own_directory_and_leave_nothing(check, round_outcomes):
    assert round_outcomes[check] is None, "%s: %s" % (check, round_outcomes[check])
