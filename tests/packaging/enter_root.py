"""Runs a command chrooted in the bare root (bare_root.run starts this in a
mount namespace of its own): the host folder bound at /work, /proc, /dev and
a fresh /tmp mounted for it, none of it seen outside.

    enter_root.py ROOT FOLDER -- COMMAND...
"""

import os
import subprocess
import sys

INSIDE = "/work"


def mount(*arguments):
    subprocess.run(["mount", *arguments], check=True)


def main(argv):
    root, folder, separator, *command = argv
    if separator != "--" or not command:
        print("usage: enter_root.py ROOT FOLDER -- COMMAND...", file=sys.stderr)
        return 2
    mount("--bind", folder, root + INSIDE)
    mount("-t", "proc", "proc", root + "/proc")
    mount("--bind", "/dev", root + "/dev")
    mount("-t", "tmpfs", "tmpfs", root + "/tmp")
    os.chroot(root)
    os.chdir(INSIDE)
    # Nothing of the host's environment: only what a bare machine would set.
    os.execve(command[0], command, {"PATH": "/usr/sbin:/usr/bin:/sbin:/bin", "HOME": "/root", "LANG": "C.UTF-8"})
    return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
