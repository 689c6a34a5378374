"""Starts Windows programs of one architecture under Wine, and the real
installers through the project's launcher (tools/launcher), which hands the
command line over exactly and reports the full 32-bit exit code: Wine's exit
status keeps only eight bits, and a shell would re-quote the line.

x64 runs Debian's wine64 in the test run's prefix (harness.wine); arm64 runs
Debian's arm64 wine64 under emulation in this checkout's session
(harness.arm64). A launch that the platform itself failed to start
(harness.platform_starts) is made once more, printed, and counted against
the run's few retries.
"""

import os
import re
import shutil
import subprocess
import tempfile
from pathlib import Path

from harness import platform_starts
from harness.paths import BUILD

SCRATCH_NAME = re.compile(r"^QX_[0-9A-F]{5}\.tmp$")

EXIT_SETUP_COMMAND_TOO_LONG = 105
EXIT_REJECTED_SWITCH = 118
EXIT_INSTALLER_FILE_FAILED = 119
EXIT_WORK_DIR_FAILED = 109
STATUS_STACK_BUFFER_OVERRUN = 0xC0000409  # what a fail-fast leaves as the exit code
# The registry value that turns the removal off ("0"), as the project's own
# installers read it: key under HKCU, value name.
CLEANUP = (r"Software\Tolvane", "BriselInstallerCleanup")


def hex_units(text):
    data = text.encode("utf-16-le")
    return "".join("%02X%02X" % (data[i + 1], data[i]) for i in range(0, len(data), 2))


class LaunchResult:
    def __init__(self, completed):
        self.stdout = completed.stdout
        self.stderr = completed.stderr  # Wine's own complaints, if any
        self.returncode = completed.returncode
        found = re.search(r"exit=0x([0-9A-F]{8})", completed.stdout)
        self.exit_code = int(found.group(1), 16) if found else None
        found = re.search(r"start=(\d+)", completed.stdout)
        self.start = int(found.group(1)) if found else None
        found = re.search(r"error=(\d+)", completed.stdout)
        self.start_error = int(found.group(1)) if found else None  # the launcher's own start failed

    def start_refused(self):
        """Why the platform, rather than the program, failed this launch, or
        None. The launcher prints on every path once it runs, so a launcher
        that ended by itself without a word never ran. A stub's 124 is its
        right answer to a refused start, and what a broken stub would say
        too: the retry tells them apart, as a broken stub says it again."""
        if self.start_error == platform_starts.ERROR_INTERNAL_ERROR:
            return "the launcher's start of the program failed with %d" % self.start_error
        if self.exit_code == platform_starts.EXIT_SETUP_SPAWN_FAILED:
            return "the stub exited with %d: its setup program did not start" % self.exit_code
        if self.stdout == "" and self.returncode not in platform_starts.TIMED_OUT:
            return "the launcher never ran (status %s)" % self.returncode
        return None

    def __repr__(self):
        return "LaunchResult(exit=%r, stdout=%r)" % (self.exit_code, self.stdout)


class WineRunner:
    """Runs Windows programs of one architecture under Wine: x64 in the
    exported prefix, arm64 in `session` (a harness.arm64.Session)."""

    def __init__(self, arch, timeout=180, session=None):
        self.arch = arch
        self.timeout = timeout
        self.session = session
        self.build = BUILD / arch
        self.work = BUILD / "e2e" / arch
        self.kept = set()  # (key, value name) of the registry values set to "0"
        self.prefix = ["timeout", str(timeout), "/usr/lib/wine/wine64"]
        if arch != "x64" and session is None:
            raise ValueError("the %s runner needs its emulation's session" % arch)

    @staticmethod
    def windows_path(path):
        # Wine maps Z: to the root of the (possibly chrooted) file system, and
        # the ARM64 root binds our build folder at the same path.
        return "Z:" + str(path).replace("/", "\\")

    def start(self, args, env=None, cwd=None):
        """Starts a Windows program; its output goes to a file, never a pipe:
        a Wine service started along the way would hold a pipe open."""
        full_env = dict(os.environ)
        full_env.update(env or {})
        if self.session is None:
            argv = self.prefix + [str(a) for a in args]
        else:
            argv, full_env = self.session.command(args[0], args[1:], cwd=cwd, timeout=self.timeout, env=full_env)
        output = tempfile.TemporaryFile(mode="w+")
        errors = tempfile.TemporaryFile(mode="w+", errors="replace")
        process = subprocess.Popen(argv, env=full_env, cwd=cwd, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=errors)
        return process, (output, errors)

    def finish(self, started):
        process, files = started
        try:
            process.wait(timeout=self.timeout + 30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
        except BaseException:
            # An interrupted run: timeout passes the TERM on to the program,
            # which would otherwise run on until its own time is up.
            process.terminate()
            process.wait()
            raise
        texts = []
        for file in files:
            file.seek(0)
            texts.append(file.read())
            file.close()
        return subprocess.CompletedProcess(process.args, process.returncode, *texts)

    def wine(self, args, env=None, cwd=None):
        return self.finish(self.start(args, env, cwd))

    def launch_async(self, command_line, application=None, directory=None, env=None, cwd=None):
        args = [self.build / "tools/launcher.exe", hex_units(command_line),
                hex_units(application) if application else "-",
                hex_units(directory) if directory else "-"]
        return self.start(args, env, cwd)

    def launch(self, command_line, application=None, directory=None, env=None, cwd=None, cleanup=CLEANUP):
        """Launches and waits. A launch the platform failed to start is made
        once more while the run may retry; what the failed one left in `cwd`
        (a scratch directory kept because the registry value `cleanup`, the
        one the installer reads, turns the removal off) goes first."""
        before = set(os.listdir(cwd)) if cwd else set()
        result = LaunchResult(self.finish(self.launch_async(command_line, application, directory, env, cwd)))
        refused = result.start_refused()
        if refused and platform_starts.may_retry("%s launch of %s: %s" % (self.arch, command_line, refused)):
            if cleanup in self.kept:
                self.clear_failed_start(cwd, before)
            result = LaunchResult(self.finish(self.launch_async(command_line, application, directory, env, cwd)))
        return result

    @staticmethod
    def clear_failed_start(folder, before):
        """Removes the scratch directories that a launch which failed to
        start its setup program left in `folder` while the removal is off
        (the stub keeps them then). With the removal on, a directory left is
        the stub's fault, and stays for the test to see."""
        if folder is None:
            return
        for name in set(os.listdir(folder)) - before:
            if SCRATCH_NAME.match(name):
                shutil.rmtree(Path(folder) / name, ignore_errors=True)

    def tool(self, args, accepted=(0,)):
        """Runs one of Wine's own programs (reg), once more when it ended
        with a status it never gives unless it failed to start (or failed
        outright, which the retry shows)."""
        result = self.wine(args)
        if result.returncode not in accepted and result.returncode not in platform_starts.TIMED_OUT:
            if platform_starts.may_retry("%s %s: status %s, %r" % (self.arch, " ".join(map(str, args)),
                                                                   result.returncode, result.stderr[-300:])):
                result = self.wine(args)
        assert result.returncode in accepted, result
        return result

    def set_cleanup_value(self, value, key=CLEANUP[0], name=CLEANUP[1]):
        """Sets HKCU\\<key> <name> (REG_SZ; by default the project's own
        Software\\Tolvane BriselInstallerCleanup), or removes the key for None."""
        if value is None:
            # 1: there was no key to remove.
            self.tool(["reg", "delete", "HKCU\\" + key, "/f"], accepted=(0, 1))
        else:
            self.tool(["reg", "add", "HKCU\\" + key, "/v", name, "/t", "REG_SZ", "/d", value, "/f"])
        self.kept = {kept for kept in self.kept if kept[0] != key}
        if value == "0":
            self.kept.add((key, name))
