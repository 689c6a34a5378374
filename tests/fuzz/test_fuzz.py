"""The fuzz tier: each libFuzzer target (tests/fuzz/CMakeLists.txt, built
into build/fuzz by the fuzz preset) runs for a while and must find nothing:
no sanitizer report, no leak, no contract broken (the targets abort with a
"FINDING:" line), no timeout.

The selected targets run side by side, as many at a time as there are cores;
--fuzz-seconds S (15 by default) or --fuzz-runs N sets each one's budget.
New inputs go to build/fuzz/corpus/<target> (kept between runs); the seeds
under tests/fuzz/corpus/<target> are only read; a finding's input is saved in
build/fuzz/findings/.
"""

import concurrent.futures
import os
import re
import subprocess
import time
from pathlib import Path

import pytest

from harness.paths import BUILD

HERE = Path(__file__).resolve().parent
OUT = BUILD / "fuzz"
TARGETS = ["bounded_text", "switch_scan", "pass_on", "cabinet_layout"]
DICTIONARIES = {"switch_scan": "command_line.dict", "pass_on": "command_line.dict"}


class TargetRun:
    """One target's run: its status, how long, how many executions, its log."""

    def __init__(self, target, budget):
        self.target = target
        self.log = OUT / "logs" / (target + ".log")
        for folder in ("logs", "findings", "corpus/" + target):
            (OUT / folder).mkdir(parents=True, exist_ok=True)
        options = ["-dict=%s" % (HERE / DICTIONARIES[target])] if target in DICTIONARIES else []
        # A small quarantine: the product frees nothing, and the default 256 MB
        # of freed blocks costs a page fault on most allocations of the targets.
        env = dict(os.environ, UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1")
        env.setdefault("ASAN_OPTIONS", "quarantine_size_mb=16")
        started = time.monotonic()
        with open(self.log, "w") as output:
            self.status = subprocess.run(
                [str(OUT / target), budget, *options, "-max_len=8192", "-timeout=10", "-print_final_stats=1",
                 "-artifact_prefix=%s/findings/%s-" % (OUT, target), str(OUT / "corpus" / target),
                 str(HERE / "corpus" / target)], env=env, stdin=subprocess.DEVNULL, stdout=output,
                stderr=subprocess.STDOUT).returncode
        self.seconds = time.monotonic() - started
        text = self.log.read_text(errors="replace")
        executions = re.findall(r"stat::number_of_executed_units: (\d+)", text)
        self.executions = executions[-1] if executions else "?"
        self.text = text

    def finding(self):
        """What the log says went wrong, and where the input is."""
        what = next((re.search(pattern, self.text, re.M).group(0) for pattern in
                     (r"^FINDING: .*$|libFuzzer: run interrupted.*$", r"^SUMMARY: .*$", r"ERROR: .*$")
                     if re.search(pattern, self.text, re.M)), "exit status %d" % self.status)
        saved = re.findall(r"Test unit written to (.*)", self.text)
        found = saved[-1] if saved else None
        return ("fuzz %s: finding after %s executions (%.0f s): %s\n    input: %s; log: %s; replay: %s %s"
                % (self.target, self.executions, self.seconds, what, found or "none saved", self.log,
                   OUT / self.target, found or "<input>"))


@pytest.fixture(scope="module")
def target_runs(request):
    """Starts every selected target at once, as many at a time as there are cores."""
    selected = [item.callspec.params["target"] for item in request.session.items
                if item.module is request.module and hasattr(item, "callspec")]
    runs = request.config.getoption("fuzz_runs")
    budget = "-runs=%d" % runs if runs is not None else "-max_total_time=%d" % request.config.getoption("fuzz_seconds")
    pool = concurrent.futures.ThreadPoolExecutor(max_workers=os.cpu_count() or 1)
    futures = {target: pool.submit(TargetRun, target, budget) for target in selected}
    yield futures
    pool.shutdown(wait=True)


@pytest.mark.parametrize("target", TARGETS)
def test_target_finds_nothing(target, target_runs, tier_note):
    run = target_runs[target].result()
    assert run.status == 0, run.finding()
    tier_note("fuzz %s: %s executions, no findings (%.0f s)" % (target, run.executions, run.seconds))
