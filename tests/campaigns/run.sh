#!/usr/bin/env bash
# Reliability campaigns against the real x64 installer under Wine: installers
# with a damaged setup cabinet, and many installers started at once from one
# folder. (The third campaign, the fault sweep, is a behaviour test and runs
# in that tier.) Prints each campaign's summary, then "N passed, N failed".
#
#   tests/campaigns/run.sh           200 damaged cabinets, one round of 32 installers
#   tests/campaigns/run.sh --long    2000 damaged cabinets, five rounds of 32
#
# Needs build/x64 built. Runs in the prefix that test.sh exported as WINEPREFIX
# (with its persistent wineserver); without one it makes its own in
# build/campaigns/wineprefix and stops that one's server at the end. Full logs
# and the folders of failed cases are under build/campaigns/.
set -uo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD

cabinets=(--count 200)
rounds=(--rounds 1)
case "${1:-}" in
    "") ;;
    --long) cabinets=(--count 2000); rounds=(--rounds 5) ;;
    *) echo "usage: $0 [--long]" >&2; exit 2 ;;
esac

for needed in build/x64/probe-installer.exe build/x64/tools/launcher.exe; do
    [ -f "$needed" ] || { echo "$needed is missing: build the x64 preset first"; echo "0 passed, 1 failed"; exit 1; }
done

if [ -z "${WINEPREFIX:-}" ]; then
    . tests/lib/wine.sh
    trap wine_teardown EXIT
    wine_setup "$REPO/build/campaigns/wineprefix"
fi

LOGS=$REPO/build/campaigns
mkdir -p "$LOGS"
total_passed=0
total_failed=0

# Runs one campaign script, shows its summary and adds its counts; a script
# that printed no count has failed.
campaign() {
    local name=$1 log=$LOGS/$1.log
    shift
    echo "== $name"
    /usr/bin/python3 "$@" >"$log" 2>&1
    grep -E '^(cabinet campaign|concurrency):|FAIL|CRASH|KNOWN|^Traceback' "$log"
    local line passed=0 failed=1
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1)
    if [ -n "$line" ]; then
        read -r passed failed < <(echo "$line" | sed -E 's/^([0-9]+) passed, ([0-9]+) failed.*/\1 \2/')
    fi
    echo "$name: $passed passed, $failed failed"
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
}

campaign cabinets tests/campaigns/cabinet_campaign.py "${cabinets[@]}"
campaign concurrency tests/campaigns/concurrency.py "${rounds[@]}"

echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ] && [ "$total_passed" -gt 0 ]
