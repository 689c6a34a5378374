#!/usr/bin/env bash
# Runs the test tiers and prints a line per tier, then "N passed, N failed".
#
#   ./test.sh                          every tier
#   ./test.sh behaviour                one tier: behaviour | e2e-x64 | campaigns | packaging | fuzz | arm64 | acceptance
#   ./test.sh behaviour --gtest_filter='RunStubTest.*'    one behaviour test
#   ./test.sh e2e-x64 -k WorkArea                          end-to-end tests by name
#
# Installs what is missing first (Debian 12, as root), then builds the three
# presets (arm64, x64, tests-x64).
set -uo pipefail
cd "$(dirname "$0")"
REPO=$PWD

all_tiers=(behaviour e2e-x64 campaigns packaging fuzz arm64 acceptance)
tiers=()
extra=()
if [ $# -gt 0 ] && [[ " ${all_tiers[*]} " == *" $1 "* ]]; then
    tiers=("$1")
    shift
    extra=("$@")
else
    tiers=("${all_tiers[@]}")
fi

tools/install-deps.sh test || exit 1
for preset in arm64 x64 tests-x64; do
    { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j "$(nproc)" >/dev/null; } || {
        echo "build of preset $preset failed:"
        cmake --build --preset "$preset" 2>&1 | tail -40
        exit 1
    }
done

RESULTS=$REPO/build/results
rm -rf "$RESULTS"
mkdir -p "$RESULTS"

. tests/lib/wine.sh
arm64_started=0
cleanup() {
    wine_teardown
    # Only this checkout's session: others may be testing beside us.
    [ $arm64_started = 1 ] && tests/arm64/arm64-wine.sh teardown "$REPO/build" >/dev/null 2>&1
    return 0
}
trap cleanup EXIT
wine_setup "$REPO/build/wineprefix-x64"

total_passed=0
total_failed=0
summary=()

# Starts that the platform itself refused (Wine, now and then) are made once
# more, but a whole run may retry only this many, so that a real regression
# cannot hide behind retries (tests/lib/platform_starts.py). Each tier's
# processes write theirs to a log of the tier's own.
RUN_START_RETRIES=5
retried_total=0
export PLATFORM_START_LOG PLATFORM_START_LIMIT

# Adds a tier's counts: "name passed failed".
record() {
    summary+=("$(printf '%-10s %s passed, %s failed' "$1:" "$2" "$3")")
    total_passed=$((total_passed + $2))
    total_failed=$((total_failed + $3))
}

# The last "N passed, N failed" line of a log, or "0 1" when there is none
# (a tier that printed no count has failed).
counts_from() {
    local line
    line=$(grep -E '^[0-9]+ passed, [0-9]+ failed' "$1" | tail -n 1)
    if [ -z "$line" ]; then echo "0 1"; else echo "$line" | sed -E 's/^([0-9]+) passed, ([0-9]+) failed.*/\1 \2/'; fi
}

tier_behaviour() {
    local log=$RESULTS/behaviour.log xml=$RESULTS/behaviour.xml
    (cd build/tests-x64 && timeout 1200 "$WINE64" behaviour_tests.exe --gtest_output="xml:$(basename "$xml")" \
        "${extra[@]}") >"$log" 2>&1
    local status=$?
    mv build/tests-x64/"$(basename "$xml")" "$xml" 2>/dev/null
    grep -E '^\[  (FAILED|PASSED) |^\[==========\]' "$log" | tail -n 20
    if [ -f "$xml" ]; then
        /usr/bin/python3 - "$xml" "$status" <<'PY'
import sys, xml.etree.ElementTree as ET
root = ET.parse(sys.argv[1]).getroot()
tests = int(root.get("tests")); failed = int(root.get("failures")) + int(root.get("errors", 0))
skipped = int(root.get("disabled", 0)) + int(root.get("skipped", 0))
if sys.argv[2] != "0" and failed == 0:
    failed = 1  # the program itself failed (crash, timeout)
print("%d passed, %d failed" % (tests - failed - skipped, failed))
PY
    else
        echo "0 passed, 1 failed"
    fi >"$RESULTS/behaviour.count"
    record behaviour $(counts_from "$RESULTS/behaviour.count")
}

tier_e2e_x64() {
    local log=$RESULTS/e2e-x64.log
    /usr/bin/python3 tests/e2e/e2e.py --arch x64 "${extra[@]}" >"$log" 2>&1
    grep -E 'FAIL|ERROR|passed' "$log" | tail -n 20
    record e2e-x64 $(counts_from "$log")
}

tier_campaigns() {
    # Damaged cabinets and 32 installers at once, under x64 Wine (the fault
    # sweep runs in the behaviour tier); the long form is
    # tests/campaigns/run.sh --long.
    local log=$RESULTS/campaigns.log
    tests/campaigns/run.sh "${extra[@]}" >"$log" 2>&1
    grep -E '^(cabinet campaign|concurrency):|FAIL|passed' "$log" | tail -n 25
    record campaigns $(counts_from "$log")
}

tier_packaging() {
    local log=$RESULTS/packaging.log
    /usr/bin/python3 tests/packaging/test_packaging.py "${extra[@]}" >"$log" 2>&1
    grep -E 'FAIL|ERROR|passed' "$log" | tail -n 20
    record packaging $(counts_from "$log")
}

tier_fuzz() {
    # Host-native libFuzzer runs over the text, switch-scan, pass-on and
    # cabinet-layout code; the long form is tests/fuzz/run.sh --runs 10000000.
    local log=$RESULTS/fuzz.log
    tests/fuzz/run.sh "${extra[@]}" >"$log" 2>&1
    grep -E '^fuzz |passed' "$log" | tail -n 20
    record fuzz $(counts_from "$log")
}

tier_arm64() {
    local log=$RESULTS/arm64.log passed=0 failed=0
    # Structure of the real ARM64 (and x64) installers, and the protections of
    # the bare stubs, on every build.
    for arch in arm64 x64; do
        for image in installer stub; do
            local options=()
            [ $image = stub ] && options=(--image-only)
            if /usr/bin/python3 tools/check_installer.py "build/$arch/$image.exe" "$arch" "${options[@]}" \
                >"$RESULTS/structure-$arch-$image.log" 2>&1; then
                passed=$((passed + 1))
            else
                failed=$((failed + 1))
                grep FAIL "$RESULTS/structure-$arch-$image.log"
            fi
        done
    done
    # The checker itself: planted faults must each be caught.
    PYTHONPATH=$REPO/tools /usr/bin/python3 - >"$RESULTS/structure-checker.log" 2>&1 <<'PY'
import sys, unittest
suite = unittest.defaultTestLoader.discover("tests/structure")
result = unittest.TextTestRunner(verbosity=2, stream=sys.stdout).run(suite)
failed = len(result.failures) + len(result.errors)
print("%d passed, %d failed" % (result.testsRun - failed - len(result.skipped), failed))
PY
    read -r p f < <(counts_from "$RESULTS/structure-checker.log")
    passed=$((passed + p))
    failed=$((failed + f))
    # The real ARM64 installer end to end, under emulation; then the
    # emulation's sessions side by side, beside this checkout's own.
    arm64_started=1
    if tests/arm64/arm64-wine.sh setup "$REPO/build" >"$RESULTS/arm64-setup.log" 2>&1; then
        /usr/bin/python3 tests/e2e/e2e.py --arch arm64 "${extra[@]}" >"$log" 2>&1
        grep -E 'FAIL|ERROR|passed' "$log" | tail -n 20
        read -r p f < <(counts_from "$log")
        passed=$((passed + p))
        failed=$((failed + f))
        /usr/bin/python3 tests/arm64/test_sessions.py "${extra[@]}" >"$RESULTS/arm64-sessions.log" 2>&1
        grep -E 'FAIL|ERROR|passed' "$RESULTS/arm64-sessions.log" | tail -n 20
        read -r p f < <(counts_from "$RESULTS/arm64-sessions.log")
        passed=$((passed + p))
        failed=$((failed + f))
    else
        echo "ARM64 emulation setup failed:"
        tail -n 20 "$RESULTS/arm64-setup.log"
        failed=$((failed + 1))
    fi
    record arm64 "$passed" "$failed"
}

tier_acceptance() {
    # The acceptance kit of each architecture, whole, under Wine x64 and the
    # ARM64 emulation (tables in the log), each gated by its platform's
    # NOT-SHOWN list; the kit's judging fed what Windows reports; and the
    # Windows workflow through a validator.
    local log=$RESULTS/acceptance.log archs=(--arch x64) setup_failed=0
    arm64_started=1
    if tests/arm64/arm64-wine.sh setup "$REPO/build" >"$RESULTS/acceptance-arm64-setup.log" 2>&1; then
        archs+=(--arch arm64)
    else
        echo "ARM64 emulation setup failed:"
        tail -n 20 "$RESULTS/acceptance-arm64-setup.log"
        setup_failed=1
    fi
    /usr/bin/python3 tests/acceptance/acceptance.py "${archs[@]}" "${extra[@]}" >"$log" 2>&1
    sed -En '/^--- the kit/,/^ *[0-9]+ passed, [0-9]+ failed, [0-9]+ not shown/p' "$log"
    grep -E '^(FAIL|ERROR):|^[0-9]+ passed' "$log" | tail -n 20
    read -r p f < <(counts_from "$log")
    record acceptance "$p" $((f + setup_failed))
}

for tier in "${tiers[@]}"; do
    echo "== $tier"
    PLATFORM_START_LOG=$RESULTS/$tier.platform-starts.log
    PLATFORM_START_LIMIT=$((RUN_START_RETRIES - retried_total))
    : >"$PLATFORM_START_LOG"
    "tier_${tier//-/_}"
    retried=$(wc -l <"$PLATFORM_START_LOG")
    retried_total=$((retried_total + retried))
    sed 's/^/platform start failure retried: /' "$PLATFORM_START_LOG"
    summary[${#summary[@]} - 1]+=", $retried platform start failures retried"
done

echo
for line in "${summary[@]}"; do echo "$line"; done
echo "platform start failures retried: $retried_total (a run may retry $RUN_START_RETRIES)"
# Processes decide at the same moment now and then; more than the run may
# retry is a failure of the run.
[ "$retried_total" -le "$RUN_START_RETRIES" ] || total_failed=$((total_failed + 1))
echo "$total_passed passed, $total_failed failed"
[ "$total_failed" = 0 ] && [ "$total_passed" -gt 0 ]
