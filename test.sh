#!/usr/bin/env bash
# Runs the test tiers with pytest (tests/harness: the tiers, the platforms,
# the counts) and prints a line per tier, then "N passed, N failed".
#
#   ./test.sh                          every tier
#   ./test.sh TIER [ARGUMENTS...]      one tier (tests/harness/tiers.py lists them);
#                                      the arguments go to pytest
#   ./test.sh behaviour --gtest_filter='RunStubTest.*'    some behaviour tests
#   ./test.sh e2e-x64 -k WorkArea                          end-to-end tests by name
#
# Installs what is missing first (Debian 12, as root), then builds what the
# tier needs (one workflow preset of CMakePresets.json). Logs and results in
# build/results/.
set -uo pipefail
cd "$(dirname "$0")"
tiers=tests/harness/tiers.py

# The tier is checked before anything is installed or built.
[ -x /usr/bin/python3 ] || tools/install-deps.sh test || exit 1
selection=()
if [ $# -gt 0 ]; then
    case $1 in -h | --help) /usr/bin/python3 "$tiers" usage; exit 0 ;; esac
    workflow=$(/usr/bin/python3 "$tiers" workflow "$1") || exit 2
    selection=(--tier "$1")
    shift
else
    workflow=$(/usr/bin/python3 "$tiers" workflow) || exit 2
fi

tools/install-deps.sh test || exit 1
rm -rf build/results
mkdir -p build/results
if [ -n "$workflow" ]; then
    CMAKE_BUILD_PARALLEL_LEVEL=$(nproc) cmake --workflow --preset "$workflow" >build/results/build.log 2>&1 || {
        echo "build of the $workflow workflow failed (build/results/build.log):"
        tail -n 40 build/results/build.log
        exit 1
    }
fi
# Run as root from a checkout: no compiled modules are left in it.
export PYTHONDONTWRITEBYTECODE=1
exec /usr/bin/python3 -m pytest -rfE --junitxml=build/results/junit.xml "${selection[@]}" "$@"
