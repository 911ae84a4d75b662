# bash completion for tessaro and quirn-sim: their options (read from the
# program's own --help, so they never fall behind it), files and host
# names after the options that take them, and serial ports where a port
# goes. Installed under both names in bash-completion's folder; needs
# nothing from bash-completion itself.

# The options a program's --help lists.
_tessaro_options_of() {
    "$1" --help 2>/dev/null | grep -oE -- '^ +(-[a-z], )?--[a-z-]+' | grep -oE -- '--?[a-z-]+'
}

# Paths for the word being completed; folders get no blank after them.
_tessaro_paths() {
    compopt -o filenames 2>/dev/null
    mapfile -t COMPREPLY < <(compgen -f -- "$1")
}

_tessaro() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    --trace | --token-file | --mqtt-password-file)
        _tessaro_paths "$cur"
        return
        ;;
    --allow-host)
        mapfile -t COMPREPLY < <(compgen -A hostname -- "$cur")
        return
        ;;
    --listen)
        mapfile -t COMPREPLY < <(compgen -W "127.0.0.1 ::1 0.0.0.0 ::" -- "$cur")
        return
        ;;
    --mqtt)
        mapfile -t COMPREPLY < <(compgen -W "mqtt:// mqtts://" -- "$cur")
        compopt -o nospace 2>/dev/null
        return
        ;;
    -c | --http-port | --mqtt-user | --mqtt-prefix)
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_tessaro_options_of "$1")" -- "$cur")
        return
    fi
    # The port: a path as typed, else the ports tessaro --list finds.
    if [[ $cur == */* ]]; then
        _tessaro_paths "$cur"
        return
    fi
    local ports
    ports=$("$1" --list 2>/dev/null | sed -n 's/^Port: \(.*\) - .*$/\1/p')
    mapfile -t COMPREPLY < <(compgen -W "$ports" -- "$cur")
}

_quirn_sim() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    --link)
        _tessaro_paths "$cur"
        return
        ;;
    --maker | --board | --alarm | --fault | --delay | --silent-every | --split-gap | --garbage | \
        --hangup-after)
        return
        ;;
    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$(_tessaro_options_of "$1")" -- "$cur")
    fi
}

complete -F _tessaro tessaro
complete -F _quirn_sim quirn-sim
