#!/usr/bin/python3
"""The packaging's figures, side by side with the packaging of an earlier
commit (a worktree of it under build/bench/), for one archive of
incompressible data stored without compression, unsigned and signed:

- wall time of the whole package.sh run, against copying that archive once
  and hashing the copy (cp, then sha256sum), measured in the same run;
- peak resident memory (/usr/bin/time -v: the largest process of the run);
- the compiler tools the run executes (strace, on a small archive).

    tests/bench/packaging_bench.py [--size MIB] [--baseline REF] [--no-write]

Started by ./bench.sh packaging. Writes the figures into bench/results.md
(its packaging section) unless --no-write. Nothing here asserts a figure.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
WORK = REPO / "build" / "bench" / "packaging"
# The last commit whose package.sh configured CMake and linked the stub.
DEFAULT_BASELINE = "2c59500"
COMPILER_TOOLS = ["clang++", "clang", "cmake", "ld.lld", "lld", "llvm-ar", "llvm-rc", "llvm-readobj"]
MARK = "<!-- packaging figures: ./bench.sh packaging -->"
CHUNK = 1 << 20


def say(text=""):
    print(text, flush=True)


def make_inputs(size_mib):
    WORK.mkdir(parents=True, exist_ok=True)
    data = WORK / f"random-{size_mib}.bin"
    archive = WORK / f"archive-{size_mib}.7z"
    if not archive.exists():
        with open(data, "wb") as file:
            for _ in range(size_mib):
                file.write(os.urandom(CHUNK))
        subprocess.run(["7zz", "a", "-t7z", "-mx=0", "-bd", "-y", str(archive), str(data)], check=True,
                       stdout=subprocess.DEVNULL)
        data.unlink()
    small = WORK / "archive-small.7z"
    if not small.exists():
        (WORK / "small.txt").write_text("a small archive\n")
        subprocess.run(["7zz", "a", "-t7z", "-bd", "-y", str(small), str(WORK / "small.txt")], check=True,
                       stdout=subprocess.DEVNULL)
    setup = REPO / "build" / "x64" / "tools" / "probe.exe"
    key, certificate = WORK / "signing.key", WORK / "signing.pem"
    pkcs12, password = WORK / "signing.p12", WORK / "signing.password"
    if not pkcs12.exists():
        password.write_text("bench\n")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "30", "-subj",
                        "/CN=bench", "-addext", "extendedKeyUsage=codeSigning", "-keyout", str(key),
                        "-out", str(certificate)], check=True, capture_output=True)
        subprocess.run(["openssl", "pkcs12", "-export", "-inkey", str(key), "-in", str(certificate),
                        "-passout", f"file:{password}", "-out", str(pkcs12)], check=True)
    return archive, small, setup, ["--sign-pkcs12", str(pkcs12), "--sign-password-file", str(password)]


def baseline_checkout(ref):
    """A worktree of `ref` under build/bench/, made once."""
    folder = REPO / "build" / "bench" / f"baseline-{ref}"
    if not (folder / "package.sh").exists():
        shutil.rmtree(folder, ignore_errors=True)
        subprocess.run(["git", "-C", str(REPO), "worktree", "add", "--detach", str(folder), ref], check=True,
                       stdout=subprocess.DEVNULL)
    return folder


def package_command(checkout, archive, setup, output, signing=()):
    return [str(checkout / "package.sh"), "--archive", str(archive), "--setup", str(setup), "--arch", "x64",
            "--storage", "BN", "--output", str(output), *signing]


def timed(command):
    """(wall seconds, peak resident MiB) of a run under /usr/bin/time -v."""
    started = time.monotonic()
    done = subprocess.run(["/usr/bin/time", "-v", *command], stdin=subprocess.DEVNULL, capture_output=True,
                          text=True, errors="replace")
    wall = time.monotonic() - started
    if done.returncode:
        raise RuntimeError(f"{command[0]} failed ({done.returncode}):\n{done.stderr[-3000:]}")
    peak = int(re.search(r"Maximum resident set size \(kbytes\): (\d+)", done.stderr).group(1))
    return wall, peak / 1024


def tools_executed(command):
    """The compiler tools among the programs the run executes."""
    log = WORK / "execve.log"
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=execve", "-o", str(log), *command],
                   stdin=subprocess.DEVNULL, capture_output=True, check=True)
    ran = set()
    for line in log.read_text(errors="replace").splitlines():
        found = re.search(r'execve\("([^"]+)".*\) = 0$', line)
        if found:
            ran.add(os.path.basename(found.group(1)))
    compiler = sorted(name for name in ran if name in COMPILER_TOOLS or name.startswith(("clang", "llvm-")))
    return compiler, sorted(ran)


def copy_and_hash(archive):
    """Seconds to copy the archive once and hash the copy."""
    copy = WORK / "copy.7z"
    copy.unlink(missing_ok=True)
    started = time.monotonic()
    subprocess.run(["cp", str(archive), str(copy)], check=True)
    subprocess.run(["sha256sum", str(copy)], check=True, stdout=subprocess.DEVNULL)
    seconds = time.monotonic() - started
    copy.unlink()
    return seconds


def measure(name, checkout, archive, small, setup, signing):
    output = WORK / f"{name}.exe"
    # A first run: the earlier packaging configures and builds its tree.
    subprocess.run(package_command(checkout, small, setup, output), stdin=subprocess.DEVNULL,
                   capture_output=True, check=True)
    compiler, ran = tools_executed(package_command(checkout, small, setup, output))
    figures = {"tools": compiler, "ran": ran}
    for kind, extra in [("unsigned", ()), ("signed", signing)]:
        output.unlink(missing_ok=True)
        figures[kind] = timed(package_command(checkout, archive, setup, output, extra))
        figures[kind + " size"] = output.stat().st_size
    output.unlink(missing_ok=True)
    return figures


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--size", type=int, default=1024, help="archive size in MiB (default 1024)")
    parser.add_argument("--baseline", default=DEFAULT_BASELINE, help="the earlier commit (default %(default)s)")
    parser.add_argument("--no-write", action="store_true", help="print only; leave bench/results.md")
    arguments = parser.parse_args(argv)
    archive, small, setup, signing = make_inputs(arguments.size)
    say(f"archive: {archive.stat().st_size} bytes of pseudo-random data stored by 7-Zip without compression")
    before = measure("today", baseline_checkout(arguments.baseline), archive, small, setup, signing)
    after = measure("now", REPO, archive, small, setup, signing)
    copied = copy_and_hash(archive)

    lines = [MARK, "", "## Packaging", "",
             f"Archive: {arguments.size} MiB of pseudo-random bytes stored without compression "
             f"({archive.stat().st_size} bytes), setup program build/x64/tools/probe.exe stored as BN, x64; "
             f"today = package.sh of commit {arguments.baseline} (a worktree under build/bench/, its tree built "
             "by a first run), now = this checkout. Wall time and peak resident memory from /usr/bin/time -v "
             "(the largest process of the run); the tools from strace on a run with a small archive. "
             f"Copying the archive once and hashing the copy (cp, sha256sum) took {copied:.1f} s in this run.",
             "", "| Figure | Today | Now | Goal |", "|---|---:|---:|---|"]
    for kind in ("unsigned", "signed"):
        goal = f"at most {3 * copied:.1f} s (3 x copy and hash)" if kind == "unsigned" else "(printed only)"
        lines.append(f"| Wall time, {kind} | {before[kind][0]:.1f} s | {after[kind][0]:.1f} s | {goal} |")
        lines.append(f"| Peak resident memory, {kind} | {before[kind][1]:.0f} MiB | {after[kind][1]:.0f} MiB | "
                     f"{'at most 256 MiB' if kind == 'unsigned' else '(printed only)'} |")
    lines.append(f"| Compiler tools executed | {', '.join(before['tools']) or 'none'} | "
                 f"{', '.join(after['tools']) or 'none'} | none |")
    lines.append(f"| Installer size, unsigned | {before['unsigned size']} | {after['unsigned size']} | |")
    lines += ["", f"Programs the run executes now: {', '.join(after['ran'])}.", "",
              f"Goals: wall time {'met' if after['unsigned'][0] <= 3 * copied else 'NOT MET'}, memory "
              f"{'met' if after['unsigned'][1] <= 256 else 'NOT MET'}, tools "
              f"{'met' if not after['tools'] else 'NOT MET'}."]
    for line in lines:
        say(line)
    if not arguments.no_write:
        results = REPO / "bench" / "results.md"
        text = results.read_text() if results.exists() else ""
        if MARK in text:
            text = text[:text.index(MARK)].rstrip("\n") + "\n"
        results.write_text(text + "\n" + "\n".join(lines) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
