#!/usr/bin/env bash
# Prints the project's size, speed and memory figures, each with how it was
# measured and its goal, and writes them to bench/results.md.
#   ./bench.sh [--runs N] [--before REV]
#     --runs N      N runs of each timed kind (default 15)
#     --before REV  the commit whose figures are printed beside this checkout's
#                   (default: the one before the cabinet was expanded from memory)
#   ./bench.sh packaging [--size MIB] [--baseline REF]
#                   the packaging's figures for a 1 GiB archive (or MIB), beside
#                   those of an earlier commit's packaging
#                   (tests/bench/packaging_bench.py)
# Installs what is missing, builds the arm64, x64 and tests-x64 presets here
# (the bench workflow; the product workflow for packaging) and in a worktree of
# REV (build/bench/before, preset by preset: REV may have no workflows), and
# runs Wine in a prefix of its own (build/wineprefix-bench), always torn down.
set -euo pipefail

if [ "${1:-}" = packaging ]; then
    shift
    cd "$(dirname "$0")"
    tools/install-deps.sh test
    # Each preset serially, as below.
    cmake --workflow --preset product >/dev/null
    exec /usr/bin/python3 tests/bench/packaging_bench.py "$@"
fi

runs=15
before=""
while [ $# -gt 0 ]; do
    case $1 in
        --runs) [ $# -ge 2 ] || { echo "bench.sh: --runs needs a value" >&2; exit 2; }; runs=$2; shift 2 ;;
        --runs=*) runs=${1#*=}; shift ;;
        --before) [ $# -ge 2 ] || { echo "bench.sh: --before needs a commit" >&2; exit 2; }; before=$2; shift 2 ;;
        --before=*) before=${1#*=}; shift ;;
        -h | --help) sed -n '2,14p' "$0"; exit 0 ;;
        *) echo "bench.sh: unknown option '$1'" >&2; exit 2 ;;
    esac
done
[[ $runs =~ ^[1-9][0-9]*$ ]] || { echo "bench.sh: --runs wants a positive number" >&2; exit 2; }

cd "$(dirname "$0")"
REPO=$PWD
tools/install-deps.sh test
# fincore reads page-cache residency (util-linux; present on Debian, checked anyway).
command -v fincore >/dev/null || { echo "bench.sh: fincore (util-linux) is missing" >&2; exit 1; }

# The commit before the change whose effect the figures show: the parent of
# the commit that made the cabinet expand from the mapped resource.
if [ -z "$before" ]; then
    change=$(git log --format=%H -1 --grep='^Cabinet expansion from the mapped resource:' HEAD)
    [ -n "$change" ] || { echo "bench.sh: no commit to compare with; name one with --before" >&2; exit 2; }
    before=$change^
fi
before=$(git rev-parse --verify "$before^{commit}")

build_presets() {
    local where=${1#"$REPO"}
    where=${where#/}
    for preset in arm64 x64 tests-x64; do
        echo "building $preset${where:+ in $where}"
        (cd "$1" && cmake --preset "$preset" >/dev/null &&
            # Serially: a parallel build of the resources has been seen to race.
            cmake --build --preset "$preset" >/dev/null)
    done
}
# Here the bench workflow; each preset serially (CMAKE_BUILD_PARALLEL_LEVEL
# unset), as below.
echo "building the bench workflow (arm64, x64, tests-x64)"
cmake --workflow --preset bench >/dev/null

# The tree before, as a worktree of its own, with this tree's run figures test
# copied in, so that both trees are measured by the same counting code.
BEFORE=$REPO/build/bench/before
if [ "$(git -C "$BEFORE" rev-parse HEAD 2>/dev/null)" != "$before" ]; then
    git worktree remove --force "$BEFORE" 2>/dev/null || rm -rf "$BEFORE"
    git worktree prune
    git worktree add --detach "$BEFORE" "$before" >/dev/null
fi
cp tests/behaviour/bench_run_test.cpp "$BEFORE/tests/behaviour/bench_run_test.cpp"
build_presets "$BEFORE"

# The harness (its Wine prefix), the structure check (the installers' layout)
# and the packaging's writer (the bare installer).
PYTHONPATH=$REPO/tests:$REPO/tools:$REPO/tools/packaging \
    /usr/bin/python3 tests/bench/bench.py --runs "$runs" --before "$BEFORE"
