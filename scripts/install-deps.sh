#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, once; says
# nothing when everything is already there. Packages named as arguments
# are needed too (the Windows build names its own).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev util-linux pkg-config libcpp-httplib-dev
          nlohmann-json3-dev "$@")

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'ok installed'; then
        missing+=("$package")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
