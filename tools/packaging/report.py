"""What a finished run tells: one line for the engineer, and on request a
JSON report for a CI system, written only when the run succeeds."""

import hashlib
import json
import os
import tempfile


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


def facts(options, installer, stamped_by, digests):
    """What the report holds about `installer` (the output, or its staged
    copy, which has the same bytes). `digests`: the SHA-256 of the installer,
    of the archive and of the setup program, each taken from the bytes as
    they were written or read back, so that no file is read again for them."""
    found = {
        "output": options.output,
        "arch": options.arch,
        "size": os.stat(installer).st_size,
        "sha256": digests["sha256"],
        "signed": options.signed,
        "time_stamped": bool(stamped_by),
        "time_stamp_authority": stamped_by or None,
    }
    if options.report:
        found["archive_sha256"] = digests["archive_sha256"]
        found["setup_sha256"] = digests["setup_sha256"]
    return found


def summary(found):
    return (f"{found['output']}: {found['arch']} installer, {found['size']} bytes, sha256 {found['sha256']}"
            + (", signed" if found["signed"] else "")
            + (f", time-stamped by {found['time_stamp_authority']}" if found["time_stamped"] else ""))


def stage(path, found):
    """Writes the report beside `path` under a temporary name and returns
    that name; renamed into place once the installer is, so that a report
    never describes an installer that is not there."""
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
