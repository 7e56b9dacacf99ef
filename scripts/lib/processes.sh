# Shell helpers for the scripts that start the programs: sourced, not run.

# Waits up to $1 seconds for the command after it to succeed.
wait_for() {
  local seconds=$1
  shift
  for _ in $(seq $((seconds * 10))); do
    if "$@" >/dev/null 2>&1; then return 0; fi
    sleep 0.1
  done
  return 1
}

# The mediator of the state root $ZEMBRIK_SYSROOT, found by its program and
# its environment (it outlives the service, so nobody else knows its pid).
mediator_pid() {
  local p
  for p in $(pgrep -x ZembrikMD8 2>/dev/null); do
    if tr '\0' '\n' <"/proc/$p/environ" 2>/dev/null | grep -qx "ZEMBRIK_SYSROOT=$ZEMBRIK_SYSROOT"; then
      echo "$p"
      return
    fi
  done
}

# Waits up to $2 seconds for process $1 (not a child) to end.
wait_gone() {
  timeout "$2" tail --pid="$1" -f /dev/null
}
