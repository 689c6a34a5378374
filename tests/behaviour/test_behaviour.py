"""The behaviour tier: the GoogleTest suite over the stub's modules
(build/tests-x64/behaviour_tests.exe, tests/behaviour/*_test.cpp) under
Wine x64, run once, with one result per GoogleTest case from its XML report
(build/results/behaviour.xml; the program's own output in
behaviour.googletest.log)."""

import pytest

from harness import googletest, plugin
from harness.paths import BUILD, RESULTS

BINARY = BUILD / "tests-x64" / "behaviour_tests.exe"
LISTED = pytest.StashKey()


def pytest_generate_tests(metafunc):
    if "case" in metafunc.fixturenames:
        # The listing runs under Wine, so the run's prefix starts here.
        plugin.wine_prefix(metafunc.config).start()
        cases = metafunc.config.stash[LISTED] = googletest.list_cases(BINARY, metafunc.config.getoption("gtest_filter"))
        metafunc.parametrize("case", cases, ids=cases)


@pytest.fixture(scope="module")
def suite_run(request, wine_x64):
    selected = [item.callspec.params["case"] for item in request.session.items
                if item.module is request.module and hasattr(item, "callspec")]
    return googletest.SuiteRun(BINARY, request.config.stash[LISTED], selected,
                               RESULTS / "behaviour.googletest.log", RESULTS / "behaviour.xml")


def test_googletest_case(case, suite_run):
    outcome, message = suite_run.outcome(case)
    if outcome == "skipped":
        pytest.skip(message)
    if outcome == "failed":
        pytest.fail(message, pytrace=False)
