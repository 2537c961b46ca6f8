# bash completion for lampctl: commands, each command's options, lamp names
# and states for set, interface names and files where they are wanted.
_lampctl() {
  local current=${COMP_WORDS[COMP_CWORD]} previous=${COMP_WORDS[COMP_CWORD - 1]}
  local commands="find read write status set reset poll"
  local command="" word
  for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
    case " $commands " in *" $word "*) command=$word; break ;; esac
  done

  if [ -z "$command" ]; then
    COMPREPLY=($(compgen -W "$commands --help --version" -- "$current"))
    return
  fi

  case "$previous" in
    --interface)
      COMPREPLY=($(compgen -W "$(ls /sys/class/net 2>/dev/null)" -- "$current"))
      return ;;
    --from)
      COMPREPLY=($(compgen -f -- "$current"))
      return ;;
    --wait|--timeout|--parallel|--port|--t|--model|--ip|--mask|--gateway)
      return ;;
  esac

  local options
  case "$command" in
    find) options="--json --interface --wait --help" ;;
    read) options="--json --interface --help" ;;
    write) options="--ip --mask --gateway --port --t --no-confirm --force --json --interface --help" ;;
    status) options="--json --parallel --timeout --help" ;;
    set) options="--model --json --help" ;;
    reset) options="--json --help" ;;
    poll) options="--from --json --parallel --timeout --help" ;;
  esac
  if [[ $current == -* ]]; then
    COMPREPLY=($(compgen -W "$options" -- "$current"))
    return
  fi

  if [ "$command" = set ]; then
    # After the unit: LAMP=STATE and sound=N|off.
    local lamp
    local assignments=""
    for lamp in red yellow green blue white; do
      assignments+=" $lamp=on $lamp=off $lamp=blink"
    done
    assignments+=" sound=1 sound=2 sound=3 sound=4 sound=5 sound=off"
    local words=0
    for word in "${COMP_WORDS[@]:1:COMP_CWORD-1}"; do
      [[ $word == -* || $word == set ]] || words=$((words + 1))
    done
    if [ "$words" -ge 1 ]; then
      compopt -o nospace 2>/dev/null
      COMPREPLY=($(compgen -W "$assignments" -- "$current"))
      [ ${#COMPREPLY[@]} -eq 1 ] && compopt +o nospace 2>/dev/null
    fi
  fi
}
complete -F _lampctl lampctl
