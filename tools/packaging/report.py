"""What a finished run tells: one line for the engineer, and on request a
JSON report for a CI system, written only when the run succeeds."""

import hashlib
import json
import os
import tempfile

from masking import without_secrets


def sha256_of(path, step=None):
    digest = hashlib.sha256()
    done = 0
    with open(path, "rb") as file:
        for block in iter(lambda: file.read(1 << 20), b""):
            digest.update(block)
            done += len(block)
            if step:
                step.advance(done)
    return digest.hexdigest()


def facts(options, installer, stamped_by, digests, setup_signature):
    """What the report holds about `installer` (the output, or its staged
    copy, which has the same bytes). `digests`: the SHA-256 of the installer,
    of the archive and of the setup program (as stored, and as given), each
    taken from the bytes as they were written or read back, so that no file
    is read again for them. `setup_signature`: "signed" (by this run),
    "kept" (the setup program's own) or "unsigned"."""
    found = {
        "output": options.output,
        "arch": options.arch,
        "size": os.stat(installer).st_size,
        "sha256": digests["sha256"],
        "signed": options.signed,
        "time_stamped": bool(stamped_by),
        # A user name, password or key in its URL is masked: the report
        # goes to CI's logs and artifacts.
        "time_stamp_authority": without_secrets(stamped_by) if stamped_by else None,
        "setup_signature": setup_signature,
    }
    if options.report:
        found["archive_sha256"] = digests["archive_sha256"]
        found["setup_sha256"] = digests["setup_sha256"]
        found["setup_given_sha256"] = digests["setup_input_sha256"]
    return found


SETUP_SAID = {"signed": "its setup program signed with the same key",
              "kept": "its setup program's own signature kept",
              "unsigned": "its setup program unsigned"}


def summary(found):
    signed = found["signed"]
    return (f"{found['output']}: {found['arch']} installer, {found['size']} bytes, sha256 {found['sha256']}"
            + (", signed" if signed else "")
            + (f", time-stamped by {found['time_stamp_authority']}" if found["time_stamped"] else "")
            + (f", {SETUP_SAID[found['setup_signature']]}" if signed or found["setup_signature"] == "kept" else ""))


def stage(path, found):
    """Writes the JSON document `found` beside `path` under a temporary name
    and returns that name; renamed into place once the installer is, so that
    a report (or a bill, or a provenance) never describes an installer that
    is not there."""
    descriptor, staged = tempfile.mkstemp(prefix=".package-report.", dir=os.path.dirname(path))
    try:
        with os.fdopen(descriptor, "w", encoding="utf-8") as file:
            json.dump(found, file, indent=2)
            file.write("\n")
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(staged, 0o666 & ~umask)
    except OSError:
        os.unlink(staged)
        raise
    return staged
