#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, AddressSanitizer + UndefinedBehaviorSanitizer), every
# fuzz/fuzz_<what>.cpp, and runs each for SECONDS, starting from its committed seeds
# (fuzz/corpus/fuzz_<what>/) and regression inputs. Fails on any crash, leak, broken check or
# hang (an input taking more than FUZZ_HANG_SECONDS, default 10).
# A failing input is saved as BUILD/fuzz-artifacts/<target>-*; once the fault is fixed, keep it
# in fuzz/regressions/<target>/ so the replay tests guard against its return.
# Usage: tools/fuzz.sh [SECONDS]   (default 30; FUZZ_BUILD picks the build directory)
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-30}
build=${FUZZ_BUILD:-build-fuzz}
hang=${FUZZ_HANG_SECONDS:-10}
[[ "$seconds" =~ ^[0-9]+$ && "$seconds" -gt 0 ]] || { echo "fuzz.sh: SECONDS must be a positive number" >&2; exit 2; }

targets=()
for src in fuzz/fuzz_*.cpp; do
    targets+=("$(basename "$src" .cpp)")
done

if [[ ! -f "$build/build.ninja" ]]; then
    CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DSICLQUILL_FUZZ=ON -DSICLQUILL_WERROR=ON -DSICLQUILL_BUILD_APP=OFF \
        -DSICLQUILL_BUILD_TESTS=OFF -DSICLQUILL_BUILD_BENCH=OFF
fi
cmake --build "$build" -j "${JOBS:-2}" --target "${targets[@]}"

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:allocator_may_return_null=0
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
mkdir -p "$build/fuzz-artifacts"
failed=()
summary=()
for t in "${targets[@]}"; do
    work="$build/fuzz-work/$t"
    mkdir -p "$work"
    inputs=("$work" "fuzz/corpus/$t")
    [[ -d "fuzz/regressions/$t" ]] && inputs+=("fuzz/regressions/$t")
    log="$build/fuzz-work/$t.log"
    echo "== $t: ${seconds}s"
    # New inputs go to the work directory (the first one); the committed corpus is only read.
    if "$build/fuzz/$t" -max_total_time="$seconds" -timeout="$hang" -rss_limit_mb=2048 \
        -max_len=4096 -use_value_profile=1 -print_final_stats=1 \
        -artifact_prefix="$build/fuzz-artifacts/$t-" "${inputs[@]}" >"$log" 2>&1; then
        result=held
    else
        result=FAILED
        failed+=("$t")
        tail -n 40 "$log"
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    summary+=("$(printf '%-22s %6ss %12s runs  %s' "$t" "$seconds" "${runs:-?}" "$result")")
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if [[ ${#failed[@]} -gt 0 ]]; then
    echo "fuzz.sh: failing targets: ${failed[*]} (inputs in $build/fuzz-artifacts/)" >&2
    exit 1
fi
