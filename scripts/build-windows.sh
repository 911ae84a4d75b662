#!/usr/bin/env bash
# Cross-builds the Windows program on this Debian machine (installing what
# is missing): build-windows/tessaro.exe, which needs no DLL beside it, the
# pages/ and help/ folders copied next to it when the tree has them, and
# build-windows/tessaro-windows.zip holding the three.
#   scripts/build-windows.sh           the program
#   scripts/build-windows.sh --tests   also the test program run under Wine
set -euo pipefail
cd "$(dirname "$0")/.."

tests=OFF
targets=(tessaro)
if [ "${1:-}" = "--tests" ]; then
    tests=ON
    targets+=(tessaro_tests)
fi

scripts/install-deps.sh g++-mingw-w64-x86-64-posix nlohmann-json3-dev zip

out=build-windows
cmake -S . -B "$out" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTESSARO_TESTS=$tests >/dev/null
cmake --build "$out" --target "${targets[@]}"

# Self-contained: only DLLs that every Windows has may be imported.
system_dlls='^(KERNEL32|msvcrt|SETUPAPI|WS2_32|CRYPT32|ADVAPI32|USER32)\.dll$'
for exe in "${targets[@]/#/$out/}"; do
    exe+=.exe
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\tDLL Name: //p')
    if echo "$imports" | grep -Evi "$system_dlls" | grep -q .; then
        echo "$exe needs DLLs that Windows does not have:" $imports >&2
        exit 1
    fi
done

contents=(tessaro.exe)
for dir in pages help; do
    rm -rf "${out:?}/$dir"
    if [ -d "$dir" ]; then
        cp -r "$dir" "$out/$dir"
        contents+=("$dir")
    fi
done
rm -f "$out/tessaro-windows.zip"
(cd "$out" && zip -qr tessaro-windows.zip "${contents[@]}")
echo "Built $out/tessaro.exe and $out/tessaro-windows.zip (${contents[*]})"
