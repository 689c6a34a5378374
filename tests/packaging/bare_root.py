"""A bare Debian 12 root for the packaging: python3 and the packaging set
(tools/install-deps.sh --list package) and nothing else, in particular no
compiler, linker, llvm or CMake. Made with mmdebstrap on first use and cached
machine-wide, keyed by its package list, as the ARM64 Wine root is: a
changed list makes a new root. Programs run in it chrooted, with one host
folder bound at /work inside, in a mount namespace of their own, so that
nothing is mounted on the host and nothing of the root changes.

    root = bare_root.ensure()
    bare_root.run(root, host_folder, ["/work/checkout/package.sh", ...])
"""

import fcntl
import hashlib
import os
import shutil
import subprocess
import sys
from pathlib import Path

REPO = Path(__file__).resolve().parents[2]
SUITE = "bookworm"
CACHE = Path(os.environ.get("PACKAGING_ROOT_CACHE", "/var/cache/installer-stub"))
RECIPE_VERSION = "v1"
MARK = ".packaging-root-complete"
INSIDE = "/work"
BUILD_TIMEOUT = 1800


class RootUnavailable(Exception):
    """The root cannot be made here (not root, no mmdebstrap, no mirror)."""


def packages():
    listed = subprocess.run([str(REPO / "tools" / "install-deps.sh"), "--list", "package"], check=True,
                            capture_output=True, text=True).stdout.split()
    return sorted(listed)


def recipe():
    return f"{SUITE} essential {' '.join(packages())} {RECIPE_VERSION}"


def path():
    key = hashlib.sha256(recipe().encode()).hexdigest()[:12]
    return CACHE / f"packaging-root-{key}"


def _mirror():
    """The host's own Debian sources (deb822), else mmdebstrap's default."""
    sources = Path("/etc/apt/sources.list.d/debian.sources")
    return [str(sources)] if sources.exists() else []


def ensure():
    """The cached root, made first when it is missing or incomplete."""
    if os.geteuid() != 0:
        raise RootUnavailable("making and entering the bare root needs root")
    if not shutil.which("mmdebstrap") or not shutil.which("unshare"):
        raise RootUnavailable("mmdebstrap or unshare is missing (tools/install-deps.sh test installs them)")
    root = path()
    CACHE.mkdir(parents=True, exist_ok=True)
    with open(f"{root}.lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        mark = root / MARK
        if mark.exists() and mark.read_text() == recipe() + "\n":
            return root
        for old in CACHE.glob(root.name + ".tmp.*"):
            shutil.rmtree(old, ignore_errors=True)
        shutil.rmtree(root, ignore_errors=True)
        building = Path(f"{root}.tmp.{os.getpid()}")
        print(f"bare root: making {root} with mmdebstrap (a minute or two, once)", file=sys.stderr, flush=True)
        made = subprocess.run(["mmdebstrap", "--quiet", "--mode=root", "--variant=essential",
                               "--include=" + ",".join(packages()), SUITE, str(building), *_mirror()],
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=BUILD_TIMEOUT)
        if made.returncode:
            shutil.rmtree(building, ignore_errors=True)
            raise RootUnavailable(f"mmdebstrap failed: {made.stderr[-2000:]}")
        (building / INSIDE.lstrip("/")).mkdir(exist_ok=True)
        (building / MARK).write_text(recipe() + "\n")
        # The rename is the commit point: a root without its mark is never used.
        os.rename(building, root)
        return root


def run(root, folder, command, timeout=900):
    """Runs `command` (a path inside the root) chrooted in `root`, with the
    host's `folder` at /work; the CompletedProcess, output as text."""
    return subprocess.run(["unshare", "--mount", "--propagation", "private", "--", sys.executable,
                           str(Path(__file__).with_name("enter_root.py")), str(root), str(folder), "--", *command],
                          stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=timeout)
