#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test three times over:
# a plain build, AddressSanitizer with UndefinedBehaviorSanitizer, and the
# concurrency tests under ThreadSanitizer; and the Windows build under Wine.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

run_suite() {
    local dir=$1 sanitize=$2 filter=$3
    echo "== $dir${sanitize:+ (sanitizers: $sanitize)}"
    cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DTESSARO_SANITIZE="$sanitize" -DTESSARO_BENCH=OFF >/dev/null
    cmake --build "$dir"
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j 2 ${filter:+-R "$filter"}
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

run_suite build "" ""
echo "== build-windows (under Wine)"
scripts/test-windows.sh build
run_suite build-asan "address,undefined" ""
run_suite build-tsan "thread" "Concurrency"
