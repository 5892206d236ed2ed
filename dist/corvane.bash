# bash completion for corvane(8)

_corvane() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    COMPREPLY=()
    case $prev in
    -[0-8])
        # A number follows: offer the parameter's value now, where it can be read.
        [[ -z $cur ]] || return 0
        local line
        line=$("${COMP_WORDS[0]}" -d 2>/dev/null | grep "^${prev#-}: ") || return 0
        line=${line#*: }
        line=${line#"${line%%[! ]*}"}
        COMPREPLY=("${line%% *}")
        return 0
        ;;
    -f)
        [[ -z $cur ]] && COMPREPLY=(5)
        return 0
        ;;
    -s)
        [[ -z $cur ]] && COMPREPLY=(30)
        return 0
        ;;
    esac
    COMPREPLY=($(compgen -W '-0 -1 -2 -3 -4 -5 -6 -7 -8 -d -f -h -s' -- "$cur"))
}
complete -F _corvane corvane
