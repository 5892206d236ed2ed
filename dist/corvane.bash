# bash completion for corvane(8)

# Offers the options, and nothing where a number is due: a value is the administrator's
# to choose, and a run as root writes it and starts the service. The program is never
# run to complete a word.
_corvane() {
    local cur prev words cword
    # Completes file names after a redirection itself.
    _init_completion || return

    # Where the last option of the word before is one that takes a number and the word
    # ends with it (-3, -d3, -df), the number is the word being completed.
    if [[ $prev == -[0-8dfhs]* ]]; then
        local i letter
        for ((i = 1; i < ${#prev}; i++)); do
            letter=${prev:i:1}
            case $letter in
            [0-8fs])
                ((i == ${#prev} - 1)) && return
                break
                ;;
            [dh]) ;;
            *) break ;;
            esac
        done
    fi
    COMPREPLY=($(compgen -W '-0 -1 -2 -3 -4 -5 -6 -7 -8 -d -f -h -s' -- "$cur"))
} &&
    complete -F _corvane corvane
