#!/usr/bin/env bash
# The round trip of native messages from a client that behaves like the browser
# (bramlow-native-message), through the installed, signed extension executable, COUNT times each
# and in the same run, the two taking turns in runs of 25 so that drift weighs on both alike:
# - "info", answered by the host alone: the floor;
# - a cached "check": the host, a new connection to the running updater, the sender check on each
#   side, the operation under its lock answered from the cached release information, the reply.
# Each through one host session (a connected port) and through a host process per message (what a
# single message costs). Target, with a host per message: the cached "check" median at most 1.5x
# the "info" median. Within one session "info" never leaves the host (a lookup of microseconds), so
# there the figures are shown for what they are, without a target.
# Usage: bench/native_messaging.sh [BUILD_DIR] [COUNT]   (defaults build/release, 1000; built if
# missing)
# Besides the text, one "name value unit" line per figure, in microseconds:
# {info,check}_{session,per_message}_{median,p99}.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
count=${2:-1000}
[[ -d "$build" ]] || cmake --preset release >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
source scripts/platform-root.sh
root=$(mktemp -d /tmp/bramlow-bench-XXXXXX)
server_pid=
cleanup() {
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  stop_root_processes
  rm -rf "$root"
}
trap cleanup EXIT
install_platform_root "$build" "$root" >/dev/null
start_update_server
sign_app
publish_release 2 >/dev/null
client="$build/tools/bramlow-native-message"
# One check first starts the updater and caches the release: the runs measure a running service's
# cached answer.
"$client" "$host" '{"action":"check"}' | grep -q '"nativeVersion":"2.0.0"' ||
  { echo "check did not answer with release 2" >&2; exit 1; }
for mode in "" --host-per-message; do
  "$client" --quiet --repeat "$count" $mode "$host" '{"action":"info"}' '{"action":"check"}'
done | tee "$root/out"
ratio() {
  awk -v i="$(grep "$1" "$root/out" | grep '"info"' | sed 's/.*median \([0-9.]*\) us.*/\1/')" \
      -v c="$(grep "$1" "$root/out" | grep '"check"' | sed 's/.*median \([0-9.]*\) us.*/\1/')" \
      'BEGIN { printf "%.2fx", c / i }'
}
echo "cached check / info, median: $(ratio 'runs:') in one session, $(ratio 'per message') with a host per message (target: that one at most 1.5x)"
# "round trip of {"action":"info"} over N runs[ (a host per message)]: median M us, p99 P us"
runs='^round trip of {"action":"\([a-z]*\)"} over [0-9]* runs'
figures=': median \([0-9.]*\) us, p99 \([0-9.]*\) us$'
sed -n -e "s/$runs (a host per message)$figures/\1_per_message \2 \3/p" \
  -e "s/$runs$figures/\1_session \2 \3/p" "$root/out" |
  while read -r name median p99; do printf '%s_median %s us\n%s_p99 %s us\n' "$name" "$median" "$name" "$p99"; done
