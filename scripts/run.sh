#!/usr/bin/env bash
# Installs what is missing, builds, starts a simulated board in the
# background and runs tessaro in the foreground. The board stops with it.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null

exec ./build/tessaro
