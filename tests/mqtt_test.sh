#!/usr/bin/env bash
# tessaro --serve --mqtt against a Mosquitto broker of the test's own, on
# loopback in a network namespace of its own, in one of two parts ($2),
# each a test of its own so that they run side by side:
#   broker: a broker that comes after tessaro, the retained link and board,
#     status about once a second, a word answered on result with its id,
#     words and payloads refused, and a clean stop's "offline"; meanwhile a
#     real Prometheus scrapes the same tessaro's metrics, as a lab's would;
#   board: the board away and back, the broker stopped and started again
#     (tessaro says so and publishes the retained topics again), and the
#     last will after SIGKILL.
# Every wait has a deadline; nothing sleeps. Exit 77 (skipped) where no
# namespace or no broker can be had.
set -uo pipefail
build=$(cd "$1" && pwd)
part=${2:-}
cd "$(dirname "$0")/.."
case $part in
broker | board) ;;
*)
    echo "usage: mqtt_test.sh BUILD broker|board" >&2
    exit 2
    ;;
esac

for tool in mosquitto mosquitto_sub mosquitto_pub mosquitto_rr; do
    if ! command -v "$tool" >/dev/null && [ ! -x "/usr/sbin/$tool" ]; then
        echo "no $tool (Debian's mosquitto and mosquitto-clients): skipped"
        exit 77
    fi
done
if [ "${IN_MQTT_NAMESPACE:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "no network namespace can be made here: skipped"
        exit 77
    fi
    exec env IN_MQTT_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
ip link set lo up || exit 1
PATH=$PATH:/usr/sbin

tmp=$(mktemp -d)
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
port=18830
broker_url=mqtt://127.0.0.1:$port
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\n' "$port" >"$tmp/broker.conf"
# Ready once it says it runs.
start_broker() {
    exec {broker_log}< <(exec mosquitto -c "$tmp/broker.conf" 2>&1)
    broker=$!
    local line
    while IFS= read -r -t 10 line <&"$broker_log"; do
        case $line in *" running"*) return 0 ;; esac
    done
    fail "the broker did not start"
    return 1
}
# Whether a message on a topic of the board's matches pattern (grep -E)
# within 5 s: a retained one comes at once.
expect() {
    local topic=$1 pattern=$2
    grep -m 1 -qE -- "$pattern" < <(mosquitto_sub -p "$port" -t "tessaro/quirn_0/$topic" -W 5 2>/dev/null)
}
# The first message on a topic of the board's, within seconds.
sub() {
    mosquitto_sub -p "$port" -t "tessaro/quirn_0/$1" -C 1 -W "$2"
}
# A command's answer: subscribed to result before the command goes out.
ask() {
    mosquitto_rr -p "$port" -t tessaro/quirn_0/cmd -e tessaro/quirn_0/result -W 10 "$@"
}

# tessaro's lines until one matches each pattern, in any order, within 20 s.
await() {
    local waiting=("$@") line i
    while [ ${#waiting[@]} -gt 0 ] && IFS= read -r -t 20 line <&"${TESSARO[0]}"; do
        echo "$line" >>"$tmp/tessaro.log"
        for i in "${!waiting[@]}"; do
            # shellcheck disable=SC2053 # a pattern
            [[ $line == ${waiting[$i]} ]] && unset "waiting[$i]"
        done
    done
    [ ${#waiting[@]} -eq 0 ] || fail "no line like '${waiting[*]}' from tessaro (log: $(cat "$tmp/tessaro.log"))"
}
connected="MQTT broker $broker_url connected; publishing as tessaro/quirn_0."
start_tessaro() {
    coproc TESSARO { exec "$build/tessaro" --serve "$link" --mqtt "$broker_url" 2>&1; }
    await "$@" "*; board Arduino:Uno_R4_Minima."
}
start_sim() {
    "$build/quirn-sim" --link "$link" --no-stdin >>"$tmp/sim.out" 2>&1 &
    sim=$!
}

# A name with a dot: the default prefix makes it tessaro/quirn_0.
link=$tmp/quirn.0
start_sim

if [ "$part" = broker ]; then
    # Prometheus hands its first targets to the scraper some 5 s after it
    # starts (its discovery is throttled so, with no setting to change it),
    # so it starts first and the bridge is tried meanwhile. Scraped often, so
    # that the first scrape (at an offset within the interval) comes soon after.
    cat >"$tmp/prometheus.yml" <<CONFIG
global:
  scrape_interval: 200ms
  scrape_timeout: 200ms
scrape_configs:
  - job_name: tessaro
    static_configs:
      - targets: ['127.0.0.1:8088']
CONFIG
    exec {prometheus}< <(exec prometheus --config.file="$tmp/prometheus.yml" \
        --storage.tsdb.path="$tmp/data" --web.listen-address=127.0.0.1:9090 2>&1)
    prometheus_pid=$!

    # No broker yet: tessaro serves all the same, and connects once it comes.
    start_tessaro "MQTT broker $broker_url not reached (*); trying again."
    start_broker
    # Status once a second, told by the time each of two messages came (goal
    # 1 s, deadline three times that), while the words below are asked:
    # subscribed before tessaro connects, so the first comes at once.
    exec {status}< <(exec mosquitto_sub -p "$port" -t tessaro/quirn_0/status -R -C 2 -W 6 -F '%U %p')
    exec {systat}< <(sub systat 5)
    await "$connected"

    # The retained topics, for a subscriber that comes later.
    [ "$(sub link 5)" = connected ] || fail "retained link"
    expect board '"link":"connected".*"board":"Uno_R4_Minima".*"mqtt_connected":true' ||
        fail "retained board: $(sub board 1)"
    curl -s http://localhost:8088/api/board | grep -q '"mqtt_connected":true' ||
        fail "/api/board does not say the bridge is connected"

    # Words: answered with their id; the console's words refused; bad
    # payloads answered, never a crash.
    answer=$(ask -m '{"word":"G2RD","id":{"n":7}}')
    case $answer in
        '{"word":"g2rd","ok":true,"pin":2,"value":'*'"id":{"n":7}}') ;;
        *) fail "g2rd with an id: $answer" ;;
    esac
    answer=$(ask -m 'sta')
    case $answer in *'"word":"sta","ok":true,"status":{'*) ;; *) fail "sta: $answer" ;; esac
    answer=$(ask -m '{"word":"quit","id":"q1"}')
    case $answer in
        '{"word":"quit","ok":false,"error":"not_allowed",'*'"id":"q1"}') ;;
        *) fail "quit: $answer" ;;
    esac
    printf '{"word":"g2rd\xff"}' >"$tmp/bad"
    answer=$(ask -f "$tmp/bad")
    case $answer in *'"error":"bad_payload"'*) ;; *) fail "invalid UTF-8: $answer" ;; esac
    head -c 100000 /dev/zero | tr '\0' 'a' >"$tmp/huge"
    answer=$(ask -f "$tmp/huge")
    case $answer in *'"error":"bad_payload"'*) ;; *) fail "a huge payload: $answer" ;; esac
    answer=$(ask -m 'foo')
    case $answer in *'"word":"foo","ok":false,"error":"unknown_word"'*) ;; *) fail "foo: $answer" ;; esac
    kill -0 "$TESSARO_PID" || fail "tessaro ended"
    IFS= read -r -t 5 line <&"$systat"
    case $line in *'"load":{'*'"window":{'*) ;; *) fail "systat: $line" ;; esac
    mapfile -t -u "$status" -n 2 statuses
    if [ ${#statuses[@]} -ne 2 ] || [[ ${statuses[0]} != *'"status":{"word"'* ]]; then
        fail "not two status messages within 6 s: ${statuses[*]}"
    else
        pace=$(awk '{ print int(($2 - $1) * 1000) }' <<<"${statuses[0]%% *} ${statuses[1]%% *}")
        [ "$pace" -ge 700 ] && [ "$pace" -le 3000 ] ||
            fail "status messages $pace ms apart, not about a second"
    fi

    # Prometheus logs nothing of a scrape: the query is asked again at each
    # line it logs, or after a scrape interval without one.
    deadline=$((SECONDS + 30))
    scraped=""
    while [ -z "$scraped" ] && [ $SECONDS -lt $deadline ]; do
        case $(curl -s 'http://127.0.0.1:9090/api/v1/query?query=tessaro_board_connected') in
            *'"value":['*',"1"]'*) scraped=yes ;;
        esac
        IFS= read -r -t 0.2 _ <&"$prometheus"
        [ $? -ne 1 ] || break # Prometheus ended
    done
    [ -n "$scraped" ] ||
        fail "Prometheus saw no tessaro_board_connected 1: $(curl -s http://127.0.0.1:9090/api/v1/targets)"
    kill "$prometheus_pid"
    wait "$prometheus_pid" 2>/dev/null

    # A clean stop says "offline" itself.
    kill -TERM "$TESSARO_PID"
    wait "$TESSARO_PID" || fail "tessaro ended with status $? on SIGTERM"
    [ "$(sub link 5)" = offline ] || fail "no offline after a clean stop"
fi

if [ "$part" = board ]; then
    start_broker
    start_tessaro "$connected"

    # The board away: the link says so, and words are answered not_connected.
    kill "$sim"
    wait "$sim"
    await "Port $link has gone away; waiting for it to come back."
    expect link '^waiting$' || fail "link while the board is away: $(sub link 1)"
    answer=$(ask -m '{"word":"sta","id":1}')
    case $answer in *'"error":"not_connected"'*'"id":1}') ;; *) fail "sta while away: $answer" ;; esac
    start_sim
    await "Port $link is back; board Arduino:Uno_R4_Minima."
    expect link '^connected$' || fail "link once the board is back: $(sub link 1)"

    # The broker stopped and started again: one line each way, and the
    # retained topics published again (this broker keeps nothing).
    kill "$broker"
    wait "$broker"
    await "MQTT broker $broker_url lost*; trying again."
    start_broker
    await "$connected"
    expect board '"mqtt_connected":true' || fail "board not published again"

    # Killed: the broker publishes the last will. The retained "connected"
    # (published again) first, so the watcher has subscribed.
    exec {will}< <(exec mosquitto_sub -p "$port" -t tessaro/quirn_0/link -C 2 -W 10)
    IFS= read -r -t 10 line <&"$will"
    [ "$line" = connected ] || fail "link not published again: $line"
    kill -KILL "$TESSARO_PID"
    IFS= read -r -t 10 line <&"$will"
    [ "$line" = offline ] || fail "last will: $line"
fi

kill "$sim" "$broker"
wait "$sim" "$broker" 2>/dev/null
rm -rf "$tmp"
[ "$failures" -eq 0 ] && echo "mqtt $part: passed"
exit $((failures > 0))
