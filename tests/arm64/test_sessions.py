#!/usr/bin/python3
"""Sessions of the ARM64 emulation (tests/arm64/arm64-wine.sh) side by side
on the one shared root.

    test_sessions.py [-k PATTERN]

Stand-in checkouts are folders under /var/tmp, each with a build folder to
bind. Each sets its session up from an owner process that stays, as test.sh
does, and works outside the checkout, so that only the recorded owner keeps
the session in use. Every test also checks that this checkout's own session
(under test.sh) still stands afterwards, its bind mounted and its wineserver
the same. Other checkouts may run these tests at the same moment: their
sessions come and go beside ours. Needs root.
"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "lib"))
import platform_starts  # noqa: E402  (found through the path set just above)
import unittest_main  # noqa: E402

SCRIPT = REPO / "tests" / "arm64" / "arm64-wine.sh"
ROOT = Path(os.path.realpath(os.environ.get("ARM64_WINE_ROOT", "/var/cache/installer-stub/arm64-wine-root")))
SESSIONS = Path(str(ROOT) + ".sessions")
OLD_STATE = Path(str(ROOT) + ".state")


def mounts():
    """Mount points, as /proc/mounts names them (blanks unescaped)."""
    with open("/proc/mounts") as file:
        return {line.split()[1].encode().decode("unicode_escape") for line in file}


def root_processes():
    """{pid: (WINEPREFIX, command line)} of the processes inside the root."""
    found = {}
    for entry in Path("/proc").iterdir():
        if not entry.name.isdigit():
            continue
        try:
            if os.readlink(entry / "root") != str(ROOT):
                continue
            environ = (entry / "environ").read_bytes().split(b"\0")
            command = (entry / "cmdline").read_bytes().replace(b"\0", b" ").decode(errors="replace")
        except OSError:
            continue
        prefix = next((v[len(b"WINEPREFIX="):].decode() for v in environ if v.startswith(b"WINEPREFIX=")), None)
        found[int(entry.name)] = (prefix, command)
    return found


def servers():
    """{WINEPREFIX: wineserver pid} of the sessions running in the root."""
    return {prefix: pid for pid, (prefix, command) in root_processes().items() if "wineserver" in command}


def record_of(bind):
    return SESSIONS / hashlib.sha256(str(bind).encode()).hexdigest()[:16]


class Checkout:
    """A stand-in checkout: a folder with its build folder, the session's
    owner, and processes that work inside it."""

    def __init__(self, base, name):
        self.folder = base / name
        self.bind = self.folder / "build"
        self.prefix = self.bind / "wineprefix-arm64"
        self.bind.mkdir(parents=True)
        self.processes = []

    def setup(self):
        """Sets the session up from an owner that stays until ended."""
        log = open(self.folder / "setup.log", "w")
        owner = subprocess.Popen(
            ["bash", "-c", 'cd / && "$0" setup "$1" && echo ready && exec sleep infinity', SCRIPT, self.bind],
            stdout=subprocess.PIPE, stderr=log, text=True)
        log.close()
        self.processes.append(owner)
        ready = owner.stdout.readline().strip() == "ready"
        assert ready, "setup for %s failed: %s" % (self.bind, (self.folder / "setup.log").read_text()[-2000:])
        return owner

    def work_inside(self):
        """A process working in the checkout, as a test run's do."""
        worker = subprocess.Popen(["sleep", "infinity"], cwd=self.folder)
        self.processes.append(worker)
        return worker

    def run(self, code):
        """The exit status of cmd.exe /c exit CODE in the session."""
        command = [SCRIPT, "run", "--bind", self.bind, "--timeout", "120", "cmd.exe", "/c", "exit", str(code)]
        result = subprocess.run(command, capture_output=True, text=True, timeout=300)
        if (result.returncode not in (code,) + platform_starts.TIMED_OUT and "arm64-wine.sh:" not in result.stderr
                and platform_starts.may_retry("session %s: cmd.exe: status %d" % (self.bind, result.returncode))):
            result = subprocess.run(command, capture_output=True, text=True, timeout=300)
        return result.returncode

    def teardown(self):
        return subprocess.run([SCRIPT, "teardown", self.bind], capture_output=True, text=True, timeout=600)

    def end(self, process):
        process.kill()
        process.wait()
        if process.stdout:
            process.stdout.close()

    def end_all(self):
        for process in self.processes:
            self.end(process)


class SessionsSideBySide(unittest.TestCase):
    def setUp(self):
        self.base = Path(tempfile.mkdtemp(prefix="arm64-sessions.", dir="/var/tmp"))
        self.a = Checkout(self.base, "a")
        self.b = Checkout(self.base, "b")
        # This checkout's own session, when test.sh has set it up.
        own = REPO / "build"
        self.own = (own, servers().get(str(own / "wineprefix-arm64"))) if record_of(own).exists() else None
        self.planted_old_state = False

    def tearDown(self):
        for checkout in (self.a, self.b):
            checkout.end_all()
        for checkout in (self.a, self.b):
            checkout.teardown()
        if self.planted_old_state and OLD_STATE.exists() and str(self.a.bind) in OLD_STATE.read_text():
            OLD_STATE.unlink()
        # The mount points' folders in the root that no record names: the
        # common one, made by whichever session came first and left by it
        # while the other's was inside, and those of a session recorded as
        # the older script did.
        inside = str(ROOT) + str(self.base)
        if not any(m == inside or m.startswith(inside + "/") for m in mounts()):
            for folder, _, _ in sorted(os.walk(inside), reverse=True):
                try:
                    os.rmdir(folder)
                except OSError:
                    pass
        shutil.rmtree(self.base, ignore_errors=True)

    # --- what the tests look at -----------------------------------------------------

    def assertSessionWorks(self, checkout, code):
        self.assertIn(str(ROOT) + str(checkout.bind), mounts())
        self.assertIn(str(checkout.prefix), servers(), "%s has no wineserver" % checkout.bind)
        self.assertEqual(checkout.run(code), code, "a program in the session for %s" % checkout.bind)

    def assertSessionEnded(self, checkout, recorded_mount_point=True):
        self.assertNotIn(str(ROOT) + str(checkout.bind), mounts())
        left = [pid for pid, (prefix, _) in root_processes().items() if prefix == str(checkout.prefix)]
        self.assertEqual(left, [], "processes of the session for %s" % checkout.bind)
        self.assertFalse(record_of(checkout.bind).exists(), "its record")
        if recorded_mount_point:  # the older script kept no record of the folders it made
            self.assertFalse(Path(str(ROOT) + str(checkout.bind)).exists(), "its mount point in the root")

    def assertOwnSessionUntouched(self):
        if self.own is None:
            return
        bind, server = self.own
        self.assertIn(str(ROOT) + str(bind), mounts(), "this checkout's own session lost its bind")
        self.assertEqual(servers().get(str(bind / "wineprefix-arm64")), server,
                         "this checkout's own session lost its wineserver")

    # --- the tests -------------------------------------------------------------------

    def test_teardown_of_one_session_leaves_the_other_working(self):
        self.a.setup()
        self.assertSessionWorks(self.a, 7)
        self.b.setup()
        self.assertSessionWorks(self.a, 8)  # the second setup left the first alone
        self.assertSessionWorks(self.b, 9)
        result = self.a.teardown()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertSessionEnded(self.a)
        self.assertSessionWorks(self.b, 10)
        self.assertOwnSessionUntouched()

    def test_a_session_whose_owner_is_gone_is_ended_by_the_next_setup(self):
        owner = self.a.setup()
        self.a.end(owner)
        self.b.setup()
        self.assertSessionEnded(self.a)
        self.assertSessionWorks(self.b, 11)
        self.assertOwnSessionUntouched()

    def test_a_session_of_the_older_script_stays_while_its_checkout_works(self):
        # The older script kept one session in ROOT.state, with no owner: a
        # process working in its checkout is all that shows it in use.
        owner = self.a.setup()
        worker = self.a.work_inside()  # first: without either, the session is stale
        self.a.end(owner)
        lines = ["bind %s" % self.a.bind, "prefix %s" % self.a.prefix]
        lines += ["mount %s%s" % (ROOT, where) for where in ("/proc", "/dev", "/dev/shm", str(self.a.bind))]
        # Only where there is none: the older script's one session is
        # another checkout's (or this test's, run from another checkout).
        try:
            with open(OLD_STATE, "x") as state:
                state.write("".join(line + "\n" for line in lines))
        except FileExistsError:
            self.skipTest("a session recorded as the older script does is there: %s"
                          % OLD_STATE.read_text().splitlines()[:1])
        self.planted_old_state = True
        record_of(self.a.bind).unlink()

        self.b.setup()
        self.assertTrue(OLD_STATE.exists())
        self.assertSessionWorks(self.a, 12)
        self.assertSessionWorks(self.b, 13)

        self.a.end(worker)
        result = self.b.teardown()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse(OLD_STATE.exists(), "the older script's record of a session no longer in use")
        self.assertSessionEnded(self.a, recorded_mount_point=False)
        self.assertSessionEnded(self.b)
        self.assertOwnSessionUntouched()


if __name__ == "__main__":
    sys.exit(unittest_main.main(sys.modules[__name__]))
