#!/usr/bin/env bash
# Builds the libFuzzer targets (AddressSanitizer + UndefinedBehaviorSanitizer,
# native Linux, 16-bit wchar_t) into build/fuzz/ and runs each one.
#
#   tests/fuzz/run.sh                    short run: 15 seconds per target
#   tests/fuzz/run.sh --seconds S        S seconds per target
#   tests/fuzz/run.sh --runs N           N executions per target
#   tests/fuzz/run.sh --runs N pass_on   only the named targets
#
# Prints "fuzz <target>: <executions> executions, no findings" (or the
# finding) per target and then "N passed, N failed"; exits non-zero on any
# finding. Targets run side by side, as many at a time as there are cores.
# Needs the Debian packages clang and libclang-rt-14-dev; installs nothing.
set -uo pipefail
cd "$(dirname "$0")/../.."
REPO=$PWD
HERE=$REPO/tests/fuzz
OUT=$REPO/build/fuzz

all_targets=(bounded_text switch_scan pass_on cabinet_layout)
budget=(-max_total_time=15)
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
        --runs) budget=(-runs="${2:?--runs needs a number}"); shift 2 ;;
        --seconds) budget=(-max_total_time="${2:?--seconds needs a number}"); shift 2 ;;
        -h|--help) sed -n '2,15p' "$0"; exit 0 ;;
        *)
            [[ " ${all_targets[*]} " == *" $1 "* ]] || { echo "unknown target or option: $1" >&2; exit 2; }
            targets+=("$1"); shift ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=("${all_targets[@]}")

CXX=${CXX:-clang++}
if ! command -v "$CXX" >/dev/null; then
    echo "no $CXX: install the Debian packages clang and libclang-rt-14-dev" >&2
    exit 1
fi

# ---- Build ----------------------------------------------------------------

mkdir -p "$OUT/obj" "$OUT/logs" "$OUT/findings"
common=(-std=c++20 -fshort-wchar -g -O1 -fno-omit-frame-pointer
        -fsanitize=address,undefined -fno-sanitize-recover=all
        -Wall -Wextra -Werror -I"$HERE/host" -I"$REPO/src")
# Coverage guides libFuzzer through the product and the stand-ins; the
# targets' own models are left out, as their comparisons over whole buffers
# would cost more than half of each execution and steer nowhere useful.
guided=(-fsanitize=fuzzer-no-link)
# The product sources also get the product's own language settings: no C
# library headers, no exceptions, no RTTI.
product=("${guided[@]}" -ffreestanding -nostdlibinc -fno-exceptions -fno-rtti)

compile() {  # source object [extra flags...]
    local source=$1 object=$2
    shift 2
    "$CXX" "${common[@]}" "$@" -c "$source" -o "$object" 2>"$object.log" || {
        echo "build failed: $source"
        cat "$object.log"
        return 1
    }
}

objects=(text/bounded_text settings/launch_settings launch/setup_launch payload/cabinet_layout)
pids=()
for source in "${objects[@]}"; do
    compile "$REPO/src/$source.cpp" "$OUT/obj/$(basename "$source").o" "${product[@]}" & pids+=($!)
done
compile "$HERE/host/windows_stand_ins.cpp" "$OUT/obj/windows_stand_ins.o" "${guided[@]}" & pids+=($!)
for target in "${targets[@]}"; do
    compile "$HERE/${target}_fuzz.cpp" "$OUT/obj/${target}_fuzz.o" & pids+=($!)
done
built=1
for pid in "${pids[@]}"; do wait "$pid" || built=0; done
[ $built = 1 ] || exit 1

library=("$OUT/obj/bounded_text.o" "$OUT/obj/launch_settings.o" "$OUT/obj/setup_launch.o"
         "$OUT/obj/cabinet_layout.o" "$OUT/obj/windows_stand_ins.o")
for target in "${targets[@]}"; do
    "$CXX" -fsanitize=fuzzer,address,undefined "$OUT/obj/${target}_fuzz.o" "${library[@]}" \
        -o "$OUT/$target" 2>"$OUT/logs/$target.link.log" || {
        echo "link failed: $target (libFuzzer and the sanitizer run-times come with libclang-rt-14-dev)"
        cat "$OUT/logs/$target.link.log"
        exit 1
    }
done

# ---- Run ------------------------------------------------------------------

# New inputs go to build/fuzz/corpus/<target> (kept between runs); the seeds
# under tests/fuzz/corpus/<target> are only read.
run_target() {
    local target=$1 options=()
    case "$target" in
        switch_scan|pass_on) options+=(-dict="$HERE/command_line.dict") ;;
    esac
    mkdir -p "$OUT/corpus/$target"
    rm -f "$OUT/logs/$target.status"
    local start=$SECONDS
    # A small quarantine: the product frees nothing, and the default 256 MB
    # of freed blocks costs a page fault on most allocations of the targets.
    ASAN_OPTIONS=${ASAN_OPTIONS:-quarantine_size_mb=16} UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
        "$OUT/$target" "${budget[@]}" "${options[@]}" -max_len=8192 -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$OUT/findings/$target-" "$OUT/corpus/$target" "$HERE/corpus/$target" \
        >"$OUT/logs/$target.log" 2>&1
    echo "$? $((SECONDS - start))" >"$OUT/logs/$target.status"
}

jobs=$(nproc)
running=0
for target in "${targets[@]}"; do
    run_target "$target" &
    running=$((running + 1))
    if [ $running -ge "$jobs" ]; then
        wait -n
        running=$((running - 1))
    fi
done
wait

passed=0
failed=0
for target in "${targets[@]}"; do
    log=$OUT/logs/$target.log
    status=1 seconds=?
    [ -f "$OUT/logs/$target.status" ] && read -r status seconds <"$OUT/logs/$target.status"
    executions=$(grep -o 'stat::number_of_executed_units: [0-9]*' "$log" | tail -n 1 | grep -o '[0-9]*$')
    if [ "$status" = 0 ]; then
        echo "fuzz $target: ${executions:-?} executions, no findings (${seconds} s)"
        passed=$((passed + 1))
    else
        what=$(grep -m 1 -E '^FINDING: |libFuzzer: run interrupted' "$log" ||
               grep -m 1 -E '^SUMMARY: ' "$log" ||
               grep -m 1 -E 'ERROR: ' "$log" ||
               echo "exit status $status")
        input=$(grep -o 'Test unit written to .*' "$log" | tail -n 1 | sed 's/^Test unit written to //')
        echo "fuzz $target: finding after ${executions:-?} executions (${seconds} s): $what"
        echo "    input: ${input:-none saved}; log: $log; replay: $OUT/$target ${input:-<input>}"
        failed=$((failed + 1))
    fi
done
echo "$passed passed, $failed failed"
[ $failed = 0 ]
