# Sourced by the scripts that run inside the private network.
#   start_unit PREFIX ARG...  starts the simulated unit (lampunit ARG...),
#     waits for its ready line (10 s at most) and then copies its log to
#     standard output with PREFIX before each line, or drops it when PREFIX
#     is "-". Fails with the unit's first line when it does not get ready.
#   stop_units                ends every unit started so.
# LAMPUNIT names the program.
unit_pids=()

start_unit() {
  local prefix=$1
  shift
  local log line
  exec {log}< <(exec "$LAMPUNIT" "$@" 2>&1)
  unit_pids+=("$!")
  if ! IFS= read -r -t 10 line <&"$log" || [[ $line != *"] ready,"* ]]; then
    echo "the simulated unit did not start: ${line:-no answer within 10 s}" >&2
    return 1
  fi
  if [ "$prefix" = "-" ]; then
    cat <&"$log" >/dev/null &
  else
    echo "$prefix$line"
    sed -u "s/^/$prefix/" <&"$log" &
  fi
  exec {log}<&-
}

stop_units() {
  [ ${#unit_pids[@]} -eq 0 ] || kill "${unit_pids[@]}" 2>/dev/null || true
}
