# Functions shared by the demo and the benchmarks (source this file): a platform root with the
# application installed, test identities trusted, a release published on a local HTTPS server and
# the application signed, as a user's machine and a publisher's server would have them.
#
# After install_platform_root BUILD ROOT these are set: app, extension, updater, host, codesign,
# spctl, release_tool, team, and the environment (BRAMLOW_PLATFORM_ROOT, HOME, XDG_*).

plist_value() { sed -n "/<key>$2<\/key>/{n;s/.*<string>\(.*\)<\/string>.*/\1/p}" "$1/Contents/Info.plist"; }
set_plist_value() { sed -i "/<key>$2<\/key>/{n;s|<string>.*</string>|<string>$3</string>|}" "$1/Contents/Info.plist"; }

install_platform_root() {
  local build=$1
  root=$2
  cmake --install "$build" --prefix "$root" >/dev/null
  export BRAMLOW_PLATFORM_ROOT="$root"
  export HOME="$root/home"
  export XDG_CACHE_HOME="$root/home/.cache"
  export XDG_RUNTIME_DIR="$root/run"
  mkdir -p "$HOME" "$XDG_RUNTIME_DIR" "$root/System/Library/CoreServices"
  chmod 700 "$XDG_RUNTIME_DIR"
  cat >"$root/System/Library/CoreServices/SystemVersion.plist" <<'PLIST'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>ProductVersion</key><string>14.0</string></dict></plist>
PLIST
  app="$root/Applications/Bramlow for Safari.app"
  extension="$app/Contents/PlugIns/Bramlow for Safari Extension.appex"
  updater="$extension/Contents/XPCServices/BramlowUpdater.xpc"
  host="$extension/Contents/MacOS/Bramlow for Safari Extension"
  codesign="$root/usr/bin/codesign"
  spctl="$root/usr/sbin/spctl"
  release_tool="$root/usr/bin/bramlow-release"
  team=$(plist_value "$updater" UpdateSigningTeam)

  "$release_tool" identities --team "$team" --out "$root/identities"
  mkdir -p "$root/System/Library/Security" "$root/etc/ssl/certs"
  cp "$root/identities/anchors.pem" "$root/System/Library/Security/anchors.pem"
  cp "$root/identities/tls-ca.pem" "$root/etc/ssl/certs/ca-certificates.crt"
}

# Writes ROOT/release/latest.json for release BUILD (version BUILD.0.0), serves ROOT/release over
# HTTPS, points the installed updater at it and sets server_pid and base_url.
publish_release() {
  local build=$1
  local digest=0123456789abcdef0123456789abcdef0123456789abcdef0123456789abcdef
  mkdir -p "$root/release"
  cat >"$root/release/latest.json" <<JSON
{"schema": 1, "product": "$(plist_value "$app" CFBundleIdentifier)", "version": "$build.0.0",
 "build": "$build", "payloadVersion": "$build.0.0", "payloadSha256": "$digest",
 "minimumSystemVersion": "11.0", "artifact": {"name": "$(plist_value "$updater" UpdateArtifactPrefix)-$build.dmg",
 "sha256": "$digest", "size": 1000}}
JSON
  "$release_tool" serve "$root/release" --tls "$root/identities/tls-server.pem" >"$root/server.out" &
  server_pid=$!
  for _ in $(seq 100); do [[ -s "$root/server.out" ]] && break; sleep 0.05; done
  base_url=$(head -1 "$root/server.out")
  [[ -n "$base_url" ]] || { echo "the update server did not start" >&2; return 1; }
  set_plist_value "$updater" UpdateBaseURL "$base_url"
}

# Signs the updater, the extension and the application with the team's Developer ID identity.
sign_app() {
  local bundle
  for bundle in "$updater" "$extension" "$app"; do
    "$codesign" --sign "$root/identities/developer-id.pem" "$bundle"
  done
}

# Ends the processes that run code from the platform root (the updater outlives its client until
# it has been idle for a while).
stop_root_processes() {
  local process
  for process in /proc/[0-9]*; do
    if [[ "$(readlink "$process/exe" 2>/dev/null)" == "$root/"* ]]; then
      kill "${process#/proc/}" 2>/dev/null || true
    fi
  done
}
