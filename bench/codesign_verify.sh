#!/usr/bin/env bash
# Strict static validation of a large signed bundle against plain hashing of the same files.
#
#   bench/codesign_verify.sh [BUILD_DIR]
#
# Builds a bundle of about 2,000 files and 200 MiB (random content, 20 folders, one nested
# bundle), signs it with a test Developer ID, and times `codesign --verify` (every file hashed,
# nested code included) against `find ... -exec openssl dgst -sha256 {} +` over the same files,
# both with a warm page cache, alternating, several rounds; the medians are compared. Target:
# validation takes at most 1.25x the time of the hashing. BUILD_DIR defaults to build/release and
# is built (release preset, the two tools only) when the tools are missing there.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build/release}
rounds=${ROUNDS:-7}

if [[ ! -x $build/tools/codesign || ! -x $build/tools/bramlow-release ]]; then
  # Options left as they are: other benchmarks share this folder and need its tests' targets.
  cmake -S "$here" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
  cmake --build "$build" -j2 --target bramlow_codesign bramlow-release >/dev/null
fi
codesign=$build/tools/codesign

work=$(mktemp -d "${TMPDIR:-/tmp}/codesign-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT
app=$work/Bench.app
root=$work/root

"$build/tools/bramlow-release" identities --team BENCHTEAM1 --out "$work/ids"
mkdir -p "$root/System/Library/Security"
cp "$work/ids/anchors.pem" "$root/System/Library/Security/"
export BRAMLOW_PLATFORM_ROOT=$root

write_info() {  # bundle identifier
  mkdir -p "$1/Contents/MacOS"
  cat >"$1/Contents/Info.plist" <<EOF
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict>
<key>CFBundleIdentifier</key><string>$2</string>
<key>CFBundleExecutable</key><string>main</string>
</dict></plist>
EOF
  head -c 1M /dev/urandom >"$1/Contents/MacOS/main"
}

write_info "$app" com.example.bench
plugin=$app/Contents/PlugIns/Part.appex
write_info "$plugin" com.example.bench.part
for d in $(seq -w 0 19); do
  mkdir -p "$app/Contents/Resources/set$d"
  head -c 10M /dev/urandom | split -b 100k -a 3 - "$app/Contents/Resources/set$d/file-"
done
"$codesign" --sign "$work/ids/developer-id.pem" "$plugin"
"$codesign" --sign "$work/ids/developer-id.pem" "$app"

files=$(find "$app" -type f | wc -l)
bytes=$(du -sb "$app" | cut -f1)
echo "bundle: $files files, $((bytes / 1048576)) MiB"

find "$app" -type f -exec cat {} + >/dev/null  # warm the page cache for both

now() { date +%s%N; }
ours=()
peer=()
for _ in $(seq "$rounds"); do
  t0=$(now)
  "$codesign" --verify "$app"
  t1=$(now)
  find "$app" -type f -exec openssl dgst -sha256 {} + >/dev/null
  t2=$(now)
  ours+=($(((t1 - t0) / 1000)))
  peer+=($(((t2 - t1) / 1000)))
done

median() { printf '%s\n' "$@" | sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
ours_us=$(median "${ours[@]}")
peer_us=$(median "${peer[@]}")
ratio=$(awk -v a="$ours_us" -v b="$peer_us" 'BEGIN {printf "%.3f", a / b}')
echo "codesign --verify (strict, nested):    $(awk -v v="$ours_us" 'BEGIN {printf "%.1f", v / 1000}') ms (median of $rounds)"
echo "find -exec openssl dgst -sha256 {} +: $(awk -v v="$peer_us" 'BEGIN {printf "%.1f", v / 1000}') ms (median of $rounds)"
echo "ratio: $ratio (target <= 1.25)"
awk -v r="$ratio" 'BEGIN {exit !(r <= 1.25)}'
