#!/usr/bin/env bash
# The Windows build under Wine: the cross-built unit tests, then tessaro.exe
# from the zip, started from another folder, end to end against the
# simulated board (the Linux build's quirn-sim on a pseudo-terminal, which
# Wine serves as COM5).
#   scripts/test-windows.sh [LINUX_BUILD_DIR]    (default: build)
# Ends with the line "wine: N passed, N failed"; the exit status is 1 when
# anything failed.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
linux_build=${1:-build}

scripts/install-deps.sh wine wine64 curl unzip
scripts/build-windows.sh --tests
[ -x "$linux_build/quirn-sim" ] || cmake --build "$linux_build" --target quirn-sim

passed=0
failed=0
check() {  # check NAME COMMAND...: one counted check
    local name=$1
    shift
    if "$@"; then
        passed=$((passed + 1))
    else
        failed=$((failed + 1))
        echo "FAILED: $name"
    fi
}

# One private prefix inside the build tree, made once; one wine server for
# the whole pass, so that each program starts quickly.
export WINEPREFIX=$root/build-windows/wine-prefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "== Wine prefix (once): $WINEPREFIX"
    wineboot -i >/dev/null 2>&1
    wineserver -w
fi
work=$(mktemp -d)
sim_pid=""
tessaro_pid=""
cleanup() {
    [ -z "$tessaro_pid" ] || kill "$tessaro_pid" 2>/dev/null || true
    [ -z "$sim_pid" ] || kill "$sim_pid" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
wineserver -p >/dev/null 2>&1 || true  # one may run already

echo "== Unit tests under Wine"
if wine build-windows/tessaro_tests.exe >"$work/unit" 2>&1; then :; fi
tr -d '\r' <"$work/unit" | grep -E '^\[ +(OK|FAILED) +\]|^\[  PASSED  \]' | grep -v ' tests\?, listed below' || true
unit_passed=$(tr -d '\r' <"$work/unit" | grep -c '^\[       OK \]' || true)
unit_failed=$(tr -d '\r' <"$work/unit" | grep -c '^\[  FAILED  \] .* ([0-9]* ms)$' || true)
if [ "$unit_passed" -eq 0 ] && [ "$unit_failed" -eq 0 ]; then
    unit_failed=1
    tr -d '\r' <"$work/unit"
fi
passed=$((passed + unit_passed))
failed=$((failed + unit_failed))

echo "== tessaro.exe end to end under Wine"
start_sim() {  # start_sim OPTIONS...: a board on a new terminal, mapped to COM5
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null || true
        wait "$sim_pid" 2>/dev/null || true
    fi
    "$linux_build/quirn-sim" --no-stdin "$@" >"$work/sim" 2>&1 &
    sim_pid=$!
    local path=""
    for _ in $(seq 200); do
        path=$(sed -n 's|^Simulated Quirn board .* on \(/dev/.*\)$|\1|p' "$work/sim")
        [ -n "$path" ] && break
        sleep 0.05
    done
    [ -n "$path" ] || { cat "$work/sim"; return 1; }
    sim_path=$path
    ln -sfn "$path" "$WINEPREFIX/dosdevices/com5"
}
mark=0
from_now() {  # later waits look at what follows this moment
    mark=$(stat -c %s "$work/out")
    sent_at=$(date +%s%N)
}
send() {  # send WORD: type a word; later waits look at what follows it
    from_now
    printf '%s\n' "$1" >&3
}
since_send() { tail -c +$((mark + 1)) "$work/out" | tr -d '\r'; }
wait_for() {  # wait_for TEXT: TEXT appears after the last word sent, within 20 s
    for _ in $(seq 400); do
        since_send | grep -qF -- "$1" && return 0
        sleep 0.05
    done
    echo "  not seen: $1"
    since_send | tail -n 20
    return 1
}
took_ms() { echo $((($(date +%s%N) - sent_at) / 1000000)); }

start_sim --silent-every 9
mkfifo "$work/in"
exec 3<>"$work/in"
# The zip as a Windows user gets it, unpacked in one folder, and tessaro.exe
# started from another: it serves the pages beside it.
mkdir -p "$work/unzipped" "$work/elsewhere"
unzip -q build-windows/tessaro-windows.zip -d "$work/unzipped"
(cd "$work/elsewhere" && exec wine "$work/unzipped/tessaro.exe") <"$work/in" >"$work/out" 2>"$work/err" &
tessaro_pid=$!
session="[COM5] [Arduino:Uno_R4_Minima] [Server]"

check "start-up lists what SetupAPI finds, or says there is nothing" \
    wait_for "Discovered serial ports:"
send "co com9"
check "a missing port is named" wait_for 'Error: Cannot open \\.\COM9'
send "co com5"
web_log_from=$mark
check "co com5 identifies the board" wait_for "$session [3] > "
send "sta"
check "sta" wait_for "bs_fault: 00000000"
send "g2co"
check "g2co" wait_for "Pin 2 set as Digital Output."
send "g2wd1"
check "g2wd1" wait_for "Pin 2 value: 1 written on port."
send "g2rd"
check "g2rd" wait_for "Pin 2 value: 1"
# The web API while connected: one write and one read of pin 2, from here
# to the Wine process. Another program may hold port 8088 for a while; the
# server starts once it is free.
wait_web() {
    for _ in $(seq 2400); do
        tail -c +$((web_log_from + 1)) "$work/out" | tr -d '\r' |
            grep -qF "[Tessaro] Server running on http://localhost:8088" && return 0
        sleep 0.05
    done
    return 1
}
api() {  # api METHOD PATH [BODY]: prints the answer's body
    # A server that closed the connection before reading the request (curl's
    # status 52, seen on a loaded machine) read nothing: a GET is asked again.
    local attempt status=0
    for attempt in 1 2 3; do
        curl -s -m 10 -X "$1" ${3:+-H 'Content-Type: application/json' -d "$3"} \
            "http://localhost:8088$2" && return 0
        status=$?
        [ "$1" = GET ] && [ "$status" -eq 52 ] || return "$status"
    done
    return "$status"
}
check "the web server runs while connected" wait_web
answers() {  # answers WANTED METHOD PATH [BODY]: the API's answer is WANTED
    local wanted=$1 got status=0
    shift
    got=$(api "$@") || status=$?
    [ "$got" = "$wanted" ] && return 0
    echo "  got: '$got' (curl status $status)"
    return 1
}
check "POST /api/gpio/gwd/2 writes 0" answers '{"status":"ok"}' POST /api/gpio/gwd/2 '{"value":0}'
check "GET /api/gpio/grd/2 reads it back" answers '{"pin":2,"value":0}' GET /api/gpio/grd/2
check "the zip holds README.txt" test -s "$work/unzipped/README.txt"
check "GET / serves the zip's pages/ from another folder" \
    test "$(api GET /)" = "$(cat pages/index.html)"
check "GET /help/ serves the zip's help/" test "$(api GET /help/)" = "$(cat help/index.html)"
send "sys"
check "sys" wait_for "RT load min:"
# The ninth request goes unanswered: the read gives up after its total
# time-out, 2066 ms.
send "sta"
check "a silent board is reported" wait_for "Not able to decode."
silent_ms=$(took_ms)
check "a silent board costs the total time-out ($silent_ms ms)" \
    test "$silent_ms" -ge 2000 -a "$silent_ms" -le 10000
send "di"
check "di closes the port" wait_for "Closed COM5 port"

# A reply one byte longer than its known length is still read whole.
start_sim --wrong-length
send "co com5"
check "an overlong identification is read whole" wait_for "Error response length: 5 != 4"
send "sta"
check "an overlong status is read whole" wait_for "Error response length: 5 != 4"

# A board that vanishes (a pulled cable): the transaction that finds it
# gone says so, the watcher closes the port and waits for COM5 to name a
# device again, then reopens it and identifies the board.
gone="Port COM5 has gone away; waiting for it to come back (di stops waiting)."
back="Port COM5 is back; board Arduino:Uno_R4_Minima."
start_sim --hangup-after 1
send "co com5"
check "co com5 again" wait_for "$session"
send "g2rd"
check "a vanished board is reported" wait_for "Not able to decode."
check "the port is given up" wait_for "$gone"
check "the prompt no longer names the board" wait_for "[Disconnected]"
send "g2rd"
check "nothing is sent while waiting" wait_for "Cannot run a server command while not connected."
from_now
start_sim
check "a board on COM5 again is reconnected" wait_for "$back"
check "the prompt names the board again" wait_for "$session"
send "g2rd"
check "and answers" wait_for "Pin 2 value: "

# The COM link removed while the board runs: the name has left the device
# namespace, as a pulled adapter's does, and is noticed without a word typed.
from_now
rm -f "$WINEPREFIX/dosdevices/com5"
check "a removed COM link is noticed" wait_for "$gone"
echo "  noticed $(took_ms) ms after the link was removed"
from_now
ln -sfn "$sim_path" "$WINEPREFIX/dosdevices/com5"
check "the restored COM link is reconnected" wait_for "$back"
echo "  reconnected $(took_ms) ms after the link was restored"

# The simulator stopped: its link leads nowhere. di ends the wait.
from_now
kill "$sim_pid"
wait "$sim_pid" 2>/dev/null || true
sim_pid=""
check "a stopped board is noticed" wait_for "$gone"
send "di"
check "di ends the wait" wait_for "No longer waiting for COM5."
start_sim
send "co com5"
check "co com5 after the wait" wait_for "$session"
send "quit"
exit_code=0
for _ in $(seq 400); do
    kill -0 "$tessaro_pid" 2>/dev/null || break
    sleep 0.05
done
wait "$tessaro_pid" || exit_code=$?
tessaro_pid=""
exec 3>&-
# Its input is a pipe, and words failed on the way (the silent board, the
# board gone): a script's status says so.
check "quit ends the program with exit code 1, words failed ($exit_code)" test "$exit_code" -eq 1
read_failures=$(tr -d '\r' <"$work/err" | grep -c "^Error: Failed to read from COM port$" || true)
check "the failed read is on standard error ($read_failures)" test "$read_failures" -ge 1
check "the missing port's reason is on standard error" \
    grep -qF '\\.\COM9: no such device' "$work/err"
if [ "$failed" -gt 0 ]; then
    echo "-- tessaro.exe standard output:"
    tr -d '\r' <"$work/out"
    echo "-- standard error:"
    tr -d '\r' <"$work/err"
fi

echo "wine: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
