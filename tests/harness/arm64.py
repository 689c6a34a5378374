#!/usr/bin/python3
"""Runs ARM64 Windows programs on this x86_64 machine, so that the test tiers
can start the real ARM64 build of the stub.

How: Debian's arm64 Wine is unpacked into a root directory that is cached
machine-wide; the kernel runs its aarch64 ELF binaries through qemu-user
(binfmt_misc), and the programs run chrooted into that root. The caller's
build folder (BIND_DIR) is bind-mounted at the same absolute path inside the
root, so a host path under BIND_DIR means the same file on both sides.

    arm64.py setup BIND_DIR
    arm64.py run [--bind BIND_DIR] [--timeout SECONDS] PROGRAM.exe [ARGS...]
    arm64.py teardown [BIND_DIR]
    arm64.py env [BIND_DIR]

(tests/arm64/arm64-wine.sh starts this with the same words.) The test run
itself uses `setup`, `Session.command` and `teardown` in process: the pytest
process is then the session's owner.

Environment:
    ARM64_WINE_ROOT      cached root (default /var/cache/installer-stub/arm64-wine-root)
    ARM64_WINE_MIRROR    Debian mirror for building the root (default: the one apt uses)
    ARM64_WINE_WINEDEBUG WINEDEBUG for the programs (default -all: Wine is chatty
                         under emulation and our tests read stdout/stderr)

Sessions: each BIND_DIR is a session of its own on the one shared root, with
its own bind mount, Wine prefix (BIND_DIR/wineprefix-arm64) and wineserver,
so that several checkouts can test at once. A session is recorded in
ROOT.sessions/ with the process that set it up (its owner); teardown ends
only its own session. A session is in use while its owner lives or any
process outside the root works inside its checkout (the folder holding
BIND_DIR); one that is not is stale, and the next setup or teardown ends it.
What all sessions share (/proc, /dev, /dev/shm in the root, the binfmt_misc
entry) is recorded in ROOT.shared and undone with the last session. Older
versions kept one session per root in ROOT.state; such a session is left
alone while in use, and ended like any stale one after. Checkouts that still
run the shell version of this harness share the same records, lock and rules.
Without --bind, run and env pick the session whose BIND_DIR holds the program
(or the current directory), else the only one.

Only the standard library: the shell wrapper runs this file as it is.
"""

import contextlib
import fcntl
import glob
import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

ME = "arm64-wine"
SUITE = "bookworm"
ROOT_PACKAGES = "wine64,dash"
# Written into a finished root. A root built from another recipe, or one
# without the mark (an interrupted or damaged build), is rebuilt.
ROOT_RECIPE = "%s arm64 %s v1" % (SUITE, ROOT_PACKAGES)
MARK_NAME = ".arm64-wine-root-complete"
# Paths inside the root.
WINE_LOADER = "/usr/lib/wine/wine64"
# /usr/lib/wine/wineserver is only a shell wrapper that forces -p0; we want
# our own persistence flag.
WINESERVER = "/usr/lib/wine/wineserver64"
DASH = "/bin/dash"
BINFMT_DIR = "/proc/sys/fs/binfmt_misc"
BINFMT_CONF = "/usr/lib/binfmt.d/qemu-aarch64.conf"
DEFAULT_RUN_TIMEOUT = 120
# Slow steps under emulation: creating a prefix takes some 12 s on an idle
# 2-core machine; leave room for a loaded one, and for a second checkout's
# setup that holds the lock meanwhile.
WINEBOOT_TIMEOUT = 300
SERVER_TIMEOUT = 60
LOCK_TIMEOUT = 900
# mscoree, mshtml: no prompts to download Mono or Gecko. winedbg.exe: a
# crashing program then ends at once with its exception code (0xC0000005 ->
# exit status 5) instead of starting a debugger that outlives it and holds
# the caller's stderr.
WINE_DLL_OVERRIDES = "mscoree,mshtml,winedbg.exe="
# Host variables that would point the arm64 side at host files; DISPLAY so
# that no run ever depends on a host X server.
DROPPED_VARIABLES = ("DISPLAY", "WAYLAND_DISPLAY", "TMPDIR", "LD_PRELOAD", "LD_LIBRARY_PATH",
                     "WINELOADER", "WINESERVER", "WINEDLLPATH", "WINEARCH")
# What a program's start in the root runs: into its folder, then the loader.
START_IN_FOLDER = 'cd "$1" || exit 125; shift; exec "$@"'


class SessionError(Exception):
    """A step that cannot go on; the message says why."""


def note(text):
    print("%s: %s" % (ME, text), file=sys.stderr, flush=True)


def _root():
    # The root must be a real, absolute directory deep enough that deleting
    # and rebuilding it can never touch anything else.
    root = os.path.realpath(os.environ.get("ARM64_WINE_ROOT", "/var/cache/installer-stub/arm64-wine-root"))
    if not re.fullmatch(r"/[^/]+/.+", root):
        raise SessionError("ARM64_WINE_ROOT must be an absolute path at least two levels deep (got %s)" % root)
    if "\n" in root:
        raise SessionError("ARM64_WINE_ROOT must not contain a newline")
    return root


ROOT = _root()
# Beside the root, not inside it: deleting a broken root keeps the record of
# what is mounted, and a rebuilt root starts clean.
SESSIONS_DIR = ROOT + ".sessions"
SHARED_FILE = ROOT + ".shared"
OLD_STATE_FILE = ROOT + ".state"
LOCK_FILE = ROOT + ".lock"
WINE_DEBUG = os.environ.get("ARM64_WINE_WINEDEBUG") or "-all"


# --- mounts -----------------------------------------------------------------


def mounts_under(prefix):
    """Mount points equal to or below `prefix`, in the order they were mounted."""
    found = []
    with open("/proc/mounts") as mounts:
        for line in mounts:
            # /proc/mounts escapes blanks and backslashes as octal.
            point = re.sub(r"\\([0-7]{3})", lambda m: chr(int(m.group(1), 8)), line.split()[1])
            if point == prefix or point.startswith(prefix + "/"):
                found.append(point)
    return found


def is_mounted(path):
    return path in mounts_under(path)


def safe_remove_tree(path):
    """rm -rf would walk into a bind mount and delete the host's files behind it."""
    if not os.path.lexists(path):
        return
    if mounts_under(path):
        raise SessionError("refusing to delete %s: something is mounted inside it" % path)
    subprocess.run(["rm", "-rf", "--one-file-system", "--", path], check=True)


def unmount(point):
    if subprocess.run(["umount", "--", point], stderr=subprocess.DEVNULL).returncode == 0:
        return True
    note("umount %s failed; detaching it lazily" % point)
    return subprocess.run(["umount", "-l", "--", point]).returncode == 0


def unmount_tree(path):
    """Unmounts `path` and everything mounted below it, deepest first."""
    ok = True
    for point in reversed(mounts_under(path)):
        if is_mounted(point) and not unmount(point):
            ok = False
    return ok


def mkdir_in_root(path, record=None):
    """Creates `path` (as seen inside the root) below the root without
    following symbolic links: the root's own links are absolute (/var/run ->
    /run, say) and following them from the host side would create directories
    on the host. Each directory it makes is added to `record` as "made"."""
    current = ROOT
    for part in path.split("/"):
        if not part:
            continue
        current = current + "/" + part
        if os.path.islink(current):
            raise SessionError("%s is a symbolic link inside the root; refusing to follow it" % current)
        if not os.path.isdir(current):
            os.mkdir(current)
            if record:
                record_add(record, "made", current)


# --- records ------------------------------------------------------------------
# One "KEY VALUE" pair a line. Mounts are appended the moment they succeed, so
# a setup that dies half-way still leaves teardown a full list.


def record_add(record, key, value):
    with open(record, "a") as file:
        file.write("%s %s\n" % (key, value))


def _pairs(record):
    try:
        with open(record) as file:
            lines = file.read().splitlines()
    except FileNotFoundError:
        return []
    pairs = []
    for line in lines:
        words = line.strip(" \t").split(None, 1)
        if words:
            pairs.append((words[0], words[1].strip(" \t") if len(words) > 1 else ""))
    return pairs


def record_get(record, key):
    """The first value of `key` in a record file, or ""."""
    return next((value for found, value in _pairs(record) if found == key), "")


def record_all(record, key):
    return [value for found, value in _pairs(record) if found == key]


def record_add_once(record, key, value):
    if value not in record_all(record, key):
        record_add(record, key, value)


def session_file(bind):
    """A session's record file: one per bind folder, named after its path."""
    return "%s/%s" % (SESSIONS_DIR, hashlib.sha256(bind.encode()).hexdigest()[:16])


def session_files():
    """Every session record, the old script's single one included."""
    found = sorted(path for path in glob.glob(glob.escape(SESSIONS_DIR) + "/*") if os.path.isfile(path))
    if os.path.isfile(OLD_STATE_FILE):
        found.append(OLD_STATE_FILE)
    return found


@contextlib.contextmanager
def locked():
    """The lock that setups and teardowns of every checkout take (flock(2),
    as the shell version's flock(1) does)."""
    os.makedirs(os.path.dirname(ROOT), exist_ok=True)
    with open(LOCK_FILE, "w") as lock:
        deadline = time.monotonic() + LOCK_TIMEOUT
        while True:
            try:
                fcntl.flock(lock, fcntl.LOCK_EX | fcntl.LOCK_NB)
                break
            except BlockingIOError:
                if time.monotonic() > deadline:
                    raise SessionError("another setup or teardown holds %s" % LOCK_FILE)
                time.sleep(0.2)
        yield


def need_root():
    if os.geteuid() != 0:
        raise SessionError("must run as root (it mounts and chroots)")


# --- processes ------------------------------------------------------------------


def process_places():
    """(pid, root, cwd) of every process."""
    places = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            root = os.readlink("/proc/%s/root" % entry)
        except OSError:
            continue
        try:
            cwd = os.readlink("/proc/%s/cwd" % entry)
        except OSError:
            cwd = ""
        places.append((int(entry), root, cwd))
    return places


def root_pids():
    """Every process whose root directory is ours was started through this harness."""
    return [pid for pid, root, _ in process_places() if root == ROOT]


def session_pids(prefix):
    """The processes in the root that belong to the session with Wine prefix
    `prefix`: Wine hands its environment, WINEPREFIX included, to every
    process it starts."""
    wanted = ("WINEPREFIX=" + prefix).encode()
    found = []
    for pid in root_pids():
        try:
            with open("/proc/%d/environ" % pid, "rb") as environ:
                if wanted in environ.read().split(b"\0"):
                    found.append(pid)
        except OSError:
            pass
    return found


def wait_gone(listed, seconds):
    """Waits up to `seconds` for the processes that `listed()` names to be gone."""
    deadline = time.monotonic() + seconds
    while listed():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def _signal_all(pids, number):
    for pid in pids:
        try:
            os.kill(pid, number)
        except ProcessLookupError:
            pass


def kill_listed(listed):
    """Ends the processes that `listed()` names: TERM, then KILL."""
    pids = listed()
    if not pids:
        return
    note("stopping leftover processes in the root: %s" % " ".join(map(str, pids)))
    _signal_all(pids, signal.SIGTERM)
    if wait_gone(listed, 5):
        return
    _signal_all(listed(), signal.SIGKILL)
    if not wait_gone(listed, 5):
        raise SessionError("processes in %s survive SIGKILL: %s" % (ROOT, " ".join(map(str, listed()))))


def start_time(pid):
    """The start time of process `pid` (field 22 of its stat, after the name,
    which may hold blanks), so that a recorded owner is never confused with a
    later process that got the same id; None when there is no such process."""
    try:
        with open("/proc/%d/stat" % pid) as stat:
            fields = stat.read().rsplit(") ", 1)[1].split()
    except (OSError, IndexError):
        return None
    return fields[19]


def owner_of(pid):
    """The "PID START" that a record keeps for its owner."""
    return "%d %s" % (pid, start_time(pid))


def wine_environment(prefix, base=None):
    """The environment for Wine chrooted into the root."""
    env = {key: value for key, value in (os.environ if base is None else base).items()
           if key not in DROPPED_VARIABLES}
    env.update(WINEPREFIX=prefix, WINEDEBUG=WINE_DEBUG, WINEDLLOVERRIDES=WINE_DLL_OVERRIDES)
    return env


def in_root(seconds, prefix, command, log):
    """Runs `command` in the root and waits; its status. Nothing it starts
    keeps a descriptor of ours above stderr (a lock, a pipe): Wine's resident
    processes would hold it for the whole session."""
    with open(log, "ab") as output:
        return subprocess.run(["timeout", "-k", "5", str(seconds), "chroot", ROOT, *command],
                              env=wine_environment(prefix), stdin=subprocess.DEVNULL, stdout=output,
                              stderr=output, close_fds=True).returncode


def in_root_detached(prefix, command, log):
    """Same, but detached into its own session and not waited for."""
    with open(log, "ab") as output:
        subprocess.run(["setsid", "-f", "chroot", ROOT, *command], env=wine_environment(prefix),
                       stdin=subprocess.DEVNULL, stdout=output, stderr=output, close_fds=True)


def desktop_running(prefix):
    for pid in session_pids(prefix):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as cmdline:
                if b"explorer.exe /desktop" in cmdline.read().replace(b"\0", b" "):
                    return True
        except OSError:
            pass
    return False


def stop_session_processes(bind, prefix):
    """Ends the Wine processes of the session whose prefix is `prefix` and
    bind folder `bind`: its server first, which takes its programs along (it
    needs the prefix, so only while the bind is mounted), then whatever is left."""
    if not prefix:
        return
    own = lambda: session_pids(prefix)  # noqa: E731
    if own() and os.access(ROOT + WINESERVER, os.X_OK) and is_mounted(ROOT + bind):
        in_root(30, prefix, [WINESERVER, "-k"], os.devnull)
        wait_gone(own, 10)
    kill_listed(own)


# --- sessions -----------------------------------------------------------------------


def session_in_use(record):
    """True while the session of `record` is in use: its owner lives, or a
    process outside the root works in its checkout (the folder holding its
    bind folder: the old script recorded no owner, and a test run's processes
    work there)."""
    bind = record_get(record, "bind")
    if not bind:
        return False
    owner = record_get(record, "owner").split()
    if len(owner) == 2 and owner[0].isdigit() and start_time(int(owner[0])) == owner[1]:
        return True
    checkout = os.path.dirname(bind)
    for pid, root, cwd in process_places():
        if root == ROOT or pid == os.getpid():
            continue
        if cwd == checkout or cwd.startswith(checkout + "/"):
            return True
    return False


def end_session(record):
    """Ends the session of `record`: its processes, its bind mount, its record.
    Mounts the old script recorded for every session (/proc and the like) and
    its binfmt_misc entries are handed to the shared record instead."""
    bind = record_get(record, "bind")
    stop_session_processes(bind, record_get(record, "prefix"))
    if bind and not unmount_tree(ROOT + bind):
        raise SessionError("could not unmount %s%s" % (ROOT, bind))
    # The mount point's folders, deepest first; one that another session's
    # mount point lies in is not empty, and stays.
    for made in reversed(record_all(record, "made")):
        if made.startswith(ROOT + "/") and not is_mounted(made):
            with contextlib.suppress(OSError):
                os.rmdir(made)
    for point in record_all(record, "mount"):
        if bind and (point == ROOT + bind or point.startswith(ROOT + bind + "/")):
            continue
        record_add_once(SHARED_FILE, "mount", point)
    for key in ("binfmt", "binfmt-entry"):
        if record_get(record, key):
            record_add_once(SHARED_FILE, key, record_get(record, key))
    os.unlink(record)


def end_stale_sessions(keep=None):
    """Ends every session but `keep`'s (a record path) that is no longer in use."""
    for record in session_files():
        if record == keep:
            continue
        if not session_in_use(record):
            note("ending the stale session for %s" % record_get(record, "bind"))
            end_session(record)


def emulated_pids():
    """Processes anywhere on the machine that run through the emulator
    (another root's, say): the binfmt_misc entry stays while there are any."""
    found = []
    for maps in glob.glob("/proc/[0-9]*/maps"):
        try:
            with open(maps, "rb") as file:
                if b"qemu-aarch64" in file.read():
                    found.append(int(maps.split("/")[2]))
        except OSError:
            pass
    return found


def end_shared():
    """Once no session is left: what remains in the root, the shared mounts,
    and binfmt_misc as we found it. (On current kernels unmounting
    binfmt_misc alone would drop the entry too, but not on older ones.)"""
    if session_files():
        return
    kill_listed(root_pids)
    ok = unmount_tree(ROOT)
    if not emulated_pids():
        entry = record_get(SHARED_FILE, "binfmt-entry")
        if entry and os.path.exists(entry):
            try:
                with open(entry, "w") as file:
                    file.write("-1")
            except OSError:
                ok = False
        if record_get(SHARED_FILE, "binfmt") and is_mounted(BINFMT_DIR):
            ok = unmount(BINFMT_DIR) and ok
    left = mounts_under(ROOT)
    if left:
        raise SessionError("mounts left below %s: %s" % (ROOT, " ".join(left)))
    if not ok:
        raise SessionError("some unmounts failed")
    with contextlib.suppress(FileNotFoundError):
        os.unlink(SHARED_FILE)


# --- teardown ------------------------------------------------------------------------


def _teardown_locked(own):
    """Ends our own session, any stale one, and what they shared once none is left."""
    if own and os.path.isfile(own):
        end_session(own)
    end_stale_sessions()
    end_shared()


def teardown(bind=None):
    """Ends the session of `bind` (only that one of those in use); without
    `bind` it only ends stale sessions (and the shared mounts once none is left)."""
    need_root()
    own = session_file(os.path.realpath(bind)) if bind else None
    with locked():
        _teardown_locked(own)


# --- setup -----------------------------------------------------------------------------


def _installed(package):
    result = subprocess.run(["dpkg-query", "-W", "-f=${db:Status-Status}\n", package], capture_output=True, text=True)
    return result.stdout.strip() == "installed"


def ensure_host_packages():
    missing = [package for package in ("mmdebstrap", "qemu-user-static") if not _installed(package)]
    if not missing:
        return
    note("installing %s" % " ".join(missing))
    subprocess.run(["apt-get", "update", "-q"], stdout=sys.stderr, check=True)
    subprocess.run(["apt-get", "install", "-y", "-q", "--no-install-recommends", *missing], stdout=sys.stderr,
                   check=True, env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))


def _first_deb_uri(path):
    """The first enabled "deb" source of SUITE in one apt sources file: a
    one-line .list file or a deb822 .sources file."""
    with open(path, errors="replace") as file:
        text = file.read()
    if path.endswith(".sources"):
        for stanza in re.split(r"\n[ \t]*\n", text):
            fields = {}
            for line in stanza.splitlines():
                if line.startswith("#"):
                    continue
                found = re.match(r"^([A-Za-z-]+):(.*)$", line)
                if found:
                    fields[found.group(1).lower()] = " ".join(found.group(2).split())
            if (fields.get("uris") and "deb" in fields.get("types", "").split()
                    and SUITE in fields.get("suites", "").split() and fields.get("enabled", "").lower() != "no"):
                return fields["uris"].split()[0]
        return None
    for line in text.splitlines():
        words = re.sub(r"\[[^]]*\]", " ", line.split("#", 1)[0]).split()
        if len(words) >= 3 and words[0] == "deb" and words[2] == SUITE:
            return words[1]
    return None


def debian_mirror():
    """The Debian mirror apt itself uses for SUITE, in apt's own reading order."""
    if os.environ.get("ARM64_WINE_MIRROR"):
        return os.environ["ARM64_WINE_MIRROR"]
    files = ["/etc/apt/sources.list"] if os.path.isfile("/etc/apt/sources.list") else []
    files += sorted(path for path in glob.glob("/etc/apt/sources.list.d/*")
                    if os.path.isfile(path) and path.endswith((".list", ".sources")))
    if not files:
        raise SessionError("no apt sources found; set ARM64_WINE_MIRROR")
    for path in files:
        mirror = _first_deb_uri(path)
        if mirror:
            return mirror
    raise SessionError("no apt source for suite %s; set ARM64_WINE_MIRROR" % SUITE)


def root_is_complete():
    mark = os.path.join(ROOT, MARK_NAME)
    try:
        with open(mark) as file:
            recipe = file.read().rstrip("\n")
    except OSError:
        return False
    return recipe == ROOT_RECIPE and all(os.access(ROOT + path, os.X_OK) for path in (WINE_LOADER, WINESERVER, DASH))


def build_root(building):
    """Builds the root in a folder beside it and renames it into place;
    `building` is a list that holds the folder while it is being built."""
    # Leftovers of builds that were interrupted: we hold the lock, so nobody
    # else is building right now.
    for old in glob.glob(glob.escape(ROOT) + ".tmp.*"):
        if os.path.isdir(old):
            safe_remove_tree(old)
    if os.path.lexists(ROOT):
        note("cached root %s is incomplete; rebuilding it" % ROOT)
        safe_remove_tree(ROOT)
    mirror = debian_mirror()
    note("building the arm64 Wine root from %s (takes a minute or two)" % mirror)
    folder = tempfile.mkdtemp(prefix=os.path.basename(ROOT) + ".tmp.", dir=os.path.dirname(ROOT))
    building.append(folder)
    os.chmod(folder, 0o755)
    # extract: unpack only, no maintainer scripts, so no emulation is needed yet.
    subprocess.run(["mmdebstrap", "--quiet", "--mode=root", "--arch=arm64", "--variant=extract",
                    "--include=" + ROOT_PACKAGES, SUITE, folder, mirror], stdout=sys.stderr, check=True)
    for name in ("proc", "dev", "tmp"):
        os.makedirs(os.path.join(folder, name), exist_ok=True)
    os.chmod(os.path.join(folder, "tmp"), 0o1777)
    # extract installs no base-passwd; Wine names the user's profile folder
    # after the passwd entry, so give root one.
    for name, line in (("passwd", "root:x:0:0:root:/root:/bin/sh\n"), ("group", "root:x:0:\n")):
        if not os.path.lexists(os.path.join(folder, "etc", name)):
            with open(os.path.join(folder, "etc", name), "w") as file:
                file.write(line)
    os.makedirs(os.path.join(folder, "root"), exist_ok=True)
    for path in (WINE_LOADER, WINESERVER, DASH):
        if not os.access(folder + path, os.X_OK):
            raise SessionError("the unpacked root has no %s; the package layout changed" % path)
    with open(os.path.join(folder, MARK_NAME), "w") as file:
        file.write(ROOT_RECIPE + "\n")
    # The rename is the commit point: a root without the mark is never used.
    subprocess.run(["mv", "-T", "--", folder, ROOT], check=True)
    building.remove(folder)


def _read(path):
    with open(path) as file:
        return file.read()


def ensure_binfmt():
    entry = BINFMT_DIR + "/qemu-aarch64"
    if not os.path.exists(BINFMT_DIR + "/register"):
        subprocess.run(["mount", "-t", "binfmt_misc", "binfmt_misc", BINFMT_DIR], check=True)
        record_add_once(SHARED_FILE, "binfmt", BINFMT_DIR)
    if _read(BINFMT_DIR + "/status").strip() != "enabled":
        with open(BINFMT_DIR + "/status", "w") as file:
            file.write("1")
    if not os.path.exists(entry):
        lines = [line for line in _read(BINFMT_CONF).splitlines() if line.strip() and not line.startswith("#")]
        if not lines:
            raise SessionError("no binfmt line in %s" % BINFMT_CONF)
        with open(BINFMT_DIR + "/register", "w") as file:
            file.write(lines[0])
        record_add_once(SHARED_FILE, "binfmt-entry", entry)
    text = _read(entry)
    if text.splitlines()[0] != "enabled":
        with open(entry, "w") as file:
            file.write("1")
    # Without the F flag the kernel opens the interpreter by name at each
    # exec, inside the chroot, so it must exist there too.
    if not re.search(r"^flags:.*F", text, re.M):
        interpreter = re.search(r"^interpreter (.*)$", text, re.M).group(1)
        if not os.path.exists(ROOT + interpreter):
            mkdir_in_root(os.path.dirname(interpreter))
            shutil.copyfile("/usr/bin/qemu-aarch64-static", ROOT + interpreter)
            os.chmod(ROOT + interpreter, 0o755)


def bind_into_root(record, host, point):
    subprocess.run(["mount", "--bind", "--", host, point], check=True)
    record_add(record, "mount", point)
    # Private, so that nothing mounted below it later is propagated back to
    # the host and unmounting it never touches the host's own mounts.
    subprocess.run(["mount", "--make-private", "--", point], check=True)


def ensure_shared_mounts():
    """What every session needs in the root, mounted by whichever setup comes
    first and left for the last teardown."""
    if not is_mounted(ROOT + "/proc"):
        subprocess.run(["mount", "-t", "proc", "proc", ROOT + "/proc"], check=True)
        record_add(SHARED_FILE, "mount", ROOT + "/proc")
    if not is_mounted(ROOT + "/dev"):
        bind_into_root(SHARED_FILE, "/dev", ROOT + "/dev")
    # The bind above is not recursive, so /dev/shm inside the root would be
    # the bare directory on the host's devtmpfs; give it its own tmpfs instead.
    if not is_mounted(ROOT + "/dev/shm"):
        subprocess.run(["mount", "-t", "tmpfs", "-o", "mode=1777,nosuid,nodev", "tmpfs", ROOT + "/dev/shm"],
                       check=True)
        record_add(SHARED_FILE, "mount", ROOT + "/dev/shm")


def check_bind_dir(bind):
    """BIND_DIR must not hide what Wine needs inside the root, nor contain the root."""
    if "\n" in bind:
        raise SessionError("BIND_DIR must not contain a newline")
    if bind in ("/", "/tmp"):
        raise SessionError("BIND_DIR may not be %s" % bind)
    for system in ("/proc", "/sys", "/dev", "/run", "/boot", "/etc", "/usr", "/bin", "/sbin", "/lib", "/lib32",
                   "/lib64", "/libx32"):
        if bind == system or bind.startswith(system + "/"):
            raise SessionError("BIND_DIR may not lie under %s" % system)
    if ROOT == bind or ROOT.startswith(bind + "/"):
        raise SessionError("BIND_DIR %s contains the root %s" % (bind, ROOT))
    if bind.startswith(ROOT + "/"):
        raise SessionError("BIND_DIR %s lies inside the root %s" % (bind, ROOT))


def check_no_nesting(bind):
    """Another session's bind mount inside ours, or ours inside it, would go
    with whichever is unmounted first."""
    for record in session_files():
        other = record_get(record, "bind")
        if not other or other == bind:
            continue
        if other.startswith(bind + "/") or bind.startswith(other + "/"):
            raise SessionError("BIND_DIR %s and the bind folder %s of another session lie one inside the other"
                               % (bind, other))


@contextlib.contextmanager
def _signals_end_the_step():
    """A hang-up or TERM during setup undoes it, as an interrupt does."""
    try:
        previous = {number: signal.signal(number, _raise_exit) for number in (signal.SIGHUP, signal.SIGTERM)}
    except ValueError:  # not the main thread: leave the signals alone
        yield
        return
    try:
        yield
    finally:
        for number, handler in previous.items():
            signal.signal(number, handler)


def _raise_exit(number, _frame):
    raise SystemExit(128 + number)


def _wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.2)
    return True


def setup(bind, owner=None):
    """Sets up the session of `bind` (made if missing) and returns it; its
    owner is `owner` ("PID START"; by default the caller's parent, as for
    the command line). A setup again for the same folder starts afresh; a
    failed one undoes what it mounted."""
    need_root()
    bind = os.path.realpath(bind)
    check_bind_dir(bind)
    os.makedirs(bind, exist_ok=True)
    # Again, now that any links on the way exist and resolve.
    bind = os.path.realpath(bind, strict=True)
    check_bind_dir(bind)
    owner = owner or owner_of(os.getppid())
    own = session_file(bind)
    building = []
    with locked(), _signals_end_the_step():
        try:
            _setup_locked(bind, owner, own, building)
        except BaseException:
            for folder in building:
                with contextlib.suppress(Exception):
                    safe_remove_tree(folder)
            note("setup failed; undoing what it mounted")
            with contextlib.suppress(Exception):
                _teardown_locked(own)
            raise
    return Session(bind, bind + "/wineprefix-arm64")


def _setup_locked(bind, owner, own, building):
    ensure_host_packages()
    os.makedirs(SESSIONS_DIR, exist_ok=True)
    # A setup again for the same folder starts its session afresh, whichever
    # version of this harness recorded it.
    for record in session_files():
        if record_get(record, "bind") == bind:
            end_session(record)
    end_stale_sessions(own)
    check_no_nesting(bind)
    if not root_is_complete():
        if session_files():
            raise SessionError("the root %s is incomplete while sessions use it: %s" % (ROOT, " ".join(session_files())))
        # A half-built root may still have mounts in it.
        end_shared()
        build_root(building)

    prefix = bind + "/wineprefix-arm64"
    record_add(own, "bind", bind)
    record_add(own, "prefix", prefix)
    record_add(own, "owner", owner)
    ensure_binfmt()
    ensure_shared_mounts()
    # A bind mount whose record was lost: mounting again would stack on it.
    if not unmount_tree(ROOT + bind):
        raise SessionError("could not unmount %s%s" % (ROOT, bind))
    mkdir_in_root(bind, own)
    bind_into_root(own, bind, ROOT + bind)

    # A fresh prefix every setup: no state leaks from one test session into
    # the next. Whatever still runs in the old one (a session whose record
    # was lost) goes first, as its server keeps the prefix open.
    stop_session_processes(bind, prefix)
    safe_remove_tree(prefix)
    os.mkdir(prefix, 0o700)
    os.chmod(prefix, 0o700)

    # Wine's background processes keep whatever stdout/stderr they were
    # started with; a log file here keeps them off the caller's pipes.
    log = bind + "/.arm64-wine-setup.log"
    open(log, "w").close()
    note("starting wineserver and creating %s" % prefix)
    # -p without a number: stay up until teardown, so every run finds a warm
    # server instead of paying its start-up under emulation.
    if in_root(SERVER_TIMEOUT, prefix, [WINESERVER, "-p"], log) != 0:
        raise SessionError("wineserver did not start (see %s)" % log)
    # The loader fills an empty prefix by itself (wineboot) before it starts
    # the program, so any trivial program will do. Not "wineboot --init": the
    # loader would run its own wineboot first, and the second one starts a
    # second services.exe; the two then fight over service start-up, RpcSs
    # never comes up, and every GUI program stalls about 10 s per COM call.
    if in_root(WINEBOOT_TIMEOUT, prefix, [WINE_LOADER, "cmd.exe", "/c", "exit", "0"], log) != 0:
        raise SessionError("creating the Wine prefix failed (see %s)" % log)

    # A GUI program needs the desktop, which Wine runs as "explorer.exe
    # /desktop". Started on demand, it inherits that program's stderr (so a
    # caller reading it waits for explorer to quit), and it quits a second
    # after the last GUI program, so the next one pays its start-up again. A
    # resident GUI program keeps one desktop up for the whole session,
    # started here with its output in our log. progman.exe suits: an idle
    # message loop, no timers, and unlike most built-in GUI programs it
    # survives having no display. Creating the prefix started a desktop that
    # is about to quit; wait for it, so that the desktop we wait for next is
    # surely the one progman holds and no caller's program can start a fresh
    # one in the gap.
    _wait_for(lambda: not desktop_running(prefix), 15)
    in_root_detached(prefix, [WINE_LOADER, "progman.exe"], log)
    if not _wait_for(lambda: desktop_running(prefix), SERVER_TIMEOUT):
        raise SessionError("the Wine desktop did not come up (see %s)" % log)
    note("ready: root %s, prefix %s" % (ROOT, prefix))


# --- run --------------------------------------------------------------------------------


class Session:
    """A session that is set up: where its programs run."""

    def __init__(self, bind, prefix):
        self.bind = bind
        self.prefix = prefix

    @staticmethod
    def find_record(wanted=None, path=None):
        """The record of the session for `wanted` (a bind folder), else of the
        one whose bind folder holds `path`, else of the only one; or None."""
        records = session_files()
        if wanted:
            wanted = os.path.realpath(wanted)
            return next((r for r in records if record_get(r, "bind") == wanted), None)
        found = None
        for record in records:
            bind = record_get(record, "bind")
            if bind and path and (path == bind or path.startswith(bind + "/")):
                found = record
        if found is None and len(records) == 1:
            found = records[0]
        return found

    @classmethod
    def find(cls, wanted=None, path=None):
        """That session, or None when there is none or it is not mounted."""
        found = cls.find_record(wanted, path)
        if found is None:
            return None
        bind, prefix = record_get(found, "bind"), record_get(found, "prefix")
        if not bind or not prefix or not is_mounted(ROOT + bind):
            return None
        return cls(bind, prefix)

    def command(self, program, arguments=(), cwd=None, timeout=DEFAULT_RUN_TIMEOUT, env=None):
        """(argv, environment) that run a Windows program in the session from
        the host: `program` is a file under the bind folder, or a bare name
        (reg, cmd.exe), which is one of Wine's own programs in the prefix.
        The program works in `cwd` when that lies under the bind folder,
        else in the bind folder."""
        program = str(program)
        if "/" in program:
            program = os.path.realpath(program)
            if not program.startswith(self.bind + "/"):
                raise SessionError("%s does not lie under %s, so the root cannot see it" % (program, self.bind))
            if not os.path.isfile(program):
                raise SessionError("no such program: %s" % program)
        cwd = os.path.realpath(cwd or os.getcwd())
        if not (cwd == self.bind or cwd.startswith(self.bind + "/")):
            cwd = self.bind
        argv = ["timeout", "-k", "5", str(timeout), "chroot", ROOT, DASH, "-c", START_IN_FOLDER, ME, cwd,
                WINE_LOADER, program, *map(str, arguments)]
        return argv, wine_environment(self.prefix, env)

    def run(self, program, arguments=(), timeout=DEFAULT_RUN_TIMEOUT):
        """Runs a program with our stdin and output and waits; its status.
        timeout puts the program in a process group of its own, out of reach
        of the Ctrl-C or TERM that stops us; those are passed on, or an
        interrupted caller would leave the program running until its timeout."""
        argv, env = self.command(program, arguments, timeout=timeout)
        child = subprocess.Popen(argv, env=env, close_fds=True)
        forward = lambda number, _frame: child.send_signal(signal.SIGTERM)  # noqa: E731
        for number in (signal.SIGHUP, signal.SIGINT, signal.SIGTERM):
            signal.signal(number, forward)
        status = child.wait()
        if status == 124:
            note("%s timed out after %s s" % (program, timeout))
        return status


# --- the command line ---------------------------------------------------------------------

USAGE = """usage: arm64-wine.sh setup BIND_DIR
       arm64-wine.sh run [--bind BIND_DIR] [--timeout SECONDS] PROGRAM.exe [ARGS...]
       arm64-wine.sh teardown [BIND_DIR]
       arm64-wine.sh env [BIND_DIR]"""


class Usage(Exception):
    pass


def _command_run(arguments):
    seconds, wanted = str(DEFAULT_RUN_TIMEOUT), None
    while arguments:
        word = arguments[0]
        if word in ("--timeout", "--bind"):
            if len(arguments) < 2:
                raise Usage()
            if word == "--timeout":
                seconds = arguments[1]
            else:
                wanted = arguments[1]
            arguments = arguments[2:]
        elif word.startswith("--timeout="):
            seconds, arguments = word.split("=", 1)[1], arguments[1:]
        elif word.startswith("--bind="):
            wanted, arguments = word.split("=", 1)[1], arguments[1:]
        elif word == "--":
            arguments = arguments[1:]
            break
        elif word.startswith("-"):
            raise Usage()
        else:
            break
    if not arguments:
        raise Usage()
    if not re.fullmatch(r"[0-9]+(\.[0-9]+)?", seconds) or re.fullmatch(r"0+(\.0+)?", seconds):
        raise SessionError("--timeout needs a positive number of seconds (got %s)" % seconds)
    need_root()
    program = os.path.realpath(arguments[0]) if "/" in arguments[0] else arguments[0]
    session = Session.find(wanted, program if program.startswith("/") else os.path.realpath(os.getcwd()))
    if session is None:
        raise SessionError("not set up: run '%s setup BIND_DIR' first%s"
                           % ("arm64-wine.sh", " (no session for %s)" % wanted if wanted else ""))
    return session.run(program, arguments[1:], seconds)


def _command_env(arguments):
    if len(arguments) > 1:
        raise Usage()
    record = Session.find_record(arguments[0] if arguments else None, os.path.realpath(os.getcwd()))
    bind = record_get(record, "bind") if record else ""
    print("ARM64_WINE_ROOT=%s" % ROOT)
    print("ARM64_WINE_BIND_DIR=%s" % bind)
    print("WINEPREFIX=%s" % (record_get(record, "prefix") if record else ""))
    print("ARM64_WINE_READY=%d" % (1 if bind and is_mounted(ROOT + bind) else 0))
    return 0


def main(arguments):
    try:
        if not arguments or arguments[0] in ("-h", "--help", "help"):
            raise Usage()
        command, rest = arguments[0], arguments[1:]
        if command == "setup":
            if len(rest) != 1:
                raise Usage()
            setup(rest[0])
            return 0
        if command == "teardown":
            if len(rest) > 1:
                raise Usage()
            teardown(rest[0] if rest else None)
            return 0
        if command == "run":
            return _command_run(rest)
        if command == "env":
            return _command_env(rest)
        raise Usage()
    except Usage:
        print(USAGE, file=sys.stderr)
        return 2
    except (SessionError, subprocess.CalledProcessError, OSError) as error:
        note(str(error))
        return 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
