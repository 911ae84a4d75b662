#!/usr/bin/env bash
# Cross-builds the Windows program on this Debian machine (installing what
# is missing): build-windows/tessaro.exe, which needs no DLL beside it, the
# pages/ and help/ folders copied next to it when the tree has them, a
# README.txt for the Windows user, and build-windows/tessaro-windows.zip
# holding them all.
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

scripts/install-deps.sh g++-mingw-w64-x86-64-posix nlohmann-json3-dev libcli11-dev libboost-dev zip dpkg-dev

out=build-windows

# Boost (Asio and Beast, for the web server), nlohmann json and CLI11 are
# headers only: Debian's, seen through an include folder of their own so that no
# other Linux header reaches the Windows compiler, and described to CMake
# by package files as on Linux.
third_party=$PWD/$out/third_party
mkdir -p "$third_party/include" "$third_party/cmake"
ln -sfn /usr/include/nlohmann "$third_party/include/nlohmann"
ln -sfn /usr/include/boost "$third_party/include/boost"
ln -sfn /usr/include/CLI "$third_party/include/CLI"
package_files() {  # name, CMake target, version
    cat >"$third_party/cmake/$1Config.cmake" <<CMAKE
if(NOT TARGET $2)
  add_library($2 INTERFACE IMPORTED)
  set_target_properties($2 PROPERTIES
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "$third_party/include"
    INTERFACE_INCLUDE_DIRECTORIES "$third_party/include")
endif()
CMAKE
    cat >"$third_party/cmake/$1ConfigVersion.cmake" <<CMAKE
set(PACKAGE_VERSION "$3")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
  # 1.74 asked exactly is 1.74.0
  if(PACKAGE_FIND_VERSION VERSION_EQUAL PACKAGE_VERSION)
    set(PACKAGE_VERSION_EXACT TRUE)
  endif()
endif()
CMAKE
}
package_files nlohmann_json nlohmann_json::nlohmann_json \
    "$(dpkg-query -W -f='${Version}' nlohmann-json3-dev | sed 's/-.*//')"
package_files CLI11 CLI11::CLI11 \
    "$(dpkg-query -W -f='${Version}' libcli11-dev | sed 's/[-+].*//')"
package_files Boost Boost::headers \
    "$(sed -n 's/^#define BOOST_LIB_VERSION "\([0-9]*\)_\([0-9]*\)"$/\1.\2.0/p' /usr/include/boost/version.hpp)"
cmake -S . -B "$out" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTESSARO_TESTS=$tests \
    -Dnlohmann_json_DIR="$third_party/cmake" -DBoost_DIR="$third_party/cmake" \
    -DCLI11_DIR="$third_party/cmake" >/dev/null
cmake --build "$out" --target "${targets[@]}"

# Self-contained: only DLLs that every Windows has may be imported.
system_dlls='^(KERNEL32|msvcrt|SETUPAPI|WS2_32|MSWSOCK|CRYPT32|ADVAPI32|USER32)\.dll$'
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
# The zip's README, with Windows line ends.
sed 's/$/\r/' docs/README-windows.txt >"$out/README.txt"
contents+=(README.txt)
rm -f "$out/tessaro-windows.zip"
(cd "$out" && zip -qr tessaro-windows.zip "${contents[@]}")
echo "Built $out/tessaro.exe and $out/tessaro-windows.zip (${contents[*]})"
