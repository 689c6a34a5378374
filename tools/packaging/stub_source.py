#!/usr/bin/python3
"""Where a ready stub came from: the build records, beside each stub it
links, the commit of the checkout it was built from and the stub's SHA-256
(build/<arch>/stub.exe.source.json). The packaging takes the record only for
the very stub it copies, so that a record left from an earlier build never
names the commit of another stub.

    stub_source.py STUB REPO   (the build, after linking STUB from REPO)
"""

import hashlib
import json
import os
import subprocess
import sys
from pathlib import Path

SUFFIX = ".source.json"


def checkout_commit(repo):
    """(the commit checked out in `repo`, whether tracked files differ from
    it), or (None, False) where no git or no repository is at hand (a copy of
    the packaging's files, say)."""
    def git(*arguments):
        return subprocess.run(["git", "-C", str(repo), *arguments], capture_output=True, text=True,
                              stdin=subprocess.DEVNULL)
    try:
        head = git("rev-parse", "--verify", "HEAD")
        if head.returncode or not (Path(repo) / ".git").exists():
            return None, False
        status = git("status", "--porcelain", "--untracked-files=no")
    except OSError:
        return None, False
    return head.stdout.strip(), bool(status.returncode or status.stdout.strip())


def record_path(stub):
    return Path(str(stub) + SUFFIX)


def record(stub, repo):
    """Writes the record beside `stub` (after a link), replacing it whole."""
    commit, modified = checkout_commit(repo)
    found = {"sha256": hashlib.sha256(Path(stub).read_bytes()).hexdigest(), "commit": commit,
             "modified": modified}
    target = record_path(stub)
    staged = target.with_name(target.name + ".tmp")
    staged.write_text(json.dumps(found, indent=2) + "\n")
    os.replace(staged, target)


def read(stub, digest):
    """The record of the stub whose SHA-256 is `digest`: {"commit": str or
    None, "modified": bool}; a missing or unreadable record, or one of
    another stub, tells nothing (commit None)."""
    try:
        found = json.loads(record_path(stub).read_text())
        if found.get("sha256") == digest and (found.get("commit") is None or isinstance(found["commit"], str)):
            return {"commit": found.get("commit"), "modified": bool(found.get("modified"))}
    except (OSError, ValueError, AttributeError):
        pass
    return {"commit": None, "modified": False}


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit("usage: stub_source.py STUB REPO")
    record(sys.argv[1], sys.argv[2])
