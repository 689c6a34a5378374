#!/usr/bin/env bash
# Runs ARM64 Windows programs on this x86_64 machine, so that the test tiers
# can start the real ARM64 build of the stub.
#
# How: Debian's arm64 Wine is unpacked into a root directory that is cached
# machine-wide; the kernel runs its aarch64 ELF binaries through qemu-user
# (binfmt_misc), and the programs run chrooted into that root. The caller's
# build folder (BIND_DIR) is bind-mounted at the same absolute path inside the
# root, so a host path under BIND_DIR means the same file on both sides.
#
#   arm64-wine.sh setup BIND_DIR
#   arm64-wine.sh run [--bind BIND_DIR] [--timeout SECONDS] PROGRAM.exe [ARGS...]
#   arm64-wine.sh teardown [BIND_DIR]
#   arm64-wine.sh env [BIND_DIR]
#
# Environment:
#   ARM64_WINE_ROOT      cached root (default /var/cache/installer-stub/arm64-wine-root)
#   ARM64_WINE_MIRROR    Debian mirror for building the root (default: the one apt uses)
#   ARM64_WINE_WINEDEBUG WINEDEBUG for the programs (default -all: Wine is chatty
#                        under emulation and our tests read stdout/stderr)
#
# Sessions: each BIND_DIR is a session of its own on the one shared root, with
# its own bind mount, Wine prefix (BIND_DIR/wineprefix-arm64) and wineserver,
# so that several checkouts can test at once. A session is recorded in
# ROOT.sessions/ with the process that set it up (its owner); teardown ends
# only its own session. A session is in use while its owner lives or any
# process outside the root works inside its checkout (the folder holding
# BIND_DIR); one that is not is stale, and the next setup or teardown ends it.
# What all sessions share (/proc, /dev, /dev/shm in the root, the binfmt_misc
# entry) is recorded in ROOT.shared and undone with the last session. Older
# versions of this script kept one session per root in ROOT.state; such a
# session is left alone while in use, and ended like any stale one after.
# Without --bind, run and env pick the session whose BIND_DIR holds the
# program (or the current directory), else the only one.
set -euo pipefail

readonly ME=${0##*/}
readonly SUITE=bookworm
readonly ROOT_PACKAGES=wine64,dash
# Written into a finished root. A root built from another recipe, or one
# without the mark (an interrupted or damaged build), is rebuilt.
readonly ROOT_RECIPE="$SUITE arm64 $ROOT_PACKAGES v1"
readonly MARK_NAME=.arm64-wine-root-complete
# Paths inside the root.
readonly WINE_LOADER=/usr/lib/wine/wine64
# /usr/lib/wine/wineserver is only a shell wrapper that forces -p0; we want
# our own persistence flag.
readonly WINESERVER=/usr/lib/wine/wineserver64
readonly DASH=/bin/dash
readonly BINFMT_DIR=/proc/sys/fs/binfmt_misc
readonly BINFMT_CONF=/usr/lib/binfmt.d/qemu-aarch64.conf
readonly DEFAULT_RUN_TIMEOUT=120
# Slow steps under emulation: creating a prefix takes some 12 s on an idle
# 2-core machine; leave room for a loaded one, and for a second checkout's
# setup that holds the lock meanwhile.
readonly WINEBOOT_TIMEOUT=300
readonly SERVER_TIMEOUT=60
readonly LOCK_TIMEOUT=900
# without_inherited_fds, shared with the x64 tiers' Wine.
. "$(dirname -- "$(realpath -- "${BASH_SOURCE[0]}")")/../lib/without_inherited_fds.sh"

die() {
  printf '%s: %s\n' "$ME" "$*" >&2
  exit 1
}
note() { printf '%s: %s\n' "$ME" "$*" >&2; }

usage() {
  cat >&2 <<EOF
usage: $ME setup BIND_DIR
       $ME run [--bind BIND_DIR] [--timeout SECONDS] PROGRAM.exe [ARGS...]
       $ME teardown [BIND_DIR]
       $ME env [BIND_DIR]
EOF
  exit 2
}

# The root must be a real, absolute directory deep enough that deleting and
# rebuilding it can never touch anything else.
ROOT=$(realpath -m -- "${ARM64_WINE_ROOT:-/var/cache/installer-stub/arm64-wine-root}")
[[ $ROOT == /?*/?* ]] || die "ARM64_WINE_ROOT must be an absolute path at least two levels deep (got $ROOT)"
[[ $ROOT != *$'\n'* ]] || die "ARM64_WINE_ROOT must not contain a newline"
# Beside the root, not inside it: deleting a broken root keeps the record of
# what is mounted, and a rebuilt root starts clean.
readonly SESSIONS_DIR=$ROOT.sessions
readonly SHARED_FILE=$ROOT.shared
readonly OLD_STATE_FILE=$ROOT.state
readonly LOCK_FILE=$ROOT.lock
readonly WINE_DEBUG=${ARM64_WINE_WINEDEBUG:--all}
# mscoree, mshtml: no prompts to download Mono or Gecko. winedbg.exe: a
# crashing program then ends at once with its exception code (0xC0000005 ->
# exit status 5) instead of starting a debugger that outlives it and holds
# the caller's stderr.
readonly WINE_DLL_OVERRIDES="mscoree,mshtml,winedbg.exe="

# --- mounts ---------------------------------------------------------------

# Mount points equal to or below $1, in the order they were mounted.
mounts_under() {
  local prefix=$1 _dev mp _rest
  while read -r _dev mp _rest; do
    printf -v mp '%b' "$mp" # /proc/mounts escapes blanks and backslashes as octal
    if [[ $mp == "$prefix" || $mp == "$prefix"/* ]]; then
      printf '%s\n' "$mp"
    fi
  done </proc/mounts
}

is_mounted() {
  local mp
  while IFS= read -r mp; do
    [[ $mp == "$1" ]] && return 0
  done < <(mounts_under "$1")
  return 1
}

# rm -rf would walk into a bind mount and delete the host's files behind it.
safe_remove_tree() {
  [[ -e $1 || -L $1 ]] || return 0
  if [[ -n $(mounts_under "$1") ]]; then
    die "refusing to delete $1: something is mounted inside it"
  fi
  rm -rf --one-file-system -- "$1"
}

unmount() {
  umount -- "$1" 2>/dev/null && return 0
  note "umount $1 failed; detaching it lazily"
  umount -l -- "$1"
}

# Unmounts $1 and everything mounted below it, deepest first.
unmount_tree() {
  local i failed=0
  local -a below=()
  mapfile -t below < <(mounts_under "$1")
  for ((i = ${#below[@]} - 1; i >= 0; i--)); do
    is_mounted "${below[i]}" && { unmount "${below[i]}" || failed=1; }
  done
  return "$failed"
}

# Creates $1 (a path as seen inside the root) below the root without following
# symbolic links: the root's own links are absolute (/var/run -> /run, say) and
# following them from the host side would create directories on the host.
# Each directory it makes is added to record $2 (when given) as "made".
mkdir_in_root() {
  local path=$ROOT part
  local -a parts
  IFS=/ read -ra parts <<<"${1#/}"
  for part in "${parts[@]}"; do
    [[ -n $part ]] || continue
    path=$path/$part
    [[ ! -L $path ]] || die "$path is a symbolic link inside the root; refusing to follow it"
    if [[ ! -d $path ]]; then
      mkdir -- "$path"
      [[ -z ${2:-} ]] || record_add "$2" made "$path"
    fi
  done
}

# --- records ----------------------------------------------------------------
# One "KEY VALUE" pair a line. Mounts are appended the moment they succeed, so
# a setup that dies half-way still leaves teardown a full list.

record_add() { printf '%s %s\n' "$2" "$3" >>"$1"; }

# The first value of KEY in a record file, or nothing.
record_get() {
  local key value
  [[ -f $1 ]] || return 0
  while read -r key value; do
    if [[ $key == "$2" ]]; then
      printf '%s\n' "$value"
      return 0
    fi
  done <"$1"
}

# Every value of KEY in a record file.
record_all() {
  local key value
  [[ -f $1 ]] || return 0
  while read -r key value; do
    [[ $key == "$2" ]] && printf '%s\n' "$value"
  done <"$1"
  return 0
}

# Adds KEY VALUE to a record file unless it is there already.
record_add_once() {
  local value
  while IFS= read -r value; do
    [[ $value == "$3" ]] && return 0
  done < <(record_all "$1" "$2")
  record_add "$@"
}

# A session's record file: one per bind folder, named after its path.
session_file() {
  printf '%s/%s\n' "$SESSIONS_DIR" "$(printf '%s' "$1" | sha256sum | cut -c1-16)"
}

# Every session record, the old script's single one included.
session_files() {
  local f
  for f in "$SESSIONS_DIR"/*; do
    [[ -f $f ]] && printf '%s\n' "$f"
  done
  [[ -f $OLD_STATE_FILE ]] && printf '%s\n' "$OLD_STATE_FILE"
  return 0
}

lock() {
  mkdir -p -- "$(dirname -- "$ROOT")"
  exec 9>"$LOCK_FILE"
  flock -w "$LOCK_TIMEOUT" 9 || die "another setup or teardown holds $LOCK_FILE"
}

need_root() {
  [[ $EUID -eq 0 ]] || die "must run as root (it mounts and chroots)"
}

# --- processes ----------------------------------------------------------------

# "PID<tab>ROOT<tab>CWD" for every process, in one find: a readlink for each
# of them makes the polling loops below take seconds.
process_places() {
  local line dir link
  local -A roots=() cwds=()
  while IFS= read -r line; do
    link=${line%%$'\t'*}
    line=${line#*$'\t'}
    dir=${line%$'\t'*}
    [[ $dir == /proc/[0-9]* ]] || continue
    case ${line##*$'\t'} in
      root) roots[${dir#/proc/}]=$link ;;
      cwd) cwds[${dir#/proc/}]=$link ;;
    esac
  done < <(find /proc -mindepth 2 -maxdepth 2 \( -name root -o -name cwd \) -printf '%l\t%h\t%f\n' 2>/dev/null)
  for line in "${!roots[@]}"; do
    printf '%s\t%s\t%s\n' "$line" "${roots[$line]}" "${cwds[$line]:-}"
  done
}

# Every process whose root directory is ours was started through this script.
root_pids() {
  local pid root _cwd
  while IFS=$'\t' read -r pid root _cwd; do
    [[ $root == "$ROOT" ]] && printf '%s\n' "$pid"
  done < <(process_places)
  return 0
}

# The processes in the root that belong to the session with Wine prefix $1:
# Wine hands its environment, WINEPREFIX included, to every process it starts.
session_pids() {
  local pid
  for pid in $(root_pids); do
    tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$1" && printf '%s\n' "$pid"
  done
  return 0
}

# Waits up to $2 seconds for the processes that command $1 lists to be gone.
wait_gone() {
  local deadline=$((SECONDS + $2))
  while [[ -n $($1) ]]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

# Ends the processes that command $1 lists: TERM, then KILL.
kill_listed() {
  local pids
  pids=$($1)
  [[ -n $pids ]] || return 0
  note "stopping leftover processes in the root: ${pids//$'\n'/ }"
  # shellcheck disable=SC2086  # one pid a word
  kill -TERM $pids 2>/dev/null || true
  wait_gone "$1" 5 && return 0
  pids=$($1)
  # shellcheck disable=SC2086
  [[ -z $pids ]] || kill -KILL $pids 2>/dev/null || true
  wait_gone "$1" 5 || die "processes in $ROOT survive SIGKILL: $($1 | tr '\n' ' ')"
}

own_pids() { session_pids "$PREFIX"; }

# The start time of process $1 (field 22 of its stat, after the name, which
# may hold blanks), so that a recorded owner is never confused with a later
# process that got the same id.
start_time() {
  local stat
  local -a fields
  stat=$(cat "/proc/$1/stat" 2>/dev/null) || return 1
  read -ra fields <<<"${stat##*) }"
  printf '%s\n' "${fields[19]}"
}

# The environment for Wine chrooted into the root. Host variables that would
# point the arm64 side at host files are dropped; DISPLAY is dropped so that no
# run ever depends on a host X server. An array rather than a wrapper
# function, so that a command started in the background with it has $! naming
# the real process.
#
# Every command that setup and teardown start in the root has nothing open
# above stderr: Wine's resident processes would hold it for the whole session,
# be it our lock (fd 9), setup's saved stderr (fd 8) or a lock of the
# caller's (flock(1) around test.sh, say).
set_wine_env() {
  WINE_ENV=(env -u DISPLAY -u WAYLAND_DISPLAY -u TMPDIR -u LD_PRELOAD -u LD_LIBRARY_PATH
    -u WINELOADER -u WINESERVER -u WINEDLLPATH -u WINEARCH
    WINEPREFIX="$PREFIX" WINEDEBUG="$WINE_DEBUG" WINEDLLOVERRIDES="$WINE_DLL_OVERRIDES")
}

in_root() {
  local secs=$1
  shift
  set_wine_env
  without_inherited_fds "${WINE_ENV[@]}" timeout -k 5 "$secs" chroot "$ROOT" "$@"
}

# Same, but detached into its own session and not waited for.
in_root_detached() {
  set_wine_env
  without_inherited_fds "${WINE_ENV[@]}" setsid -f chroot "$ROOT" "$@"
}

desktop_running() {
  local pid
  for pid in $(own_pids); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'explorer\.exe /desktop' && return 0
  done
  return 1
}

# Ends the Wine processes of the session whose prefix is $PREFIX and bind
# folder $1: its server first, which takes its programs along (it needs the
# prefix, so only while the bind is mounted), then whatever is left.
stop_session_processes() {
  [[ -n $PREFIX ]] || return 0
  if [[ -n $(own_pids) && -x $ROOT$WINESERVER ]] && is_mounted "$ROOT$1"; then
    in_root 30 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    wait_gone own_pids 10 || true
  fi
  kill_listed own_pids
}

# --- sessions -------------------------------------------------------------------

# True while the session of record $1 is in use: its owner lives, or a process
# outside the root works in its checkout (the folder holding its bind folder:
# the old script recorded no owner, and a test run's processes work there).
session_in_use() {
  local record=$1 bind owner pid started checkout root cwd
  bind=$(record_get "$record" bind)
  [[ -n $bind ]] || return 1
  owner=$(record_get "$record" owner)
  if [[ -n $owner ]]; then
    read -r pid started <<<"$owner"
    [[ -n $pid && $(start_time "$pid" 2>/dev/null) == "$started" ]] && return 0
  fi
  checkout=$(dirname -- "$bind")
  while IFS=$'\t' read -r pid root cwd; do
    [[ $root == "$ROOT" || $pid == "$$" ]] && continue
    [[ $cwd == "$checkout" || $cwd == "$checkout"/* ]] && return 0
  done < <(process_places)
  return 1
}

# Ends the session of record $1: its processes, its bind mount, its record.
# Mounts the old script recorded for every session (/proc and the like) and
# its binfmt_misc entries are handed to the shared record instead.
end_session() {
  local record=$1 bind mp i
  bind=$(record_get "$record" bind)
  PREFIX=$(record_get "$record" prefix)
  stop_session_processes "$bind"
  if [[ -n $bind ]]; then
    unmount_tree "$ROOT$bind" || die "could not unmount $ROOT$bind"
  fi
  # The mount point's folders, deepest first; one that another session's
  # mount point lies in is not empty, and stays.
  local -a made=()
  mapfile -t made < <(record_all "$record" made)
  for ((i = ${#made[@]} - 1; i >= 0; i--)); do
    if [[ ${made[i]} == "$ROOT"/?* ]] && ! is_mounted "${made[i]}"; then
      rmdir -- "${made[i]}" 2>/dev/null || true
    fi
  done
  while IFS= read -r mp; do
    [[ -n $bind && ($mp == "$ROOT$bind" || $mp == "$ROOT$bind"/*) ]] && continue
    record_add_once "$SHARED_FILE" mount "$mp"
  done < <(record_all "$record" mount)
  for mp in binfmt binfmt-entry; do
    [[ -z $(record_get "$record" "$mp") ]] || record_add_once "$SHARED_FILE" "$mp" "$(record_get "$record" "$mp")"
  done
  rm -f -- "$record"
  PREFIX=
}

# Ends every session but $1's (a record path, or nothing) that is no longer in
# use.
end_stale_sessions() {
  local record
  while IFS= read -r record; do
    [[ $record == "${1:-}" ]] && continue
    if ! session_in_use "$record"; then
      note "ending the stale session for $(record_get "$record" bind)"
      end_session "$record"
    fi
  done < <(session_files)
}

# Once no session is left: what remains in the root, the shared mounts, and
# binfmt_misc as we found it. (On current kernels unmounting binfmt_misc alone
# would drop the entry too, but not on older ones.)
end_shared() {
  local entry failed=0
  [[ -z $(session_files) ]] || return 0
  kill_listed root_pids
  unmount_tree "$ROOT" || failed=1
  if [[ -z $(emulated_pids) ]]; then
    entry=$(record_get "$SHARED_FILE" binfmt-entry)
    if [[ -n $entry && -e $entry ]]; then
      echo -1 >"$entry" || failed=1
    fi
    if [[ -n $(record_get "$SHARED_FILE" binfmt) ]] && is_mounted "$BINFMT_DIR"; then
      unmount "$BINFMT_DIR" || failed=1
    fi
  fi
  [[ -z $(mounts_under "$ROOT") ]] || die "mounts left below $ROOT: $(mounts_under "$ROOT" | tr '\n' ' ')"
  ((failed == 0)) || die "some unmounts failed"
  rm -f -- "$SHARED_FILE"
}

# Processes anywhere on the machine that run through the emulator (another
# root's, say): the binfmt_misc entry stays while there are any.
emulated_pids() {
  local maps
  for maps in /proc/[0-9]*/maps; do
    grep -qs 'qemu-aarch64' "$maps" && printf '%s\n' "${maps//[^0-9]/}"
  done
  return 0
}

# --- teardown ---------------------------------------------------------------

# Ends our own session, any stale one, and what they shared once none is left.
teardown_locked() {
  local own=$1
  [[ -z $own || ! -f $own ]] || end_session "$own"
  end_stale_sessions
  end_shared
}

# Without BIND_DIR it only ends stale sessions (and the shared mounts once
# none is left).
cmd_teardown() {
  (($# <= 1)) || usage
  need_root
  local own=
  [[ $# == 0 ]] || own=$(session_file "$(realpath -m -- "$1")")
  lock
  teardown_locked "$own"
}

# --- setup --------------------------------------------------------------------

ensure_host_packages() {
  local pkg
  local -a missing=()
  for pkg in mmdebstrap qemu-user-static; do
    if ! dpkg-query -W -f='${db:Status-Status}\n' "$pkg" 2>/dev/null | grep -qx installed; then
      missing+=("$pkg")
    fi
  done
  ((${#missing[@]} > 0)) || return 0
  note "installing ${missing[*]}"
  apt-get update -q >&2
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >&2
}

# The Debian mirror apt itself uses for $SUITE: one-line .list files and
# deb822 .sources files, in apt's own reading order.
debian_mirror() {
  if [[ -n ${ARM64_WINE_MIRROR:-} ]]; then
    printf '%s\n' "$ARM64_WINE_MIRROR"
    return
  fi
  local f mirror
  local -a files=()
  [[ -f /etc/apt/sources.list ]] && files+=(/etc/apt/sources.list)
  for f in /etc/apt/sources.list.d/*; do
    [[ -f $f && ($f == *.list || $f == *.sources) ]] && files+=("$f")
  done
  ((${#files[@]} > 0)) || die "no apt sources found; set ARM64_WINE_MIRROR"
  mirror=$(awk -v suite="$SUITE" '
    function has_word(list, word) { return (" " list " ") ~ (" " word " ") }
    function flush() {
      if (!found && uris != "" && has_word(types, "deb") && has_word(suites, suite) && tolower(enabled) != "no") {
        split(uris, u, " "); print u[1]; found = 1
      }
      types = suites = uris = enabled = ""
    }
    FNR == 1 { flush(); deb822 = (FILENAME ~ /\.sources$/) }
    found { next }
    deb822 {
      if ($0 ~ /^[ \t]*$/) { flush(); next }
      if ($0 ~ /^#/) next
      if (match($0, /^[A-Za-z-]+:/)) {
        key = tolower(substr($0, 1, RLENGTH - 1)); val = substr($0, RLENGTH + 1)
        gsub(/[ \t]+/, " ", val); sub(/^ /, "", val); sub(/ $/, "", val)
        if (key == "types") types = val; else if (key == "uris") uris = val
        else if (key == "suites") suites = val; else if (key == "enabled") enabled = val
      }
      next
    }
    {
      line = $0; sub(/#.*/, "", line); gsub(/\[[^]]*\]/, " ", line); $0 = line
      if ($1 == "deb" && $3 == suite) { print $2; found = 1 }
    }
    END { flush() }
  ' "${files[@]}")
  [[ -n $mirror ]] || die "no apt source for suite $SUITE; set ARM64_WINE_MIRROR"
  printf '%s\n' "$mirror"
}

root_is_complete() {
  [[ -f $ROOT/$MARK_NAME && $(<"$ROOT/$MARK_NAME") == "$ROOT_RECIPE" &&
    -x $ROOT$WINE_LOADER && -x $ROOT$WINESERVER && -x $ROOT$DASH ]]
}

BUILDING=
build_root() {
  local old mirror
  # Leftovers of builds that were interrupted: we hold the lock, so nobody
  # else is building right now.
  for old in "$ROOT".tmp.*; do
    [[ -d $old ]] && safe_remove_tree "$old"
  done
  if [[ -e $ROOT ]]; then
    note "cached root $ROOT is incomplete; rebuilding it"
    safe_remove_tree "$ROOT"
  fi
  mirror=$(debian_mirror)
  note "building the arm64 Wine root from $mirror (takes a minute or two)"
  BUILDING=$(mktemp -d "$ROOT.tmp.XXXXXX")
  chmod 755 "$BUILDING"
  # extract: unpack only, no maintainer scripts, so no emulation is needed yet.
  mmdebstrap --quiet --mode=root --arch=arm64 --variant=extract \
    --include="$ROOT_PACKAGES" "$SUITE" "$BUILDING" "$mirror" >&2
  mkdir -p "$BUILDING/proc" "$BUILDING/dev" "$BUILDING/tmp"
  chmod 1777 "$BUILDING/tmp"
  # extract installs no base-passwd; Wine names the user's profile folder
  # after the passwd entry, so give root one.
  [[ -e $BUILDING/etc/passwd ]] || printf 'root:x:0:0:root:/root:/bin/sh\n' >"$BUILDING/etc/passwd"
  [[ -e $BUILDING/etc/group ]] || printf 'root:x:0:\n' >"$BUILDING/etc/group"
  mkdir -p "$BUILDING/root"
  local f
  for f in "$WINE_LOADER" "$WINESERVER" "$DASH"; do
    [[ -x $BUILDING$f ]] || die "the unpacked root has no $f; the package layout changed"
  done
  printf '%s\n' "$ROOT_RECIPE" >"$BUILDING/$MARK_NAME"
  # The rename is the commit point: a root without the mark is never used.
  mv -T -- "$BUILDING" "$ROOT"
  BUILDING=
}

ensure_binfmt() {
  local entry=$BINFMT_DIR/qemu-aarch64 line interp
  if [[ ! -e $BINFMT_DIR/register ]]; then
    mount -t binfmt_misc binfmt_misc "$BINFMT_DIR"
    record_add_once "$SHARED_FILE" binfmt "$BINFMT_DIR"
  fi
  [[ $(<"$BINFMT_DIR/status") == enabled ]] || echo 1 >"$BINFMT_DIR/status"
  if [[ ! -e $entry ]]; then
    line=$(grep -v -e '^#' -e '^[[:space:]]*$' "$BINFMT_CONF" | head -n 1) ||
      die "no binfmt line in $BINFMT_CONF"
    printf '%s' "$line" >"$BINFMT_DIR/register"
    record_add_once "$SHARED_FILE" binfmt-entry "$entry"
  fi
  [[ $(head -n 1 "$entry") == enabled ]] || echo 1 >"$entry"
  # Without the F flag the kernel opens the interpreter by name at each exec,
  # inside the chroot, so it must exist there too.
  if ! grep -q '^flags:.*F' "$entry"; then
    interp=$(sed -n 's/^interpreter //p' "$entry")
    if [[ ! -e $ROOT$interp ]]; then
      mkdir_in_root "$(dirname -- "$interp")"
      cp -- /usr/bin/qemu-aarch64-static "$ROOT$interp"
    fi
  fi
}

bind_into_root() { # record, host dir, mount point
  mount --bind -- "$2" "$3"
  record_add "$1" mount "$3"
  # Private, so that nothing mounted below it later is propagated back to
  # the host and unmounting it never touches the host's own mounts.
  mount --make-private -- "$3"
}

# What every session needs in the root, mounted by whichever setup comes
# first and left for the last teardown.
ensure_shared_mounts() {
  if ! is_mounted "$ROOT/proc"; then
    mount -t proc proc "$ROOT/proc"
    record_add "$SHARED_FILE" mount "$ROOT/proc"
  fi
  if ! is_mounted "$ROOT/dev"; then
    bind_into_root "$SHARED_FILE" /dev "$ROOT/dev"
  fi
  # The bind above is not recursive, so /dev/shm inside the root would be the
  # bare directory on the host's devtmpfs; give it its own tmpfs instead.
  if ! is_mounted "$ROOT/dev/shm"; then
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$ROOT/dev/shm"
    record_add "$SHARED_FILE" mount "$ROOT/dev/shm"
  fi
}

# BIND_DIR must not hide what Wine needs inside the root, nor contain the root.
check_bind_dir() {
  local bind=$1 sys
  [[ $bind != *$'\n'* ]] || die "BIND_DIR must not contain a newline"
  [[ $bind != / && $bind != /tmp ]] || die "BIND_DIR may not be $bind"
  for sys in /proc /sys /dev /run /boot /etc /usr /bin /sbin /lib /lib32 /lib64 /libx32; do
    [[ $bind != "$sys" && $bind != "$sys"/* ]] || die "BIND_DIR may not lie under $sys"
  done
  [[ $ROOT != "$bind" && $ROOT != "$bind"/* ]] || die "BIND_DIR $bind contains the root $ROOT"
  [[ $bind != "$ROOT"/* ]] || die "BIND_DIR $bind lies inside the root $ROOT"
}

# Another session's bind mount inside ours, or ours inside it, would go with
# whichever is unmounted first.
check_no_nesting() {
  local bind=$1 record other
  while IFS= read -r record; do
    other=$(record_get "$record" bind)
    [[ -n $other && $other != "$bind" ]] || continue
    [[ $other != "$bind"/* && $bind != "$other"/* ]] ||
      die "BIND_DIR $bind and the bind folder $other of another session lie one inside the other"
  done < <(session_files)
}

OWN_RECORD=
setup_exit() {
  local rc=$?
  trap - EXIT
  # A signal can land while a step runs with its output sent to the log;
  # the trap then inherits that redirection.
  exec 2>&8
  if [[ -n $BUILDING ]]; then
    (safe_remove_tree "$BUILDING") || true
  fi
  if ((rc != 0)); then
    note "setup failed; undoing what it mounted"
    (teardown_locked "$OWN_RECORD") || true
  fi
  exit "$rc"
}

cmd_setup() {
  (($# == 1)) || usage
  need_root
  local bind log owner
  bind=$(realpath -m -- "$1")
  check_bind_dir "$bind"
  mkdir -p -- "$bind"
  # Again, now that any links on the way exist and resolve.
  bind=$(realpath -e -- "$bind")
  check_bind_dir "$bind"
  # The caller owns the session: test.sh, or the shell of whoever set it up.
  owner="$PPID $(start_time "$PPID")"
  lock
  { exec 8>&2; } 2>/dev/null || exec 8>/dev/null
  OWN_RECORD=$(session_file "$bind")
  trap setup_exit EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM

  ensure_host_packages
  mkdir -p -- "$SESSIONS_DIR"
  # A setup again for the same folder starts its session afresh, whichever
  # version of this script recorded it.
  local record
  while IFS= read -r record; do
    [[ $(record_get "$record" bind) != "$bind" ]] || end_session "$record"
  done < <(session_files)
  end_stale_sessions "$OWN_RECORD"
  check_no_nesting "$bind"
  if ! root_is_complete; then
    [[ -z $(session_files) ]] ||
      die "the root $ROOT is incomplete while sessions use it: $(session_files | tr '\n' ' ')"
    # A half-built root may still have mounts in it.
    end_shared
    build_root
  fi

  PREFIX=$bind/wineprefix-arm64
  record_add "$OWN_RECORD" bind "$bind"
  record_add "$OWN_RECORD" prefix "$PREFIX"
  record_add "$OWN_RECORD" owner "$owner"
  ensure_binfmt
  ensure_shared_mounts
  # A bind mount whose record was lost: mounting again would stack on it.
  unmount_tree "$ROOT$bind" || die "could not unmount $ROOT$bind"
  mkdir_in_root "$bind" "$OWN_RECORD"
  bind_into_root "$OWN_RECORD" "$bind" "$ROOT$bind"

  # A fresh prefix every setup: no state leaks from one test session into the
  # next. Whatever still runs in the old one (a session whose record was
  # lost) goes first, as its server keeps the prefix open.
  stop_session_processes "$bind"
  safe_remove_tree "$PREFIX"
  mkdir -m 700 -- "$PREFIX"

  # Wine's background processes keep whatever stdout/stderr they were started
  # with; a log file here keeps them off the caller's pipes.
  log=$bind/.arm64-wine-setup.log
  : >"$log"
  note "starting wineserver and creating $PREFIX"
  # -p without a number: stay up until teardown, so every run finds a warm
  # server instead of paying its start-up under emulation.
  in_root "$SERVER_TIMEOUT" "$WINESERVER" -p </dev/null >>"$log" 2>&1 ||
    die "wineserver did not start (see $log)"
  # The loader fills an empty prefix by itself (wineboot) before it starts
  # the program, so any trivial program will do. Not "wineboot --init": the
  # loader would run its own wineboot first, and the second one starts a
  # second services.exe; the two then fight over service start-up, RpcSs
  # never comes up, and every GUI program stalls about 10 s per COM call.
  in_root "$WINEBOOT_TIMEOUT" "$WINE_LOADER" cmd.exe /c exit 0 </dev/null >>"$log" 2>&1 ||
    die "creating the Wine prefix failed (see $log)"

  # A GUI program needs the desktop, which Wine runs as "explorer.exe
  # /desktop". Started on demand, it inherits that program's stderr (so a
  # caller reading it waits for explorer to quit), and it quits a second after
  # the last GUI program, so the next one pays its start-up again. A resident
  # GUI program keeps one desktop up for the whole session, started here with
  # its output in our log. progman.exe suits: an idle message loop, no timers,
  # and unlike most built-in GUI programs it survives having no display.
  # Creating the prefix started a desktop that is about to quit; wait for it,
  # so that the desktop we wait for next is surely the one progman holds and
  # no caller's program can start a fresh one in the gap.
  local deadline=$((SECONDS + 15))
  while desktop_running && ((SECONDS < deadline)); do
    sleep 0.2
  done
  in_root_detached "$WINE_LOADER" progman.exe </dev/null >>"$log" 2>&1
  deadline=$((SECONDS + SERVER_TIMEOUT))
  until desktop_running; do
    ((SECONDS < deadline)) || die "the Wine desktop did not come up (see $log)"
    sleep 0.2
  done
  trap - EXIT HUP INT TERM
  note "ready: root $ROOT, prefix $PREFIX"
}

# --- run ------------------------------------------------------------------------

# The record of the session that `run` or `env` means: the one for --bind,
# else the one whose bind folder holds $1 (a path), else the only one.
find_session() {
  local wanted=$1 path=$2 record bind found=
  local -a all=()
  mapfile -t all < <(session_files)
  [[ -z $wanted ]] || wanted=$(realpath -m -- "$wanted")
  for record in "${all[@]}"; do
    bind=$(record_get "$record" bind)
    [[ -n $bind ]] || continue
    if [[ -n $wanted ]]; then
      [[ $bind != "$wanted" ]] || found=$record
    elif [[ $path == "$bind" || $path == "$bind"/* ]]; then
      found=$record
    fi
  done
  if [[ -n $wanted ]]; then
    [[ -z $found ]] || printf '%s\n' "$found"
    return 0
  fi
  if [[ -z $found && ${#all[@]} == 1 ]]; then
    found=${all[0]}
  fi
  [[ -z $found ]] || printf '%s\n' "$found"
}

cmd_run() {
  local secs=$DEFAULT_RUN_TIMEOUT wanted=
  while (($# > 0)); do
    case $1 in
      --timeout)
        (($# >= 2)) || usage
        secs=$2
        shift 2
        ;;
      --timeout=*)
        secs=${1#--timeout=}
        shift
        ;;
      --bind)
        (($# >= 2)) || usage
        wanted=$2
        shift 2
        ;;
      --bind=*)
        wanted=${1#--bind=}
        shift
        ;;
      --)
        shift
        break
        ;;
      -*) usage ;;
      *) break ;;
    esac
  done
  (($# >= 1)) || usage
  [[ $secs =~ ^[0-9]+(\.[0-9]+)?$ && ! $secs =~ ^0+(\.0+)?$ ]] ||
    die "--timeout needs a positive number of seconds (got $secs)"
  need_root

  local record bind program cwd
  cwd=$(pwd -P)
  if [[ $1 == */* ]]; then
    program=$(realpath -m -- "$1")
  else
    program=$1
  fi
  record=$(find_session "$wanted" "$([[ $program == /* ]] && echo "$program" || echo "$cwd")")
  bind=$(record_get "$record" bind)
  PREFIX=$(record_get "$record" prefix)
  if [[ -z $bind || -z $PREFIX ]] || ! is_mounted "$ROOT$bind"; then
    die "not set up: run '$ME setup BIND_DIR' first${wanted:+ (no session for $wanted)}"
  fi
  # A bare name without a slash is one of Wine's own programs (reg, cmd),
  # which lives inside the prefix; anything else must be a file the root
  # can see.
  if [[ $program == /* ]]; then
    [[ $program == "$bind"/* ]] || die "$program does not lie under $bind, so the root cannot see it"
    [[ -f $program ]] || die "no such program: $program"
  fi
  shift
  [[ $cwd == "$bind" || $cwd == "$bind"/* ]] || cwd=$bind

  # timeout puts the program in a process group of its own, out of reach of
  # the Ctrl-C or TERM that stops us; pass those on, or an interrupted caller
  # would leave the program running until its timeout. Hence the background
  # job, and its stdin given explicitly (a background job's default is
  # /dev/null).
  local child rc
  set_wine_env
  { exec 7<&0; } 2>/dev/null || exec 7</dev/null # our stdin may be closed
  # shellcheck disable=SC2016  # expanded by dash inside the root
  "${WINE_ENV[@]}" timeout -k 5 "$secs" chroot "$ROOT" \
    "$DASH" -c 'cd "$1" || exit 125; shift; exec "$@"' arm64-wine \
    "$cwd" "$WINE_LOADER" "$program" "$@" <&7 7<&- 8>&- 9>&- &
  child=$! # timeout itself: env execs it
  trap 'kill -TERM "$child" 2>/dev/null' HUP INT TERM
  while :; do
    rc=0
    wait "$child" || rc=$?
    # A trapped signal ends the wait early; the job is then still there.
    kill -0 "$child" 2>/dev/null || break
  done
  ((rc != 124)) || note "$program timed out after $secs s"
  exit "$rc"
}

# --- env ------------------------------------------------------------------------

cmd_env() {
  (($# <= 1)) || usage
  local record bind prefix ready=0
  record=$(find_session "${1:-}" "$(pwd -P)")
  bind=$(record_get "$record" bind)
  prefix=$(record_get "$record" prefix)
  [[ -n $bind ]] && is_mounted "$ROOT$bind" && ready=1
  printf 'ARM64_WINE_ROOT=%s\n' "$ROOT"
  printf 'ARM64_WINE_BIND_DIR=%s\n' "$bind"
  printf 'WINEPREFIX=%s\n' "$prefix"
  printf 'ARM64_WINE_READY=%s\n' "$ready"
}

(($# > 0)) || usage
command=$1
shift
case $command in
  setup) cmd_setup "$@" ;;
  run) cmd_run "$@" ;;
  teardown) cmd_teardown "$@" ;;
  env) cmd_env "$@" ;;
  -h | --help | help) usage ;;
  *) usage ;;
esac
