#!/usr/bin/python3
"""The acceptance kit under Wine: the kit of each architecture runs whole, as a
release engineer would run it on Windows, and its table is printed; and the
kit's judging is fed what a real Windows machine would report.

    acceptance.py [--arch x64] [--arch arm64] [-k PATTERN]

Wine cannot show every promise. The kit probes the platform and says
NOT-SHOWN for those; here each platform's list of them is written down, so
that a probe that stops working (and would hide a check behind NOT-SHOWN)
fails this tier.
"""

import argparse
import re
import shutil
import sys
import tempfile
import unittest
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "lib"))
sys.path.insert(0, str(REPO / "tests" / "e2e"))
import unittest_main  # noqa: E402  (found through the paths set just above)
from e2e import WineRunner  # noqa: E402

ROW = re.compile(r"^(\S+)\s+(PASS|FAIL|NOT-SHOWN)\s+(.*)$")
COUNT = re.compile(r"^(\d+) passed, (\d+) failed, (\d+) not shown$")

# What Wine 8 cannot show, as the kit's own probes find it.
WINE_NOT_SHOWN = {
    "descriptor-stored",         # no DACL is stored: the read-back is made from Unix modes
    "descriptor-inherited",
    "restricted-token-refused",  # nor is access checked
    "junction-not-followed",     # no junction can be made
    "symlink-not-followed",      # a symbolic link is made but leads nowhere
    "held-shared-file-removed",  # a delete-pending file can be opened again
}
NOT_SHOWN = {
    "x64": WINE_NOT_SHOWN,
    # The emulated root has no UTF-8 locale, so Wine there cannot name a file
    # beyond ASCII.
    "arm64": WINE_NOT_SHOWN | {"non-ascii-path"},
}
RUNNERS = {}


def parse_table(text):
    rows = {}
    count = None
    for line in text.splitlines():
        found = ROW.match(line)
        if found:
            rows[found.group(1)] = (found.group(2), found.group(3))
        found = COUNT.match(line)
        if found:
            count = tuple(int(n) for n in found.groups())
    return rows, count


class KitOnWine(unittest.TestCase):
    """The whole kit, copied to a folder of its own and run with one command."""

    def run_kit(self, arch):
        if arch not in RUNNERS:
            self.skipTest("%s not asked for" % arch)
        runner = RUNNERS[arch]
        folder = REPO / "build" / "acceptance" / arch
        shutil.rmtree(folder, ignore_errors=True)
        shutil.copytree(REPO / "build" / arch / "kit", folder)
        # Wine prefers its own cabinet.dll even to one a program asks for by
        # bare name beside itself; told to prefer a native one, it behaves as
        # Windows does, so the kit's planted cabinet.dll means something.
        overrides = r"HKCU\Software\Wine\DllOverrides"
        runner.wine(["reg", "add", overrides, "/v", "cabinet", "/t", "REG_SZ", "/d", "native,builtin", "/f"])
        runner.set_cleanup_value(None)
        try:
            result = runner.wine([folder / "acceptance.exe", "--facts", folder / "facts.txt"], cwd=folder)
        finally:
            runner.wine(["reg", "delete", overrides, "/v", "cabinet", "/f"])
        # Indented, so that the kit's own count is never taken for the tier's.
        table = "".join("  " + line + "\n" for line in result.stdout.splitlines())
        print("\n--- the kit's table under %s ---\n%s" % ("Wine x64" if arch == "x64" else "ARM64 emulation", table))
        sys.stdout.flush()
        return result

    def check_table(self, arch):
        result = self.run_kit(arch)
        rows, count = parse_table(result.stdout)
        self.assertIsNotNone(count, "no count line: %r" % result.stdout[-2000:])
        self.assertEqual(sum(count), len(rows))
        unexpected = []
        for name, (status, detail) in rows.items():
            if status == "NOT-SHOWN" and name not in NOT_SHOWN[arch]:
                unexpected.append("%s is NOT-SHOWN: %s" % (name, detail))
            elif status == "FAIL":
                unexpected.append("%s FAILED: %s" % (name, detail))
        for name in NOT_SHOWN[arch]:
            if name not in rows:
                unexpected.append("%s is missing from the table" % name)
        self.assertEqual(unexpected, [])
        # The kit's exit status is its verdict: non-zero while anything fails.
        self.assertEqual(result.returncode, 1 if any(s == "FAIL" for s, _ in rows.values()) else 0)

    def test_kit_under_wine_x64(self):
        self.check_table("x64")

    def test_kit_under_arm64_emulation(self):
        self.check_table("arm64")


# What a Windows 11 machine reports for the checks that Wine cannot show:
# the scratch directory's six entries, the inherited ones on setup.exe, the
# restricted token refused, a junction removed with its target intact.
OWNER = "S-1-5-21-1004336348-1177238915-682003330-1001"
WINDOWS_FACTS = {
    "platform.dacl": "stored",
    "platform.access": "checked",
    "platform.junction": "link-only",
    "d.exit": "0x00000000",
    "d.left": "",
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
    "d.restricted.open": "0x00000005",
    "d.plain.open": "0x00000000",
    "j.exit": "0x00000000",
    "j.left": "",
    "j.moved": "0x00000000",
    "j.link": "0x00000000",
    "j.target": "intact",
}


class Judging(unittest.TestCase):
    """The judging alone (acceptance.exe --judge), fed facts as Windows
    would report them, then with one fault each."""

    JUDGED = ["descriptor-stored", "descriptor-inherited", "restricted-token-refused", "junction-not-followed"]

    def judge(self, facts):
        runner = RUNNERS.get("x64")
        if runner is None:
            self.skipTest("the judging runs on x64 Wine")
        with tempfile.TemporaryDirectory(dir=REPO / "build") as folder:
            path = Path(folder) / "facts.txt"
            path.write_text("".join("%s=%s\n" % item for item in facts.items()), encoding="utf-8")
            result = runner.wine([runner.build / "kit" / "acceptance.exe", "--judge", path])
        rows, count = parse_table(result.stdout)
        self.assertIsNotNone(count, result.stdout)
        return rows, count, result.returncode

    def test_windows_report_passes(self):
        # Entries that only children inherit may hold GENERIC_ALL mapped to
        # the file rights it stands for.
        mapped = {"d.scratch.ace.%d" % n: WINDOWS_FACTS["d.scratch.ace.%d" % n].replace("0x10000000", "0x001F01FF")
                  for n in (2, 4, 5)}
        for name, facts in [("as written", WINDOWS_FACTS), ("mapped", dict(WINDOWS_FACTS, **mapped))]:
            with self.subTest(name):
                rows, _, _ = self.judge(facts)
                for check in self.JUDGED:
                    self.assertEqual(rows[check][0], "PASS", (check, rows[check]))

    def test_each_fault_fails_its_check(self):
        everyone = "0x00000000 0x00000000 0x001200A9 S-1-1-0"
        cases = [
            ("an Everyone entry on the scratch directory", "descriptor-stored",
             {"d.scratch.aces": "0x00000007", "d.scratch.ace.7": everyone}, "entry 7 is " + everyone),
            ("an inherited entry that is not the owner's", "descriptor-inherited",
             {"d.setup.ace.3": "0x00000000 0x00000010 0x001F01FF S-1-5-32-545"}, "entry 3 is"),
            ("a scratch directory that is not protected", "descriptor-stored",
             {"d.scratch.control": "0x00008404"}, "lack 0x00001000"),
            ("an open that the restricted token was granted", "restricted-token-refused",
             {"d.restricted.open": "0x00000000"}, "was granted"),
            ("a junction's target file gone after the run", "junction-not-followed",
             {"j.target": "its content is gone or changed"}, "target was touched"),
            ("a junction left behind", "junction-not-followed",
             {"j.left": "QX_4F0A2.tmp"}, "left beside the installer: QX_4F0A2.tmp"),
        ]
        for name, check, changes, detail in cases:
            with self.subTest(name):
                rows, _, _ = self.judge(dict(WINDOWS_FACTS, **changes))
                self.assertEqual(rows[check][0], "FAIL", rows[check])
                self.assertIn(detail, rows[check][1])

    def test_not_shown_is_decided_by_the_probe_and_never_counted_as_passed(self):
        facts = dict(WINDOWS_FACTS, **{"platform.dacl": "synthesised: a descriptor set on a folder read back otherwise"})
        rows, (passed, _, not_shown), _ = self.judge(facts)
        for name in ["descriptor-stored", "descriptor-inherited", "restricted-token-refused"]:
            self.assertEqual(rows[name][0], "NOT-SHOWN", rows[name])
            self.assertIn("this platform stores no DACL", rows[name][1])
        self.assertEqual(rows["junction-not-followed"][0], "PASS")
        self.assertEqual(passed, 1)
        self.assertEqual(not_shown, 3)

    def test_installer_and_creation_holds_pass_on_a_windows_report_and_fail_each_fault(self):
        facts = {
            "platform.sharing": "enforced",
            "platform.directory-sharing": "enforced",
            "i.exit": "0x00000000",
            "i.left": "",
            "i.installer.rename": "0x00000020",
            "i.installer.delete-open": "0x00000020",
            "i.installer.write-open": "0x00000020",
            "i.installer.read": "0x00000000",
            "i.installer.data-file": "0x00000000",
            "i.unchanged": "yes",
            "x.runs": "0x00000002",
            "x.seen": "0x00000002",
            "x.swapped": "0x00000000",
            "x.refused": "0x00000002",
            "x.error": "0x00000020",
            "x.watch-error": "0x00000000",
        }
        for run in range(2):
            facts.update({"x.%d.exit" % run: "0x00000000", "x.%d.left" % run: "", "x.%d.intruder-inside" % run: "no"})
        rows, _, _ = self.judge(facts)
        for check in ["installer-file-held", "scratch-directory-created-held"]:
            self.assertEqual(rows[check][0], "PASS", (check, rows[check]))
        cases = [
            ("the installer renamed while the setup program ran", "installer-file-held",
             {"i.installer.rename": "0x00000000", "i.installer.rename-back": "0x00000000"}, "could rename the installer"),
            ("the installer written while the setup program ran", "installer-file-held",
             {"i.installer.write-open": "0x00000000"}, "could open the installer for writing"),
            ("a setup program shut out of reading the installer", "installer-file-held",
             {"i.installer.read": "0x00000020"}, "could not read the installer"),
            ("the installer changed by the run", "installer-file-held", {"i.unchanged": "no"}, "not the same file"),
            ("a new scratch directory swapped away", "scratch-directory-created-held",
             {"x.swapped": "0x00000001", "x.refused": "0x00000001"}, "renamed away and replaced 1"),
            ("a setup program in the intruder's directory", "scratch-directory-created-held",
             {"x.1.intruder-inside": "yes"}, "run 2: the setup program ran in the intruder's directory"),
            ("an intruder that saw nothing", "scratch-directory-created-held",
             {"x.seen": "0x00000000", "x.refused": "0x00000000"}, "saw no new scratch directory"),
            ("an intruder that could not watch", "scratch-directory-created-held",
             {"x.watch-error": "0x00000032"}, "could not watch the folder"),
        ]
        for name, check, changes, detail in cases:
            with self.subTest(name):
                rows, _, _ = self.judge(dict(facts, **changes))
                self.assertEqual(rows[check][0], "FAIL", rows[check])
                self.assertIn(detail, rows[check][1])

    def test_a_missing_probe_fails_rather_than_hides(self):
        facts = dict(WINDOWS_FACTS)
        del facts["platform.junction"]
        rows, _, _ = self.judge(facts)
        self.assertEqual(rows["junction-not-followed"][0], "FAIL")
        self.assertIn("not probed", rows["junction-not-followed"][1])


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--arch", choices=["x64", "arm64"], action="append", default=[])
    parser.add_argument("-k", dest="patterns", action="append", default=[],
                        help="run only tests whose name contains this text")
    options = parser.parse_args()
    for arch in options.arch or ["x64"]:
        RUNNERS[arch] = WineRunner(arch, timeout=900)
    return unittest_main.run_module(sys.modules[__name__], options.patterns)


if __name__ == "__main__":
    sys.exit(main())
