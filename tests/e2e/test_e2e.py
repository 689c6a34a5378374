"""End-to-end tests of the real installer under Wine, started through the
project's launcher (harness.runner).

The x64 tier (e2e-x64) runs them here under Debian's wine64 in the run's
prefix; the arm64 tier runs the same classes (tests/arm64/test_e2e_arm64.py)
under Debian's arm64 wine64 in emulation, in this checkout's session.
"""

import contextlib
import io
import json
import os
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path
from unittest import mock

import pytest

from harness import platform_starts
from harness.paths import BUILD
from harness.runner import (CLEANUP, EXIT_INSTALLER_FILE_FAILED, EXIT_REJECTED_SWITCH,  # noqa: F401
                            EXIT_SETUP_COMMAND_TOO_LONG, EXIT_WORK_DIR_FAILED, SCRATCH_NAME,
                            STATUS_STACK_BUFFER_OVERRUN, LaunchResult, WineRunner)


@pytest.fixture(scope="module")
def e2e_runner(wine_x64):
    runner = WineRunner("x64")
    shutil.rmtree(runner.work, ignore_errors=True)
    return runner


@pytest.fixture(autouse=True)
def runner_of_each_test(request, e2e_runner):
    """Hands the module's runner to each test case before its setUp."""
    request.instance.runner = e2e_runner


class InstallerTest(unittest.TestCase):
    """Each test gets a folder of its own holding a copy of the installer."""

    installer_name = "installer.exe"
    cleanup = CLEANUP  # the registry value it reads

    def setUp(self):
        self.folder = self.runner.work / self.id().split(".")[-1]
        shutil.rmtree(self.folder, ignore_errors=True)
        self.folder.mkdir(parents=True)
        self.installer = self.folder / "installer.exe"
        shutil.copyfile(self.runner.build / self.installer_name, self.installer)
        self.runner.set_cleanup_value(None)

    def tearDown(self):
        self.runner.set_cleanup_value(None)
        shutil.rmtree(self.folder, ignore_errors=True)

    def command(self, arguments=""):
        line = '"%s"' % self.runner.windows_path(self.installer)
        return line + (" " + arguments if arguments else "")

    def run_installer(self, arguments="", **kwargs):
        result = self.runner.launch(self.command(arguments), cwd=self.folder, cleanup=self.cleanup, **kwargs)
        self.assertIsNotNone(result.exit_code, "the launcher reported no exit code: %r" % result)
        return result

    def entries(self, folder=None):
        return sorted(p.name for p in (folder or self.folder).iterdir())

    def scratch_directories(self):
        return [p for p in self.folder.iterdir() if SCRATCH_NAME.match(p.name)]


class RejectedSwitches(InstallerTest):
    def test_refused_switches_exit_118_and_create_nothing(self):
        # The project's refused switches, and the three that the installer
        # itself gives its setup program, with a value or without.
        for arguments in ["--cleanup", "--CLEANUP", '"--brisel-frame"', "first --Brisel-Frame last",
                          '--ferrolt-path="C:\\its-own.exe"', "--Ferrolt-Path", "--archive-resource-name=OTHER.7Z",
                          "x --ARCHIVE-RESOURCE-TYPE=BN y"]:
            with self.subTest(arguments=arguments):
                result = self.run_installer(arguments)
                self.assertEqual(result.exit_code, EXIT_REJECTED_SWITCH)
                self.assertEqual(self.entries(), ["installer.exe"])

    def test_refusal_wins_over_the_registry_value(self):
        self.runner.set_cleanup_value("0")
        self.assertEqual(self.run_installer("--cleanup").exit_code, EXIT_REJECTED_SWITCH)
        self.assertEqual(self.entries(), ["installer.exe"])

    def test_a_switch_with_a_value_is_not_refused(self):
        self.assertNotEqual(self.run_installer("--cleanup=1").exit_code, EXIT_REJECTED_SWITCH)

    def test_only_the_whole_name_of_a_protocol_switch_is_refused(self):
        for arguments in ["--ferrolt-paths=x", "-ferrolt-path=x", "--x=--ferrolt-path=y"]:
            with self.subTest(arguments=arguments):
                self.assertEqual(self.run_installer(arguments).exit_code, 0)


class WorkArea(InstallerTest):
    def test_removal_on_leaves_nothing_beside_the_installer(self):
        result = self.run_installer()
        self.assertEqual(result.exit_code, 0)
        self.assertEqual(self.entries(), ["installer.exe"])

    def test_registry_zero_keeps_the_scratch_directory_and_the_exit_code(self):
        with_removal = self.run_installer().exit_code
        self.runner.set_cleanup_value("0")
        without_removal = self.run_installer().exit_code
        self.assertEqual(with_removal, without_removal)
        scratch = self.scratch_directories()
        self.assertEqual(len(scratch), 1, self.entries())
        self.assertEqual(len(self.entries()), 2, self.entries())
        self.assertEqual(self.entries(scratch[0]), ["setup.exe"])

    def test_concurrent_installers_each_get_their_own_directory(self):
        if self.runner.arch != "x64":
            self.skipTest("run on x64 Wine only: the emulation is too slow for a crowd")
        self.runner.set_cleanup_value("0")
        count = 20

        def crowd():
            processes = [self.runner.launch_async(self.command(), cwd=self.folder) for _ in range(count)]
            return [LaunchResult(self.runner.finish(p)) for p in processes]

        results = crowd()
        failed = [r for r in results if r.exit_code != 0]
        refused = [r.start_refused() for r in failed]
        # A crowd whose only failures are starts the platform refused runs
        # once more, from a clean folder, and counts only then.
        if failed and all(refused) and all(platform_starts.may_retry("x64 crowd of %d: %s" % (count, reason))
                                           for reason in refused):
            for scratch in self.scratch_directories():
                shutil.rmtree(scratch)
            results = crowd()
        codes = [r.exit_code for r in results]
        self.assertNotIn(EXIT_WORK_DIR_FAILED, codes)
        self.assertEqual(codes, [0] * count)
        self.assertEqual(len(self.scratch_directories()), count)


class Payload(InstallerTest):
    def test_expanded_setup_program_is_the_packed_one(self):
        self.runner.set_cleanup_value("0")
        self.assertEqual(self.run_installer().exit_code, 0)
        scratch = self.scratch_directories()
        self.assertEqual(len(scratch), 1)
        self.assertEqual(self.entries(scratch[0]), ["setup.exe"], "the cabinet file was not removed")
        packed = (self.runner.build / "tools/setup.exe").read_bytes()
        self.assertEqual((scratch[0] / "setup.exe").read_bytes(), packed)


class ProbeInstallerTest(InstallerTest):
    """The installer with the probe as its second stage, which records what it
    was started with and exits with the code the test asks for."""

    installer_name = "probe-installer.exe"

    def setUp(self):
        super().setUp()
        self.record = self.folder / "probe.out"

    def run_probe(self, arguments="", exit_code=0, env=None, **kwargs):
        probe_env = {"PROBE_OUT": self.runner.windows_path(self.record), "PROBE_EXIT": "0x%08X" % exit_code}
        probe_env.update(env or {})
        return self.run_installer(arguments, env=probe_env, **kwargs)

    def recorded_fields(self):
        self.assertTrue(self.record.exists(), "the setup program did not run")
        return self.record.read_bytes().decode("utf-16-le").split("\0")

    def recorded(self):
        """(command line, current directory) as the probe received them."""
        command_line, directory = self.recorded_fields()[:2]
        return command_line, directory

    def recorded_race(self):
        """What the probe's race against a file gave: {step: error}, 0 where it worked."""
        fields = self.recorded_fields()
        self.assertEqual(len(fields), 4, "the probe did not race")
        return {step: int(error) for step, error in (item.split("=") for item in fields[3].split())}

    def expected_prefix(self):
        # The quoted setup path (inside a fresh scratch directory) and the
        # three switches with the installer's own path, name and type.
        folder = re.escape(self.runner.windows_path(self.folder))
        installer = re.escape(self.runner.windows_path(self.installer))
        return ('"%s\\\\QX_[0-9A-F]{5}\\.tmp\\\\setup\\.exe" --ferrolt-path="%s"'
                ' --archive-resource-name="BRISEL\\.PACKED\\.7Z" --archive-resource-type="B7"' % (folder, installer))


class Launch(ProbeInstallerTest):
    def test_exit_codes_pass_through_bit_for_bit(self):
        for code in [0, 3, 118, 0x80000000, 0xC0000005]:
            with self.subTest(code="0x%08X" % code):
                self.assertEqual(self.run_probe(exit_code=code).exit_code, code)
                self.assertEqual(self.entries(), ["installer.exe", "probe.out"])

    def test_child_gets_the_switches_and_the_arguments_as_typed(self):
        for arguments in ["", '--foo "a b"', '  x\t\t"y  z" ']:
            passed_on = " " + arguments if arguments else ""
            with self.subTest(arguments=arguments):
                self.run_probe(arguments)
                command_line, _ = self.recorded()
                self.assertRegex(command_line, "^" + self.expected_prefix() + re.escape(passed_on) + "$")

    def test_arguments_that_do_not_fit_start_nothing(self):
        # The setup program's command line holds 1299 units of text; what the
        # fixed part leaves is the room for " " and the arguments.
        fixed = ('"%s\\QX_00000.tmp\\setup.exe" --ferrolt-path="%s"'
                 ' --archive-resource-name="BRISEL.PACKED.7Z" --archive-resource-type="B7"'
                 % (self.runner.windows_path(self.folder), self.runner.windows_path(self.installer)))
        room = 1299 - len(fixed)
        exact = "a" * (room - 1)
        self.assertEqual(self.run_probe(exact, exit_code=7).exit_code, 7)
        command_line, _ = self.recorded()
        self.assertRegex(command_line, "^" + self.expected_prefix() + " " + exact + "$")
        self.record.unlink()
        self.assertEqual(self.run_probe(exact + "a", exit_code=7).exit_code, EXIT_SETUP_COMMAND_TOO_LONG)
        self.assertFalse(self.record.exists(), "the setup program ran without its arguments")
        self.assertEqual(self.entries(), ["installer.exe"])

    def test_a_switch_only_the_runtime_split_shows_is_refused_and_starts_nothing(self):
        # CommandLineToArgvW leaves the span at the doubled quote and sees
        # ' --ferrolt-path=...' with its blank; a setup program built with
        # today's C run-time stays in the span and would take the switch.
        hidden = 'a"b"" " --ferrolt-path=C:\\evil.exe'
        self.assertEqual(self.run_probe(hidden, exit_code=7).exit_code, EXIT_REJECTED_SWITCH)
        self.assertFalse(self.record.exists(), "the setup program ran")
        self.assertEqual(self.entries(), ["installer.exe"])
        # Doubled quotes without a switch still pass on as typed.
        legit = '"a""b" c'
        self.assertEqual(self.run_probe(legit, exit_code=7).exit_code, 7)
        command_line, _ = self.recorded()
        self.assertRegex(command_line, "^" + self.expected_prefix() + re.escape(" " + legit) + "$")

    def test_child_runs_in_the_installers_current_directory(self):
        elsewhere = self.folder / "elsewhere"
        elsewhere.mkdir()
        self.run_probe(directory=self.runner.windows_path(elsewhere))
        _, directory = self.recorded()
        self.assertEqual(directory.rstrip("\\"), self.runner.windows_path(elsewhere))

    def test_nobody_renames_or_writes_the_installer_while_the_setup_program_runs(self):
        # The setup program reads the archive from the installer by its path:
        # while it runs, the installer can be neither renamed away nor
        # written (sharing violation, 32), and it can still be read.
        before = self.installer.read_bytes()
        race = {"PROBE_RACE": self.runner.windows_path(self.installer)}
        self.assertEqual(self.run_probe(exit_code=7, env=race).exit_code, 7)
        self.assertEqual(self.recorded_race(), {"rename": 32, "write": 32, "read": 0})
        self.assertEqual(self.installer.read_bytes(), before)
        self.assertEqual(self.entries(), ["installer.exe", "probe.out"])

    def test_an_installer_whose_name_is_taken_as_it_starts_ends_before_anything_is_created(self):
        # Between the installer's start and its hold on its own file, whoever
        # may write the folder can rename it away and put a file of their own
        # at its name: here the launcher does it while the installer is
        # started suspended. A copy of every byte is not the running file.
        before = self.installer.read_bytes()
        moved = self.folder / "installer-moved.exe"
        copy = self.folder / "copy.exe"
        path = self.runner.windows_path
        cases = [
            ("a copy of every byte at its name", copy, EXIT_INSTALLER_FILE_FAILED,
             ["installer-moved.exe", "installer.exe"]),
            ("nothing at its name", None, EXIT_INSTALLER_FILE_FAILED, ["installer-moved.exe"]),
            ("the installer itself back at its name", moved, 7, ["installer.exe", "probe.out"]),
        ]
        for name, put_in, exit_code, left in cases:
            with self.subTest(name):
                shutil.copyfile(self.installer, copy)
                swap = {"LAUNCHER_SWAP_AWAY": path(self.installer), "LAUNCHER_SWAP_TO": path(moved)}
                if put_in:
                    swap["LAUNCHER_SWAP_IN"] = path(put_in)
                result = self.run_probe(exit_code=7, env=swap)
                copy.unlink(missing_ok=True)
                self.assertIn("swap=0\n", result.stdout)
                self.assertEqual(result.exit_code, exit_code)
                self.assertEqual(self.record.exists(), exit_code == 7, "the setup program ran or did not")
                self.assertEqual(self.entries(), left)
                self.record.unlink(missing_ok=True)
                if moved.exists():
                    os.replace(moved, self.installer)
                self.assertEqual(self.installer.read_bytes(), before)

    def test_an_installer_reached_through_a_linked_folder_goes_by_its_own_path(self):
        # The installer lies in "real", and is started through "via", a link
        # to that folder (on Windows it would be a junction the user may
        # retarget). Once it holds its file, the scratch directory, the setup
        # program and the path it tells the setup program are the real ones.
        real = self.folder / "real"
        real.mkdir()
        os.replace(self.installer, real / "installer.exe")
        via = self.folder / "via"
        os.symlink(real, via)
        line = '"%s"' % self.runner.windows_path(via / "installer.exe")
        env = {"PROBE_OUT": self.runner.windows_path(self.record), "PROBE_EXIT": "0x%08X" % 7}
        self.runner.set_cleanup_value("0")
        result = self.runner.launch(line, cwd=self.folder, env=env, cleanup=self.cleanup)
        self.assertEqual(result.exit_code, 7, result)
        command_line, _ = self.recorded()
        folder = re.escape(self.runner.windows_path(real))
        installer = re.escape(self.runner.windows_path(real / "installer.exe"))
        self.assertRegex(command_line, '^"%s\\\\QX_[0-9A-F]{5}\\.tmp\\\\setup\\.exe" --ferrolt-path="%s" '
                                       % (folder, installer))
        self.assertEqual(len([p for p in real.iterdir() if SCRATCH_NAME.match(p.name)]), 1, list(real.iterdir()))
        self.assertEqual(self.entries(), ["probe.out", "real", "via"])

    def test_an_installer_held_open_with_delete_access_ends_with_119(self):
        # An updater or browser that keeps the download open with delete
        # access (as one opened delete-on-close is) takes what the hold must
        # refuse to everyone: every run ends at the hold. One that keeps it
        # open only for reading lets it run.
        cases = [
            ("delete access", 0x00010000, EXIT_INSTALLER_FILE_FAILED),
            ("reading and delete access", 0x80010000, EXIT_INSTALLER_FILE_FAILED),
            ("reading only", 0x80000000, 7),
        ]
        for name, access, exit_code in cases:
            with self.subTest(name):
                hold = {"LAUNCHER_HOLD": self.runner.windows_path(self.installer),
                        "LAUNCHER_HOLD_ACCESS": "0x%08X" % access}
                result = self.run_probe(exit_code=7, env=hold)
                self.assertIn("hold=0\n", result.stdout)
                self.assertEqual(result.exit_code, exit_code)
                self.assertEqual(self.record.exists(), exit_code == 7, "the setup program ran or did not")
                self.record.unlink(missing_ok=True)
                self.assertEqual(self.entries(), ["installer.exe"])

    def test_a_cabinet_library_planted_under_windir_is_never_loaded(self):
        # WINDIR and SYSTEMROOT, which for an elevated run the user may set,
        # name a folder whose system32 holds a planted cabinet.dll: it is
        # never loaded, and the run is the setup program's. Wine is told to
        # prefer a native cabinet.dll, as Windows loads whatever a path names.
        windows = self.folder / "windows"
        (windows / "system32").mkdir(parents=True)
        planted = windows / "system32" / "cabinet.dll"
        shutil.copyfile(self.runner.build / "kit" / "planted.dll", planted)
        overrides = r"HKCU\Software\Wine\DllOverrides"
        self.runner.tool(["reg", "add", overrides, "/v", "cabinet", "/t", "REG_SZ", "/d", "native,builtin", "/f"])
        try:
            system = {"LAUNCHER_SET_WINDIR": self.runner.windows_path(windows),
                      "LAUNCHER_SET_SYSTEMROOT": self.runner.windows_path(windows)}
            result = self.run_probe(exit_code=7, env=system)
        finally:
            self.runner.tool(["reg", "delete", overrides, "/v", "cabinet", "/f"])
        self.assertEqual(result.exit_code, 7, result)
        self.assertFalse((windows / "system32" / "cabinet.dll.loaded").exists(), "the planted cabinet.dll was loaded")
        self.assertEqual(self.entries(), ["installer.exe", "probe.out", "windows"])

    def test_registry_zero_keeps_the_setup_program(self):
        self.runner.set_cleanup_value("0")
        self.assertEqual(self.run_probe(exit_code=7).exit_code, 7)
        scratch = self.scratch_directories()
        self.assertEqual(len(scratch), 1)
        self.assertEqual(self.entries(scratch[0]), ["setup.exe"])
        self.assertEqual((scratch[0] / "setup.exe").read_bytes(),
                         (self.runner.build / "tools/probe.exe").read_bytes())

    def test_refused_switch_never_starts_the_setup_program(self):
        self.assertEqual(self.run_probe("--cleanup").exit_code, EXIT_REJECTED_SWITCH)
        self.assertFalse(self.record.exists())
        self.assertEqual(self.entries(), ["installer.exe"])


class UncompressedSetup(ProbeInstallerTest):
    installer_name = "probe-installer-plain.exe"

    def test_uncompressed_setup_program_runs_as_setup_exe(self):
        self.assertEqual(self.run_probe('--foo "a b"', exit_code=0x80000001).exit_code, 0x80000001)
        command_line, _ = self.recorded()
        self.assertRegex(command_line, "^" + self.expected_prefix() + re.escape(' --foo "a b"') + "$")
        self.assertEqual(self.entries(), ["installer.exe", "probe.out"])


class BrandedInstaller(ProbeInstallerTest):
    """The probe installer built with names of its own (resources/
    CMakeLists.txt): they, and no longer the project's, reach the registry
    read, the refusal and the setup program."""

    installer_name = "branded-installer.exe"
    key, value = r"Software\Branded Test\Installer", "Keep Scratch"
    cleanup = (key, value)

    def setUp(self):
        super().setUp()
        self.runner.set_cleanup_value(None, self.key)

    def tearDown(self):
        self.runner.set_cleanup_value(None, self.key)
        super().tearDown()

    def test_own_switches_reach_the_setup_program_and_the_projects_refused_ones_pass(self):
        self.assertEqual(self.run_probe('--cleanup "--brisel-frame" --ferrolt-path=x', exit_code=5).exit_code, 5)
        command_line, _ = self.recorded()
        folder = re.escape(self.runner.windows_path(self.folder))
        installer = re.escape(self.runner.windows_path(self.installer))
        self.assertRegex(command_line,
                         '^"%s\\\\QX_[0-9A-F]{5}\\.tmp\\\\setup\\.exe" --installer-path="%s"'
                         ' --archive-resource-name="PRODUCT\\.DATA\\.7Z" --archive-resource-type="B7"'
                         ' --cleanup "--brisel-frame" --ferrolt-path=x$' % (folder, installer))
        self.assertEqual(self.entries(), ["installer.exe", "probe.out"])

    def test_own_refused_switches_exit_118_and_create_nothing(self):
        # Its own path switch too, which it gives its setup program.
        for arguments in ["--repair-frame", "--REPAIR-FRAME", 'first "/uninstall" last', '--installer-path="x"']:
            with self.subTest(arguments=arguments):
                self.assertEqual(self.run_probe(arguments).exit_code, EXIT_REJECTED_SWITCH)
                self.assertEqual(self.entries(), ["installer.exe"])

    def test_own_registry_value_keeps_the_scratch_directory_and_the_projects_does_not(self):
        self.runner.set_cleanup_value("0")
        self.assertEqual(self.run_probe(exit_code=7).exit_code, 7)
        self.assertEqual(self.entries(), ["installer.exe", "probe.out"])
        self.runner.set_cleanup_value("0", self.key, self.value)
        self.assertEqual(self.run_probe(exit_code=7).exit_code, 7)
        scratch = self.scratch_directories()
        self.assertEqual(len(scratch), 1, self.entries())
        self.assertEqual(self.entries(scratch[0]), ["setup.exe"])


class SecondStage(InstallerTest):
    """The demo installer with the project's own second stage."""

    def test_demo_installer_finds_its_archive_and_leaves_nothing(self):
        self.assertEqual(self.run_installer('--foo "a b"').exit_code, 0)
        self.assertEqual(self.entries(), ["installer.exe"])

    def test_second_stage_exit_codes(self):
        setup = self.folder / "setup.exe"
        shutil.copyfile(self.runner.build / "tools/setup.exe", setup)
        installer = self.runner.windows_path(self.installer)
        missing = self.runner.windows_path(self.folder / "missing.exe")
        cases = [
            ("all three switches", '--ferrolt-path="%s" --archive-resource-name="BRISEL.PACKED.7Z" '
                                   '--archive-resource-type="B7" --extra' % installer, 0),
            ("a switch missing", '--ferrolt-path="%s" --archive-resource-name="BRISEL.PACKED.7Z"' % installer, 20),
            ("an empty value", '--ferrolt-path="" --archive-resource-name="BRISEL.PACKED.7Z" '
                               '--archive-resource-type="B7"', 20),
            ("a switch twice", '--ferrolt-path="%s" --ferrolt-path="%s" --archive-resource-name="BRISEL.PACKED.7Z" '
                               '--archive-resource-type="B7"' % (installer, installer), 20),
            ("no such installer", '--ferrolt-path="%s" --archive-resource-name="BRISEL.PACKED.7Z" '
                                  '--archive-resource-type="B7"' % missing, 21),
            ("no such resource", '--ferrolt-path="%s" --archive-resource-name="OTHER.7Z" '
                                 '--archive-resource-type="B7"' % installer, 22),
            ("not a 7z archive", '--ferrolt-path="%s" --archive-resource-name="SETUP.EX_" '
                                 '--archive-resource-type="BL"' % installer, 23),
        ]
        for name, arguments, expected in cases:
            with self.subTest(name):
                line = '"%s" %s' % (self.runner.windows_path(setup), arguments)
                result = self.runner.launch(line, cwd=self.folder)
                self.assertEqual(result.exit_code, expected, result)


class StackCookie(unittest.TestCase):
    """A test image with the stub's own entry point, which draws the stack
    cookie, and its fail-fast, around a stand-in for the run sequence
    (tests/e2e/smashed_cookie.cpp)."""

    def setUp(self):
        self.image = self.runner.build / "tests" / "smashed-cookie.exe"

    def run_image(self, argument):
        line = '"%s" %s' % (self.runner.windows_path(self.image), argument)
        result = self.runner.launch(line)
        self.assertIsNotNone(result.exit_code, "no exit code (a hang, or the launcher failed): %r" % result)
        return result.exit_code

    def test_a_smashed_cookie_ends_the_run_with_the_fail_fast_code(self):
        # Long enough to run over the cookie and the saved registers above it.
        self.assertEqual(self.run_image("smash-" + "A" * 200), STATUS_STACK_BUFFER_OVERRUN)

    def test_the_cookie_is_drawn_before_the_run_and_anew_each_time(self):
        cookies = [self.run_image("cookie") for _ in range(2)]
        self.assertNotIn(0, cookies)
        self.assertNotEqual(cookies[0], cookies[1])

    def test_the_whole_cookie_is_drawn(self):
        # Both halves, each anew at each start: a draw of half the cookie
        # would leave the other half at its known starting value.
        for half in ["cookie-high", "cookie-low"]:
            with self.subTest(half):
                values = [self.run_image(half) for _ in range(2)]
                self.assertNotIn(0, values)
                self.assertNotEqual(values[0], values[1])

    def test_a_library_asked_for_by_name_is_never_taken_from_beside_the_image(self):
        # After the entry point's first step, a library that any code in the
        # process asks for by its bare name is looked for in the system
        # folder alone: one of that name beside the image is not loaded.
        folder = self.runner.work / "library-search"
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir(parents=True)
        self.image = folder / "smashed-cookie.exe"
        shutil.copyfile(self.runner.build / "tests" / "smashed-cookie.exe", self.image)
        shutil.copyfile(self.runner.build / "kit" / "planted.dll", folder / "planted.dll")
        try:
            self.assertEqual(self.run_image("search"), 0)
            self.assertFalse((folder / "planted.dll.loaded").exists())
        finally:
            shutil.rmtree(folder, ignore_errors=True)


class PlatformStartRetry(unittest.TestCase):
    """The runner's rule for launches the platform failed to start, against
    a stand-in for Wine (wine_stand_in.py); the retries go to a log of the
    test's own."""

    RAN = "start=1\nexit=0x%08X\n"
    CASES = [
        # name, outcomes in turn, retries the run has left, exit code seen, retries made
        ("the launcher never ran, then ran", [("", 1, False), (RAN % 0, 0, False)], 5, 0, 1),
        ("the launcher's start refused, then made", [("error=1359\n", 3, False), (RAN % 0, 0, False)], 5, 0, 1),
        ("the stub's 124, then its setup program ran", [(RAN % 124, 0, False), (RAN % 7, 0, False)], 5, 7, 1),
        ("the stub's 124 again: a broken stub says it every time",
         [(RAN % 124, 0, False), (RAN % 124, 0, False)], 5, 124, 1),
        ("the launcher never ran, twice", [("", 1, False), ("", 1, False)], 5, None, 1),
        ("the launcher's start failed otherwise: not the platform's", [("error=2\n", 3, False)], 5, None, 0),
        ("a program's own failure", [(RAN % 1, 0, False)], 5, 1, 0),
        ("stopped for taking too long: not retried", [("", 124, False)], 5, None, 0),
        ("the run has retried as many as it may", [("", 1, False), (RAN % 0, 0, False)], 0, None, 0),
    ]

    def setUp(self):
        self.folder = Path(tempfile.mkdtemp(dir=BUILD))
        self.outcomes = self.folder / "outcomes.json"
        self.log = self.folder / "retries.log"
        self.runner = WineRunner("x64", timeout=60)
        self.runner.prefix = [sys.executable, str(Path(__file__).with_name("wine_stand_in.py"))]
        self.runner.build = self.folder

    def tearDown(self):
        shutil.rmtree(self.folder, ignore_errors=True)

    def launch(self, outcomes, limit):
        self.outcomes.write_text(json.dumps(outcomes))
        self.log.write_text("")
        env = {"STAND_IN_OUTCOMES": str(self.outcomes), "PLATFORM_START_LOG": str(self.log),
               "PLATFORM_START_LIMIT": str(limit)}
        # What the rule prints stays here: these are not the run's retries.
        with mock.patch.dict(os.environ, env), contextlib.redirect_stdout(io.StringIO()):
            result = self.runner.launch("installer.exe", cwd=self.folder)
        return result, len(self.log.read_text().splitlines())

    def test_only_the_platforms_refusals_are_retried_once_while_the_run_may(self):
        for name, outcomes, limit, exit_code, retries in self.CASES:
            with self.subTest(name):
                result, retried = self.launch(outcomes, limit)
                self.assertEqual(result.exit_code, exit_code)
                self.assertEqual(retried, retries)

    def test_a_retry_removes_only_what_a_refused_start_may_leave(self):
        # With the removal off the stub keeps its scratch directory after a
        # refused start; with it on (another installer's value set to "0"
        # is not this one's), a directory left is the stub's fault and stays
        # for the test to see.
        for removal_off, left in [(True, []), (False, ["QX_00001.tmp"])]:
            with self.subTest(removal_off=removal_off):
                self.runner.kept = {CLEANUP} if removal_off else {(r"Software\Another", "Its Value")}
                result, _ = self.launch([(self.RAN % 124, 0, True), (self.RAN % 0, 0, False)], 5)
                self.assertEqual(result.exit_code, 0)
                self.assertEqual(sorted(p.name for p in self.folder.glob("QX_*")), left)
                for scratch in self.folder.glob("QX_*"):
                    scratch.rmdir()
