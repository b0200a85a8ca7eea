# bash completion for quorctl
_quorctl() {
    local cur prev words cword
    _init_completion || return
    local commands="info status power protocol transmit watch ct display input verify-pin
                    change-pin raw-write raw-read wait attr state ioctl shell demo"
    local options="--port --sim --card --model --trace --json --help --version"
    case $prev in
        --port)
            COMPREPLY=($(compgen -f -- "${cur:-/dev/tty}"))
            return ;;
        --card)
            COMPREPLY=($(compgen -W "t0 t1 dual memory none" -- "$cur"))
            return ;;
        power)
            COMPREPLY=($(compgen -W "down cold warm" -- "$cur"))
            return ;;
        protocol)
            COMPREPLY=($(compgen -W "t0 t1 t0,t1" -- "$cur"))
            return ;;
        wait)
            COMPREPLY=($(compgen -W "present absent" -- "$cur"))
            return ;;
    esac
    local w
    for w in "${words[@]:1:cword-1}"; do
        if [[ " $commands " == *" $w "* ]]; then
            case $w in
                input) COMPREPLY=($(compgen -W "--max --timeout --echo --keys" -- "$cur")) ;;
                verify-pin | change-pin) COMPREPLY=($(compgen -W "--params --keys" -- "$cur")) ;;
                raw-read) COMPREPLY=($(compgen -W "--length" -- "$cur")) ;;
                watch) COMPREPLY=($(compgen -W "--count" -- "$cur")) ;;
            esac
            return
        fi
    done
    COMPREPLY=($(compgen -W "$options $commands" -- "$cur"))
}
complete -F _quorctl quorctl
