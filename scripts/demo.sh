#!/usr/bin/env bash
# The main job: builds the system, installs it into a fresh platform root and runs it end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# A build folder of its own: the demo needs neither the tests nor the benchmarks.
build=build/demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRAMLOW_BUILD_TESTS=OFF \
  -DBRAMLOW_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

root=$(mktemp -d /tmp/bramlow-demo-XXXXXX)
trap 'rm -rf "$root"' EXIT
cmake --install "$build" --prefix "$root" >/dev/null
echo "Platform root: $root"

app="$root/Applications/Bramlow for Safari.app"
updater="$app/Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/XPCServices/BramlowUpdater.xpc/Contents/MacOS/BramlowUpdater"

export BRAMLOW_PLATFORM_ROOT="$root"
export XDG_CACHE_HOME="$root/home/.cache"

echo "== setup application =="
"$app/Contents/MacOS/Bramlow for Safari"
echo "== extension handler =="
"$app/Contents/PlugIns/Bramlow for Safari Extension.appex/Contents/MacOS/Bramlow for Safari Extension" </dev/null
echo "== updater start-up =="
"$updater"
echo "== demo finished =="
