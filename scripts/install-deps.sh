#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, once; says
# nothing when everything is already there. Packages named as arguments
# are needed too (the Windows build names its own).
set -euo pipefail

packages=(cmake ninja-build g++ libgtest-dev util-linux pkg-config libcpp-httplib-dev libedit-dev
          nlohmann-json3-dev libcli11-dev libboost-dev libmosquitto-dev "$@")
# The MQTT bridge's test: a broker of its own and the command-line clients.
packages+=(mosquitto mosquitto-clients)
# The sources' checks (scripts/lint.sh).
packages+=(clang-format clang-tidy)
# The browser test: Debian's Chromium and a font for its pages.
packages+=(chromium fonts-dejavu-core)
# The manual pages, the Debian package and their checks.
packages+=(help2man man-db groff-base dpkg-dev lintian curl git)
# The service unit's check (systemd-analyze verify; nothing is started).
packages+=(systemd)
# The metrics' checks: promtool, and a Prometheus that scrapes tessaro.
packages+=(prometheus)

missing=()
# Node.js and npm for the browser test. Some machines carry a Node.js
# package of their own that already holds npm and conflicts with Debian's
# npm package, so only a machine without the commands gets Debian's.
if ! command -v node >/dev/null || ! command -v npm >/dev/null; then
    missing+=(nodejs npm)
fi
# One query for all of them: a package dpkg does not know is not listed.
installed=$(dpkg-query -W -f='${Package} ${Status}\n' "${packages[@]}" 2>/dev/null |
    awk '/ ok installed$/ {print $1}') || true
for package in "${packages[@]}"; do
    grep -qxF "$package" <<<"$installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]}"
sudo=()
[ "$(id -u)" -ne 0 ] && sudo=(sudo)
export DEBIAN_FRONTEND=noninteractive
"${sudo[@]}" apt-get update -q
"${sudo[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"
