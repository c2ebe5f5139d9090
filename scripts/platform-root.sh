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

# Serves ROOT/release over HTTPS (sets server_pid and base_url) and points the installed updater at
# it. Call before signing the installed application.
start_update_server() {
  mkdir -p "$root/release"
  "$release_tool" serve "$root/release" --tls "$root/identities/tls-server.pem" >"$root/server.out" &
  server_pid=$!
  for _ in $(seq 100); do [[ -s "$root/server.out" ]] && break; sleep 0.05; done
  base_url=$(head -1 "$root/server.out")
  [[ -n "$base_url" ]] || { echo "the update server did not start" >&2; return 1; }
  set_plist_value "$updater" UpdateBaseURL "$base_url"
}

# Publishes release BUILD (version BUILD.0.0) of the installed application on the update server,
# as a publisher would: bramlow-release package, then check.
publish_release() {
  local build=$1
  "$release_tool" package --app "$app" --identity "$root/identities/developer-id.pem" \
    --version "$build.0.0" --build "$build" --payload-version "$build.0.0" --minimum-system 11.0 \
    --base-url "$base_url" --out "$root/release"
  "$release_tool" check "$root/release"
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
