"""The test run's plugin: the tiers (harness.tiers) as markers and as what is
collected, one count per test whatever its subtests did, the platform-start
budget of the whole run, the platforms as session fixtures, and the summary
that ends the run with the line CI reads, "N passed, N failed".

A test counts once: failed when any of its phases or subtests failed, else
skipped when it was skipped, else passed. A module or test that could not be
collected counts as one failure of its tier.
"""

import contextlib
import os
import signal
import time
from pathlib import Path

import pytest

from harness import arm64, tiers
from harness.paths import BUILD, RESULTS
from harness.runner import WineRunner
from harness.wine import WinePrefix

# Starts that the platform itself refused (Wine, now and then) are made once
# more, but a whole run may retry only this many, so that a real regression
# cannot hide behind retries (harness.platform_starts). Each tier's tests
# write theirs to a log of the tier's own.
RUN_START_RETRIES = 5
RUN = pytest.StashKey()


class Run:
    """What the plugin keeps for one test run."""

    def __init__(self, config):
        self.config = config
        # The checkout's tests/ and build/results (a checkout of its own in
        # the runner's own tests).
        self.tests = config.rootpath / "tests"
        self.results = config.rootpath / "build" / "results"
        self.selected = config.getoption("tier") or [tier.name for tier in tiers.TIERS]
        self.outcomes = {}  # nodeid -> "passed", "failed" or "skipped"
        self.item_tiers = {}  # nodeid -> tier name
        self.collection_errors = {}  # tier name -> count
        self.notes = {}  # tier name -> [lines]
        self.current = None
        self.started = []  # tiers in the order they began
        self.seconds = {}  # tier -> seconds it took
        self.began = None
        self.wine = WinePrefix(BUILD / "wineprefix-x64", RESULTS / "wine-x64.log")

    def tier_of_path(self, path):
        """The tier of a path under tests/, or None."""
        try:
            parts = Path(path).resolve().relative_to(self.tests.resolve()).parts
        except ValueError:
            return None
        tier = tiers.tier_of_folder(parts[0]) if len(parts) > 1 else None
        return tier.name if tier else None

    # --- the platform-start budget, tier by tier ---------------------------------

    def start_log(self, tier):
        return self.results / ("%s.platform-starts.log" % tier)

    def retried(self, tier):
        try:
            return len(self.start_log(tier).read_text().splitlines())
        except FileNotFoundError:
            return 0

    def begin(self, tier):
        if tier == self.current:
            return
        before = sum(self.retried(name) for name in self.started)
        self.end_tier()
        self.current = tier
        self.began = time.monotonic()
        self.started.append(tier)
        self.start_log(tier).write_text("")
        os.environ["PLATFORM_START_LOG"] = str(self.start_log(tier))
        os.environ["PLATFORM_START_LIMIT"] = str(RUN_START_RETRIES - before)

    def end_tier(self):
        if self.current is not None and self.began is not None:
            self.seconds[self.current] = self.seconds.get(self.current, 0) + time.monotonic() - self.began
        self.began = None

    # --- counts --------------------------------------------------------------------

    def record(self, report):
        if report.failed:
            self.outcomes[report.nodeid] = "failed"
        elif report.skipped and self.outcomes.get(report.nodeid) != "failed":
            self.outcomes[report.nodeid] = "skipped"
        elif report.when == "call" and report.nodeid not in self.outcomes:
            self.outcomes[report.nodeid] = "passed"

    def log(self, report):
        """The tier's log (build/results/<tier>.log): each test's outcome as
        it comes, with what a failure said and printed."""
        tier = self.item_tiers.get(report.nodeid)
        if tier is None or (report.passed and report.when != "call"):
            return
        outcome = "subtest " + report.outcome if type(report).__name__ == "SubTestReport" else report.outcome
        with open(self.results / ("%s.log" % tier), "a") as log:
            log.write("%s %s (%s)\n" % (outcome.upper(), report.nodeid, report.when))
            if report.failed or report.skipped:
                log.write(report.longreprtext + "\n")
                for section, text in report.sections if report.failed else ():
                    log.write("--- %s ---\n%s\n" % (section, text))

    def counts(self, tier):
        found = {"passed": 0, "failed": self.collection_errors.get(tier, 0), "skipped": 0}
        for nodeid, name in self.item_tiers.items():
            if name == tier and nodeid in self.outcomes:
                found[self.outcomes[nodeid]] += 1
        return found

    def summary(self):
        """The lines that end the run: each tier's notes and retries, a line
        per tier, the run's retries, and the total."""
        lines = []
        passed = failed = retried_total = 0
        rows = []
        for tier in [t.name for t in tiers.TIERS if t.name in self.selected]:
            if tier not in self.started and not self.collection_errors.get(tier) and tier not in self.notes:
                if not any(name == tier for name in self.item_tiers.values()):
                    continue
            for note in self.notes.get(tier, []):
                lines.append(note)
            retried = self.retried(tier) if tier in self.started else 0
            if tier in self.started:
                lines += ["platform start failure retried: " + line
                          for line in self.start_log(tier).read_text().splitlines()]
            found = self.counts(tier)
            skipped = ", %d skipped" % found["skipped"] if found["skipped"] else ""
            took = ", %.0f s" % self.seconds[tier] if tier in self.seconds else ""
            rows.append("%-10s %d passed, %d failed%s, %d platform start failures retried%s"
                        % (tier + ":", found["passed"], found["failed"], skipped, retried, took))
            passed += found["passed"]
            failed += found["failed"]
            retried_total += retried
        lines.append("")
        lines += rows
        lines.append("platform start failures retried: %d (a run may retry %d)" % (retried_total, RUN_START_RETRIES))
        # Processes decide at the same moment now and then; more than the
        # run may retry is a failure of the run.
        if retried_total > RUN_START_RETRIES:
            failed += 1
        lines.append("%d passed, %d failed" % (passed, failed))
        return lines, passed, failed

    def write_notes(self):
        for tier, lines in self.notes.items():
            with open(self.results / ("%s.log" % tier), "a") as log:
                log.write("\n".join(lines) + "\n")

    def write_list(self):
        """Every test with its tier and outcome, for comparing runs."""
        with open(self.results / "tests.txt", "w") as listing:
            for nodeid, tier in self.item_tiers.items():
                listing.write("%s %s %s\n" % (tier, self.outcomes.get(nodeid, "not-run"), nodeid))


def _run(config):
    return config.stash[RUN]


def wine_prefix(config):
    """The run's x64 prefix (started by the wine_x64 fixture, or earlier by
    a collection that needs Wine, such as the behaviour suite's listing)."""
    return _run(config).wine


def note(config, text):
    """A line (or lines) for the end of the run, under the current tier:
    a campaign's summary, a kit's table."""
    run = _run(config)
    run.notes.setdefault(run.current, []).extend(text.splitlines())


class RunHooks:
    """The hooks that select, order and count, registered for one run."""

    def __init__(self, run):
        self.run = run

    def pytest_ignore_collect(self, collection_path):
        """Only the chosen tiers' folders are collected: a tier starts only
        what it needs (the behaviour suite's listing, say, starts Wine)."""
        path, tests = Path(collection_path).resolve(), self.run.tests.resolve()
        if path == tests or not path.is_relative_to(tests) or path.parent == tests and path.is_file():
            return None
        tier = self.run.tier_of_path(path / "x" if path.is_dir() else path)
        return True if tier is None or tier not in self.run.selected else None

    def pytest_collectreport(self, report):
        if report.failed:
            tier = self.run.tier_of_path(self.run.config.rootpath / report.nodeid.split("::")[0]) or "runner"
            self.run.collection_errors[tier] = self.run.collection_errors.get(tier, 0) + 1

    def pytest_collection_modifyitems(self, items):
        order = {tier.name: index for index, tier in enumerate(tiers.TIERS)}
        for item in items:
            tier = self.run.tier_of_path(item.path)
            item.add_marker(tiers.BY_NAME[tier].marker)
            if item.path.parent.name == "structure":
                item.add_marker("structure")
            self.run.item_tiers[item.nodeid] = tier
        # Tier by tier, and within a tier folder by folder in the tier's order.
        items.sort(key=lambda item: (order[self.run.item_tiers[item.nodeid]], self.folder_rank(item)))

    def folder_rank(self, item):
        folders = tiers.BY_NAME[self.run.item_tiers[item.nodeid]].folders
        folder = Path(item.path).resolve().relative_to(self.run.tests.resolve()).parts[0]
        return folders.index(folder) if folder in folders else len(folders)

    def pytest_deselected(self, items):
        for item in items:
            self.run.item_tiers.pop(item.nodeid, None)

    @pytest.hookimpl(tryfirst=True)
    def pytest_collection_finish(self, session):
        # Deselection may come after the ordering: keep only what runs.
        kept = {item.nodeid for item in session.items}
        self.run.item_tiers = {nodeid: tier for nodeid, tier in self.run.item_tiers.items() if nodeid in kept}

    @pytest.hookimpl(tryfirst=True)
    def pytest_runtest_protocol(self, item):
        self.run.begin(self.run.item_tiers[item.nodeid])

    def pytest_runtest_logreport(self, report):
        self.run.record(report)
        self.run.log(report)

    @pytest.hookimpl(hookwrapper=True, tryfirst=True)
    def pytest_sessionfinish(self, session):
        yield
        self.run.end_tier()
        lines, passed, failed = self.run.summary()
        self.run.write_list()
        self.run.write_notes()
        reporter = session.config.pluginmanager.get_plugin("terminalreporter")
        for line in lines:
            if reporter is not None:
                reporter.write_line(line)
            else:
                print(line)
        if (failed or passed == 0) and session.exitstatus == pytest.ExitCode.OK:
            session.exitstatus = pytest.ExitCode.TESTS_FAILED

    def pytest_unconfigure(self):
        self.run.wine.stop()


# --- hooks ---------------------------------------------------------------------------


def pytest_addoption(parser):
    group = parser.getgroup("installer stub", "the installer stub's test tiers")
    group.addoption("--tier", action="append", default=[], choices=[tier.name for tier in tiers.TIERS],
                    help="run this tier (as often as wanted; default: every tier)")
    group.addoption("--gtest_filter", default=None, metavar="PATTERN",
                    help="behaviour: only the GoogleTest cases this pattern selects (GoogleTest's own syntax)")
    group.addoption("--long", action="store_true",
                    help="campaigns: the long form, 2000 damaged cabinets and five rounds of 32 installers")
    group.addoption("--cabinet-count", type=int, default=None, metavar="N",
                    help="campaigns: damaged cabinets to run (default 200, 2000 with --long)")
    group.addoption("--cabinet-seed", type=int, default=1, metavar="S", help="campaigns: seed of the byte choice")
    group.addoption("--cabinet-no-checksum", action="store_true",
                    help="campaigns: clear the data blocks' checksums first, so that damage reaches the decompressor")
    group.addoption("--cabinet-keep", action="store_true",
                    help="campaigns: keep every case's folder, not only the failed ones")
    group.addoption("--concurrency-rounds", type=int, default=None, metavar="R",
                    help="campaigns: rounds of 32 installers at once (default 1, 5 with --long)")
    group.addoption("--fuzz-runs", type=int, default=None, metavar="N", help="fuzz: N executions per target")
    group.addoption("--fuzz-seconds", type=int, default=15, metavar="S",
                    help="fuzz: S seconds per target (default 15; --fuzz-runs wins)")


def _interrupt(number, _frame):
    raise KeyboardInterrupt("signal %d" % number)


def pytest_configure(config):
    for tier in tiers.TIERS:
        config.addinivalue_line("markers", "%s: %s" % (tier.marker, tier.description))
    config.addinivalue_line("markers", "structure: the structure checks of the images and the source folders "
                                       "(part of the arm64 tier; -m structure runs them alone)")
    run = config.stash[RUN] = Run(config)
    run.results.mkdir(parents=True, exist_ok=True)
    # A run stopped by TERM or a hang-up (a CI job's time out) ends as an
    # interrupted one does: the platforms it started are torn down.
    for number in (signal.SIGTERM, signal.SIGHUP):
        signal.signal(number, _interrupt)
    config.pluginmanager.register(RunHooks(run), "installer-stub-run")


# --- the platforms ------------------------------------------------------------------------


@pytest.fixture(scope="session")
def wine_x64(request):
    """The run's x64 Wine prefix (build/wineprefix-x64), made fresh, with its
    persistent server; exported in the environment while the run lasts."""
    prefix = _run(request.config).wine.start()
    yield prefix
    prefix.stop()


@pytest.fixture(scope="session")
def arm64_session():
    """This checkout's session of the ARM64 emulation, owned by this test
    run's process; only it is torn down afterwards (and any stale one):
    other checkouts may be testing beside us."""
    log = RESULTS / "arm64-setup.log"
    with open(log, "w") as output, contextlib.redirect_stderr(output):
        try:
            session = arm64.setup(BUILD, owner=arm64.owner_of(os.getpid()))
        except arm64.SessionError as error:
            output.flush()
            raise arm64.SessionError("%s\n%s" % (error, log.read_text()[-3000:])) from None
    yield session
    with open(RESULTS / "arm64-teardown.log", "w") as output, contextlib.redirect_stderr(output):
        arm64.teardown(BUILD)


@pytest.fixture(scope="session")
def x64_runner(wine_x64):
    return WineRunner("x64")


@pytest.fixture(scope="session")
def arm64_runner(arm64_session):
    return WineRunner("arm64", session=arm64_session)


@pytest.fixture(scope="session")
def results():
    """build/results, where the tiers leave their logs."""
    return RESULTS


@pytest.fixture
def tier_note(request):
    """Adds lines to the end of the run, under the tier of the test."""
    return lambda text: note(request.config, text)
