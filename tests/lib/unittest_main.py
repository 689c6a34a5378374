"""The one way our Python test scripts run their tests: by name pattern, and
ending with the "N passed, N failed" line that test.sh reads."""

import argparse
import sys
import unittest

import platform_starts


def run_module(module, patterns=()):
    """Runs the tests of `module` whose names contain one of `patterns` (all
    when empty); returns the process exit status (non-zero also when no test
    ran)."""
    loader = unittest.TestLoader()
    if patterns:
        loader.testNamePatterns = ["*%s*" % p for p in patterns]
    suite = loader.loadTestsFromModule(module)
    result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
    failed = len(result.failures) + len(result.errors)
    passed = result.testsRun - failed - len(result.skipped)
    platform_starts.print_count()
    print("%d passed, %d failed" % (passed, failed))
    return 0 if failed == 0 and result.testsRun > 0 else 1


def arguments(parser=None):
    """The command line: -k PATTERN, as often as wanted, besides whatever
    options of its own a script added to `parser`; the patterns are in
    `patterns`."""
    parser = parser or argparse.ArgumentParser()
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only tests whose name contains this text")
    return parser.parse_args()


def main(module):
    """A test script's whole command line, when it has no options of its own."""
    return run_module(module, arguments().patterns)
