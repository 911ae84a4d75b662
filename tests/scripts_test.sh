#!/usr/bin/env bash
# scripts/run.sh as a user meets it, on the build folder given as $1 (used
# as it is): --help, a bad option, a session whose board hangs up, and one
# with --log. After each run no temporary file and no process may be left.
set -uo pipefail
build=$(cd "$1" && pwd)
# The tessaro it starts serves on port 8088: in a network namespace of its
# own where one can be made, no other test's server is in the way.
if [ "${IN_SCRIPTS_NAMESPACE:-}" != 1 ] && unshare -n true 2>/dev/null; then
    exec env IN_SCRIPTS_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
[ "${IN_SCRIPTS_NAMESPACE:-}" != 1 ] || ip link set lo up || exit 1
cd "$(dirname "$0")/.."

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
# Runs that can go side by side do, in subshells, each with a temporary
# folder and a mark of its own.
temporary=$tmp/t
mkdir "$temporary"
mark="scripts_test_$$_board"
# Counted in a file: some runs go side by side in subshells.
fail() {
    echo "FAIL ($name): $*" >&2
    echo "$name" >>"$tmp/failures"
}

expect() {
    [[ $out == *"$1"* ]] || fail "no '$1' in: $out"
}

# check NAME STATUS WORDS ARGUMENT...: scripts/run.sh with the arguments
# ends with STATUS, and leaves no temporary file and no process behind; with
# WORDS, they are piped to the tessaro it starts, which must be connected to
# the simulated board before the first. Sets out.
check() {
    name=$1
    local wanted=$2 words=$3 status pids
    shift 3
    # The build folder as a user's default is given: relative to the tree.
    out=$(printf '%s\n' "$words" | timeout 60 env TMPDIR="$temporary" TESSARO_SKIP_BUILD=1 \
        TESSARO_BUILD_DIR="$(realpath --relative-to=. "$build")" TESSARO_TEST_MARK="$mark" \
        scripts/run.sh "$@" 2>&1)
    status=$?
    [ "$status" -eq "$wanted" ] || fail "status $status: $out"
    if [ -n "$words" ]; then
        expect "tessaro connects to it as $build/quirn0."
        expect "[$build/quirn0] [Arduino:Uno_R4_Minima] [Server] ["
    fi
    [ -z "$(ls -A "$temporary")" ] || fail "temporary files left: $(ls -A "$temporary")"
    pids=$(grep -ls "TESSARO_TEST_MARK=$mark" /proc/[0-9]*/environ | cut -d/ -f3 | tr '\n' ' ')
    if [ -n "$pids" ]; then
        fail "processes left: $pids"
        kill $pids 2>/dev/null
    fi
}

# A build folder that needs building, with a stand-in for cmake that
# "builds" by linking the real programs in: the first run says it builds
# and shows the progress, the next, with nothing to build but the look at
# the git commit, says nothing. Only the two programs are asked for. It has
# a build folder and temporary folder of its own: beside the runs below.
(
    name="building"
    mkdir "$tmp/bin" "$tmp/b"
    cat >"$tmp/bin/cmake" <<EOF
#!/usr/bin/env bash
if [ "\$1" = -S ]; then mkdir -p "\$4" && : >"\$4/build.ninja"; exit; fi
echo "[0/2] Re-checking globbed directories..."
[ "\$3 \$4 \$5" = "--target tessaro quirn-sim" ] || { echo "built \$*"; exit 1; }
if [ -e "\$2/tessaro" ]; then
    echo "[1/1] cd \$2 && cmake -P /src/cmake/build_commit.cmake"
    exit
fi
echo "[1/2] Building CXX object app/CMakeFiles/app.dir/console_ui.cpp.o"
ln -s "$build/tessaro" "$build/quirn-sim" "\$2/"
echo "[2/2] Linking CXX executable tessaro"
EOF
    chmod +x "$tmp/bin/cmake"
    building="Building tessaro and quirn-sim (the first build takes a few minutes)…"
    for run in first second; do
        out=$(env PATH="$tmp/bin:$PATH" TMPDIR="$tmp/b" TESSARO_BUILD_DIR="$tmp/fresh" \
            scripts/run.sh --help 2>&1 </dev/null) || fail "$run run: status $?: $out"
        expect "Usage: quirn-sim [options]"
        if [ $run = first ]; then
            expect "$building"$'\n'"[1/2] Building CXX object"
            expect "[2/2] Linking CXX executable tessaro"
        elif [[ $out == *Building* || $out == *build_commit* || $out == *globbed* ]]; then
            fail "second run: $out"
        fi
    done
    [ -z "$(ls -A "$tmp/b")" ] || fail "temporary files left: $(ls -A "$tmp/b")"
) &

# No board is left running: beside the runs with one.
(
    temporary=$tmp/h
    mkdir "$temporary"
    mark="scripts_test_$$_help"
    check --help 0 "" --help
    expect "--no-sim"
    expect "Usage: quirn-sim [options]"
    check "bad option" 2 "" --bogus
    expect "quirn-sim: unknown option '--bogus'"
) &

# The board answers the identification and hangs up on sta; its notice is
# shown when the session ends, and the unanswered sta fails the script.
check "board hangs up" 1 $'sta\nquit' --hangup-after 1
expect "quirn-sim: hung up after 1 requests as asked"

# In a build folder of its own (the programs linked in), so that a log the
# user keeps in theirs stays.
(
    mkdir "$tmp/logged" && ln -s "$build/tessaro" "$build/quirn-sim" "$tmp/logged/"
    build=$tmp/logged
    log=$build/quirn-sim.log
    check --log 0 quit --log
    expect "Its log of requests and replies goes to $log"
    expect "The simulated board's log is in $log"
    [ "$(grep -c . "$log")" -gt 1 ] || fail "the identification was not logged"
)

wait
[ ! -s "$tmp/failures" ]
