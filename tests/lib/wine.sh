# Sourced by test.sh: a private Wine prefix for x64 under build/, made fresh
# once per run, and a persistent wineserver so that each program starts fast.
WINE64=/usr/lib/wine/wine64
WINESERVER=/usr/lib/wine/wineserver64
[ -x "$WINESERVER" ] || WINESERVER=/usr/lib/wine/wineserver
. "$(dirname "${BASH_SOURCE[0]}")/without_inherited_fds.sh"

wine_setup() {
    export WINEPREFIX="$1"
    export WINEDEBUG=-all
    export WINEDLLOVERRIDES="mscoree,mshtml="
    # A server left by an earlier run that never reached its teardown
    # (killed) would outlive the prefix deleted under it.
    # No server to end is no failure, for a caller under `set -e` too.
    if [ -d "$WINEPREFIX" ]; then timeout 60 "$WINESERVER" -k 2>/dev/null || true; fi
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    without_inherited_fds "$WINESERVER" -p
    # The first program sets the prefix up and starts Wine's own services,
    # which then live as long as the persistent server. Start them here, with
    # nothing attached to their output, so that no test's output pipe stays
    # open behind them. (An explicit wineboot on a fresh prefix would set it
    # up twice and leave a second service manager behind.)
    without_inherited_fds timeout 300 "$WINE64" cmd.exe /c exit 0 </dev/null >/dev/null 2>&1 || true
}

wine_teardown() {
    [ -n "${WINEPREFIX:-}" ] || return 0
    timeout 60 "$WINESERVER" -k 2>/dev/null || true
}
