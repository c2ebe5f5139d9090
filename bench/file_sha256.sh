#!/usr/bin/env bash
# fileSHA256 on a 1 GiB file against `openssl dgst -sha256` on the same file, in the same run.
# Targets: throughput at least 0.9x openssl's; peak memory growth under 8 MiB.
# Usage: bench/file_sha256.sh [BUILD_DIR]   (default build/release, built if missing)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [[ ! -x "$build/bench/bench_file_sha256" ]]; then
  cmake --preset release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target bench_file_sha256
fi

dir=$(mktemp -d /tmp/bramlow-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
file="$dir/image.bin"
head -c 1073741824 /dev/urandom >"$file"
size=$(stat -c %s "$file")

now() { date +%s.%N; }
best_ours=999999
best_openssl=999999
ours_digest=""
peak=0
for round in 1 2 3; do
  # Warm the page cache the same way for both, and alternate which goes first.
  cat "$file" >/dev/null
  t0=$(now); openssl_digest=$(openssl dgst -sha256 -r "$file" | cut -d' ' -f1); t1=$(now)
  out=$("$build/bench/bench_file_sha256" "$file")
  ours=$(awk '/^seconds/ {print $2}' <<<"$out")
  ours_digest=$(awk '/^digest/ {print $2}' <<<"$out")
  growth=$(awk '/^peak_growth_kib/ {print $2}' <<<"$out")
  (( growth > peak )) && peak=$growth
  theirs=$(awk -v a="$t1" -v b="$t0" 'BEGIN {print a - b}')
  best_ours=$(awk -v a="$ours" -v b="$best_ours" 'BEGIN {print (a < b) ? a : b}')
  best_openssl=$(awk -v a="$theirs" -v b="$best_openssl" 'BEGIN {print (a < b) ? a : b}')
  echo "round $round: fileSHA256 ${ours}s, openssl ${theirs}s"
done
[[ "$ours_digest" == "$openssl_digest" ]] || { echo "digests differ"; exit 1; }

read -r ours_rate openssl_rate ratio < <(awk -v s="$size" -v o="$best_ours" -v t="$best_openssl" \
  'BEGIN {m = s / 1048576; printf "%.1f %.1f %.3f\n", m / o, m / t, t / o}')
echo "fileSHA256: $ours_rate MiB/s   openssl dgst: $openssl_rate MiB/s   ratio: $ratio (target >= 0.9)"
echo "peak memory growth: $peak KiB (target < 8192 KiB)"
ok=$(awk -v r="$ratio" -v p="$peak" 'BEGIN {print (r >= 0.9 && p < 8192) ? 1 : 0}')
[[ "$ok" == 1 ]] && echo "PASS" || { echo "FAIL"; exit 1; }
