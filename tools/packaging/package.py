#!/usr/bin/python3
"""Turns a release's own product archive and setup program into a finished
installer: ./package.sh --help for the options.

Installs what is missing first (Debian 12, as root), checks every input
before building, builds in a private tree (build/package/<arch>/), reads the
result back, signs, time-stamps and verifies it when asked, and only then
renames it to the output path: a failed run leaves whatever was at that path
before, and never a partial file.

Exit status: 0 done, 1 an input was refused, 2 wrong usage, 3 the build or
its check failed, 4 signing, time-stamping or verification failed.
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
from pathlib import Path

# Run as root from a checkout: no compiled modules are left in it.
sys.dont_write_bytecode = True
REPO = Path(__file__).resolve().parents[2]
sys.path.insert(1, str(REPO / "tools"))

import build  # noqa: E402  (the modules beside this one, and the structure check)
import inputs  # noqa: E402
import options as command_line  # noqa: E402
import report  # noqa: E402
import signing  # noqa: E402

EXIT_REFUSED, EXIT_USAGE, EXIT_BUILD, EXIT_SIGNING = 1, 2, 3, 4


class Stop(Exception):
    """Ends the run with an exit status and a message."""

    def __init__(self, status, message):
        super().__init__(message)
        self.status = status


def say(message):
    print(f"package.sh: {message}", file=sys.stderr)


def taken_pin(environ):
    """PACKAGE_SIGN_PIN, taken out of the environment of everything that
    runs after this, so that no other process is handed it."""
    return environ.pop("PACKAGE_SIGN_PIN", None)


def install_dependencies():
    # Its output is not this program's: the result line stays alone on stdout.
    if subprocess.run([str(REPO / "tools" / "install-deps.sh"), "build"], stdout=sys.stderr).returncode:
        raise Stop(EXIT_BUILD, "the build's Debian packages could not be installed")


def put_in_place(options, installer, work):
    """Signs (when asked) into a staging folder beside the output, so that the
    last step is a rename within one file system. Returns the report's facts
    about the installer now at the output path."""
    nothing = f"no file was written to {options.output}"
    try:
        stage_dir = Path(tempfile.mkdtemp(prefix=".package.", dir=os.path.dirname(options.output)))
    except OSError:
        raise Stop(EXIT_REFUSED, f"--output {options.output}: cannot write in its directory; no file was written")
    staged_report = None
    try:
        staged = stage_dir / os.path.basename(options.output)
        stamped_by = ""
        if options.signed:
            try:
                chain = signing.sign(options, installer, staged, work)
                if options.timestamp_urls:
                    stamped_by = signing.add_time_stamp(options, staged, work)
                signing.verify(options, staged, chain, work)
            except signing.SigningFailed as failure:
                raise Stop(EXIT_SIGNING, f"{failure}; {nothing}")
            installer.unlink()
        else:
            shutil.move(installer, staged)
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staged, 0o666 & ~umask)
        found = report.facts(options, staged, stamped_by)
        if options.report:
            try:
                staged_report = report.stage(options.report, found)
            except OSError as error:
                raise Stop(EXIT_REFUSED, f"--report {options.report}: cannot be written ({error.strerror}); "
                                         f"{nothing}")
        os.replace(staged, options.output)
        if staged_report:
            os.replace(staged_report, options.report)
            staged_report = None
        return found
    finally:
        shutil.rmtree(stage_dir, ignore_errors=True)
        if staged_report:
            os.unlink(staged_report)


def run(argv, environ):
    pin = taken_pin(environ)
    try:
        options = command_line.parse(argv, environ, pin)
    except command_line.UsageError as error:
        say(str(error))
        print("Run ./package.sh --help for the options.", file=sys.stderr)
        return EXIT_USAGE
    if options is None:
        sys.stdout.write(command_line.HELP)
        return 0

    try:
        install_dependencies()
        problems, checked = inputs.check(options, environ, REPO)
        if problems:
            for problem in problems:
                say(problem)
            raise Stop(EXIT_REFUSED, f"nothing was built; no file was written to {options.output}")

        tree = build.Tree(REPO, options.arch)
        tree.lock()
        try:
            installer = build.build(options, checked, tree, environ)
        except build.BuildFailed as failure:
            raise Stop(EXIT_BUILD, f"{failure}; no file was written to {options.output}")

        with tempfile.TemporaryDirectory() as work:
            found = put_in_place(options, installer, Path(work))
    except Stop as stop:
        say(str(stop))
        return stop.status

    print(report.summary(found))
    return 0


def main():
    # A run stopped from outside still removes what it staged.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit(128 + signal.SIGTERM))
    return run(sys.argv[1:], os.environ)


if __name__ == "__main__":
    sys.exit(main())
