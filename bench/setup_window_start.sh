#!/usr/bin/env bash
# Start-up benchmark of the setup application: launches the built application on a virtual X
# display several times and measures launch to first drawn frame (the application prints the time
# of its first frame when BRAMLOW_REPORT_FIRST_FRAME is set). Target: under 1 second.
#
#   bench/setup_window_start.sh [BUILD_DIR] [RUNS]     (defaults: build/release, 10)
#
# Prints every run, then the median and the maximum (also as "setup_start_median N ms" and
# "setup_start_max N ms"); exits 1 when the median misses the target.
set -euo pipefail

build=${1:-build/release}
runs=${2:-10}
app="$build/Bramlow for Safari.app/Contents/MacOS/Bramlow for Safari"
[[ -x "$app" ]] || { echo "no application at $app (build the bramlow_setup target)" >&2; exit 2; }

work=$(mktemp -d)
xvfb_pid=
cleanup() {
  # The killed display's status must not become the script's, nor skip the removal below.
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

# A display nobody uses: Xvfb picks it and writes its number to the given descriptor.
exec 3> "$work/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s "$work/display" ]] && break; sleep 0.05; done
display=":$(tr -d '\n' < "$work/display")"

times=()
for run in $(seq "$runs"); do
  out="$work/run-$run"
  start=$(date +%s%N)
  DISPLAY=$display GDK_BACKEND=x11 BRAMLOW_REPORT_FIRST_FRAME=1 HOME="$work" \
    "$app" > "$out" 2>/dev/null &
  pid=$!
  frame=
  for _ in $(seq 1000); do
    frame=$(sed -n 's/^first-frame //p' "$out")
    [[ -n "$frame" ]] && break
    sleep 0.01
  done
  kill "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
  [[ -n "$frame" ]] || { echo "run $run: no frame within 10 s" >&2; exit 1; }
  ms=$(( (frame - start) / 1000000 ))
  times+=("$ms")
  echo "run $run: ${ms} ms"
done

sorted=($(printf '%s\n' "${times[@]}" | sort -n))
count=${#sorted[@]}
if (( count % 2 )); then
  median=${sorted[count / 2]}
else
  median=$(( (sorted[count / 2 - 1] + sorted[count / 2]) / 2 ))
fi
max=${sorted[count - 1]}
echo "setup window launch to first frame: median ${median} ms, max ${max} ms over $count runs (target < 1000 ms)"
echo "setup_start_median $median ms"
echo "setup_start_max $max ms"
(( median < 1000 ))
