#!/usr/bin/env bash
# A fuzz campaign: builds the libFuzzer targets (build-fuzz/, clang++ with
# AddressSanitizer and UndefinedBehaviorSanitizer) and runs each for SECONDS
# seconds, one after another, so that it takes one core. Each target keeps a
# growing corpus in build-fuzz/campaign/TARGET/corpus, seeded from
# tests/fuzz/corpus/TARGET; crashing inputs go to .../artifacts/. Prints the
# executions, speed and coverage per target; exits non-zero when a target
# found a fault.
#   scripts/fuzz.sh SECONDS [TARGET...]     (targets: request response chunked config)
# SECONDS 0 runs without a time limit; SHOAL_FUZZ_RUNS=N stops each target
# after N executions; SHOAL_FUZZ_MAX_LEN=N limits inputs to N bytes (the
# default is libFuzzer's, 4096 for these corpora; smaller inputs run faster).
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:?usage: scripts/fuzz.sh SECONDS [TARGET...]}
shift
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(request response chunked config)

cmake -S . -B build-fuzz -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DSHOAL_FUZZ=ON \
    -DSHOAL_SANITIZE=address,undefined >/dev/null
cmake --build build-fuzz -j2 >/dev/null

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

status=0
for target in "${targets[@]}"; do
    dir=build-fuzz/campaign/$target
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp -n tests/fuzz/corpus/"$target"/* "$dir/corpus/"
    log=$dir/last.log
    result=ok
    if ! build-fuzz/tests/fuzz/"${target}"_fuzz -max_total_time="$seconds" \
        ${SHOAL_FUZZ_RUNS:+-runs=$SHOAL_FUZZ_RUNS} ${SHOAL_FUZZ_MAX_LEN:+-max_len=$SHOAL_FUZZ_MAX_LEN} \
        -timeout=10 -print_final_stats=1 \
        -artifact_prefix="$dir/artifacts/" "$dir/corpus" >"$log" 2>&1; then
        result="FAILED (see $log and $dir/artifacts/)"
        status=1
    fi
    executions=$(awk '/stat::number_of_executed_units/ {print $2}' "$log")
    speed=$(awk '/stat::average_exec_per_sec/ {print $2}' "$log")
    coverage=$(grep -o 'cov: [0-9]* ft: [0-9]*' "$log" | tail -1)
    printf '%-9s %s executions, %s exec/s, %s: %s\n' "$target" "${executions:-?}" \
        "${speed:-?}" "${coverage:-cov: ?}" "$result"
done
exit $status
