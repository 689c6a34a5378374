#!/usr/bin/python3
"""The test tiers: which folders of tests/ each one runs and which build
workflow (CMakePresets.json) it needs. The one list of them: the test run's
plugin selects and counts by it, and test.sh asks it what to build.

    tiers.py workflow [TIER]    the workflow preset a tier (or every tier) needs,
                                or nothing; exit 2 with the usage for an unknown tier
    tiers.py usage              test.sh's usage
"""

import sys
from collections import namedtuple

Tier = namedtuple("Tier", "name marker folders workflow description")

# In the order a whole run takes them.
TIERS = [
    Tier("runner", "runner", ("runner",), None, "the test runner's own rules: counts, tiers, retries"),
    Tier("behaviour", "behaviour", ("behaviour",), "behaviour",
         "GoogleTest suite over the stub's modules, under Wine x64 with the seam"),
    Tier("e2e-x64", "e2e_x64", ("e2e",), "e2e", "the real x64 installers end to end under Wine x64"),
    Tier("campaigns", "campaigns", ("campaigns",), "e2e", "damaged cabinets and 32 installers at once, Wine x64"),
    Tier("packaging", "packaging", ("packaging",), "product", "./package.sh on inputs the tests make"),
    Tier("fuzz", "fuzz", ("fuzz",), "fuzz", "libFuzzer targets, native, with the sanitizers"),
    # The structure checks read the images of both architectures; they run
    # here, before the ARM64 installer end to end under emulation.
    Tier("arm64", "arm64", ("structure", "arm64"), "product",
         "structure checks of both architectures' images, the ARM64 installer under emulation, its sessions"),
    Tier("acceptance", "acceptance", ("acceptance",), "product", "the acceptance kits under Wine, their judging"),
]
BY_NAME = {tier.name: tier for tier in TIERS}
# Every tier's build at once.
ALL_WORKFLOW = "tests"

USAGE = """usage: ./test.sh [TIER [ARGUMENTS...]]
  TIER is one of: %s (none: every tier)
  ARGUMENTS go to pytest: -k PATTERN, -m structure (arm64), --gtest_filter=PATTERN
  (behaviour), --long (campaigns), --fuzz-runs N or --fuzz-seconds S (fuzz);
  /usr/bin/python3 -m pytest --help lists them all, under "installer stub".""" % ", ".join(t.name for t in TIERS)


def tier_of_folder(folder):
    """The tier of a folder of tests/ (its first part), or None."""
    for tier in TIERS:
        if folder in tier.folders:
            return tier
    return None


def main(arguments):
    if arguments == ["usage"]:
        print(USAGE)
        return 0
    if len(arguments) in (1, 2) and arguments[0] == "workflow":
        if len(arguments) == 1:
            print(ALL_WORKFLOW)
            return 0
        tier = BY_NAME.get(arguments[1])
        if tier:
            if tier.workflow:
                print(tier.workflow)
            return 0
    print(USAGE, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
