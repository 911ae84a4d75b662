#!/usr/bin/env bash
# A real Prometheus scrapes tessaro --serve beside the simulated board, in
# a network namespace of its own (tessaro on 192.0.2.1 with a token file,
# Prometheus on its loopback): after its first scrape, a query of
# tessaro_board_connected through its HTTP API says 1. Exit 77 (skipped)
# where no namespace can be made.
set -uo pipefail
build=$(cd "$1" && pwd)

if [ "${IN_PROMETHEUS_NAMESPACE:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "no network namespace can be made here: skipped"
        exit 77
    fi
    exec env IN_PROMETHEUS_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
ip link set lo up && ip addr add 192.0.2.1/32 dev lo || exit 1

tmp=$(mktemp -d)
pids=()
finish() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    done
    rm -rf "$tmp"
}
trap finish EXIT

link=$tmp/quirn0
"$build/quirn-sim" --link "$link" --no-stdin >"$tmp/sim.out" 2>&1 &
pids+=($!)
echo "lab-token-1" >"$tmp/token"
"$build/tessaro" --serve --listen 192.0.2.1 --token-file "$tmp/token" "$link" >"$tmp/tessaro.out" 2>&1 &
pids+=($!)

# Scraped often, so that the first scrape (at an offset within the
# interval) comes soon after Prometheus is ready.
cat >"$tmp/prometheus.yml" <<CONFIG
global:
  scrape_interval: 200ms
  scrape_timeout: 200ms
scrape_configs:
  - job_name: tessaro
    authorization:
      credentials_file: $tmp/token
    static_configs:
      - targets: ['192.0.2.1:8088']
CONFIG
exec {prometheus}< <(exec prometheus --config.file="$tmp/prometheus.yml" \
    --storage.tsdb.path="$tmp/data" --web.listen-address=127.0.0.1:9090 2>&1)
pids+=($!)

# Prometheus hands its first targets to the scraper some 5 s after it
# starts (its discovery is throttled so, with no setting to change it) and
# logs nothing of a scrape: the query is asked again at each line it logs,
# or after a scrape interval without one.
deadline=$((SECONDS + 30))
answer=""
while [ $SECONDS -lt $deadline ]; do
    answer=$(curl -s 'http://127.0.0.1:9090/api/v1/query?query=tessaro_board_connected')
    case $answer in
        *'"value":['*',"1"]'*) echo "prometheus: passed"; exit 0 ;;
    esac
    IFS= read -r -t 0.2 _ <&"$prometheus"
    [ $? -ne 1 ] || break # Prometheus ended
done
echo "FAIL: no tessaro_board_connected 1 within the deadline: $answer" >&2
echo "--- tessaro:" >&2
cat "$tmp/tessaro.out" >&2
echo "--- prometheus targets:" >&2
curl -s http://127.0.0.1:9090/api/v1/targets >&2
exit 1
