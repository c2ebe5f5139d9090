#!/usr/bin/env bash
# fileSHA256 on a 1 GiB file against `openssl dgst -sha256` on the same file, in the same run, and
# `openssl speed -evp sha256` on 16 KiB blocks (its largest) as what the processor can hash at all.
# Targets: throughput at least 0.9x openssl's; peak memory growth under 8 MiB.
# Usage: bench/file_sha256.sh [BUILD_DIR]   (default build/release, built if missing)
# ROUNDS (default 3, the best counts) and SIZE_MIB (default 1024) change the runs and the file.
# Besides the text, one "name value unit" line per figure: sha256_ours, sha256_openssl and
# sha256_limit in seconds for the file; sha256_growth, sha256_ours_rss and sha256_openssl_rss in
# KiB (the peak resident memory of each process).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
rounds=${ROUNDS:-3}
size_mib=${SIZE_MIB:-1024}
if [[ ! -x "$build/bench/bench_file_sha256" ]]; then
  cmake --preset release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target bench_file_sha256
fi

dir=$(mktemp -d /tmp/bramlow-bench-XXXXXX)
trap 'rm -rf "$dir"' EXIT
file="$dir/image.bin"
head -c $((size_mib * 1048576)) /dev/urandom >"$file"
size=$(stat -c %s "$file")

now() { date +%s.%N; }
rss() { awk '/^maxrss/ {print $2}' "$dir/time.out"; }
best_ours=999999
best_openssl=999999
ours_digest=""
peak=0
ours_rss=0
openssl_rss=0
for round in $(seq "$rounds"); do
  # Warm the page cache the same way for both, and alternate which goes first.
  cat "$file" >/dev/null
  t0=$(now)
  openssl_digest=$(/usr/bin/time -f "maxrss %M" -o "$dir/time.out" openssl dgst -sha256 -r "$file" | cut -d' ' -f1)
  t1=$(now)
  (($(rss) > openssl_rss)) && openssl_rss=$(rss)
  out=$(/usr/bin/time -f "maxrss %M" -o "$dir/time.out" "$build/bench/bench_file_sha256" "$file")
  (($(rss) > ours_rss)) && ours_rss=$(rss)
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
# Bytes per second on 16 KiB blocks, from the machine-readable "+F:...:sha256:RATE" line.
limit_rate=$(openssl speed -mr -evp sha256 -bytes 16384 -seconds "$((rounds < 3 ? 1 : 3))" 2>/dev/null |
  awk -F: '/^\+F:/ {print $NF}')

read -r ours_rate openssl_rate limit_mib ratio < <(awk -v s="$size" -v o="$best_ours" \
  -v t="$best_openssl" -v l="$limit_rate" \
  'BEGIN {m = s / 1048576; printf "%.1f %.1f %.1f %.3f\n", m / o, m / t, l / 1048576, t / o}')
echo "fileSHA256: $ours_rate MiB/s   openssl dgst: $openssl_rate MiB/s   ratio: $ratio (target >= 0.9)"
echo "openssl speed -evp sha256, 16 KiB blocks: $limit_mib MiB/s (the processor's limit)"
echo "peak memory growth: $peak KiB (target < 8192 KiB); peak RSS: fileSHA256 $ours_rss KiB," \
  "openssl dgst $openssl_rss KiB"
echo "sha256_ours $best_ours s"
echo "sha256_openssl $best_openssl s"
awk -v s="$size" -v l="$limit_rate" 'BEGIN {printf "sha256_limit %.3f s\n", s / l}'
echo "sha256_growth $peak KiB"
echo "sha256_ours_rss $ours_rss KiB"
echo "sha256_openssl_rss $openssl_rss KiB"
ok=$(awk -v r="$ratio" -v p="$peak" 'BEGIN {print (r >= 0.9 && p < 8192) ? 1 : 0}')
[[ "$ok" == 1 ]] && echo "PASS" || { echo "FAIL"; exit 1; }
