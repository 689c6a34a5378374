"""The test run's own rules (harness.plugin), shown on small checkouts made
here and run by pytest with the plugin: one count per test whatever its
subtests did, a module that cannot be collected as a failure, the
platform-start budget carried from tier to tier and its overrun failing the
run, and test.sh's refusal of a tier it does not know."""

import subprocess
import textwrap

import pytest

from harness.paths import REPO

pytest_plugins = ["pytester"]

SUBTESTS = '''
import unittest

class Table(unittest.TestCase):
    def test_half_of_the_table_fails(self):
        for value in range(4):
            with self.subTest(value=value):
                self.assertLess(value, 2)

    def test_whole_table_passes(self):
        for value in range(4):
            with self.subTest(value=value):
                self.assertLess(value, 4)

    def test_skipped(self):
        self.skipTest("not here")
'''

FAILS_IN_SETUP_AND_TEARDOWN = '''
import pytest

@pytest.fixture
def broken():
    yield
    raise RuntimeError("teardown")

def test_fails_then_breaks_in_teardown(broken):
    assert False
'''

RETRIES = '''
import os
from harness import platform_starts

def test_retries_two():
    assert platform_starts.may_retry("first")
    assert platform_starts.may_retry("second")
'''

BUDGET_LEFT = '''
import os

def test_sees_the_budget_left():
    assert os.environ["PLATFORM_START_LIMIT"] == "3"
'''

OVERRUN = '''
import os

def test_writes_six_retries_at_once():
    # As processes that decided at the same moment would.
    with open(os.environ["PLATFORM_START_LOG"], "a") as log:
        log.write("a start\\n" * 6)
'''

# (case, {file under tests/: text}, tier line(s) expected, last line, exit status)
CASES = [
    ("failing subtests fail their test once, passing ones count once",
     {"packaging/test_table.py": SUBTESTS},
     ["packaging: 1 passed, 1 failed, 1 skipped, 0 platform start failures retried"], "1 passed, 1 failed", 1),
    ("a test failing in its call and its teardown counts once",
     {"packaging/test_teardown.py": FAILS_IN_SETUP_AND_TEARDOWN},
     ["packaging: 0 passed, 1 failed, 0 platform start failures retried"], "0 passed, 1 failed", 1),
    ("a module that cannot be collected fails its tier, and the other tiers still run",
     {"packaging/test_table.py": SUBTESTS.replace("class Table", "clas Table"), "fuzz/test_fine.py": BUDGET_LEFT
      .replace('== "3"', '== "5"')},
     ["packaging: 0 passed, 1 failed, 0 platform start failures retried",
      "fuzz:      1 passed, 0 failed, 0 platform start failures retried"], "1 passed, 1 failed", 1),
    ("the retries of one tier leave the next tier the rest of the budget",
     {"behaviour/test_retries.py": RETRIES, "e2e/test_budget.py": BUDGET_LEFT},
     ["behaviour: 1 passed, 0 failed, 2 platform start failures retried",
      "e2e-x64:   1 passed, 0 failed, 0 platform start failures retried",
      "platform start failures retried: 2 (a run may retry 5)"], "2 passed, 0 failed", 0),
    ("more retries than the run may make fail the run",
     {"campaigns/test_overrun.py": OVERRUN},
     ["campaigns: 1 passed, 0 failed, 6 platform start failures retried",
      "platform start failures retried: 6 (a run may retry 5)"], "1 passed, 1 failed", 1),
    ("a run in which no test ran fails", {"packaging/test_none.py": "# no tests\n"}, [], "0 passed, 0 failed", 5),
]


def make_checkout(pytester, files):
    pytester.makefile(".ini", pytest=textwrap.dedent("""\
        [pytest]
        testpaths = tests
        pythonpath = %s
        addopts = -p no:cacheprovider --continue-on-collection-errors
        """ % (REPO / "tests")))
    (pytester.path / "tests").mkdir()
    (pytester.path / "tests" / "conftest.py").write_text('pytest_plugins = ["harness.plugin"]\n')
    for name, text in files.items():
        path = pytester.path / "tests" / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))


@pytest.mark.parametrize("files,tier_lines,last_line,status", [case[1:] for case in CASES],
                         ids=[case[0] for case in CASES])
def test_counts_of_a_run(pytester, files, tier_lines, last_line, status):
    make_checkout(pytester, files)
    result = pytester.runpytest_subprocess()
    lines = result.outlines
    assert lines[-1] == last_line, "\n".join(lines[-15:])
    for line in tier_lines:
        # A tier's line ends with how long the tier took.
        assert any(found == line or found.startswith(line + ", ") for found in lines), "\n".join(lines[-15:])
    assert result.ret == status


@pytest.mark.parametrize("arguments,status,shown", [
    (["bogus"], 2, "usage: ./test.sh"),
    (["e2e", "-k", "WorkArea"], 2, "usage: ./test.sh"),
    (["--help"], 0, "usage: ./test.sh"),
], ids=["an unknown tier", "a tier's name half typed", "--help"])
def test_test_sh_refuses_what_is_no_tier_before_doing_anything(arguments, status, shown):
    result = subprocess.run([str(REPO / "test.sh"), *arguments], capture_output=True, text=True, timeout=60)
    assert result.returncode == status, result.stdout + result.stderr
    assert shown in result.stdout + result.stderr
    assert "installing" not in result.stdout and "Building" not in result.stdout
