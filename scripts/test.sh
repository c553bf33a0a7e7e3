#!/usr/bin/env bash
# Installs what the tests need when it is missing (Debian packages, as root),
# then builds and runs every test three times: a plain build, one under
# AddressSanitizer and UndefinedBehaviorSanitizer, one under ThreadSanitizer;
# last it builds the libFuzzer targets (clang++, ASan and UBSan) and runs each
# for SHOAL_FUZZ_SECONDS (20) seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

missing=()
for pair in cmake:cmake ninja:ninja-build g++:g++ clang++:clang curl:curl wget:wget \
            nginx:nginx-light openssl:openssl aria2c:aria2; do
    command -v "${pair%%:*}" >/dev/null || missing+=("${pair#*:}")
done
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
if [ ${#missing[@]} -gt 0 ]; then
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run() {
    local dir=$1
    shift
    echo "=== $dir"
    cmake -S . -B "$dir" -G Ninja "$@" >/dev/null
    cmake --build "$dir"
    (cd "$dir" && ctest --output-on-failure -j2)
}

run build
run build-asan -DSHOAL_SANITIZE=address,undefined
run build-tsan -DSHOAL_SANITIZE=thread
run build-fuzz -DCMAKE_CXX_COMPILER=clang++ -DSHOAL_FUZZ=ON -DSHOAL_SANITIZE=address,undefined
