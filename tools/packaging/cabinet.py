"""The setup program as the MSZIP cabinet SETUP.EX_ (storage BL), made with
gcab from a staged copy whose file time and mode are fixed, so that the same
program gives the same cabinet."""

import os
import shutil
import subprocess

# A DOS date holds 1980 to 2107; gcab would store a time outside wrapped
# around, so a file's own time is clamped to these.
EARLIEST, LATEST = 315532800, 4102444799


class CabinetFailed(Exception):
    """gcab failed, or made something other than a cabinet of setup.exe."""


def file_time(setup, environ):
    """SOURCE_DATE_EPOCH when it is set (checked with the inputs), else the
    setup program's own modification time, so that copying the file anew
    (which changes its time) changes the cabinet."""
    given = environ.get("SOURCE_DATE_EPOCH", "")
    if given:
        return int(given)
    return min(max(int(os.stat(setup).st_mtime), EARLIEST), LATEST)


def make(setup, epoch, work):
    """The cabinet's bytes: `setup` as its one file "setup.exe"."""
    stage = work / "cabinet"
    stage.mkdir()
    staged = stage / "setup.exe"
    shutil.copyfile(setup, staged)
    os.chmod(staged, 0o644)
    os.utime(staged, (epoch, epoch))
    cabinet = work / "setup.ex_"
    # -n keeps the staging folder out of the stored name.
    made = subprocess.run(["gcab", "-c", "-z", "-n", str(cabinet), str(staged)], stdin=subprocess.DEVNULL,
                          capture_output=True, text=True, errors="replace")
    if made.returncode:
        raise CabinetFailed(f"gcab could not make the cabinet: {made.stderr.strip()}")
    listed = subprocess.run(["gcab", "-t", str(cabinet)], capture_output=True, text=True, errors="replace")
    if listed.returncode or listed.stdout != "setup.exe\n":
        raise CabinetFailed(f"the cabinet should hold only setup.exe, holds: {listed.stdout!r}")
    return cabinet.read_bytes()
