#!/usr/bin/env bash
# tessaro --listen on an address other than loopback, in a network
# namespace of its own (192.0.2.1, a documentation address, on its own
# loopback device; never a real network): every request needs the token,
# as a bearer token or as the cookie /?token= sets (the metrics as the
# API: a bearer token); a foreign Host gets
# 403; and the token file is made once, mode 0600, and --token-file
# replaces it. Exit 77 (skipped) where no namespace can be made.
set -uo pipefail
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.." # where pages/ is, for the page's own request

if [ "${IN_LISTEN_NAMESPACE:-}" != 1 ]; then
    if ! unshare -n true 2>/dev/null; then
        echo "no network namespace can be made here: skipped"
        exit 77
    fi
    exec env IN_LISTEN_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
ip link set lo up && ip addr add 192.0.2.1/32 dev lo || exit 1

tmp=$(mktemp -d)
failures=0
fail() {
    echo "FAIL: $*" >&2
    failures=$((failures + 1))
}
# Status checks are queued and then asked in one curl (each request with
# its own options after --next): one process, not one for each.
requests=() wanted=() about=()
expect_status() {
    [ ${#requests[@]} -eq 0 ] || requests+=(--next)
    requests+=(-s -o "$tmp/body.${#wanted[@]}" -w '%{http_code}\n' "${@:3}")
    wanted+=("$1")
    about+=("$2")
}
ask_all() {
    local got i
    mapfile -t got < <(curl "${requests[@]}")
    for i in "${!wanted[@]}"; do
        [ "${got[$i]:-}" = "${wanted[$i]}" ] ||
            fail "${about[$i]}: status ${got[$i]:-none}, not ${wanted[$i]} ($(cat "$tmp/body.$i" 2>/dev/null))"
    done
    requests=() wanted=() about=()
}

link=$tmp/quirn0
"$build/quirn-sim" --link "$link" --no-stdin >"$tmp/sim.out" 2>&1 &
sim=$!

echo "s3cret-token" >"$tmp/own"
# Starts tessaro --serve on the simulated board with the given options,
# and reads its lines until it has connected to the board (the simulator
# may make its link a moment after tessaro starts: tessaro then waits for
# it) and said its web server's address, which is kept in url.
start() {
    coproc TESSARO { exec env XDG_STATE_HOME="$tmp/state" "$build/tessaro" --serve "$link" "$@" 2>&1; }
    url=""
    local line board=""
    while [ -z "$url" ] || [ -z "$board" ]; do
        IFS= read -r -t 20 line <&"${TESSARO[0]}" || break
        case $line in
            "Web server running on "*) url=${line#Web server running on } ;;
            *"; board "*) board=yes ;;
        esac
    done
    [ -n "$url" ] && [ -n "$board" ] || fail "tessaro did not connect and serve for $*"
}
stop() {
    kill -TERM "$TESSARO_PID"
    wait "$TESSARO_PID" || fail "tessaro $* ended with status $?"
}

start --listen 192.0.2.1
token=${url#http://192.0.2.1:8088/?token=}
[ "$url" = "http://192.0.2.1:8088/?token=$token" ] && [ ${#token} -eq 64 ] ||
    fail "start line: $url"
file=$tmp/state/tessaro/token
[ "$(stat -c %a "$file")" = 600 ] || fail "token file mode $(stat -c %a "$file")"
[ "$(cat "$file")" = "$token" ] || fail "token file holds another token"
api=http://192.0.2.1:8088/api/gpio/grd/3
metrics=http://192.0.2.1:8088/metrics
events=http://192.0.2.1:8088/api/events?topics=link
# Refused: the API, the metrics, the page and the event stream without the
# token, the token with its last digit changed (to 1 where it was 0), and
# the token in the query of an API request.
expect_status 401 "no token" "$api"
wrong=${token%?}$([ "${token: -1}" = 0 ] && echo 1 || echo 0)
expect_status 401 "a wrong token" -H "Authorization: Bearer $wrong" "$api"
expect_status 401 "the token in the query of an API request" "$api?token=$token"
expect_status 401 "the metrics without it" "$metrics"
expect_status 401 "the page without it" http://192.0.2.1:8088/
expect_status 401 "the event stream without it" "$events"
ask_all
grep -q '"error"' "$tmp/body.0" || fail "401 without a JSON error"
# The wire trace records every request before it goes to the board.
curl -s -H "Authorization: Bearer $token" "http://192.0.2.1:8088/api/trace?after=0" >"$tmp/trace"
grep -q '"bytes":"E0 FD","dir":"->"' "$tmp/trace" || fail "no identification: $(cat "$tmp/trace")"
! grep -q '"source":"api' "$tmp/trace" || fail "a refused request reached the board"
# The page opened with the token: a cookie, and the address without it. A
# path that would not go back safely into a header sends to / instead.
curl -s -D "$tmp/head" -o /dev/null "$url" \
    --next -s -D "$tmp/unsafe" -o /dev/null "http://192.0.2.1:8088/a%0d%0aX-Evil:%201?token=$token"
grep -qi "^location: /\s*$" "$tmp/head" || fail "no redirect to the page: $(cat "$tmp/head")"
cookie=$(sed -n 's/^set-cookie: \([^;]*\);.*/\1/ip' "$tmp/head")
grep -i '^set-cookie:' "$tmp/head" | grep -q 'HttpOnly; SameSite=Strict' ||
    fail "cookie without HttpOnly and SameSite=Strict"
grep -qi "^location: /\s*$" "$tmp/unsafe" || fail "redirect of an unsafe path: $(cat "$tmp/unsafe")"
! grep -qi "^x-evil" "$tmp/unsafe" || fail "a header made from the path"
expect_status 200 "bearer token" -H "Authorization: Bearer $token" "$api"
expect_status 403 "foreign Host" -H "Authorization: Bearer $token" -H "Host: evil.example:8088" "$api"
expect_status 200 "the metrics with it" -H "Authorization: Bearer $token" "$metrics"
expect_status 200 "cookie" -b "$cookie" "$api"
expect_status 200 "the page with the cookie" -b "$cookie" http://192.0.2.1:8088/
ask_all
# The link event comes at once; the stream then stays open.
exec {stream}< <(exec curl -s -N --max-time 20 -b "$cookie" "$events")
stream_pid=$!
seen=""
while IFS= read -r -t 20 line <&"$stream"; do
    [ "$line" = "event: link" ] && seen=yes && break
done
kill "$stream_pid" 2>/dev/null
exec {stream}<&-
[ -n "$seen" ] || fail "no link event on the stream with the cookie"
stop first

# The file's token is kept; a name allowed is answered.
start --listen 192.0.2.1 --allow-host lab.example
[ "$url" = "http://192.0.2.1:8088/?token=$token" ] || fail "a new token: $url"
expect_status 200 "allowed Host" -H "Authorization: Bearer $token" -H "Host: lab.example:8088" "$api"
ask_all
stop second

start --listen 0.0.0.0 --token-file "$tmp/own" --allow-host lab.example
[ "$url" = "http://lab.example:8088/?token=s3cret-token" ] || fail "--token-file start line: $url"
# On every address, only the names allowed (and loopback's) are answered.
lab=(-H "Host: lab.example:8088")
expect_status 200 "--token-file" -H "Authorization: Bearer s3cret-token" "${lab[@]}" "$api"
expect_status 401 "the default file's token" -H "Authorization: Bearer $token" "${lab[@]}" "$api"
expect_status 403 "an address not allowed" -H "Authorization: Bearer s3cret-token" "$api"
ask_all
stop third

kill "$sim"
wait "$sim" 2>/dev/null
rm -rf "$tmp"
[ "$failures" -eq 0 ] && echo "listen: passed"
exit $((failures > 0))
