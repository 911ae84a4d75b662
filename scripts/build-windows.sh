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

scripts/install-deps.sh g++-mingw-w64-x86-64-posix nlohmann-json3-dev libcli11-dev zip dpkg-dev

out=build-windows
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)

# Debian's cpp-httplib binary package holds a split header and a Linux
# library; the Windows build compiles the complete single header from
# Debian's source package of the same version, unpacked into the build tree.
fetch_httplib() {
    local dir=$out/third_party
    [ -f "$dir/include/httplib.h" ] && return 0
    rm -rf "$dir"
    mkdir -p "$dir/source" "$dir/include"
    if ! (cd "$dir/source" && apt-get source -q cpp-httplib >/dev/null 2>&1); then
        # Source packages come from the archive the machine already uses.
        if ! apt-get indextargets 'Created-By: Sources' | grep -q .; then
            local sources=/etc/apt/sources.list.d/tessaro-deb-src
            echo "Adding deb-src entries for the configured Debian archive ($sources.*)"
            for file in /etc/apt/sources.list.d/*.sources; do
                [ -f "$file" ] || continue
                sed 's/^Types: deb$/Types: deb-src/' "$file"
                echo
            done | "${sudo[@]}" tee "$sources.sources" >/dev/null
            if [ -f /etc/apt/sources.list ]; then
                sed -n 's/^deb \(.*\)$/deb-src \1/p' /etc/apt/sources.list |
                    "${sudo[@]}" tee "$sources.list" >/dev/null
            fi
        fi
        "${sudo[@]}" apt-get update -q >/dev/null
        (cd "$dir/source" && apt-get source -q cpp-httplib >/dev/null)
    fi
    cp "$dir"/source/cpp-httplib-*/httplib.h "$dir/include/httplib.h"
}
fetch_httplib
third_party=$PWD/$out/third_party
# nlohmann json and CLI11 are headers only: Debian's, seen on their own so
# that no other Linux header reaches the Windows compiler.
ln -sfn /usr/include/nlohmann "$third_party/include/nlohmann"
ln -sfn /usr/include/CLI "$third_party/include/CLI"

# The build finds them as on Linux, through pkg-config and CMake package
# files, here describing the headers above.
mkdir -p "$third_party/pkgconfig" "$third_party/cmake"
cat >"$third_party/pkgconfig/cpp-httplib.pc" <<PC
Name: cpp-httplib
Description: cpp-httplib's single header, with the Windows socket libraries
Version: $(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"$/\1/p' "$third_party/include/httplib.h")
Cflags: -isystem $third_party/include
Libs: -lws2_32 -lcrypt32
PC
# A CMake package of headers only: package name, imported target, Debian package.
header_package() {
    local version
    version=$(dpkg-query -W -f='${Version}' "$3" | sed 's/[-+].*//')
    cat >"$third_party/cmake/$1Config.cmake" <<CMAKE
add_library($2 INTERFACE IMPORTED)
set_target_properties($2 PROPERTIES
  INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "$third_party/include"
  INTERFACE_INCLUDE_DIRECTORIES "$third_party/include")
CMAKE
    cat >"$third_party/cmake/$1ConfigVersion.cmake" <<CMAKE
set(PACKAGE_VERSION "$version")
if(PACKAGE_FIND_VERSION VERSION_GREATER PACKAGE_VERSION)
  set(PACKAGE_VERSION_COMPATIBLE FALSE)
else()
  set(PACKAGE_VERSION_COMPATIBLE TRUE)
endif()
CMAKE
}
header_package nlohmann_json nlohmann_json::nlohmann_json nlohmann-json3-dev
header_package CLI11 CLI11::CLI11 libcli11-dev
export PKG_CONFIG_LIBDIR=$third_party/pkgconfig
export PKG_CONFIG_PATH=
cmake -S . -B "$out" -G Ninja --no-warn-unused-cli -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
    -DCMAKE_BUILD_TYPE=Release -DTESSARO_TESTS=$tests \
    -Dnlohmann_json_DIR="$third_party/cmake" -DCLI11_DIR="$third_party/cmake" >/dev/null
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
# The zip's README, with Windows line ends.
sed 's/$/\r/' docs/README-windows.txt >"$out/README.txt"
contents+=(README.txt)
rm -f "$out/tessaro-windows.zip"
(cd "$out" && zip -qr tessaro-windows.zip "${contents[@]}")
echo "Built $out/tessaro.exe and $out/tessaro-windows.zip (${contents[*]})"
