#!/usr/bin/env bash
# Checks the sources as the test command does: their layout against
# .clang-format, and clang-tidy's bugprone, performance and concurrency
# checks (.clang-tidy) with the compile commands of a build folder; and the
# Debian package made from that folder (scripts/package.sh, which builds
# what is missing) with lintian, while clang-tidy runs.
#   scripts/lint.sh [BUILD_DIR]     (default build/, configured when missing)
# Ends with "lint: N passed, N failed", one check each for the layout,
# clang-tidy and lintian; the exit status is non-zero when any failed.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${1:-build}
scripts/install-deps.sh

mapfile -t sources < <(git ls-files '*.cpp' '*.h')
passed=0
failed=0

echo "== clang-format (${#sources[@]} files)"
if clang-format --dry-run --Werror "${sources[@]}"; then
    passed=$((passed + 1))
else
    echo "lint: run clang-format -i on the files above"
    failed=$((failed + 1))
fi

if [ ! -f "$build/compile_commands.json" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# Generated headers (the build's commit, the API description) must exist.
cmake --build "$build" --target build_commit >/dev/null
log=$(mktemp)
package_log=$(mktemp)
trap 'rm -f "$log" "$package_log"' EXIT
# lintian reads the package for some seconds: beside clang-tidy.
(
    scripts/package.sh "$build" || exit
    lintian --fail-on error,warning "$(tail -n 1 "$package_log")"
) >"$package_log" 2>&1 &
package=$!
# The program's own files that the build compiles for this platform; the
# Windows side is checked by its own compiler's warnings, the tests and
# benchmarks by the compiler's alone.
mapfile -t units < <(git ls-files 'app/*.cpp' 'base/*.cpp' 'serial/*.cpp' 'protocol/*.cpp' \
    'web/*.cpp' 'sim/*.cpp' | grep -v '_win32\.cpp$')
echo "== clang-tidy (${#units[@]} files)"
if printf '%s\n' "${units[@]}" |
    xargs -P "$(nproc)" -n 4 clang-tidy -p "$build" --quiet >"$log" 2>&1; then
    passed=$((passed + 1))
else
    grep -E 'warning:|error:' -A3 "$log" || cat "$log"
    failed=$((failed + 1))
fi
echo "== lintian"
if wait "$package"; then
    passed=$((passed + 1))
else
    cat "$package_log"
    failed=$((failed + 1))
fi
echo "lint: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
