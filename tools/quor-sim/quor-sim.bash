# bash completion for quor-sim
_quor_sim() {
    local cur prev words cword
    _init_completion || return
    if [[ ${words[1]} == ctl ]]; then
        case $prev in
            --control) _filedir; return ;;
            ctl) COMPREPLY=($(compgen -W "insert remove key display silent status path help
                                          quit --control --help" -- "$cur")); return ;;
            insert) COMPREPLY=($(compgen -W "t0 t1 dual memory" -- "$cur")); return ;;
            silent) COMPREPLY=($(compgen -W "on off" -- "$cur")); return ;;
        esac
        return
    fi
    case $prev in
        --card)
            COMPREPLY=($(compgen -W "t0 t1 dual memory none" -- "$cur"))
            return ;;
        --control) _filedir; return ;;
        --model | --keys | --key-gap | --fault | --byte-time | --readers | --reader)
            return ;;
    esac
    local first=
    ((cword == 1)) && first=ctl
    COMPREPLY=($(compgen -W "$first --pty --model --card --keys --key-gap --fault --byte-time
                              --readers --reader --control --verbose --exit-on-eof --help
                              --version" -- "$cur"))
}
complete -F _quor_sim quor-sim
