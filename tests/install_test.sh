#!/usr/bin/env bash
# tessaro installed as a user installs it, from the build folder given as
# $1, in one of two parts ($2), each a test of its own so that they run side
# by side: "install", cmake --install into a temporary prefix (and a copy of
# its programs without any pages), served on port 8088; and "package", the
# Debian package from scripts/package.sh, unpacked with dpkg -x and served
# on port 8098; each in a network namespace of its own where one can be
# made, so that no other test's server is in the way. Each installed tessaro is
# started from an empty working directory against its own quirn-sim and
# must serve /, /help/ and the API; without any pages it says so in one
# line and the API still works. systemd-analyze verify finds nothing to say
# of the service unit. The manual pages render without warnings, and every
# place shows the one version number. (lintian reads the package in the
# lint pass, scripts/lint.sh.)
set -uo pipefail
build=$(cd "$1" && pwd)
cd "$(dirname "$0")/.."
source=$PWD
part=$2
case $part in
install) http=8088 ;;
package) http=8098 ;;
*) echo "usage: install_test.sh BUILD install|package" >&2 && exit 2 ;;
esac

if [ "${IN_INSTALL_NAMESPACE:-}" != 1 ] && unshare -n true 2>/dev/null; then
    exec env IN_INSTALL_NAMESPACE=1 unshare -n bash "$0" "$@"
fi
[ "${IN_INSTALL_NAMESPACE:-}" != 1 ] || ip link set lo up || exit 1

tmp=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do
        kill "$pid" 2>/dev/null
    done
    wait 2>/dev/null
    rm -rf "$tmp"
}
trap cleanup EXIT
# Counted in a file: some checks run side by side in subshells.
fail() {
    echo "FAIL ($name): $*" >&2
    echo "$name" >>"$tmp/failures"
}

version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
notice="[Tessaro] The web page is not installed: no pages folder in "
# What both install, under the prefix (the package's is /usr, its manual
# pages compressed).
installed=(bin/tessaro bin/quirn-sim share/tessaro/pages/index.html share/tessaro/help/index.html
    share/man/man1/tessaro.1 share/man/man1/quirn-sim.1 share/doc/tessaro/README.md
    lib/systemd/system/tessaro@.service share/bash-completion/completions/tessaro
    share/bash-completion/completions/quirn-sim)

# read_until FD FILE TEXT SECONDS: lines from FD, each added to FILE, until
# one holds TEXT, within the time.
read_until() {
    local line deadline=$((SECONDS + $4))
    while [ "$SECONDS" -lt "$deadline" ] && IFS= read -r -t $((deadline - SECONDS)) line <&"$1"; do
        printf '%s\n' "$line" >>"$2"
        [[ $line == *"$3"* ]] && return 0
    done
    return 1
}

# session BIN_DIR PAGES PORT: BIN_DIR/tessaro started from an empty working
# directory, connected to BIN_DIR/quirn-sim and serving on PORT; PAGES says
# whether it must find its pages (yes) or say that it has none (no).
session() {
    local bin=$1 pages=$2 http=$3
    local start_line="[Tessaro] Server running on http://localhost:$http"
    local work board input output sim tessaro status=0 place answer next
    work=$(mktemp -d "$tmp/work.XXXXXX")
    exec {board}< <(exec "$bin/quirn-sim" --no-stdin --link "$work/board" 2>&1)
    sim=$!
    mkfifo "$work/in"
    exec {input}<>"$work/in"
    exec {output}< <(cd "$work" && exec "$bin/tessaro" --http-port "$http" <"$work/in" 2>&1)
    tessaro=$!
    pids+=("$sim" "$tessaro")
    if ! read_until "$board" "$work/sim" "Linked at" 20; then
        fail "quirn-sim did not start: $(cat "$work/sim")"
    # Another program may hold the port for a while before it is ours.
    elif ! { echo "co $work/board" >&"$input" && read_until "$output" "$work/out" "$start_line" 120; }; then
        fail "no web server: $(cat "$work/out")"
    else
        grep -qxF "Version is $version" "$work/out" || fail "banner without Version is $version"
        if [ "$pages" = yes ]; then
            for place in pages/ help/; do
                [ "$(curl -s "http://localhost:$http/${place#pages/}")" = "$(cat "$source/${place}index.html")" ] ||
                    fail "/${place#pages/} is not ${place}index.html"
            done
        else
            [ "$(curl -s -o /dev/null -w '%{http_code}' http://localhost:$http/)" = 404 ] ||
                fail "/ is not 404 without pages"
        fi
        answer=$(curl -s http://localhost:$http/api/gpio/grd/2)
        [[ $answer =~ ^\{\"pin\":2,\"value\":[0-9]+\}$ ]] || fail "API read answered: $answer"
    fi
    echo quit >&"$input"
    exec {input}>&-
    wait "$tessaro" || status=$?
    cat <&"$output" >>"$work/out"
    exec {output}<&- {board}<&-
    [ "$status" -eq 0 ] || fail "tessaro ended with status $status: $(cat "$work/out")"
    next=$(grep -A1 -F "$start_line" "$work/out" | sed -n 2p)
    if [ "$pages" = yes ]; then
        [[ $next != "$notice"* ]] || fail "a notice although the pages are there: $next"
    else
        [[ $next == "$notice$work, $bin or "*"; the API still works." ]] ||
            fail "the line after the start line is not the notice: $next"
    fi
    kill "$sim" 2>/dev/null
}

if [ "$part" = install ]; then
    name="cmake --install"
    prefix=$tmp/prefix
    cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install failed"
    for path in "${installed[@]}"; do
        [ -e "$prefix/$path" ] || fail "$path missing"
    done
    [[ $("$prefix/bin/tessaro" --version) == "tessaro $version ("*"built "* ]] ||
        fail "--version: $("$prefix/bin/tessaro" --version)"
    # The checks below are independent of each other: side by side.
    session "$prefix/bin" yes "$http" &

    (
        name="no pages anywhere"
        mkdir -p "$tmp/bare/bin"
        cp "$prefix/bin/tessaro" "$prefix/bin/quirn-sim" "$tmp/bare/bin/"
        session "$tmp/bare/bin" no $((http + 1))
    ) &

    (
        name="service unit"
        units=$prefix/lib/systemd/system
        grep -qxF "ExecStart=$prefix/bin/tessaro --serve /dev/%I" "$units/tessaro@.service" ||
            fail "the unit does not start the installed tessaro"
        # A template is verified through an instance; nothing is started.
        ln -s tessaro@.service "$units/tessaro@ttyACM0.service"
        MANPATH=$prefix/share/man systemd-analyze verify "$units/tessaro@ttyACM0.service" >"$tmp/verify" 2>&1 ||
            fail "systemd-analyze verify failed: $(cat "$tmp/verify")"
        [ ! -s "$tmp/verify" ] || fail "systemd-analyze verify: $(cat "$tmp/verify")"
    ) &

    for page in tessaro quirn-sim; do
        (
            name="manual page $page.1"
            text=$'\n'$(MANWIDTH=80 man -l --warnings "$prefix/share/man/man1/$page.1" 2>"$tmp/$page.err") ||
                fail "man -l $page.1 failed"
            [ ! -s "$tmp/$page.err" ] || fail "$(cat "$tmp/$page.err")"
            # Every option of --help is in the page, and the page names the version.
            for option in $("$prefix/bin/$page" --help | grep -oE '^ +(-h, )?--[a-z-]+' | grep -oE -- '--[a-z-]+'); do
                [[ $text == *"$option"* ]] || fail "lacks $option"
            done
            [[ $text == *$'\n'"$page $version "* ]] || fail "does not name version $version"
        ) &
    done
    wait
fi

if [ "$part" = package ]; then
    name="Debian package"
    # Uncompressed: xz takes seconds, and lintian reads the xz package in the
    # lint pass.
    deb=$(TESSARO_DEB_COMPRESSION=none TESSARO_PACKAGE_AS_BUILT=1 scripts/package.sh "$build" | tail -n 1)
    if [ ! -f "$deb" ]; then
        fail "scripts/package.sh made no package"
    else
        [ "$(basename "$deb")" = "tessaro_${version}_$(dpkg --print-architecture).deb" ] ||
            fail "named $deb"
        info=$(dpkg-deb --info "$deb")
        for field in "Package: tessaro" "Version: $version" "Depends: .*libc6" \
            "Depends: .*libstdc\+\+6" "Description: ."; do
            grep -qE "^ $field" <<<"$info" || fail "no '$field' in: $info"
        done
        dpkg -x "$deb" "$tmp/root" || fail "dpkg -x failed"
        for path in "${installed[@]/%.1/.1.gz}" share/doc/tessaro/copyright; do
            [ -e "$tmp/root/usr/$path" ] || fail "$path not in the package"
        done
        # Hardened: full RELRO with every symbol bound at start, and the stack
        # protector (the checked functions too, in a build that optimises).
        for program in tessaro quirn-sim; do
            readelf -d "$tmp/root/usr/bin/$program" | grep -q BIND_NOW || fail "$program: no BIND_NOW"
            readelf -lW "$tmp/root/usr/bin/$program" | grep -q GNU_RELRO || fail "$program: no RELRO"
            symbols=$(readelf --dyn-syms -W "$tmp/root/usr/bin/$program")
            grep -q '__stack_chk_fail' <<<"$symbols" || fail "$program: no stack protector"
            if ! grep -q '^CMAKE_BUILD_TYPE:STRING=Debug$' "$build/CMakeCache.txt"; then
                grep -qE '__[a-z_]+_chk@' <<<"$symbols" || fail "$program: no checked functions"
            fi
        done
        session "$tmp/root/usr/bin" yes "$http"
    fi
fi

[ ! -s "$tmp/failures" ]
