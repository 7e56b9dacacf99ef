# bash completion for zembrikctl. Commands, subcommands and options come from
# the program's own help, so they never fall behind it; rule and group names
# come from the running service (nothing is offered when it does not answer).

# Names from a list command's JSON ("groups", "rules list", ...), one a line.
# Names never hold a quote or a backslash: the service refuses them.
__zembrikctl_names() {
    local IFS=$' \t\n'
    zembrikctl $1 --json 2>/dev/null | grep -o '"name": *"[^"]*"' | sed 's/^"name": *"//; s/"$//'
}

__zembrikctl_complete() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}
    local cmd=${COMP_WORDS[1]} words="" IFS=$'\n'
    local commands
    commands=$(zembrikctl --help 2>/dev/null | sed -n '/^Commands:/,/^$/s/^  \([a-z][a-z-]*\) .*/\1/p')
    if [ "$COMP_CWORD" -eq 1 ] || { [ "$cmd" = help ] && [ "$COMP_CWORD" -eq 2 ]; }; then
        COMPREPLY=($(compgen -W "$commands"$'\nhelp' -- "$cur"))
        return 0
    fi
    local help
    help=$(zembrikctl "$cmd" --help 2>/dev/null)
    case $prev in
        --group)
            COMPREPLY=($(compgen -W "$(__zembrikctl_names groups)" -- "$cur"))
            return 0 ;;
        --sort)
            [ "$cmd" = top ] && COMPREPLY=($(compgen -W $'cpu\nmemory\nmembers\nhits\nname' -- "$cur"))
            return 0 ;;
        --name)
            if [ "$cmd" = groups ]; then COMPREPLY=($(compgen -W "$(__zembrikctl_names groups)" -- "$cur")); fi
            return 0 ;;
    esac
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$(printf '%s\n' "$help" | grep -o -- '--[a-z][a-z-]*' | sort -u)" -- "$cur"))
        return 0
    fi
    local subcommands
    subcommands=$(printf '%s\n' "$help" | sed -n "s/^ *\(Usage: \)\{0,1\}zembrikctl $cmd \([a-z][a-z-]*\).*/\2/p" | sort -u)
    if [ "$COMP_CWORD" -eq 2 ] && [ -n "$subcommands" ]; then
        COMPREPLY=($(compgen -W "$subcommands" -- "$cur"))
        return 0
    fi
    case $cmd in
        apply) [ "$COMP_CWORD" -eq 2 ] && COMPREPLY=($(compgen -f -- "$cur")) && return 0 ;;
        aliases) [ "${COMP_WORDS[2]}" = test ] && [ "$COMP_CWORD" -eq 3 ] && COMPREPLY=($(compgen -f -- "$cur")) && return 0 ;;
        kill-group) [ "$COMP_CWORD" -eq 2 ] && words=$(__zembrikctl_names groups) ;;
        rules | group-rules)
            case ${COMP_WORDS[2]} in
                get | replace | delete) [ "$COMP_CWORD" -eq 3 ] && words=$(__zembrikctl_names "$cmd list") ;;
            esac ;;
    esac
    COMPREPLY=($(compgen -W "$words" -- "$cur"))
    return 0
}
complete -F __zembrikctl_complete zembrikctl
