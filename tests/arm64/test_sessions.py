"""Sessions of the ARM64 emulation (harness.arm64) side by side on the one
shared root.

Stand-in checkouts are folders under /var/tmp, each with a build folder to
bind. Each sets its session up with an owner process that stays, as a test
run does, and that works outside the checkout, so that only the recorded
owner keeps the session in use. Every test also checks that this checkout's
own session (the test run's) still stands afterwards, its bind mounted and
its wineserver the same. Other checkouts may run these tests at the same
moment: their sessions come and go beside ours. Needs root.
"""

import contextlib
import io
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import pytest

from harness import arm64, platform_starts
from harness.paths import BUILD

ROOT = Path(arm64.ROOT)
OLD_STATE = Path(arm64.OLD_STATE_FILE)


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
    return Path(arm64.session_file(str(bind)))


class Checkout:
    """A stand-in checkout: a folder with its build folder, the session's
    owner, and processes that work inside it."""

    def __init__(self, base, name):
        self.folder = base / name
        self.bind = self.folder / "build"
        self.prefix = self.bind / "wineprefix-arm64"
        self.bind.mkdir(parents=True)
        self.processes = []
        self.session = None

    def setup(self):
        """Sets the session up, owned by a process that stays until ended."""
        owner = subprocess.Popen(["sleep", "infinity"], cwd="/")
        self.processes.append(owner)
        notes = io.StringIO()
        try:
            with contextlib.redirect_stderr(notes):
                self.session = arm64.setup(str(self.bind), owner=arm64.owner_of(owner.pid))
        except arm64.SessionError as error:
            raise AssertionError("setup for %s failed: %s\n%s" % (self.bind, error, notes.getvalue()[-2000:]))
        return owner

    def work_inside(self):
        """A process working in the checkout, as a test run's do."""
        worker = subprocess.Popen(["sleep", "infinity"], cwd=self.folder)
        self.processes.append(worker)
        return worker

    def run(self, code):
        """The exit status of cmd.exe /c exit CODE in the session."""
        argv, env = self.session.command("cmd.exe", ["/c", "exit", str(code)], timeout=120)
        result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300)
        if (result.returncode not in (code,) + platform_starts.TIMED_OUT
                and platform_starts.may_retry("session %s: cmd.exe: status %d" % (self.bind, result.returncode))):
            result = subprocess.run(argv, env=env, capture_output=True, text=True, timeout=300)
        return result.returncode

    def teardown(self):
        """Tears the session down; what the teardown said, which raises on failure."""
        notes = io.StringIO()
        with contextlib.redirect_stderr(notes):
            arm64.teardown(str(self.bind))
        return notes.getvalue()

    def end(self, process):
        process.kill()
        process.wait()
        if process.stdout:
            process.stdout.close()

    def end_all(self):
        for process in self.processes:
            self.end(process)


@pytest.mark.usefixtures("arm64_session")
class SessionsSideBySide(unittest.TestCase):
    def setUp(self):
        self.base = Path(tempfile.mkdtemp(prefix="arm64-sessions.", dir="/var/tmp"))
        self.a = Checkout(self.base, "a")
        self.b = Checkout(self.base, "b")
        # This checkout's own session, when test.sh has set it up.
        own = BUILD
        self.own = (own, servers().get(str(own / "wineprefix-arm64"))) if record_of(own).exists() else None
        self.planted_old_state = False

    def tearDown(self):
        for checkout in (self.a, self.b):
            checkout.end_all()
        for checkout in (self.a, self.b):
            with contextlib.suppress(arm64.SessionError):
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
        self.a.teardown()
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
        self.b.teardown()
        self.assertFalse(OLD_STATE.exists(), "the older script's record of a session no longer in use")
        self.assertSessionEnded(self.a, recorded_mount_point=False)
        self.assertSessionEnded(self.b)
        self.assertOwnSessionUntouched()

