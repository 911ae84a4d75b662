#!/usr/bin/env bash
# The bash completion, sourced as bash-completion would source it, with the
# build folder ($1) first on PATH: options come from each program's --help,
# files after the options that take a file.
set -uo pipefail
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
PATH=$build:$PATH
source completion/tessaro.bash
failures=0

# expect LINE WANTED: completing the last word of LINE offers WANTED.
expect() {
    local line=$1 wanted=$2
    local -a COMP_WORDS COMPREPLY=()
    read -ra COMP_WORDS <<<"$line"
    local COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
    local function
    function=$(complete -p "${COMP_WORDS[0]}" | sed -n 's/.*-F \([^ ]*\) .*/\1/p')
    "$function" "${COMP_WORDS[0]}" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}"
    if [ "${COMPREPLY[*]}" != "$wanted" ]; then
        echo "FAIL: '$line' completes to '${COMPREPLY[*]}', not '$wanted'" >&2
        failures=$((failures + 1))
    fi
}

expect "tessaro --js" "--json"
expect "tessaro --tok" "--token-file"
expect "tessaro --trace completion/tessaro.b" "completion/tessaro.bash"
expect "quirn-sim --no-s" "--no-stdin"
expect "quirn-sim --link completion/tessaro.b" "completion/tessaro.bash"
[ "$failures" -eq 0 ] && echo "completion: passed"
exit $((failures > 0))
