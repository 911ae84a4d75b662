#!/usr/bin/env bash
# Installs what is missing, checks the sources' layout, clang-tidy's
# findings and the Debian package's lintian (scripts/lint.sh), builds, and runs every test three times over,
# each pass in its own build folder: a plain build (build/, benchmarks
# included, so they can be run after it), AddressSanitizer with
# UndefinedBehaviorSanitizer (build-asan/), and the concurrency tests under
# ThreadSanitizer (build-tsan/); and the Windows build under Wine
# (build-windows/); and the GPIO page in headless Chromium against the plain
# build (build/browser/). A failing pass does not stop the others;
# the last line adds them all up, and the exit status is non-zero when a
# test failed or a pass could not build.
#
# To add a pass: write a function that runs it and calls
#   record_pass NAME PASSED FAILED
# with its counts (or ctest_pass for a CMake build folder, which does the
# counting itself), then call it in the list of passes at the bottom.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

total_passed=0
total_failed=0
broken_passes=()

# Adds one pass's counts to the totals.
record_pass() {
    local name=$1 passed=$2 failed=$3
    total_passed=$((total_passed + passed))
    total_failed=$((total_failed + failed))
    echo "== $name: $passed passed, $failed failed"
}

# Marks a pass that could not run its tests (a failed build, say).
record_broken() {
    broken_passes+=("$1")
    echo "== $1: could not run its tests"
}

# Configures and builds DIR with the given CMake options, then runs its
# tests (only those matching FILTER when one is given) and records them.
ctest_pass() {
    local dir=$1 filter=$2
    shift 2
    echo "== $dir"
    if ! cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTESSARO_TESTS=ON "$@" >/dev/null ||
        ! cmake --build "$dir"; then
        record_broken "$dir"
        return
    fi
    local log="$dir/ctest.log"
    ctest --test-dir "$dir" --output-on-failure --timeout 300 -j 2 ${filter:+-R "$filter"} |
        tee "$log" || true
    # ctest ends with "100% tests passed, 0 tests failed out of 57".
    local summary
    summary=$(grep -Eo '[0-9]+ tests failed out of [0-9]+' "$log" | tail -n 1 || true)
    if [ -z "$summary" ]; then
        record_broken "$dir"
        return
    fi
    local failed total
    read -r failed _ _ _ _ total <<<"$summary"
    record_pass "$dir" $((total - failed)) "$failed"
}

# The Windows build under Wine, against the plain build's simulated board;
# scripts/test-windows.sh ends with "wine: N passed, N failed".
windows_pass() {
    echo "== build-windows (under Wine)"
    mkdir -p build
    local log=build/test-windows.log
    scripts/test-windows.sh build 2>&1 | tee "$log" || true
    local summary passed failed
    summary=$(grep -E '^wine: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 || true)
    if [ -z "$summary" ]; then
        record_broken build-windows
        return
    fi
    read -r _ passed _ failed _ <<<"$summary"
    record_pass build-windows "$passed" "$failed"
}

# The sources' layout and clang-tidy's checks, with the plain build's
# compile commands, and lintian on that build's package; scripts/lint.sh
# ends with "lint: N passed, N failed".
lint_pass() {
    echo "== lint"
    mkdir -p build
    local log=build/lint.log
    scripts/lint.sh build 2>&1 | tee "$log" || true
    local summary passed failed
    summary=$(grep -E '^lint: [0-9]+ passed, [0-9]+ failed' "$log" | tail -n 1 || true)
    if [ -z "$summary" ]; then
        record_broken lint
        return
    fi
    read -r _ passed _ failed _ <<<"$summary"
    record_pass lint "$passed" "$failed"
}

# The GPIO page in Debian's headless Chromium, driven by playwright-core from
# the npm registry (installed into tests/browser/node_modules; the browser
# itself is never downloaded), serving on a free port of its own. Node's
# test runner ends with "# pass N" and "# fail N".
browser_pass() {
    echo "== browser (build)"
    mkdir -p build
    local log=build/test-browser.log
    if ! (cd tests/browser &&
        PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --prefer-offline --loglevel=error); then
        record_broken browser
        return
    fi
    TESSARO_BUILD_DIR=build node --test tests/browser/gpio_page.test.js \
        tests/browser/openapi.test.js 2>&1 | tee "$log" || true
    local passed failed
    passed=$(grep -Eo '^# pass [0-9]+' "$log" | tail -n 1 | grep -Eo '[0-9]+' || true)
    failed=$(grep -Eo '^# fail [0-9]+' "$log" | tail -n 1 | grep -Eo '[0-9]+' || true)
    if [ -z "$passed" ] || [ -z "$failed" ]; then
        record_broken browser
        return
    fi
    record_pass browser "$passed" "$failed"
}

export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp

# Warnings are errors in the plain build; the sanitizers' builds make GCC
# warn about code it has instrumented (and Boost's fences under TSan).
ctest_pass build "" -DTESSARO_SANITIZE= -DTESSARO_BENCH=ON -DTESSARO_WERROR=ON
lint_pass
browser_pass
windows_pass
ctest_pass build-asan "" -DTESSARO_SANITIZE=address,undefined -DTESSARO_BENCH=OFF
ctest_pass build-tsan "Concurrency" -DTESSARO_SANITIZE=thread -DTESSARO_BENCH=OFF

if [ ${#broken_passes[@]} -gt 0 ]; then
    echo "passes that could not run: ${broken_passes[*]}"
fi
echo "tests: $total_passed passed, $total_failed failed"
[ "$total_failed" -eq 0 ] && [ ${#broken_passes[@]} -eq 0 ]
