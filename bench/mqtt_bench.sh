#!/usr/bin/env bash
# What the MQTT bridge costs the board: tessaro --serve against quirn-sim
# at real 19200-baud pacing, digital reads sent back to back through the
# API over one kept connection (curl), first without --mqtt, then with the
# bridge connected to a Mosquitto broker of its own and a subscriber taking
# every topic (status and systat once a second, from the sampler). Prints
# the reads per second of each run and the difference; runs alternate, so
# both see the same moments of the machine.
#
# Usage: bench/mqtt_bench.sh BUILD_DIR [reads per run] [runs]   (default 2000, 3)
# It makes a network namespace of its own (port 8088 and the broker's).
set -uo pipefail
build=$(cd "$1" && pwd)
reads=${2:-2000}
runs=${3:-3}
if [ "${IN_BENCH_NAMESPACE:-}" != 1 ]; then
    exec env IN_BENCH_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
ip link set lo up
PATH=$PATH:/usr/sbin
tmp=$(mktemp -d)
port=18840
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$tmp/broker.conf"
exec {broker_log}< <(exec mosquitto -c "$tmp/broker.conf" 2>&1)
broker=$!
while IFS= read -r -t 10 line <&"$broker_log"; do
    case $line in *" running"*) break ;; esac
done
mosquitto_sub -p "$port" -t 'tessaro/#' >/dev/null &
subscriber=$!
"$build/quirn-sim" --pace --link "$tmp/quirn0" --no-stdin >/dev/null 2>&1 &
sim=$!

# One run: tessaro started with the options given, the reads timed once
# the board and (with --mqtt) the broker are connected; prints reads/s.
run() {
    local line ready=0 want=1
    [ $# -gt 0 ] && want=2
    coproc TESSARO { exec "$build/tessaro" --serve "$tmp/quirn0" "$@" 2>&1; }
    while [ "$ready" -lt "$want" ] && IFS= read -r -t 20 line <&"${TESSARO[0]}"; do
        case $line in "Web server running on "* | "MQTT broker "*" connected;"*) ready=$((ready + 1)) ;; esac
    done
    local started ended
    started=$(date +%s%N)
    curl -s "http://localhost:8088/api/gpio/grd/5?n=[1-$reads]" -o /dev/null
    ended=$(date +%s%N)
    kill -TERM "$TESSARO_PID"
    wait "$TESSARO_PID"
    echo "scale=1; $reads * 1000000000 / ($ended - $started)" | bc
}

without=()
with=()
for _ in $(seq "$runs"); do
    without+=("$(run)")
    with+=("$(run --mqtt "mqtt://127.0.0.1:$port")")
done
echo "reads/s without the bridge: ${without[*]}"
echo "reads/s with the bridge:    ${with[*]}"
best() { printf '%s\n' "$@" | sort -n | tail -n 1; }
b0=$(best "${without[@]}")
b1=$(best "${with[@]}")
echo "best: $b0 without, $b1 with: $(echo "scale=2; ($b1 - $b0) * 100 / $b0" | bc)%"
kill "$subscriber" "$sim" "$broker"
wait 2>/dev/null
rm -rf "$tmp"
