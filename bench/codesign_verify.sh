#!/usr/bin/env bash
# Strict static validation of a large signed bundle against plain hashing of the same files.
#
#   bench/codesign_verify.sh [BUILD_DIR] [many|one]
#
# Builds a bundle of 200 MiB, signs it with a test Developer ID, and times `codesign --verify`
# (every file hashed, nested code included) against `find ... -exec openssl dgst -sha256 {} +`
# over the same files, one after another, and against the same validation held to one core
# (taskset), all with a warm page cache, alternating, ROUNDS rounds (default 7); the medians are
# compared. Layouts: `many` (default) holds about 2,000 files in 20 folders and one nested bundle;
# validation hashes files on every core, so it must take clearly less time than the hashing one
# file after another (target: at most 0.75x with two cores or more). `one` holds a single 200 MiB
# resource: a file's digest is one SHA-256 and cannot be split, so there validation can only match
# the hashing (target: at most 1.25x). BUILD_DIR defaults to build/release and is built (the two
# tools only) when the tools are missing there.
#
# Output: one `name value unit` line per figure on stdout; progress goes to stderr. The exit
# status is 1 when the target is missed.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
layout=${2:-many}
rounds=${ROUNDS:-7}
[[ $layout == many || $layout == one ]] || { echo "layout must be many or one" >&2; exit 2; }

if [[ ! -x $build/tools/codesign || ! -x $build/tools/bramlow-release ]]; then
  # Options left as they are: other benchmarks share this folder and need its tests' targets.
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >&2
  cmake --build "$build" -j2 --target bramlow_codesign bramlow-release >&2
fi
codesign=$build/tools/codesign

work=$(mktemp -d "${TMPDIR:-/tmp}/codesign-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
app=$work/Bench.app
root=$work/root

"$build/tools/bramlow-release" identities --team BENCHTEAM1 --out "$work/ids" >&2
mkdir -p "$root/System/Library/Security"
cp "$work/ids/anchors.pem" "$root/System/Library/Security/"
export BRAMLOW_PLATFORM_ROOT=$root

write_info() {  # bundle identifier
  mkdir -p "$1/Contents/MacOS"
  cat >"$1/Contents/Info.plist" <<PLIST
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$2</string>
<key>CFBundleExecutable</key><string>main</string>
</dict></plist>
PLIST
  head -c 1M /dev/urandom >"$1/Contents/MacOS/main"
}

write_info "$app" com.example.bench
plugin=$app/Contents/PlugIns/Part.appex
write_info "$plugin" com.example.bench.part
if [[ $layout == many ]]; then
  for d in $(seq -w 0 19); do
    mkdir -p "$app/Contents/Resources/set$d"
    head -c 10M /dev/urandom | split -b 100k -a 3 - "$app/Contents/Resources/set$d/file-"
  done
else
  mkdir -p "$app/Contents/Resources"
  head -c 200M /dev/urandom >"$app/Contents/Resources/payload"
fi
"$codesign" --sign "$work/ids/developer-id.pem" "$plugin"
"$codesign" --sign "$work/ids/developer-id.pem" "$app"

echo "bundle_files $(find "$app" -type f | wc -l) files"
echo "bundle_size $(($(du -sb "$app" | cut -f1) / 1048576)) MiB"
echo "cores $(nproc) cores"

find "$app" -type f -exec cat {} + >/dev/null  # warm the page cache for both

now() { date +%s%N; }
ours=()
peer=()
single=()
for round in $(seq "$rounds"); do
  t0=$(now)
  "$codesign" --verify "$app"
  t1=$(now)
  find "$app" -type f -exec openssl dgst -sha256 {} + >/dev/null
  t2=$(now)
  # The same validation held to one core: what hashing on every core gains.
  taskset -c 0 "$codesign" --verify "$app"
  t3=$(now)
  ours+=($(((t1 - t0) / 1000)))
  peer+=($(((t2 - t1) / 1000)))
  single+=($(((t3 - t2) / 1000)))
  echo "round $round: verify $(((t1 - t0) / 1000000)) ms, openssl dgst $(((t2 - t1) / 1000000))" \
    "ms, verify on one core $(((t3 - t2) / 1000000)) ms" >&2
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ours_us=$(median "${ours[@]}")
peer_us=$(median "${peer[@]}")
target=1.25
[[ $layout == many && $(nproc) -ge 2 ]] && target=0.75
single_us=$(median "${single[@]}")
ratio=$(awk -v a="$ours_us" -v b="$peer_us" 'BEGIN {printf "%.3f", a / b}')
echo "codesign_verify $(awk -v v="$ours_us" 'BEGIN {printf "%.1f", v / 1000}') ms"
echo "openssl_dgst_sequential $(awk -v v="$peer_us" 'BEGIN {printf "%.1f", v / 1000}') ms"
echo "codesign_verify_one_core $(awk -v v="$single_us" 'BEGIN {printf "%.1f", v / 1000}') ms"
echo "ratio $ratio x"
echo "one_core_ratio $(awk -v a="$single_us" -v b="$peer_us" 'BEGIN {printf "%.3f", a / b}') x"
echo "target $target x"
echo "rounds $rounds rounds"
awk -v r="$ratio" -v t="$target" 'BEGIN {exit !(r <= t)}'
