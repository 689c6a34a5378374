"""Starts that the test platform itself refuses now and then.

Under load Wine may fail to start a process: the new process dies before it
has finished starting ("failed to map the shared user data", seen with
WINEDEBUG=err+all, about once in a thousand starts), and whoever asked for the
start gets ERROR_INTERNAL_ERROR (1359) from CreateProcessW: the launcher (which
prints "error=1359"), the stub (which then exits with 124), or the kit. Or Wine
never runs the launcher at all, which then ends without a word. Such a failure
says nothing about the stub, so the start is made once more; but only once
for each start and only a few times in a whole test run, so that a real
regression cannot hide behind retries: a failure that comes back on the retry,
or one more than the run may retry, fails its test.

Every test of a tier writes its retries, one a line, to the log that the
test run's plugin (harness.plugin) names in PLATFORM_START_LOG as the tier
begins; PLATFORM_START_LIMIT is how many the run may still make. The log is
locked for each decision, so that the threads of a campaign, or processes
beside them, may decide at the same moment. Without the log a process counts
its own, up to DEFAULT_LIMIT.
"""

import fcntl
import os
import sys
import threading

ERROR_INTERNAL_ERROR = 1359
# The stub's code for a setup program that did not start (EXIT_SETUP_SPAWN_FAILED).
EXIT_SETUP_SPAWN_FAILED = 124
# As many as a whole test run may retry.
DEFAULT_LIMIT = 5
# How a run stopped for taking too long ends: timeout's own status, its KILL,
# or a kill of the caller's. Such a run was started; it is no refused start.
TIMED_OUT = (124, 137, -9)

_lock = threading.Lock()
_retried_here = 0


def _log():
    return os.environ.get("PLATFORM_START_LOG") or None


def limit():
    return int(os.environ.get("PLATFORM_START_LIMIT", DEFAULT_LIMIT))


def _lines(file):
    file.seek(0)
    return file.read().count(b"\n")


def retried():
    """How many starts the run (the tier, in a test run) has retried."""
    log = _log()
    if log is None:
        return _retried_here
    try:
        with open(log, "rb") as file:
            return _lines(file)
    except FileNotFoundError:
        return 0


def may_retry(what):
    """True, with the retry written down and printed, while the run may
    retry one more start; else prints that it may not, and False."""
    global _retried_here
    with _lock:
        log = _log()
        if log is None:
            count = _retried_here
            allowed = count < limit()
            if allowed:
                _retried_here += 1
        else:
            with open(log, "a+b") as file:
                # Another process of the tier may be deciding at this moment.
                fcntl.lockf(file, fcntl.LOCK_EX)
                count = _lines(file)
                allowed = count < limit()
                if allowed:
                    file.seek(0, os.SEEK_END)
                    file.write(what.encode("utf-8", "replace").replace(b"\n", b" ") + b"\n")
    if allowed:
        print("platform start failure, started again (%d of at most %d in this run): %s" % (count + 1, limit(), what))
    else:
        print("platform start failure, not retried: this run has retried %d, as many as it may: %s" % (count, what))
    sys.stdout.flush()
    return allowed


def print_count():
    print("platform start failures retried: %d" % retried())
