#!/usr/bin/env bash
# Installs what is missing, builds, starts a simulated board in the
# background and runs tessaro in the foreground; the board stops with it.
#   scripts/run.sh                 tessaro beside a simulated Arduino Uno R4 Minima
#   scripts/run.sh --pic --pace    any quirn-sim options are passed to the board
#   scripts/run.sh --no-sim        tessaro alone, for a real board
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build >/dev/null

if [ "${1:-}" = "--no-sim" ]; then
    exec ./build/tessaro
fi

sim_log=$(mktemp)
./build/quirn-sim "$@" </dev/null >"$sim_log" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null; wait "$sim_pid" 2>/dev/null; rm -f "$sim_log"' EXIT

path=""
for _ in $(seq 200); do
    path=$(sed -n 's|^Simulated Quirn board .* on \(/dev/.*\)$|\1|p' "$sim_log")
    [ -n "$path" ] && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        cat "$sim_log" >&2
        exit 1
    fi
    sleep 0.05
done
if [ -z "$path" ]; then
    echo "The simulated board did not start:" >&2
    cat "$sim_log" >&2
    exit 1
fi

head -n 1 "$sim_log"
echo "To connect to it, type:  co $path"
echo
./build/tessaro
