# Sourced by the scripts that run many programs: runs them as many at a time as there are cores,
# so a 2-core machine is kept busy while one program sleeps or waits on a timeout.
#
# run_parallel JOB LOGDIR NAME...
#   Runs "JOB NAME" in the background for every NAME, with its whole output in LOGDIR/NAME.log,
#   at most VEMO_JOBS (default: the number of cores) at a time. As each one ends, in the order
#   they end, calls "finished NAME STATUS", which the caller defines; it prints the program's
#   result at once, so the output of each program stays in one piece.
run_parallel() {
  local job=$1 logdir=$2
  shift 2
  local -A running=()
  local name pid status
  for name in "$@"; do
    if [ ${#running[@]} -ge "${VEMO_JOBS:-$(nproc)}" ]; then
      status=0
      wait -n -p pid || status=$?
      finished "${running[$pid]}" "$status"
      unset "running[$pid]"
    fi
    "$job" "$name" >"$logdir/$name.log" 2>&1 &
    running[$!]=$name
  done
  while [ ${#running[@]} -gt 0 ]; do
    status=0
    wait -n -p pid || status=$?
    finished "${running[$pid]}" "$status"
    unset "running[$pid]"
  done
}
