#!/usr/bin/env bash
# Installs what is missing, builds the two programs, starts a simulated
# board in the background under a fixed name ($build/quirn0) and runs
# tessaro in the foreground, connected to it; the board stops with it.
#   scripts/run.sh                 tessaro beside a simulated Arduino Uno R4 Minima
#   scripts/run.sh --pic --pace    any quirn-sim options are passed to the board
#   scripts/run.sh --log           the board's log of requests and replies in build/quirn-sim.log
#   scripts/run.sh --no-sim [...]  tessaro alone, for a real board, with tessaro's options
#   scripts/run.sh --help          these options and the board's
# TESSARO_BUILD_DIR names the build folder (default build); with
# TESSARO_SKIP_BUILD=1 it is used as it is, without installing or building.
set -euo pipefail
cd "$(dirname "$0")/.."

build=${TESSARO_BUILD_DIR:-build}
# A build says so and shows its progress; an up-to-date tree stays quiet
# (ninja's check of the source globs, the look at the git commit that every
# build makes, and its "no work to do" are not a build). Only the two
# programs are built, not the tests and benchmarks.
building_line="Building tessaro and quirn-sim (the first build takes a few minutes)…"
build_saying_so() {
    local said=$1 line
    cmake --build "$build" --target tessaro quirn-sim | while IFS= read -r line; do
        case $line in
        *"Re-checking globbed directories"* | *build_commit.cmake* | "ninja: no work to do.") continue ;;
        esac
        if [ -z "$said" ]; then
            echo "$building_line"
            said=1
        fi
        echo "$line"
    done
}
if [ "${TESSARO_SKIP_BUILD:-}" != 1 ]; then
    scripts/install-deps.sh
    if [ ! -f "$build/build.ninja" ]; then
        echo "$building_line"
        cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        build_saying_so said
    else
        build_saying_so ""
    fi
fi

case "${1:-}" in
--no-sim)
    shift
    exec "$build/tessaro" "$@"
    ;;
--help | -h)
    echo "Usage: scripts/run.sh [--no-sim [tessaro options]] [quirn-sim options]"
    echo "Starts tessaro beside a simulated board, and stops the board when tessaro ends."
    echo "  --no-sim            run tessaro alone, for a real board; the options after"
    echo "                      it go to tessaro ('build/tessaro --help' lists them)"
    echo "  --log               the board's log goes to $build/quirn-sim.log"
    echo "Every other option goes to the simulated board:"
    echo
    exec "$build/quirn-sim" --help
    ;;
esac

log_file=""
for arg in "$@"; do
    if [ "$arg" = "--log" ]; then
        log_file=$(realpath -m "$build/quirn-sim.log")
    fi
done

sim_pid=""
path=""
sim_out=""
# The same name across runs, as a USB board's: tessaro's history of "co"
# lines, and any other program, find it again. Absolute: tessaro takes a
# name without a leading / for one under /dev.
link=$(realpath -m "$build/quirn0")

# Runs however the script ends; nothing in it may fail, so that every step
# runs under set -e.
clean_up() {
    local status=$?
    set +e
    if [ -n "$sim_pid" ]; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    if [ -z "$path" ]; then
        # It never started: its messages were shown already.
        [ -z "$sim_out" ] || rm -f "$sim_out"
    elif [ -n "$log_file" ]; then
        echo "The simulated board's log is in $log_file"
    else
        tail -n +3 "$sim_out" >&2
        rm -f "$sim_out"
    fi
    exit "$status"
}
trap clean_up EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

# The board's output: its first line names the terminal, the second the
# link to it; the rest (a hang-up notice, its log) is shown when tessaro
# ends, or kept in the log file.
if [ -n "$log_file" ]; then
    sim_out=$log_file
    : >"$sim_out"
else
    sim_out=$(mktemp)
fi

"$build/quirn-sim" --link "$link" "$@" </dev/null >"$sim_out" 2>&1 &
sim_pid=$!

for _ in $(seq 200); do
    grep -qxF "Linked at $link" "$sim_out" && path=$link && break
    if ! kill -0 "$sim_pid" 2>/dev/null; then
        # It ended at once (a bad option, or --help): its own words and status.
        status=0
        wait "$sim_pid" || status=$?
        sim_pid=""
        if [ "$status" -eq 0 ]; then
            cat "$sim_out"
        else
            cat "$sim_out" >&2
        fi
        exit "$status"
    fi
    sleep 0.05
done
if [ -z "$path" ]; then
    echo "The simulated board did not start:" >&2
    cat "$sim_out" >&2
    exit 1
fi

head -n 1 "$sim_out"
[ -n "$log_file" ] && echo "Its log of requests and replies goes to $log_file"
echo "tessaro connects to it as $link."
echo
"$build/tessaro" "$link"
