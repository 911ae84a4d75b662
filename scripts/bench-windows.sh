#!/usr/bin/env bash
# Times "sta" transactions of the Windows build under Wine and of the Linux
# build, one after the other against one simulated board at real 19200-baud
# pacing. Run by hand on a quiet machine, after scripts/test.sh (or
# scripts/test-windows.sh) has built both trees.
#   scripts/bench-windows.sh [transactions]   (default 500)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
transactions=${1:-500}

cmake -S . -B build -DTESSARO_BENCH=ON >/dev/null
cmake --build build --target quirn-sim port_bench >/dev/null
cmake -S . -B build-windows -DTESSARO_BENCH=ON >/dev/null
cmake --build build-windows --target port_bench >/dev/null

export WINEPREFIX=$root/build-windows/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
[ -f "$WINEPREFIX/system.reg" ] || { wineboot -i >/dev/null 2>&1; wineserver -w; }

work=$(mktemp -d)
build/quirn-sim --pace --no-stdin >"$work/sim" 2>&1 &
sim_pid=$!
trap 'kill "$sim_pid" 2>/dev/null || true; wineserver -k 2>/dev/null || true; rm -rf "$work"' EXIT
wineserver -p >/dev/null 2>&1 || true
path=""
for _ in $(seq 200); do
    path=$(sed -n 's|^Simulated Quirn board .* on \(/dev/.*\)$|\1|p' "$work/sim")
    [ -n "$path" ] && break
    sleep 0.05
done
[ -n "$path" ] || { cat "$work/sim" >&2; exit 1; }
ln -sfn "$path" "$WINEPREFIX/dosdevices/com5"

# Wine's helper processes keep a pipe open: its output goes through a file.
build/port_bench "$path" "$transactions" >"$work/linux" 2>&1 || true
wine build-windows/port_bench.exe COM5 "$transactions" >"$work/wine" 2>&1 || true
echo "Linux: $(tail -n 1 "$work/linux")"
echo "Wine:  $(tail -n 1 "$work/wine" | tr -d '\r')"
