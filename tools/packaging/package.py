#!/usr/bin/python3
"""Turns a release's own product archive and setup program into a finished
installer: ./package.sh --help for the options.

Installs what is missing first (Debian 12, as root), checks every input
before anything is written, signs the setup program when the installer is to
be signed, copies the ready stub of the architecture (build/<arch>/stub.exe)
with a resource section added into a folder beside the output, reads the
result back, signs, time-stamps and verifies it when asked, and only then
renames it to the output path, with the report, the bill of materials and
the provenance beside it when asked for: a failed run leaves whatever was at
those paths before, and never a partial file. Nothing is compiled or linked.

Exit status: 0 done, 1 an input was refused, 2 wrong usage, 3 writing the
installer or its check failed, 4 signing, time-stamping or verification failed.
"""

import json
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

import assemble  # noqa: E402  (the modules beside this one, and the structure check in tools/)
import dsse  # noqa: E402
import inputs  # noqa: E402
import made as run_facts  # noqa: E402
import options as command_line  # noqa: E402
import progress  # noqa: E402
import provenance  # noqa: E402
import readback  # noqa: E402
import report  # noqa: E402
import sbom  # noqa: E402
import signing  # noqa: E402
from writer.layout import ImageTooLarge  # noqa: E402
from writer.stub import StubError  # noqa: E402

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
    if subprocess.run([str(REPO / "tools" / "install-deps.sh"), "package"], stdout=sys.stderr).returncode:
        raise Stop(EXIT_BUILD, "the packaging's Debian packages could not be installed")


def staging_folder(options):
    """A private folder beside the output, so that the last step is a rename
    within one file system."""
    try:
        return Path(tempfile.mkdtemp(prefix=".package.", dir=os.path.dirname(options.output)))
    except OSError:
        raise Stop(EXIT_REFUSED, f"--output {options.output}: cannot write in its directory; no file was written")


def setup_to_store(options, checked, work):
    """(the setup program to store, what became of its signature): a signed
    installer's setup program is signed first with the same key and
    time-stamp authorities, since Windows judges the program the installer
    starts by its own signature; one signed already keeps its signature
    (verified with the inputs)."""
    if checked.setup_signed:
        return options.setup, "kept"
    if not options.signed or options.keep_setup_unsigned:
        return options.setup, "unsigned"
    signed = work / "setup-signed.exe"
    what = "setup program"
    try:
        chain = signing.sign(options, options.setup, signed, work, what)
        if options.timestamp_urls:
            signing.add_time_stamp(options, signed, work, what)
        signing.verify(options, signed, chain, work, what)
    except signing.SigningFailed as failure:
        raise Stop(EXIT_SIGNING, f"{failure}; no file was written to {options.output}")
    return str(signed), "signed"


def make_installer(options, checked, stub, environ, stage, work):
    """Writes and reads back the unsigned installer in `stage`; returns its
    path, what the report needs from the run, and what became of the setup
    program's signature."""
    nothing = f"no file was written to {options.output}"
    setup, setup_signature = setup_to_store(options, checked, work)
    try:
        gathered = assemble.items(REPO, options, checked, environ, work, setup)
        laid_out = assemble.lay_out(stub, gathered)
    except ImageTooLarge as limit:
        raise Stop(EXIT_REFUSED, f"--archive {options.archive}: {limit}; {nothing}")
    except assemble.AssemblyFailed as failure:
        raise Stop(EXIT_BUILD, f"{failure}; {nothing}")
    unsigned = stage / "unsigned.exe"
    try:
        copied = assemble.write(laid_out, unsigned)
        installer_digest, setup_digest = readback.read_back(unsigned, options, checked, stub.path, copied, setup)
    except (assemble.AssemblyFailed, readback.ReadBackFailed) as failure:
        raise Stop(EXIT_BUILD, f"{failure}; {nothing}")
    except OSError as error:
        raise Stop(EXIT_BUILD, f"the installer could not be written in {stage} ({error.strerror}); {nothing}")
    given = setup_digest if setup == options.setup else run_facts.file_sha256(options.setup)
    return unsigned, {"sha256": installer_digest, "archive_sha256": copied["B7"], "setup_sha256": setup_digest,
                      "setup_input_sha256": given}, setup_signature


def documents(options, described, work):
    """{option: the JSON document} of the bill and the provenance asked for;
    `described()` gives the run's facts (made.Made). The provenance of a
    signed installer is a DSSE envelope signed with the same key."""
    written = {}
    if not (options.sbom or options.provenance):
        return written
    facts = described()
    if options.sbom:
        written["--sbom"] = sbom.document(facts)
    if options.provenance:
        statement = provenance.statement(facts, options)
        if options.signed:
            payload = json.dumps(statement, indent=2).encode()
            try:
                written["--provenance"] = dsse.envelope(options, provenance.PAYLOAD_TYPE, payload, work)
            except signing.SigningFailed as failure:
                raise Stop(EXIT_SIGNING, f"{failure}; no file was written to {options.output}")
        else:
            written["--provenance"] = statement
    return written


def put_in_place(options, installer, digests, stage, work, setup_signature="unsigned", described=None):
    """Signs (when asked) in the staging folder, then renames the installer
    to the output and the documents asked for beside it. Returns the
    report's facts. `described(digests, size)` gives the run's facts for the
    bill and the provenance."""
    nothing = f"no file was written to {options.output}"
    staged = stage / os.path.basename(options.output)
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
        with progress.Step("hashing the signed installer", os.stat(staged).st_size) as step:
            digests = dict(digests, sha256=report.sha256_of(staged, step))
    else:
        os.replace(installer, staged)
    umask = os.umask(0)
    os.umask(umask)
    os.chmod(staged, 0o666 & ~umask)
    found = report.facts(options, staged, stamped_by, digests, setup_signature)
    written = documents(options, lambda: described(digests, found["size"]), work)
    if options.report:
        written["--report"] = found
    paths = dict(options.written_files())
    staged_documents = []
    try:
        for option, document in written.items():
            try:
                staged_documents.append((report.stage(paths[option], document), paths[option]))
            except OSError as error:
                raise Stop(EXIT_REFUSED, f"{option} {paths[option]}: cannot be written ({error.strerror}); "
                                         f"{nothing}")
        try:
            os.replace(staged, options.output)
        except OSError as error:
            raise Stop(EXIT_BUILD, f"--output {options.output}: the installer could not be put there "
                                   f"({error.strerror}); {nothing}")
    except Stop:
        for staged_document, _ in staged_documents:
            os.unlink(staged_document)
        raise
    # Only now: a document never describes an installer that is not there.
    for staged_document, path in staged_documents:
        os.replace(staged_document, path)
    return found


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

    started = run_facts.now()
    try:
        install_dependencies()
        try:
            stub = assemble.ready_stub(REPO, options.arch)
        except StubError as error:
            raise Stop(EXIT_BUILD, f"{error}; no file was written to {options.output}")
        problems, checked = inputs.check(options, environ, stub.pe.OPTIONAL_HEADER.SizeOfImage)
        if problems:
            for problem in problems:
                say(problem)
            raise Stop(EXIT_REFUSED, f"no file was written to {options.output}")

        with tempfile.TemporaryDirectory(prefix="package.") as work:
            stage = staging_folder(options)
            try:
                installer, digests, setup_signature = make_installer(options, checked, stub, environ, stage,
                                                                     Path(work))

                def described(final_digests, size):
                    return run_facts.gather(REPO, options, stub, final_digests, size, setup_signature, started,
                                            environ)

                found = put_in_place(options, installer, digests, stage, Path(work), setup_signature, described)
            finally:
                shutil.rmtree(stage, ignore_errors=True)
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
