"""The acceptance kit under Wine: the kit of each architecture runs whole, as a
release engineer would run it on Windows, and its table is printed; the kit's
judging is fed what a real Windows machine would report, and that report with
one fault at a time; and the workflow that runs the kit on Windows is checked
by a real validator.

    ./test.sh acceptance [-k PATTERN]

Wine cannot show every promise. The kit probes the platform and says
NOT-SHOWN for those; here each platform's list of them is written down and
handed to the kit (--allow-not-shown), so that a probe that stops working
(and would hide a check behind NOT-SHOWN) fails the kit, and this tier.

A kit run spoiled by a start that Wine refused (harness.platform_starts;
the facts show it) runs once more, counted against the run's few retries.
Each kit runs once for the whole tier (the fixture `kits`), and its table
ends the tier's part of the run.
"""

import re
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

import pytest

from harness import platform_starts, plugin
from harness.paths import BUILD, REPO
from harness.runner import WineRunner

ROW = re.compile(r"^(\S+)\s+(PASS|FAIL|NOT-SHOWN)\s+(.*)$")
COUNT = re.compile(r"^(\d+) passed, (\d+) failed, (\d+) not shown(?: \((\d+) of them not allowed, so the run fails\))?$")
NOT_ALLOWED = "(not allowed) "
WORKFLOW = REPO / ".github" / "workflows" / "acceptance.yml"
VALIDATOR = BUILD / "npm" / "node_modules" / ".bin" / "action-validator"
# The kit's crowd: installers started at once (CROWD in tools/acceptance/judging.h).
CROWD = 16

# What Wine 8 cannot show, as the kit's own probes find it.
WINE_NOT_SHOWN = [
    "descriptor-stored",         # no DACL is stored: the read-back is made from Unix modes
    "descriptor-inherited",
    "restricted-token-refused",  # nor is access checked
    "junction-not-followed",     # no junction can be made
    "symlink-not-followed",      # a symbolic link is made but leads nowhere
    "held-shared-file-removed",  # a delete-pending file can be opened again
    "junction-retargeted",       # no junction can be made
    "folder-ending-in-a-dot",    # Wine's own final path of a file in "a." names "a"
    "folder-of-held-file-pinned",  # a folder that holds an open file is renamed
    "no-acl-volume",             # no volume without ACLs (and no DACL stored)
    "dot-local-ignored",         # no library is redirected through a .local folder
    "modules-from-system",       # a module is named by where it was looked for (the emulation lists none)
]
NOT_SHOWN = {
    "x64": WINE_NOT_SHOWN,
    # The emulated root has no UTF-8 locale, so Wine there cannot name a file
    # beyond ASCII.
    "arm64": WINE_NOT_SHOWN + ["non-ascii-path"],
}


def parse_table(text):
    """The rows {check: (status, detail)} and the count (passed, failed, not
    shown, not allowed), or None for a table without a count line."""
    rows = {}
    count = None
    for line in text.splitlines():
        found = ROW.match(line)
        if found:
            rows[found.group(1)] = (found.group(2), found.group(3))
        found = COUNT.match(line)
        if found:
            count = tuple(int(n or 0) for n in found.groups())
    return rows, count


def parse_facts(text):
    facts = {}
    for line in text.splitlines():
        key, equals, value = line.partition("=")
        if equals:
            facts[key] = value
    return facts


def never_ran(result):
    """A kit that ended by itself without a word never ran: it prints its
    table, or its usage, on every path."""
    return result.stdout.strip() == "" and result.returncode not in platform_starts.TIMED_OUT


def refused_start(facts):
    """Why the facts show a start that Wine refused, or None: the kit's own
    start of an installer failed with ERROR_INTERNAL_ERROR, an installer
    exited with 124 (none of the kit's cases asks for that), or fewer of the
    crowd started than the kit starts (it records only those that did)."""
    for key, value in sorted(facts.items()):
        if key.endswith(".start-error") and value == "0x%08X" % platform_starts.ERROR_INTERNAL_ERROR:
            return "%s: the kit's start of it failed with %d" % (key, platform_starts.ERROR_INTERNAL_ERROR)
        if key.endswith(".exit") and value == "0x%08X" % platform_starts.EXIT_SETUP_SPAWN_FAILED:
            return "%s: the stub exited with 124, its setup program did not start" % key
    crowd = sum(1 for key in facts if re.fullmatch(r"k\.\d+\.exit", key))
    if "k.installer" in facts and crowd < CROWD:
        return "only %d of the crowd of %d started" % (crowd, CROWD)
    return None


class KitRun:
    """One whole run of a kit under Wine: its output and the facts it wrote."""

    def __init__(self, result, facts_file):
        self.result = result
        self.facts_file = facts_file
        self.facts = parse_facts(facts_file.read_text(encoding="utf-8")) if facts_file.exists() else {}


class Kits:
    """The kits of this run: each architecture's runner, its one whole run,
    and the judging."""

    def __init__(self, config, x64_runner):
        self.config = config
        self.runners = {"x64": x64_runner}
        self.runs = {}

    def add_arm64(self, session):
        if "arm64" not in self.runners:
            self.runners["arm64"] = WineRunner("arm64", timeout=900, session=session)

    def run(self, arch):
        """The kit of `arch`, copied to a folder of its own and run once with
        one command and the platform's NOT-SHOWN list; later calls get the
        same run. Run once more when Wine never ran it, or when it did not
        pass and its facts show a start that Wine refused."""
        if arch not in self.runs:
            run = self.run_once(arch)
            refused = ("the kit never ran (status %s)" % run.result.returncode if never_ran(run.result)
                       else refused_start(run.facts) if run.result.returncode != 0 else None)
            if refused and platform_starts.may_retry("kit under %s: %s" % (arch, refused)):
                run = self.run_once(arch)
            self.runs[arch] = run
        return self.runs[arch]

    def run_once(self, arch):
        runner = self.runners[arch]
        folder = BUILD / "acceptance" / arch
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(BUILD / arch / "kit", folder)
        # Wine prefers its own cabinet.dll even to one a program asks for by
        # bare name beside itself; told to prefer a native one, it behaves as
        # Windows does, so the kit's planted cabinet.dll means something.
        overrides = r"HKCU\Software\Wine\DllOverrides"
        runner.tool(["reg", "add", overrides, "/v", "cabinet", "/t", "REG_SZ", "/d", "native,builtin", "/f"])
        runner.set_cleanup_value(None)
        try:
            result = runner.wine([folder / "acceptance.exe", "--facts", folder / "facts.txt",
                                  "--allow-not-shown", ",".join(NOT_SHOWN[arch])], cwd=folder)
        finally:
            runner.tool(["reg", "delete", overrides, "/v", "cabinet", "/f"])
        # Indented, so that the kit's own count is never taken for the tier's.
        table = "".join("  " + line + "\n" for line in result.stdout.splitlines())
        plugin.note(self.config, "--- the kit's table under %s ---\n%s" % (
            "Wine x64" if arch == "x64" else "ARM64 emulation", table))
        return KitRun(result, folder / "facts.txt")

    def judge(self, arch, facts, allowed=None):
        """acceptance.exe --judge on `facts` (a dict; a value of None leaves the
        key out), with `allowed` after --allow-not-shown when given."""
        runner = self.runners[arch]
        with tempfile.TemporaryDirectory(dir=BUILD) as folder:
            path = Path(folder) / "facts.txt"
            path.write_text("".join("%s=%s\n" % (key, value) for key, value in facts.items() if value is not None),
                            encoding="utf-8")
            command = [runner.build / "kit" / "acceptance.exe", "--judge", path]
            if allowed is not None:
                command += ["--allow-not-shown", allowed]
            result = runner.wine(command)
            if never_ran(result) and platform_starts.may_retry(
                    "the kit's judging under %s: it never ran (status %s)" % (arch, result.returncode)):
                result = runner.wine(command)
            return result


@pytest.fixture(scope="module")
def kits(request, wine_x64):
    return Kits(request.config, WineRunner("x64", timeout=900))


@pytest.fixture(autouse=True)
def kits_of_each_test(request, kits):
    """Hands the kits to each test case; a test that asks for the ARM64
    session gets the ARM64 kit too."""
    if "arm64_session" in request.fixturenames:
        kits.add_arm64(request.getfixturevalue("arm64_session"))
    request.instance.kits = kits


class KitOnWine(unittest.TestCase):
    """The whole kit under each platform, gated by that platform's list."""

    def check_table(self, arch):
        run = self.kits.run(arch)
        rows, count = parse_table(run.result.stdout)
        self.assertIsNotNone(count, "no count line: %r" % run.result.stdout[-2000:])
        self.assertEqual(sum(count[:3]), len(rows))
        problems = ["%s %s: %s" % (name, status, detail) for name, (status, detail) in rows.items()
                    if status == "FAIL" or detail.startswith(NOT_ALLOWED)]
        problems += ["%s is missing from the table" % name for name in NOT_SHOWN[arch] if name not in rows]
        self.assertEqual(problems, [])
        # The kit's own gate: 0 only when nothing failed and every NOT-SHOWN
        # row is on the list.
        self.assertEqual(run.result.returncode, 0, run.result.stdout[-2000:])
        # The facts file carries all that the judging needed: judged again,
        # it gives the same table.
        again = self.kits.judge(arch, run.facts, ",".join(NOT_SHOWN[arch]))
        self.assertEqual(parse_table(again.stdout), (rows, count))
        self.assertEqual(again.returncode, 0)

    def test_kit_under_wine_x64(self):
        self.check_table("x64")

    @pytest.mark.usefixtures("arm64_session")
    def test_kit_under_arm64_emulation(self):
        self.check_table("arm64")


ACCESS_DENIED = "0x00000005"
# What a Windows 11 machine reports where Wine cannot: the scratch
# directory's six entries, the inherited ones on setup.exe, the restricted
# token refused where a folder granting Everyone opened, links kept apart
# from their targets, a delete-pending file not opened again, a planted
# version.dll loaded by a program that asks for it by bare name, a link at
# the installer's name refused. Laid over
# the facts of the kit's own run under Wine x64, it makes a whole report.
OWNER = "S-1-5-21-1004336348-1177238915-682003330-1001"
WINDOWS_FACTS = {
    "platform.dacl": "stored",
    "platform.access": "checked",
    "platform.junction": "link-only",
    "platform.symlink": "link-only",
    "platform.delete-pending": "refused",
    "platform.load.version.dll": "loaded",
    "d.token-owner": OWNER,
    "d.scratch.control": "0x00009404",
    "d.scratch.aces": "0x00000006",
    "d.scratch.ace.1": "0x00000000 0x00000000 0x001F01FF S-1-5-32-544",
    "d.scratch.ace.2": "0x00000000 0x0000000B 0x10000000 S-1-5-32-544",
    "d.scratch.ace.3": "0x00000000 0x00000000 0x001F01FF S-1-5-18",
    "d.scratch.ace.4": "0x00000000 0x0000000B 0x10000000 S-1-5-18",
    "d.scratch.ace.5": "0x00000000 0x0000000B 0x10000000 S-1-3-0",
    "d.scratch.ace.6": "0x00000000 0x00000000 0x001F01FF " + OWNER,
    "d.setup.control": "0x00008404",
    "d.setup.aces": "0x00000003",
    "d.setup.ace.1": "0x00000000 0x00000010 0x001F01FF S-1-5-32-544",
    "d.setup.ace.2": "0x00000000 0x00000010 0x001F01FF S-1-5-18",
    "d.setup.ace.3": "0x00000000 0x00000010 0x001F01FF " + OWNER,
    "d.restricted.token": "0x00000000",
    "d.control.made": "0x00000000",
    "d.restricted.impersonate": "0x00000000",
    "d.restricted.open": "0x00000005",
    "d.restricted.control": "0x00000000",
    "d.plain.open": "0x00000000",
    "j.link": "0x00000000",
    # A symbolic link to the installer put at its name as it started: held
    # itself, it is not the running file.
    "al.rename": "0x00000000",
    "al.link": "0x00000000",
    "al.exit": "0x00000077",
    "al.left": "",
    # A folder holding a file held as the stub holds its own is not renamed,
    # nor, while the setup program runs, the installer's folder or the one
    # above it.
    "platform.folder-of-open-file": "pinned",
    "f.folder.rename": ACCESS_DENIED,
    "f.above.rename": ACCESS_DENIED,
    # A program that depends on Common-Controls is given comctl32.dll from
    # its .local folder.
    "platform.dot-local": "redirected",
    # Each module named by the path it was loaded from.
    "platform.module-paths": "as loaded",
}
# The installer started through a junction that the kit retargets at a decoy
# once the scratch directory appears (one run), and on an exFAT stick: made
# up as Windows would report them, since Wine shows neither.
REAL = r"C:\k\acceptance-work\retarget\real"
REAL_SCRATCH = REAL + r"\QX_4F0A2.tmp"
DECOY_SCRATCH = r"C:\k\acceptance-work\retarget\decoy\QX_4F0A2.tmp"


def setup_command(scratch, installer):
    return ('"%s\\setup.exe" --ferrolt-path="%s" --archive-resource-name="BRISEL.PACKED.7Z" '
            '--archive-resource-type="B7"' % (scratch, installer))


WINDOWS_FACTS.update({
    "jr.junction": "0x00000000",
    "jr.runs": "0x00000001",
    "jr.watch-error": "0x00000000",
    "jr.0.arm": "0x00000000",
    "jr.0.exit": "0x00000000",
    "jr.0.installer": REAL + r"\installer.exe",
    "jr.0.started": r"C:\k\acceptance-work\retarget\via\installer.exe",
    "jr.0.image": REAL_SCRATCH + r"\setup.exe",
    "jr.0.scratch": REAL_SCRATCH,
    "jr.0.left": "",
    "jr.0.command-line": setup_command(REAL_SCRATCH, REAL + r"\installer.exe"),
    "jr.0.decoy": "decoy.txt, version.dll",
    "jr.0.retarget-error": "0x00000000",
    "jr.0.retargeted-for": "QX_4F0A2.tmp",
    "jr.0.retargeted-at": "1000",
    "jr.0.started-at": "2000",
    "v.volume": r"E:\acceptance-no-acl",
    "v.file-system": "exFAT",
    "v.system-temp": r"C:\Windows\Temp",
    "v.exit": "0x00000000",
    "v.image": r"C:\Windows\Temp\QX_1B2C3.tmp\setup.exe",
    "v.scratch": r"C:\Windows\Temp\QX_1B2C3.tmp",
    "v.left": "",
    "v.token-owner": OWNER,
    "v.scratch-after": "0x00000002",
})
# The installer in a folder "a." beside a folder "a" with a copy of it,
# started by its prefixed path and through a junction to "a.", as Windows
# would report the runs: Wine names a file in "a." as if it were in "a".
DOT = r"\\?\C:\k\acceptance-work\dot\a."
DOT_INSTALLER = DOT + r"\installer.exe"
DOT_SCRATCHES = [DOT + r"\QX_5D1E0.tmp", DOT + r"\QX_5D1E1.tmp"]
DECOY_INSTALLER = r"C:\k\acceptance-work\dot\a\installer.exe"
WINDOWS_FACTS.update({"platform.dot-folder": "kept", "ad.folder": "0x00000000", "ad.decoy-folder": "0x00000000",
                      "ad.junction": "0x00000000", "ad.runs": "0x00000002"})
for run, (scratch, started) in enumerate(zip(DOT_SCRATCHES, [DOT_INSTALLER,
                                                              r"C:\k\acceptance-work\dot\via\installer.exe"])):
    WINDOWS_FACTS.update({"ad.%d.%s" % (run, key): value for key, value in {
        "exit": "0x00000000", "installer": DOT_INSTALLER, "started": started, "image": scratch + r"\setup.exe",
        "scratch": scratch, "left": "", "top": "", "decoy": "", "decoy-installer": "yes",
        "command-line": setup_command(scratch, DOT_INSTALLER)}.items()})
WINDOWS_FACTS.update({key.replace("d.scratch.", "v.scratch."): value for key, value in WINDOWS_FACTS.items()
                      if key.startswith("d.scratch.")})


def windows_report(wine_facts):
    """What a Windows machine would report: the kit's facts from Wine x64
    with WINDOWS_FACTS laid over them, and the stub's modules as Windows
    names them (the installer, then the system folder's and the side-by-side
    store's) in place of the names Wine gives, one of them beside the
    installer."""
    facts = {key: value for key, value in dict(wine_facts, **WINDOWS_FACTS).items()
             if not key.startswith("m.module.")}
    facts.update({
        "m.modules": "0x00000004", "m.module.1": wine_facts["m.started"],
        "m.module.2": r"C:\WINDOWS\SYSTEM32\ntdll.dll", "m.module.3": r"C:\Windows\System32\KERNEL32.DLL",
        "m.module.4": r"C:\Windows\WinSxS\amd64_x_6.0.1_none_y\comctl32.dll",
        "m.system-folder": r"C:\Windows\system32", "m.side-by-side-folder": r"C:\Windows\WinSxS"})
    return facts


class Judging(unittest.TestCase):
    """The judging alone (acceptance.exe --judge), fed the kit's own facts
    from Wine x64 and the Windows report made from them, then with one fact
    changed at a time."""

    def setUp(self):
        self.wine_facts = self.kits.run("x64").facts
        self.assertTrue(self.wine_facts, "the kit under Wine x64 wrote no facts")
        self.windows_facts = windows_report(self.wine_facts)

    def judged(self, facts, allowed=None):
        result = self.kits.judge("x64", facts, allowed)
        rows, count = parse_table(result.stdout)
        self.assertIsNotNone(count, result.stdout)
        return rows, count, result

    def test_windows_report_passes_every_check(self):
        # Entries that only children inherit may hold GENERIC_ALL mapped to
        # the file rights it stands for.
        mapped = {"d.scratch.ace.%d" % n: WINDOWS_FACTS["d.scratch.ace.%d" % n].replace("0x10000000", "0x001F01FF")
                  for n in (2, 4, 5)}
        for name, facts in [("as written", self.windows_facts), ("mapped", dict(self.windows_facts, **mapped))]:
            with self.subTest(name):
                rows, count, result = self.judged(facts)
                self.assertEqual({check: status for check, (status, _) in rows.items() if status != "PASS"}, {},
                                 "a check Wine cannot show needs its Windows facts in WINDOWS_FACTS: " + result.stdout)
                self.assertEqual(count, (len(rows), 0, 0, 0))
                self.assertEqual(result.returncode, 0)

    def test_each_fault_fails_its_check(self):
        everyone = "0x00000000 0x00000000 0x001200A9 S-1-1-0"
        # (what is wrong, the facts it is planted in, the check, the facts
        # changed, what the row must say)
        cases = [
            ("an Everyone entry on the scratch directory", "windows", "descriptor-stored",
             {"d.scratch.aces": "0x00000007", "d.scratch.ace.7": everyone}, "entry 7 is " + everyone),
            ("an inherited entry that is not the owner's", "windows", "descriptor-inherited",
             {"d.setup.ace.3": "0x00000000 0x00000010 0x001F01FF S-1-5-32-545"}, "entry 3 is"),
            ("a scratch directory that is not protected", "windows", "descriptor-stored",
             {"d.scratch.control": "0x00008404"}, "lack 0x00001000"),
            ("an open that the restricted token was granted", "windows", "restricted-token-refused",
             {"d.restricted.open": "0x00000000"}, "was granted"),
            ("a failed impersonation, whose error 5 once read as the refusal", "windows", "restricted-token-refused",
             {"d.restricted.impersonate": ACCESS_DENIED}, "could not act as the restricted token"),
            ("a restricted token that opens nothing, not even a folder that grants Everyone", "windows",
             "restricted-token-refused", {"d.restricted.control": ACCESS_DENIED}, "could not open even a folder"),
            ("a junction's target file gone after the run", "windows", "junction-not-followed",
             {"j.target": "its content is gone or changed"}, "target was touched"),
            ("a junction left behind", "windows", "junction-not-followed",
             {"j.left": "QX_4F0A2.tmp"}, "left beside the installer: QX_4F0A2.tmp"),
            ("a planted version.dll the installer loaded where the probe's helper loaded none", "wine",
             "planted-libraries", {"p.loaded.version.dll": "yes"}, "planted version.dll was loaded"),
            ("a planted cabinet.dll the installer loaded where the platform loads neither", "windows",
             "planted-libraries", {"platform.load.cabinet.dll": "not loaded", "platform.load.version.dll":
                                   "not loaded", "p.loaded.cabinet.dll": "yes"}, "planted cabinet.dll was loaded"),
            ("an installer that exits 0 before expanding its setup program", "wine", "planted-libraries",
             {"p.image": None, "p.scratch": None, "p.command-line": None, "p.current-directory": None},
             "never reported"),
            ("a setup program that ran from somewhere else than a scratch directory", "wine", "read-only-removed",
             {"r.image": r"C:\elsewhere\setup.exe", "r.scratch": r"C:\elsewhere"}, "not as setup.exe in a QX_"),
            ("a scratch directory another program could rename", "wine", "scratch-directory-held",
             {"t.rename": "0x00000000"}, "could rename"),
            ("a rename refused for access, not by the hold's sharing", "wine", "scratch-directory-held",
             {"t.rename": ACCESS_DENIED}, "failed with error 0x00000005, not a sharing violation"),
            ("an open for deletion refused for access, not by the hold's sharing", "wine", "scratch-directory-held",
             {"t.delete-open": ACCESS_DENIED}, "failed with error 0x00000005, not a sharing violation"),
            ("the installer renamed while the setup program ran", "wine", "installer-file-held",
             {"i.installer.rename": "0x00000000", "i.installer.rename-back": "0x00000000"},
             "could rename the installer"),
            ("the installer written while the setup program ran", "wine", "installer-file-held",
             {"i.installer.write-open": "0x00000000"}, "could open the installer for writing"),
            ("a setup program shut out of reading the installer", "wine", "installer-file-held",
             {"i.installer.read": "0x00000020"}, "could not read the installer"),
            ("the installer changed by the run", "wine", "installer-file-held", {"i.unchanged": "no"},
             "not the same file"),
            ("the installer's rename refused for access, not by the hold's sharing", "wine", "installer-file-held",
             {"i.installer.rename": ACCESS_DENIED}, "failed with error 0x00000005, not a sharing violation"),
            ("an installer that went on from a copy put at its name as it started", "wine",
             "installer-taken-at-start", {"a.exit": "0x00000000", "a.image": r"C:\w\QX_4F0A2.tmp\setup.exe"},
             "the setup program ran"),
            ("an installer at whose name a copy was put that ended with another code", "wine",
             "installer-taken-at-start", {"a.exit": "0x00000070"}, "exit code 0x00000070, expected 0x00000077"),
            ("an installer at whose name a copy was put that left its scratch directory", "wine",
             "installer-taken-at-start", {"a.left": "QX_4F0A2.tmp"}, "left beside the installer: QX_4F0A2.tmp"),
            ("an installer that followed a link put at its name as it started", "windows",
             "installer-taken-at-start", {"al.exit": "0x00000000", "al.image": r"C:\w\QX_4F0A2.tmp\setup.exe"},
             "a symbolic link to it at its name: the setup program ran"),
            ("a new scratch directory swapped away", "wine", "scratch-directory-created-held",
             {"x.swapped": "0x00000001"}, "renamed away and replaced 1"),
            ("a setup program in the intruder's directory", "wine", "scratch-directory-created-held",
             {"x.1.intruder-inside": "yes"}, "run 2: the setup program ran in the intruder's directory"),
            ("an intruder that saw nothing", "wine", "scratch-directory-created-held",
             {"x.seen": "0x00000000", "x.refused": "0x00000000"}, "saw no new scratch directory"),
            ("an intruder that could not watch", "wine", "scratch-directory-created-held",
             {"x.watch-error": "0x00000032"}, "could not watch the folder"),
            ("an intruder's rename refused for access, not by the hold's sharing", "wine",
             "scratch-directory-created-held", {"x.refused-otherwise": "0x00000001", "x.error": ACCESS_DENIED},
             "failed with error 0x00000005, not a sharing violation"),
            ("an intruder too late for every new scratch directory", "wine", "scratch-directory-created-held",
             {"x.refused": "0x00000000", "x.missed": "0x00000014"}, "gone before the intruder came"),
            ("a cabinet.dll planted under WINDIR that loaded", "wine", "environment-system-folder",
             {"w.loaded.cabinet.dll": "yes"}, "planted cabinet.dll in the system32 of the folder WINDIR named"),
            ("an ntdll.dll planted under WINDIR that loaded", "wine", "environment-system-folder",
             {"w.loaded.ntdll.dll": "yes"}, "planted ntdll.dll in the system32"),
            ("a run under another WINDIR that failed", "wine", "environment-system-folder",
             {"w.exit": "0x00000073"}, "exit code 0x00000073"),
            ("a setup program that ran in the decoy", "windows", "junction-retargeted",
             {"jr.0.image": DECOY_SCRATCH + r"\setup.exe", "jr.0.scratch": DECOY_SCRATCH}, "not as setup.exe in a QX_"),
            ("a setup program told the installer by the junction", "windows", "junction-retargeted",
             {"jr.0.command-line": setup_command(REAL_SCRATCH, WINDOWS_FACTS["jr.0.started"])}, "setup got ["),
            ("setup.exe written into the decoy's directory", "windows", "junction-retargeted",
             {"jr.0.decoy": "decoy.txt, setup.exe, version.dll"}, "wrote into the decoy's directory"),
            ("a retarget that came after every setup program had started", "windows", "junction-retargeted",
             {"jr.0.retargeted-at": "3000"}, "never retargeted before a setup program started"),
            ("a junction the kit could not make", "windows", "junction-retargeted",
             {"jr.junction": ACCESS_DENIED}, "could not make the junction"),
            ("a setup program told the installer in \"a\"", "windows", "folder-ending-in-a-dot",
             {"ad.0.command-line": setup_command(DOT_SCRATCHES[0], DECOY_INSTALLER)},
             'by its prefixed path: setup got ["%s' % DOT_SCRATCHES[0]),
            ("a setup program told the installer in \"a.\" without the prefix, which reads as \"a\"", "windows",
             "folder-ending-in-a-dot",
             {"ad.1.command-line": setup_command(DOT_SCRATCHES[1], DOT_INSTALLER[4:])},
             'through a junction: setup got ['),
            ("a scratch directory made in \"a\"", "windows", "folder-ending-in-a-dot",
             {"ad.0.command-line": setup_command(r"C:\k\acceptance-work\dot\a\QX_5D1E0.tmp", DOT_INSTALLER),
              "ad.0.image": r"C:\k\acceptance-work\dot\a\QX_5D1E0.tmp\setup.exe"},
             "nor run in a QX_XXXXX.tmp beside it"),
            ("a setup program whose own image is in \"a\"", "windows", "folder-ending-in-a-dot",
             {"ad.0.image": r"C:\k\acceptance-work\dot\a\QX_5D1E0.tmp\setup.exe"}, "the setup program ran as"),
            ("a run that reached \"a\", though the setup program was told \"a.\"", "windows",
             "folder-ending-in-a-dot", {"ad.1.decoy": "QX_5D1E1.tmp"}, 'something reached "a": QX_5D1E1.tmp'),
            ("the copy in \"a\" overwritten", "windows", "folder-ending-in-a-dot",
             {"ad.0.decoy-installer": "no"}, "its installer changed"),
            ("a scratch directory left in \"a.\"", "windows", "folder-ending-in-a-dot",
             {"ad.0.left": "QX_5D1E0.tmp"}, 'left in "a.": QX_5D1E0.tmp'),
            ("a run that ended with 109", "windows", "folder-ending-in-a-dot",
             {"ad.0.exit": "0x0000006D"}, "exit code 0x0000006D"),
            ("a junction to \"a.\" the kit could not make where junctions can be made", "windows",
             "folder-ending-in-a-dot", {"ad.junction": ACCESS_DENIED, "ad.runs": "0x00000001"},
             "could not make a junction"),
            ("the installer's folder renamed while it ran", "windows", "folder-of-held-file-pinned",
             {"f.folder.rename": "0x00000000"}, "the installer's folder was renamed"),
            ("the folder above the installer's renamed while it ran", "windows", "folder-of-held-file-pinned",
             {"f.above.rename": "0x00000000"}, "the folder above the installer's was renamed"),
            ("a scratch directory beside the installer on a volume without ACLs", "windows", "no-acl-volume",
             {"v.image": r"E:\acceptance-no-acl\QX_1B2C3.tmp\setup.exe",
              "v.scratch": r"E:\acceptance-no-acl\QX_1B2C3.tmp"}, r"not in a QX_XXXXX.tmp in C:\Windows\Temp"),
            ("a scratch directory in the system's Temp without the descriptor", "windows", "no-acl-volume",
             {"v.scratch.aces": None, "v.scratch.control": None}, "no DACL read back"),
            ("a scratch directory in the system's Temp that grants Everyone", "windows", "no-acl-volume",
             {"v.scratch.aces": "0x00000007", "v.scratch.ace.7": everyone}, "entry 7 is " + everyone),
            ("a scratch directory left in the system's Temp", "windows", "no-acl-volume",
             {"v.scratch-after": "0x00000000"}, "still there after the run"),
            ("a module loaded from beside the installer", "windows", "modules-from-system",
             {"m.module.2": r"C:\k\acceptance-work\modules\cryptbase.dll"}, "from outside the system folder"),
            ("a module from a folder whose name begins like the system folder's", "windows", "modules-from-system",
             {"m.module.3": r"C:\Windows\system32-planted\cryptbase.dll"}, "from outside the system folder"),
            ("a planted cryptbase.dll that loaded", "wine", "modules-from-system",
             {"m.loaded.cryptbase.dll": "yes"}, "planted cryptbase.dll beside the installer was loaded"),
            ("the stub's modules not listed", "windows", "modules-from-system",
             {"m.modules-error": ACCESS_DENIED}, "could not be listed"),
            ("a library loaded from installer.exe.local", "windows", "dot-local-ignored",
             {"dl.loaded": r"amd64_microsoft.windows.common-controls_6595b64144ccf1df_6.0.1_none_x\comctl32.dll.loaded"},
             "loaded from installer.exe.local"),
            ("no library planted in the side-by-side folder form", "windows", "dot-local-ignored",
             {"dl.planted": "0x00000004"}, "side-by-side folder form"),
        ]
        for name, base, check, changes, detail in cases:
            with self.subTest(name):
                facts = dict(self.windows_facts if base == "windows" else self.wine_facts, **changes)
                facts = {key: value for key, value in facts.items() if value is not None}
                rows, _, result = self.judged(facts, ",".join(WINE_NOT_SHOWN))
                self.assertEqual(rows[check][0], "FAIL", rows[check])
                self.assertIn(detail, rows[check][1])
                self.assertEqual(result.returncode, 1)

    def test_not_shown_fails_the_run_unless_allowed(self):
        wine = ",".join(WINE_NOT_SHOWN)
        every = ",".join(self.judged(self.wine_facts)[0])
        fault = dict(self.windows_facts, **{"t.rename": "0x00000000"})
        # (case, facts, --allow-not-shown, exit code, rows NOT-SHOWN without
        # being allowed)
        cases = [
            ("no list", self.wine_facts, None, 1, WINE_NOT_SHOWN),
            ("an empty list", self.wine_facts, "", 1, WINE_NOT_SHOWN),
            ("the platform's list", self.wine_facts, wine, 0, []),
            ("the list with blanks and an empty item", self.wine_facts, " , ".join(WINE_NOT_SHOWN) + ",", 0, []),
            ("one row left off the list", self.wine_facts, wine.replace("junction-not-followed,", ""), 1,
             ["junction-not-followed"]),
            ("a failure, which no list allows", fault, every, 1, []),
        ]
        for name, facts, allowed, code, not_allowed in cases:
            with self.subTest(name):
                rows, count, result = self.judged(facts, allowed)
                self.assertEqual(result.returncode, code, result.stdout)
                self.assertEqual(sorted(check for check, (_, detail) in rows.items()
                                        if detail.startswith(NOT_ALLOWED)), sorted(not_allowed))
                self.assertEqual(count[3], len(not_allowed))

    def test_a_list_naming_no_check_is_refused(self):
        result = self.kits.judge("x64", self.wine_facts, "descriptor-stored,descriptor-stroed")
        self.assertEqual(result.returncode, 2)
        self.assertIn('no check is called "descriptor-stroed"', result.stdout)

    def test_not_shown_is_decided_by_the_probe_and_never_counted_as_passed(self):
        facts = dict(self.windows_facts, **{"platform.dacl": "synthesised: a descriptor set on a folder read back otherwise"})
        rows, (passed, _, not_shown, _), _ = self.judged(facts)
        hidden = ["descriptor-stored", "descriptor-inherited", "restricted-token-refused", "no-acl-volume"]
        for name in hidden:
            self.assertEqual(rows[name][0], "NOT-SHOWN", rows[name])
            self.assertIn("this platform stores no DACL", rows[name][1])
        self.assertEqual(rows["junction-not-followed"][0], "PASS")
        self.assertEqual(passed, len(rows) - len(hidden))
        self.assertEqual(not_shown, len(hidden))

    def test_a_started_program_the_platform_will_not_rename_is_not_shown(self):
        facts = dict(self.wine_facts, **{"a.rename": "0x00000020", "a.replace": None, "a.exit": "0x00000000"})
        facts = {key: value for key, value in facts.items() if value is not None}
        rows, _, _ = self.judged(facts)
        self.assertEqual(rows["installer-taken-at-start"][0], "NOT-SHOWN", rows["installer-taken-at-start"])
        self.assertIn("does not let a started program's file be renamed", rows["installer-taken-at-start"][1])

    def test_a_machine_without_a_volume_that_keeps_no_acls_does_not_show_it(self):
        facts = dict(self.windows_facts, **{"v.volume": "none", "v.why": r"C:\ NTFS keeps ACLs"})
        rows, _, _ = self.judged(facts)
        self.assertEqual(rows["no-acl-volume"][0], "NOT-SHOWN", rows["no-acl-volume"])
        self.assertIn(r"C:\ NTFS keeps ACLs", rows["no-acl-volume"][1])

    def test_a_folder_ending_in_a_dot_is_judged_by_the_platforms_own_final_path(self):
        check = "folder-ending-in-a-dot"
        # (case, the facts, the row's status, what its detail must say)
        cases = [
            ("Windows, with a junction", self.windows_facts, "PASS", "and through a junction"),
            ("Windows, the setup program's image given without the prefix", dict(self.windows_facts, **{
                "ad.%d.image" % run: scratch[4:] + r"\setup.exe" for run, scratch in enumerate(DOT_SCRATCHES)}),
             "PASS", "its prefix kept"),
            ("Windows, where no junction can be made", dict(self.windows_facts, **{
                "platform.junction": "cannot be made", "ad.junction": "0x00000001", "ad.runs": "0x00000001"}),
             "PASS", "through a junction not shown"),
            ("Wine's own answer", self.wine_facts, "NOT-SHOWN", 'final path of a file in a folder "a." does not name'),
        ]
        for name, facts, status, detail in cases:
            with self.subTest(name):
                rows, _, _ = self.judged(facts)
                self.assertEqual(rows[check][0], status, rows[check])
                self.assertIn(detail, rows[check][1])
        # Wine names the probe's file in "a" itself.
        self.assertRegex(self.wine_facts["platform.dot-folder"], r'is named .*\\a\\probe\.txt$')

    def test_a_missing_probe_fails_rather_than_hides(self):
        facts = dict(self.windows_facts, **{"platform.junction": None})
        rows, _, _ = self.judged(facts)
        self.assertEqual(rows["junction-not-followed"][0], "FAIL")
        self.assertIn("not probed", rows["junction-not-followed"][1])


class Workflow(unittest.TestCase):
    """The workflow that runs the kits on Windows, which nobody can run from
    here: a real validator's verdict, and the kit's own reading of the
    NOT-SHOWN lists it names."""

    def validate(self, path):
        self.assertTrue(VALIDATOR.exists(), "no validator: tools/install-deps.sh test installs it")
        return subprocess.run([str(VALIDATOR), str(path)], capture_output=True, text=True, timeout=120)

    def test_validator_accepts_the_workflow_and_refuses_a_broken_copy(self):
        result = self.validate(WORKFLOW)
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
        # The same validator must see a fault, or its yes means nothing.
        with tempfile.TemporaryDirectory(dir=BUILD) as folder:
            broken = Path(folder) / "acceptance.yml"
            broken.write_text(WORKFLOW.read_text().replace("runs-on:", "runs_on:", 1))
            result = self.validate(broken)
            self.assertNotEqual(result.returncode, 0, result.stdout + result.stderr)
            self.assertIn("runs_on", result.stdout + result.stderr)

    def test_the_workflows_lists_name_real_checks(self):
        lists = re.findall(r"ALLOW_NOT_SHOWN: *([^\s#]+)", WORKFLOW.read_text())
        self.assertTrue(lists, "the workflow names no list")
        facts = windows_report(self.kits.run("x64").facts)
        for allowed in lists:
            with self.subTest(allowed):
                result = self.kits.judge("x64", facts, allowed)
                self.assertEqual(result.returncode, 0, result.stdout)


class RefusedStarts(unittest.TestCase):
    """Which facts show that Wine refused a start the kit made, so that its
    run may be made once more."""

    def test_facts_that_show_a_refused_start(self):
        crowd = {"k.installer": "C:\\k\\installer.exe"}
        crowd.update({"k.%d.exit" % i: "0x%08X" % (0x100 + i) for i in range(CROWD)})
        cases = [
            ("every start made", {}, False),
            ("the kit's start refused", {"d.start-error": "0x0000054F"}, True),
            ("the kit's start failed otherwise", {"d.start-error": "0x00000002"}, False),
            ("an installer ended with 124", {"x.exit": "0x0000007C"}, True),
            ("an installer's own failure", {"x.exit": "0x00000073"}, False),
            ("one of the crowd did not start", {"k.%d.exit" % (CROWD - 1): None}, True),
        ]
        for name, changes, refused in cases:
            with self.subTest(name):
                facts = dict(crowd, **changes)
                facts = {key: value for key, value in facts.items() if value is not None}
                self.assertEqual(refused_start(facts) is not None, refused, refused_start(facts))
