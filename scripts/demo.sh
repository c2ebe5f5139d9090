#!/usr/bin/env bash
# The main job: builds the system, installs it into a fresh platform root, signs it with test
# identities of one team and runs what exists end to end.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

# A build folder of its own: the demo needs neither the tests nor the benchmarks.
build=build/demo
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DBRAMLOW_BUILD_TESTS=OFF \
  -DBRAMLOW_BUILD_BENCHMARKS=OFF >/dev/null
cmake --build "$build" -j "$(nproc)"

root=$(mktemp -d /tmp/bramlow-demo-XXXXXX)
xvfb_pid=
cleanup() {
  if [[ -n "$xvfb_pid" ]]; then kill "$xvfb_pid" 2>/dev/null || true; wait "$xvfb_pid" 2>/dev/null || true; fi
  rm -rf "$root"
}
trap cleanup EXIT
cmake --install "$build" --prefix "$root" >/dev/null
echo "Platform root: $root"

export BRAMLOW_PLATFORM_ROOT="$root"
export XDG_CACHE_HOME="$root/home/.cache"
export HOME="$root/home"
mkdir -p "$HOME"

app="$root/Applications/Bramlow for Safari.app"
extension="$app/Contents/PlugIns/Bramlow for Safari Extension.appex"
updater="$extension/Contents/XPCServices/BramlowUpdater.xpc"
codesign="$root/usr/bin/codesign"
spctl="$root/usr/sbin/spctl"
team=$(sed -n '/UpdateSigningTeam/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}' "$updater/Contents/Info.plist")

echo "== signing identities of team $team =="
"$root/usr/bin/bramlow-release" identities --team "$team" --out "$root/identities"
mkdir -p "$root/System/Library/Security" "$root/etc/ssl/certs"
cp "$root/identities/anchors.pem" "$root/System/Library/Security/anchors.pem"
cp "$root/identities/tls-ca.pem" "$root/etc/ssl/certs/ca-certificates.crt"
ls "$root/identities"

echo "== signing the application, inside out =="
for bundle in "$updater" "$extension" "$app"; do
  "$codesign" --sign "$root/identities/developer-id.pem" "$bundle"
done
"$codesign" --display "$app"
"$codesign" --verify "$app" && echo "codesign --verify: valid"
"$spctl" --assess --type execute "$app" && echo "spctl --assess: accepted"

echo "== a tampered copy is refused =="
cp -a "$app" "$root/Tampered.app"
printf 'x' >> "$root/Tampered.app/Contents/Info.plist"
if "$codesign" --verify "$root/Tampered.app"; then echo "tampered copy accepted" >&2; exit 1; fi
if "$spctl" --assess --type execute "$root/Tampered.app"; then echo "tampered copy accepted" >&2; exit 1; fi

echo "== setup application (on a virtual display) =="
exec 3> "$root/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s "$root/display" ]] && break; sleep 0.05; done
DISPLAY=":$(tr -d '\n' < "$root/display")" GDK_BACKEND=x11 BRAMLOW_REPORT_FIRST_FRAME=1 \
  "$app/Contents/MacOS/Bramlow for Safari" > "$root/setup.out" 2>/dev/null &
setup_pid=$!
for _ in $(seq 500); do grep -q '^first-frame' "$root/setup.out" && break; sleep 0.02; done
kill "$setup_pid" 2>/dev/null || true
wait "$setup_pid" 2>/dev/null || true
grep -q '^first-frame' "$root/setup.out" && echo "the setup window drew its first frame" \
  || { echo "the setup window did not appear" >&2; exit 1; }

echo "== extension handler =="
"$extension/Contents/MacOS/Bramlow for Safari Extension" </dev/null

echo "== updater start-up =="
"$updater/Contents/MacOS/BramlowUpdater"
echo "== demo finished =="
