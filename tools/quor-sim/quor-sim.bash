# bash completion for quor-sim
_quor_sim() {
    local cur prev words cword
    _init_completion || return
    case $prev in
        --card)
            COMPREPLY=($(compgen -W "t0 t1 dual memory none" -- "$cur"))
            return ;;
        --model | --keys | --key-gap | --fault | --byte-time | --readers | --reader)
            return ;;
    esac
    COMPREPLY=($(compgen -W "--pty --model --card --keys --key-gap --fault --byte-time
                              --readers --reader --verbose --exit-on-eof --help --version" \
        -- "$cur"))
}
complete -F _quor_sim quor-sim
