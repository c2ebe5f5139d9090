#!/usr/bin/env bash
# Round trip of native messages through the extension executable, driven the way the browser does
# it (bench_native_messaging): COUNT messages per scenario over one host session, then COUNT with a
# host process per message; median, 99th percentile and maximum in microseconds.
# Usage: bench/native_messaging.sh [BUILD_DIR] [COUNT]   (defaults build/release, 1000; built if
# missing)
#
# Scenarios go to the same client in the same run. "info" is answered by the handler alone; a
# scenario that needs the updater (a "check") goes beside it once the platform root it runs
# against (signed application, anchors, an update server) is prepared here and exported to the
# host's environment.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
count=${2:-1000}
if [[ ! -x "$build/bench/bench_native_messaging" ]]; then
  [[ -d "$build" ]] || cmake --preset release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target bench_native_messaging bramlow_extension
fi
host="$build/Bramlow for Safari.app/Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/MacOS/Bramlow for Safari Extension"

scenarios=('info={"action":"info"}')

"$build/bench/bench_native_messaging" "$host" "$count" "${scenarios[@]}"
