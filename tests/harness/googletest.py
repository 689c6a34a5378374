"""A GoogleTest program under Wine x64 as pytest tests: its cases listed
once at collection, the program run once for all of them (or for those
selected), and one result per case read from its XML report."""

import os
import subprocess
import xml.etree.ElementTree as ElementTree

from harness.wine import WINE64

# A whole run of the behaviour suite may take this long on a loaded machine.
RUN_TIMEOUT = 1200
# Past this length a filter of the selected cases is not given: the program
# runs whole, and only the selected cases are reported.
FILTER_LIMIT = 30000


def list_cases(binary, gtest_filter=None):
    """The full names ("Suite.Case", "Prefix/Suite.Case/3") of the program's
    cases, in its own order. Needs the x64 prefix started."""
    command = [WINE64, str(binary), "--gtest_list_tests"]
    if gtest_filter:
        command.append("--gtest_filter=" + gtest_filter)
    result = subprocess.run(command, cwd=binary.parent, stdin=subprocess.DEVNULL, capture_output=True, text=True,
                            errors="replace", timeout=300)
    if result.returncode != 0:
        raise RuntimeError("%s --gtest_list_tests failed with status %d: %s" % (
            binary, result.returncode, (result.stdout + result.stderr)[-2000:]))
    cases, suite = [], None
    for line in result.stdout.splitlines():
        name = line.split("  #", 1)[0].rstrip()
        if not name:
            continue
        if not line.startswith(" "):
            suite = name
        elif suite:
            cases.append(suite + name.strip())
    return cases


class SuiteRun:
    """One run of the program: its exit status, its log and what its XML
    report says of each case."""

    def __init__(self, binary, cases, selected, log, report):
        self.binary, self.log, self.report = binary, log, report
        command = [WINE64, binary.name, "--gtest_output=xml:" + report.name]
        if set(selected) != set(cases) and len(":".join(selected)) < FILTER_LIMIT:
            command.append("--gtest_filter=" + ":".join(selected))
        report.unlink(missing_ok=True)
        written = binary.parent / report.name
        written.unlink(missing_ok=True)
        with open(log, "w") as output:
            try:
                self.status = subprocess.run(command, cwd=binary.parent, stdin=subprocess.DEVNULL, stdout=output,
                                             stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT).returncode
            except subprocess.TimeoutExpired:
                self.status = "timed out after %d s" % RUN_TIMEOUT
        if written.exists():
            os.replace(written, report)
        self.results = self.read(report) if report.exists() else {}

    @staticmethod
    def read(report):
        """{case: (outcome, message)}: outcome "passed", "failed" or "skipped"."""
        results = {}
        for suite in ElementTree.parse(report).getroot().iter("testsuite"):
            for case in suite.iter("testcase"):
                name = "%s.%s" % (suite.get("name"), case.get("name"))
                failures = case.findall("failure") + case.findall("error")
                if failures:
                    message = "\n".join((f.get("message") or "") + "\n" + (f.text or "") for f in failures)
                    results[name] = ("failed", message.strip())
                elif case.get("status") == "notrun" or case.get("result") in ("skipped", "suppressed") \
                        or case.find("skipped") is not None:
                    results[name] = ("skipped", "skipped or disabled in the suite")
                else:
                    results[name] = ("passed", "")
        return results

    def tail(self):
        try:
            return self.log.read_text(errors="replace")[-3000:]
        except OSError:
            return ""

    def outcome(self, case):
        """(outcome, message) of one case: a case the report does not name
        failed (the program crashed or hung before it), and so does every
        case of a run that failed with none of its cases failing."""
        if case not in self.results:
            return "failed", "no result for %s: the program ended with status %s\n%s" % (case, self.status, self.tail())
        outcome, message = self.results[case]
        if self.status != 0 and not any(o == "failed" for o, _ in self.results.values()):
            return "failed", "the program ended with status %s though its cases passed\n%s" % (self.status, self.tail())
        return outcome, message
