# Progress for the long steps of the scripts (source this file): a command's output goes to a log
# while a line on the terminal says how far it has come.

# Seconds as "42 s" or "3 min 05 s".
duration() {
  local seconds=$1
  if ((seconds < 60)); then printf '%d s' "$seconds"; else printf '%d min %02d s' $((seconds / 60)) $((seconds % 60)); fi
}

# run_with_progress LOG REPORT COMMAND...: runs COMMAND with its output appended to LOG and its
# input from /dev/null, and shows "   ... REPORT-output (elapsed)": on a terminal as one line
# rewritten in place every second, elsewhere (a log, CI) as a new line when the report changed, at
# most every 10 s, and every 30 s while it does not. REPORT is a function given LOG, or "" for the
# elapsed time alone. Returns COMMAND's exit status.
run_with_progress() {
  local log=$1 report=$2
  shift 2
  "$@" >>"$log" 2>&1 </dev/null &
  wait_with_progress $! "$log" "$report"
}

# wait_with_progress PID LOG REPORT: the same for a child process already started.
wait_with_progress() {
  local pid=$1 log=$2 report=$3
  local start=$SECONDS shown="" shown_at=$SECONDS now text status=0 terminal=0
  [[ -t 1 ]] && terminal=1
  while kill -0 "$pid" 2>/dev/null; do
    sleep 1
    now=$SECONDS
    text=running
    [[ -n "$report" ]] && text=$("$report" "$log")
    if ((terminal)); then
      printf '\r\033[K   ... %s (%s)' "$text" "$(duration $((now - start)))"
      shown=$text
    elif { [[ "$text" != "$shown" ]] && ((now - shown_at >= 10)); } || ((now - shown_at >= 30)); then
      printf '   ... %s (%s)\n' "$text" "$(duration $((now - start)))"
      shown=$text
      shown_at=$now
    fi
  done
  if ((terminal)) && [[ -n "$shown" ]]; then printf '\n'; fi
  wait "$pid" || status=$?
  return "$status"
}

# The build's percentage, from the last "[ NN%]" line cmake's Makefiles printed.
build_progress() {
  local percent
  percent=$(grep -o '^\[ *[0-9]*%\]' "$1" | tail -1 | tr -dc '0-9')
  printf 'built %s%%' "${percent:-0}"
}
