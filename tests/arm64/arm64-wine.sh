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
#   arm64-wine.sh run [--timeout SECONDS] PROGRAM.exe [ARGS...]
#   arm64-wine.sh teardown
#   arm64-wine.sh env
#
# Environment:
#   ARM64_WINE_ROOT      cached root (default /var/cache/installer-stub/arm64-wine-root)
#   ARM64_WINE_MIRROR    Debian mirror for building the root (default: the one apt uses)
#   ARM64_WINE_WINEDEBUG WINEDEBUG for the programs (default -all: Wine is chatty
#                        under emulation and our tests read stdout/stderr)
#
# One session per root: setup records it in a state file beside the root
# (ROOT.state), and run/teardown/env read it from there. A setup for another
# BIND_DIR first tears the previous session down.
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
# 2-core machine; leave room for a loaded one.
readonly WINEBOOT_TIMEOUT=300
readonly SERVER_TIMEOUT=60

die() {
  printf '%s: %s\n' "$ME" "$*" >&2
  exit 1
}
note() { printf '%s: %s\n' "$ME" "$*" >&2; }

usage() {
  cat >&2 <<EOF
usage: $ME setup BIND_DIR
       $ME run [--timeout SECONDS] PROGRAM.exe [ARGS...]
       $ME teardown
       $ME env
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
readonly STATE_FILE=$ROOT.state
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

# Creates $1 (a path as seen inside the root) below the root without following
# symbolic links: the root's own links are absolute (/var/run -> /run, say) and
# following them from the host side would create directories on the host.
mkdir_in_root() {
  local path=$ROOT part
  local -a parts
  IFS=/ read -ra parts <<<"${1#/}"
  for part in "${parts[@]}"; do
    [[ -n $part ]] || continue
    path=$path/$part
    [[ ! -L $path ]] || die "$path is a symbolic link inside the root; refusing to follow it"
    [[ -d $path ]] || mkdir -- "$path"
  done
}

# --- state ----------------------------------------------------------------
# One "KEY VALUE" pair a line. Mounts are appended the moment they succeed, so
# a setup that dies half-way still leaves teardown a full list.

state_add() { printf '%s %s\n' "$1" "$2" >>"$STATE_FILE"; }

state_get() {
  local key value
  [[ -f $STATE_FILE ]] || return 0
  while read -r key value; do
    if [[ $key == "$1" ]]; then
      printf '%s\n' "$value"
      return 0
    fi
  done <"$STATE_FILE"
}

state_all() {
  local key value
  [[ -f $STATE_FILE ]] || return 0
  while read -r key value; do
    [[ $key == "$1" ]] && printf '%s\n' "$value"
  done <"$STATE_FILE"
  return 0
}

lock() {
  mkdir -p -- "$(dirname -- "$ROOT")"
  exec 9>"$LOCK_FILE"
  flock -w 900 9 || die "another setup or teardown holds $LOCK_FILE"
}

need_root() {
  [[ $EUID -eq 0 ]] || die "must run as root (it mounts and chroots)"
}

# --- processes in the root --------------------------------------------------

# Every process whose root directory is ours was started through this script.
root_pids() {
  local line dir
  # One find for all processes: a readlink for each of them makes the polling
  # loops below take seconds.
  while IFS= read -r line; do
    dir=${line##*$'\t'}
    [[ ${line%$'\t'*} == "$ROOT" && $dir == /proc/[0-9]* ]] && printf '%s\n' "${dir#/proc/}"
  done < <(find /proc -mindepth 2 -maxdepth 2 -name root -printf '%l\t%h\n' 2>/dev/null)
  return 0
}

# Waits up to $1 seconds for the root to have no processes left.
wait_root_idle() {
  local deadline=$((SECONDS + $1))
  while [[ -n $(root_pids) ]]; do
    ((SECONDS < deadline)) || return 1
    sleep 0.2
  done
}

kill_root_processes() {
  local pids
  pids=$(root_pids)
  [[ -n $pids ]] || return 0
  note "stopping leftover processes in the root: ${pids//$'\n'/ }"
  # shellcheck disable=SC2086  # one pid a word
  kill -TERM $pids 2>/dev/null || true
  wait_root_idle 5 && return 0
  pids=$(root_pids)
  # shellcheck disable=SC2086
  [[ -z $pids ]] || kill -KILL $pids 2>/dev/null || true
  wait_root_idle 5 || die "processes in $ROOT survive SIGKILL: $(root_pids | tr '\n' ' ')"
}

# The environment for Wine chrooted into the root. Host variables that would
# point the arm64 side at host files are dropped; DISPLAY is dropped so that no
# run ever depends on a host X server. An array rather than a wrapper
# function, so that a command started in the background with it has $! naming
# the real process.
#
# Every command started in the root closes fds 8 (setup's saved stderr) and 9
# (the lock): Wine's resident processes would hold them for the whole session.
set_wine_env() {
  WINE_ENV=(env -u DISPLAY -u WAYLAND_DISPLAY -u TMPDIR -u LD_PRELOAD -u LD_LIBRARY_PATH
    -u WINELOADER -u WINESERVER -u WINEDLLPATH -u WINEARCH
    WINEPREFIX="$PREFIX" WINEDEBUG="$WINE_DEBUG" WINEDLLOVERRIDES="$WINE_DLL_OVERRIDES")
}

in_root() {
  local secs=$1
  shift
  set_wine_env
  "${WINE_ENV[@]}" timeout -k 5 "$secs" chroot "$ROOT" "$@" 8>&- 9>&-
}

# Same, but detached into its own session and not waited for.
in_root_detached() {
  set_wine_env
  "${WINE_ENV[@]}" setsid -f chroot "$ROOT" "$@" 8>&- 9>&-
}

desktop_running() {
  local pid
  for pid in $(root_pids); do
    tr '\0' ' ' <"/proc/$pid/cmdline" 2>/dev/null | grep -q 'explorer\.exe /desktop' && return 0
  done
  return 1
}

# --- teardown ---------------------------------------------------------------

teardown_locked() {
  local i failed=0
  PREFIX=$(state_get prefix)
  if [[ -n $PREFIX ]] && is_mounted "$ROOT$(state_get bind)" && [[ -x $ROOT$WINESERVER ]]; then
    in_root 30 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    wait_root_idle 10 || true
  fi
  kill_root_processes

  # What we recorded, newest first; then anything else below the root (a
  # state file lost or never written), deepest first.
  local -a recorded=() leftover=()
  mapfile -t recorded < <(state_all mount)
  for ((i = ${#recorded[@]} - 1; i >= 0; i--)); do
    is_mounted "${recorded[i]}" && { unmount "${recorded[i]}" || failed=1; }
  done
  mapfile -t leftover < <(mounts_under "$ROOT")
  for ((i = ${#leftover[@]} - 1; i >= 0; i--)); do
    is_mounted "${leftover[i]}" && { unmount "${leftover[i]}" || failed=1; }
  done

  # Leave binfmt_misc as we found it. (On current kernels unmounting it
  # alone would drop the entry too, but not on older ones.)
  if [[ -z $(root_pids) ]]; then
    local entry
    entry=$(state_get binfmt-entry)
    if [[ -n $entry && -e $entry ]]; then
      echo -1 >"$entry" || failed=1
    fi
    if [[ -n $(state_get binfmt) ]] && is_mounted "$BINFMT_DIR"; then
      unmount "$BINFMT_DIR" || failed=1
    fi
  fi

  [[ -z $(mounts_under "$ROOT") ]] || die "mounts left below $ROOT: $(mounts_under "$ROOT" | tr '\n' ' ')"
  ((failed == 0)) || die "some unmounts failed"
  rm -f -- "$STATE_FILE"
}

cmd_teardown() {
  (($# == 0)) || usage
  need_root
  lock
  teardown_locked
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
    state_add binfmt "$BINFMT_DIR"
  fi
  [[ $(<"$BINFMT_DIR/status") == enabled ]] || echo 1 >"$BINFMT_DIR/status"
  if [[ ! -e $entry ]]; then
    line=$(grep -v -e '^#' -e '^[[:space:]]*$' "$BINFMT_CONF" | head -n 1) ||
      die "no binfmt line in $BINFMT_CONF"
    printf '%s' "$line" >"$BINFMT_DIR/register"
    state_add binfmt-entry "$entry"
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

bind_into_root() { # host dir, mount point
  mount --bind -- "$1" "$2"
  state_add mount "$2"
  # Private, so that nothing mounted below it later is propagated back to
  # the host and unmounting it never touches the host's own mounts.
  mount --make-private -- "$2"
}

ensure_mounts() {
  local bind=$1
  if ! is_mounted "$ROOT/proc"; then
    mount -t proc proc "$ROOT/proc"
    state_add mount "$ROOT/proc"
  fi
  if ! is_mounted "$ROOT/dev"; then
    bind_into_root /dev "$ROOT/dev"
  fi
  # The bind above is not recursive, so /dev/shm inside the root would be the
  # bare directory on the host's devtmpfs; give it its own tmpfs instead.
  if ! is_mounted "$ROOT/dev/shm"; then
    mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs "$ROOT/dev/shm"
    state_add mount "$ROOT/dev/shm"
  fi
  if ! is_mounted "$ROOT$bind"; then
    mkdir_in_root "$bind"
    bind_into_root "$bind" "$ROOT$bind"
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
    (teardown_locked) || true
  fi
  exit "$rc"
}

cmd_setup() {
  (($# == 1)) || usage
  need_root
  local bind old_bind log
  bind=$(realpath -m -- "$1")
  check_bind_dir "$bind"
  mkdir -p -- "$bind"
  # Again, now that any links on the way exist and resolve.
  bind=$(realpath -e -- "$bind")
  check_bind_dir "$bind"
  lock
  { exec 8>&2; } 2>/dev/null || exec 8>/dev/null
  trap setup_exit EXIT
  trap 'exit 129' HUP
  trap 'exit 130' INT
  trap 'exit 143' TERM

  ensure_host_packages
  old_bind=$(state_get bind)
  if [[ -f $STATE_FILE && $old_bind != "$bind" ]] || [[ ! -f $STATE_FILE && -n $(mounts_under "$ROOT") ]]; then
    note "tearing down the previous session${old_bind:+ for $old_bind}"
    teardown_locked
  fi
  if ! root_is_complete; then
    # A half-built root may still have our mounts in it.
    [[ -z $(mounts_under "$ROOT") ]] || teardown_locked
    build_root
  fi

  PREFIX=$bind/wineprefix-arm64
  if [[ ! -f $STATE_FILE ]]; then
    state_add bind "$bind"
    state_add prefix "$PREFIX"
  fi
  ensure_binfmt
  ensure_mounts "$bind"

  # A fresh prefix every setup: no state leaks from one test session into the
  # next. The old server must go first, it keeps the prefix open.
  if [[ -n $(root_pids) ]]; then
    in_root 30 "$WINESERVER" -k </dev/null >/dev/null 2>&1 || true
    wait_root_idle 10 || true
    kill_root_processes
  fi
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

cmd_run() {
  local secs=$DEFAULT_RUN_TIMEOUT
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

  local bind program cwd
  bind=$(state_get bind)
  PREFIX=$(state_get prefix)
  if [[ -z $bind || -z $PREFIX ]] || ! is_mounted "$ROOT$bind"; then
    die "not set up: run '$ME setup BIND_DIR' first"
  fi
  # A bare name without a slash is one of Wine's own programs (reg, cmd),
  # which lives inside the prefix; anything else must be a file the root
  # can see.
  if [[ $1 == */* ]]; then
    program=$(realpath -m -- "$1")
    [[ $program == "$bind"/* ]] || die "$program does not lie under $bind, so the root cannot see it"
    [[ -f $program ]] || die "no such program: $program"
  else
    program=$1
  fi
  shift
  cwd=$(pwd -P)
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
  (($# == 0)) || usage
  local bind prefix ready=0
  bind=$(state_get bind)
  prefix=$(state_get prefix)
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
