#!/usr/bin/env bash
# The main job: builds the system, installs version 1 into a fresh platform root as a user would
# have it, signs it with test identities of one team, publishes version 2 on a local HTTPS server
# and updates the installed application to it through its real extension host and updater.
#
#   bash scripts/demo.sh [--keep]
#
# --keep leaves the platform root in place (its path is printed at the end).
set -euo pipefail
cd "$(dirname "$0")/.."

keep=0
for argument in "$@"; do
  case "$argument" in
    --keep) keep=1 ;;
    *) echo "usage: bash scripts/demo.sh [--keep]" >&2; exit 2 ;;
  esac
done

step() { printf '\n== %s\n' "$*"; }
done_() { printf '   -> %s\n' "$*"; }
results=()
worked() { results+=("$*"); done_ "$*"; }

source scripts/progress.sh
started=$SECONDS

# The disk-image steps mount with squashfuse: find out first whether this user can, and say what to
# change when not, rather than fail later with a message that names neither fuse nor permissions.
step "Checking that this user can mount disk images (squashfuse through /dev/fuse)"
if [[ ! -c /dev/fuse ]]; then
  echo "/dev/fuse is missing. As root, load the kernel's fuse module (modprobe fuse); in a" \
    "container, start it with the device and the right to mount (docker run --device /dev/fuse" \
    "--cap-add SYS_ADMIN ...)." >&2
  exit 1
fi
if [[ ! -r /dev/fuse || ! -w /dev/fuse ]]; then
  echo "/dev/fuse is not readable and writable by $(id -un) (it is $(stat -c '%A %U:%G' /dev/fuse))." \
    "As root, run: chmod 0666 /dev/fuse (the mode Debian's fuse3 gives it), or run the demo as root." >&2
  exit 1
fi
done_ "/dev/fuse is there and $(id -un) can read and write it"

mkdir -p build
step "Installing the Debian packages the demo needs (output in build/demo-packages.log)"
# Its last line, the number of packages it installed, is the step's outcome.
bash scripts/install-deps.sh --log=build/demo-packages.log

step "Trying a mount with squashfuse and fusermount3"
if [[ ! -x /usr/bin/fusermount3 ]]; then
  echo "/usr/bin/fusermount3 is missing: as root, run apt-get install fuse3." >&2
  exit 1
fi
if [[ $(id -u) -ne 0 && ! -u /usr/bin/fusermount3 ]]; then
  echo "/usr/bin/fusermount3 is not set-user-ID root, and a user's mounts need it to be. As root," \
    "run: chmod u+s /usr/bin/fusermount3 (as Debian's fuse3 installs it), or run the demo as root." >&2
  exit 1
fi
trial=$(mktemp -d /tmp/bramlow-demo-mount-XXXXXX)
mkdir "$trial/content" "$trial/mount"
echo trial >"$trial/content/file"
mksquashfs "$trial/content" "$trial/image" -quiet -no-progress >/dev/null
if ! squashfuse "$trial/image" "$trial/mount" 2>"$trial/error" || ! grep -q trial "$trial/mount/file"; then
  echo "A trial mount with squashfuse failed: $(cat "$trial/error")" >&2
  echo "/dev/fuse and fusermount3 are in place, so the system refuses the mount itself: inside a" \
    "container the mount needs the right to mount (docker run --cap-add SYS_ADMIN --device" \
    "/dev/fuse ...); on a machine of your own, running the demo as root works." >&2
  fusermount3 -u "$trial/mount" 2>/dev/null || true
  rm -rf "$trial"
  exit 1
fi
fusermount3 -u "$trial/mount"
rm -rf "$trial"
done_ "squashfuse mounted a test image and fusermount3 unmounted it"

# A build folder of its own: the demo needs neither the tests nor the benchmarks.
build=build/demo
step "Building the application and the stand-in system tools (output in $build.log)"
: >"$build.log"
if ! run_with_progress "$build.log" "" cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release \
    -DBRAMLOW_BUILD_TESTS=OFF -DBRAMLOW_BUILD_BENCHMARKS=OFF ||
  ! run_with_progress "$build.log" build_progress cmake --build "$build" -j "$(nproc)"; then
  tail -30 "$build.log" >&2
  exit 1
fi
done_ "built in $build"

source scripts/platform-root.sh
root=$(mktemp -d /tmp/bramlow-demo-XXXXXX)
server_pid=
xvfb_pid=
cleanup() {
  for pid in $server_pid $xvfb_pid; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
  stop_root_processes
  if [[ $keep == 1 ]]; then echo "The platform root is kept at $root"; else rm -rf "$root"; fi
}
trap cleanup EXIT

step "Installing into a fresh platform root, with test signing identities trusted there"
install_platform_root "$build" "$root"
ask="$build/tools/bramlow-native-message"
worked "installed build $(plist_value "$app" CFBundleVersion) of team $team into a fresh platform root, with its test identities"

step "Starting a local HTTPS update server and pointing the installed updater at it"
start_update_server
worked "the update server answers at ${base_url}"

step "Signing the installed application inside out (updater, extension, application)"
sign_app
"$codesign" --display "$app" | sed 's/^/   /'
"$codesign" --verify "$app"
"$spctl" --assess --type execute "$app"
worked "codesign --verify finds it valid and spctl --assess accepts it"

step "Publishing release 2 (version 2.0.0): bramlow-release package, then check"
publish_release 2 | sed 's/^/   /'
ls "$root/release" | sed 's/^/   /'
worked "release 2 is published: a signed application, its signed disk image and latest.json"

step "A tampered copy must be refused"
cp -a "$app" "$root/Tampered.app"
printf 'x' >>"$root/Tampered.app/Contents/Info.plist"
if "$codesign" --verify "$root/Tampered.app" 2>"$root/tampered.err"; then echo "tampered copy accepted" >&2; exit 1; fi
if "$spctl" --assess --type execute "$root/Tampered.app" 2>>"$root/tampered.err"; then echo "tampered copy accepted" >&2; exit 1; fi
sed 's/^/   /' "$root/tampered.err"
worked "refused, as expected, by codesign --verify and by spctl"

step "The setup application on a virtual display"
exec 3>"$root/display"
Xvfb -displayfd 3 -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb_pid=$!
exec 3>&-
for _ in $(seq 100); do [[ -s "$root/display" ]] && break; sleep 0.05; done
: >"$root/setup.out"
DISPLAY=":$(tr -d '\n' <"$root/display")" GDK_BACKEND=x11 BRAMLOW_REPORT_FIRST_FRAME=1 \
  "$app/Contents/MacOS/Bramlow for Safari" >"$root/setup.out" 2>/dev/null &
setup_pid=$!
for _ in $(seq 500); do grep -q '^first-frame' "$root/setup.out" && break; sleep 0.02; done
kill "$setup_pid" 2>/dev/null || true
wait "$setup_pid" 2>/dev/null || true
grep -q '^first-frame' "$root/setup.out" || { echo "the setup window did not appear" >&2; exit 1; }
worked "the setup window drew its first frame"

step "The whole update through the real extension host and updater, as a browser sends it"
"$ask" "$host" '{"action":"info"}' '{"action":"check"}' '{"action":"Check"}' \
  '{"action":"download","build":"02"}' '{"action":"download","build":"2"}' \
  '{"action":"install","build":"2"}' | tee "$root/answers.out" | sed 's/^/   /'
grep -q '"build":"1".*"supported":true' "$root/answers.out" || { echo "info was not answered" >&2; exit 1; }
grep -q '"nativeVersion":"2.0.0"' "$root/answers.out" || { echo "check did not report release 2" >&2; exit 1; }
grep -q '"installed":true' "$root/answers.out" || { echo "the install failed" >&2; exit 1; }
worked "info came from the host alone; check started the updater on demand and found release 2; download fetched and verified its image; install swapped it in; malformed requests were refused with their messages"

step "Release 2 is in place"
"$ask" "$host" '{"action":"info"}' | sed 's/^/   /'
"$codesign" --verify "$app"
"$spctl" --assess --type execute "$app"
installed=$(plist_value "$app" CFBundleVersion)
[[ "$installed" == 2 ]] || { echo "the installed build is $installed, not 2" >&2; exit 1; }
worked "the installed application is now build $installed (version $(plist_value "$app" CFBundleShortVersionString)), valid and accepted"

printf '\n== Summary\n'
for line in "${results[@]}"; do printf '   ok  %s\n' "$line"; done
printf '   The demo took %s.\n' "$(duration $((SECONDS - started)))"

