#!/usr/bin/env bash
# The round trip of native messages from a client that behaves like the browser
# (bramlow-native-message), through the installed, signed extension executable, COUNT times each
# and in the same run:
# - "info", answered by the host alone: the floor;
# - a cached "check": the host, a new connection to the running updater, the sender check on each
#   side, the operation under its lock answered from the cached release information, the reply.
# Each through one host session (a connected port) and through a host process per message (what a
# single message costs). Target: the cached "check" median at most 1.5x the "info" median.
# Usage: bench/native_messaging.sh [BUILD_DIR] [COUNT]   (defaults build/release, 1000; built if
# missing)
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
echo "cached check / info, median: $(ratio 'runs:') in one session, $(ratio 'per message') with a host per message (target at most 1.5x)"
