#!/usr/bin/env bash
# Each step of an install of a 200 MiB application beside its plain counterpart, in the same run:
#   digest   fileSHA256 of the image (bench_file_sha256)   vs  openssl dgst -sha256 on it
#   attach   hdiutil attach -readonly ... + hdiutil detach   vs  squashfuse IMAGE DIR + fusermount3 -u
#   copy     ditto SRC DST from the attached image          vs  cp -a SRC DST from the same mount
#   install  the whole "install" operation, in process       vs  the sum of the steps it must take,
#            (bench_install)                                     each timed with the tools alone:
#                                                                the digest, the attach, the copy, the
#                                                                installed application's signature,
#                                                                the image's signature and assessment
#                                                                (codesign, spctl), and the package
#                                                                check (codesign --verify and spctl
#                                                                --assess) of the mounted application
#                                                                and again of its copy, and the
#                                                                removal of the old application
#                                                                (rm -rf)
#   durable  the whole "install" (bench_install)             vs  the same install with its flushes
#                                                                skipped (bench_install --no-flush),
#                                                                which leaves the write-back to the
#                                                                kernel; target 1.25x
#   minimal  (for information) the install against the digest, attach, copy, removal and one
#            strict validation each of the mounted application and its copy: what the repeated
#            checks cost
# The install reads the application out of a fresh mount, so its first check of the mounted
# application is timed on a fresh attach too (nothing of a new mount is cached).
# The application is the built one with 2,000 extra resource files of mixed sizes (about 200 MiB,
# the same bytes on every run: a seeded size list and an AES-CTR stream of a fixed key), published
# with `bramlow-release package` into a temporary platform root (scripts/platform-root.sh).
# The page cache is never dropped (other work shares the machine): every input is read once before
# the first timing, so both sides of a step meet it warm. Each step runs ROUNDS times (default 5),
# the two sides alternating which goes first; medians are compared. Target: attach and
# detach at most 1.5x the two tools alone, every other step at most 1.2x its counterpart.
# Usage: bench/install_steps.sh [BUILD_DIR]   (default build/release, built if missing)
# SIZE_MIB (default 200) changes the bytes of the extra resource files.
# Besides the table, one "name value unit" line per figure, in milliseconds: STEP_ours and
# STEP_peer for digest, attach and copy; install_ours, install_steps (the sum), install_unflushed
# (the install without its flushes) and install_minimal;
# and install_rss in KiB, the peak resident memory of the install (its child processes included).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${ROUNDS:-5}
size_mib=${SIZE_MIB:-200}
[[ -d "$build" ]] || cmake --preset release >/dev/null
# The install into the platform root needs every target.
cmake --build "$build" -j2 >/dev/null
source scripts/platform-root.sh

root=$(mktemp -d /tmp/bramlow-bench-XXXXXX)
server_pid=
mounts=()
cleanup() {
  local m
  for m in "${mounts[@]}"; do
    if mountpoint -q "$m"; then fusermount3 -u "$m" || true; fi
  done
  if [[ -n "$server_pid" ]]; then kill "$server_pid" 2>/dev/null || true; wait "$server_pid" 2>/dev/null || true; fi
  stop_root_processes
  rm -rf "$root"
}
trap cleanup EXIT

# 2,000 files in 20 folders: mostly small, some medium, a few large, scaled to SIZE_MIB in all.
add_resources() {
  local folder=$1
  awk -v mib="$size_mib" 'BEGIN {
    srand(20261206); total = mib * 1048576
    for (i = 0; i < 2000; i++) {
      r = rand()
      s[i] = r < 0.7 ? 1024 + rand() * 31744 : r < 0.95 ? 32768 + rand() * 229376 : 262144 + rand() * 3932160
      sum += s[i]
    }
    for (i = 0; i < 2000; i++) printf "set%02d/file-%04d %d\n", i % 20, i, int(s[i] * total / sum)
  }' >"$root/sizes"
  mkdir -p "$folder"/set{00..19}
  # One process writes every file: a process per file costs more than the bytes.
  head -c $((size_mib * 1048576)) /dev/zero |
    openssl enc -aes-128-ctr -nosalt -K 000102030405060708090a0b0c0d0e0f \
      -iv 00000000000000000000000000000000 |
    perl -e 'open(my $list, "<", $ARGV[1]) or die;
      while (<$list>) {
        my ($name, $size) = split;
        read(STDIN, my $bytes, $size) == $size or die "short stream";
        open(my $out, ">", "$ARGV[0]/$name") or die "$name: $!"; print $out $bytes; close $out;
      }
      1 while read(STDIN, my $rest, 1 << 20);' "$folder" "$root/sizes"
}

install_platform_root "$build" "$root" >/dev/null
add_resources "$app/Contents/Resources/bench-data"
start_update_server
sign_app
publish_release 2 >/dev/null
cp -a "$app" "$root/installed-1.app"  # the signed build 1, put back before every install
image=$(ls "$root/release/"*.dmg)
app_name=$(basename "$app")
echo "application: $(find "$app" -type f | wc -l) files, $(($(du -sb "$app" | cut -f1) / 1048576)) MiB;" \
  "image: $(($(stat -c %s "$image") / 1048576)) MiB"

hdiutil=$root/usr/bin/hdiutil
ditto=$root/usr/bin/ditto
mnt=$root/mnt
mkdir -p "$mnt"
mounts+=("$mnt")

now() { date +%s%N; }
median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
# Runs a command and prints its wall time in microseconds; its output goes away.
timed() {
  local t0 t1
  t0=$(now)
  "$@" >/dev/null
  t1=$(now)
  echo $(((t1 - t0) / 1000))
}
declare -A ours_of peer_of
# step, ours command (a function), peer command (a function), optional reset between runs
measure() {
  local step=$1 ours=$2 peer=$3 reset=${4:-true} a=() b=() i
  for i in $(seq "$rounds"); do
    if ((i % 2)); then
      $reset; a+=($(timed $ours)); $reset; b+=($(timed $peer))
    else
      $reset; b+=($(timed $peer)); $reset; a+=($(timed $ours))
    fi
  done
  ours_of[$step]=$(median "${a[@]}")
  peer_of[$step]=$(median "${b[@]}")
}

# The image digest.
cat "$image" >/dev/null
ours_digest=$("$build/bench/bench_file_sha256" "$image" | awk '/^digest/ {print $2}')
[[ "$ours_digest" == "$(openssl dgst -sha256 -r "$image" | cut -d' ' -f1)" ]] ||
  { echo "digests differ" >&2; exit 1; }
digest_ours() { "$build/bench/bench_file_sha256" "$image"; }
digest_peer() { openssl dgst -sha256 "$image"; }
measure digest digest_ours digest_peer

# The attach and detach.
attach_ours() { "$hdiutil" attach -readonly -nobrowse -noautoopen -mountpoint "$mnt" "$image" && "$hdiutil" detach "$mnt"; }
attach_peer() { squashfuse "$image" "$mnt" && fusermount3 -u "$mnt"; }
measure attach attach_ours attach_peer

# The copy out of the attached image, into the folder that holds the application (as the install
# copies); the copy is removed and written back between runs, outside the timing.
"$hdiutil" attach -readonly -nobrowse -noautoopen -mountpoint "$mnt" "$image"
find "$mnt" -type f -exec cat {} + >/dev/null
dst="$root/Applications/.copy"
copy_ours() { "$ditto" "$mnt/$app_name" "$dst"; }
copy_peer() { cp -a "$mnt/$app_name" "$dst"; }
copy_reset() { rm -rf "$dst"; sync; }
measure copy copy_ours copy_peer copy_reset

# The checks the install must make besides the digest, for the sum: the installed application's
# signature; the image's signature and assessment; the package check (strict validation and
# assessment) of the mounted application and again of its copy.
rm -rf "$dst"
cp -a "$mnt/$app_name" "$dst"
median_of() {
  local runs=() i
  for i in $(seq "$rounds"); do runs+=($(timed "$@")); done
  median "${runs[@]}"
}
checks=0
minimal=0
# The install reads the mounted application first through a fresh mount, where nothing is cached
# yet: its first check is timed on a new attach each time.
fresh_check() {
  "$hdiutil" detach "$mnt" && "$hdiutil" attach -readonly -nobrowse -noautoopen -mountpoint "$mnt" "$image"
}
cold=()
for _ in $(seq "$rounds"); do fresh_check; cold+=($(timed "$codesign" --verify "$mnt/$app_name")); done
t=$(median "${cold[@]}")
checks=$((checks + t + $(median_of "$spctl" --assess --type execute "$mnt/$app_name")))
minimal=$((minimal + t))
t=$(median_of "$codesign" --verify "$dst")
checks=$((checks + t + $(median_of "$spctl" --assess --type execute "$dst")))
minimal=$((minimal + t))
"$hdiutil" detach "$mnt"
rm -rf "$dst"
checks=$((checks + $(median_of "$codesign" --verify "$app")))
checks=$((checks + $(median_of "$codesign" --verify "$image")))
checks=$((checks + $(median_of "$spctl" --assess --type open --context context:primary-signature "$image")))
# The old application goes with the replacement folder.
removals=()
for _ in $(seq "$rounds"); do
  cp -a "$root/installed-1.app" "$dst" && sync
  removals+=($(timed rm -rf "$dst"))
done
removal=$(median "${removals[@]}")

# The whole install: the installed build 1 and the held image of build 2 are put back before each
# run (outside the timing); "check" first stores the release information it works from.
out=$("$build/bench/bench_install" "$updater" check "")
cache=$(awk '/^cache/ {print $2}' <<<"$out")
find "$root/installed-1.app" -type f -exec cat {} + >/dev/null
install_reset() {
  rm -rf "$app"
  cp -a "$root/installed-1.app" "$app"
  cp "$image" "$cache/"
  sync
}
installs=()
unflushed=()
rss=0
# One install after a reset, its wall time in microseconds left in $last. Extra arguments go to
# the driver.
install_once() {
  local out t
  install_reset
  out=$(/usr/bin/time -f "maxrss %M" -o "$root/time.out" "$build/bench/bench_install" "$updater" install 2 "$@")
  t=$(awk '/^maxrss/ {print $2}' "$root/time.out")
  ((t > rss)) && rss=$t
  [[ $(plist_value "$app" CFBundleVersion) == 2 ]] || { echo "the install did not put build 2 in place" >&2; exit 1; }
  last=$(awk '/^seconds/ {printf "%d", $2 * 1000000}' <<<"$out")
}
for i in $(seq "$rounds"); do
  if ((i % 2)); then
    install_once; installs+=("$last"); install_once --no-flush; unflushed+=("$last")
  else
    install_once --no-flush; unflushed+=("$last"); install_once; installs+=("$last")
  fi
done
ours_of[install]=$(median "${installs[@]}")
ours_of[durable]=${ours_of[install]}
peer_of[durable]=$(median "${unflushed[@]}")
steps=$((peer_of[digest] + peer_of[attach] + peer_of[copy] + removal))
peer_of[install]=$((steps + checks))
ours_of[minimal]=${ours_of[install]}
peer_of[minimal]=$((steps + minimal))

echo
printf '%-8s %12s %12s %7s\n' step ours_ms peer_ms ratio
fail=0
for step in digest attach copy install durable minimal; do
  limit=1.2
  [[ $step == attach ]] && limit=1.5
  [[ $step == durable ]] && limit=1.25
  read -r o p r ok < <(awk -v o="${ours_of[$step]}" -v p="${peer_of[$step]}" -v l="$limit" \
    'BEGIN {printf "%.1f %.1f %.2f %d\n", o / 1000, p / 1000, o / p, o / p <= l}')
  printf '%-8s %12s %12s %6sx\n' "$step" "$o" "$p" "$r"
  [[ $step == minimal ]] || ((ok)) || fail=1
done
echo "(medians of $rounds; the install's checks in the sum: $((checks / 1000)) ms, of which strict" \
  "validation of the mounted application and of its copy $((minimal / 1000)) ms; \"minimal\" compares" \
  "the install with digest, attach, copy, removal and those two validations only, for information)"
echo "target: attach at most 1.5x; digest, copy and install at most 1.2x; durable at most 1.25x"
echo "peak resident memory of the install: $rss KiB"
for step in digest attach copy install; do
  awk -v s="$step" -v o="${ours_of[$step]}" -v p="${peer_of[$step]}" \
    'BEGIN {printf "%s_ours %.1f ms\n%s_peer %.1f ms\n", s, o / 1000, s, p / 1000}'
done | sed 's/^install_peer /install_steps /'
awk -v p="${peer_of[durable]}" 'BEGIN {printf "install_unflushed %.1f ms\n", p / 1000}'
awk -v p="${peer_of[minimal]}" 'BEGIN {printf "install_minimal %.1f ms\n", p / 1000}'
echo "install_rss $rss KiB"
exit $fail
