#!/usr/bin/python3
"""A stand-in for Wine and the launcher, for the end-to-end runner's rule on
starts the platform refused (test_e2e.py's PlatformStartRetry). Each start answers
with the next of the outcomes in the JSON file that STAND_IN_OUTCOMES names,
[printed, status, leaves]: what the launcher prints, the exit status, and
whether a scratch directory is left in the current directory (as a stub does
with the removal off). Its arguments, the launch it stands for, are ignored.
"""

import json
import os
import sys


def main():
    path = os.environ["STAND_IN_OUTCOMES"]
    with open(path) as file:
        outcomes = json.load(file)
    printed, status, leaves = outcomes.pop(0)
    with open(path, "w") as file:
        json.dump(outcomes, file)
    if leaves:
        os.mkdir("QX_%05X.tmp" % len(outcomes))
    sys.stdout.write(printed)
    return status


if __name__ == "__main__":
    sys.exit(main())
