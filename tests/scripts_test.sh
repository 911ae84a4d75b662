#!/usr/bin/env bash
# scripts/run.sh as a user meets it, on the build folder given as $1 (used
# as it is): --help, a bad option, a session whose board hangs up, and one
# with --log. After each run no temporary file and no process may be left.
set -uo pipefail
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir "$tmp/t"
mark="scripts_test_$$"
failures=0
fail() {
    echo "FAIL ($name): $*" >&2
    failures=$((failures + 1))
}

# Runs scripts/run.sh with the arguments; when told to connect, types
# "co PATH" and then the given words. Sets out and status.
run() {
    local connect_words=$1
    shift
    local env=(env TMPDIR="$tmp/t" TESSARO_SKIP_BUILD=1 TESSARO_BUILD_DIR="$build"
        TESSARO_TEST_MARK="$mark")
    if [ -z "$connect_words" ]; then
        out=$("${env[@]}" scripts/run.sh "$@" 2>&1 </dev/null)
        status=$?
        return
    fi
    coproc RUN { "${env[@]}" scripts/run.sh "$@" 2>&1; }
    local line path="" seen=""
    while IFS= read -r -t 60 line <&"${RUN[0]}"; do
        seen+="$line"$'\n'
        if [[ $line == "To connect to it, type:  co "* ]]; then
            path=${line#*co }
            break
        fi
    done
    [ -n "$path" ] || fail "no port to connect to: $seen"
    printf 'co %s\n%s\n' "$path" "$connect_words" >&"${RUN[1]}"
    exec {RUN[1]}>&-
    out=$seen$(timeout 60 cat <&"${RUN[0]}")
    wait "$RUN_PID"
    status=$?
}

expect() {
    [[ $out == *"$1"* ]] || fail "no '$1' in: $out"
}

left_behind() {
    [ -z "$(ls -A "$tmp/t")" ] || fail "temporary files left: $(ls -A "$tmp/t")"
    local pids
    pids=$(grep -ls "TESSARO_TEST_MARK=$mark" /proc/[0-9]*/environ | cut -d/ -f3 | tr '\n' ' ')
    if [ -n "$pids" ]; then
        fail "processes left: $pids"
        kill $pids 2>/dev/null
    fi
}

name="--help"
run "" --help
[ "$status" -eq 0 ] || fail "status $status"
expect "--no-sim"
expect "Usage: quirn-sim [options]"
left_behind

name="bad option"
run "" --bogus
[ "$status" -eq 2 ] || fail "status $status"
expect "quirn-sim: unknown option '--bogus'"
left_behind

# The board answers the identification and hangs up on sta; its notice is
# shown when the session ends.
name="board hangs up"
run "sta
quit" --hangup-after 1
# sta went unanswered: a script's status says so.
[ "$status" -eq 1 ] || fail "status $status"
expect "quirn-sim: hung up after 1 requests as asked"
left_behind

name="--log"
log="$build/quirn-sim.log"
rm -f "$log"
run "quit" --log
[ "$status" -eq 0 ] || fail "status $status"
expect "Its log of requests and replies goes to $log"
expect "The simulated board's log is in $log"
[ "$(grep -c . "$log")" -gt 1 ] || fail "the identification was not logged"
rm -f "$log"
left_behind

[ "$failures" -eq 0 ]
