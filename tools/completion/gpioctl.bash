# Bash completion for gpioctl: its commands and options, as its own --help
# lists them, and after --port the ports that scan would try
# ("gpioctl ports").
_gpioctl()
{
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD - 1]} program=${COMP_WORDS[0]}
    local help commands options i
    if [[ $prev == --port ]]; then
        COMPREPLY=($(compgen -W "$("$program" ports 2>/dev/null)" -- "$cur"))
        return
    fi
    help=$("$program" --help 2>/dev/null)
    options=$(sed -n 's/^  \(--[a-z-]*\).*/\1/p' <<<"$help")
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$options" -- "$cur"))
        return
    fi
    commands=$(sed -n '/^Commands:$/,/^$/s/^  \([a-z][a-z-]*\).*/\1/p' <<<"$help")
    # Once the command is given, its operands are numbers: nothing to offer.
    for ((i = 1; i < COMP_CWORD; i++)); do
        if [[ ${COMP_WORDS[i]} == --port ]]; then
            ((i++))
        elif [[ $'\n'$commands$'\n' == *$'\n'${COMP_WORDS[i]}$'\n'* ]]; then
            return
        fi
    done
    COMPREPLY=($(compgen -W "$commands" -- "$cur"))
}
complete -F _gpioctl gpioctl
