#!/usr/bin/env bash
# UpdateTransfer against `curl -s -o` downloading the same 1 GiB over loopback HTTPS from the test
# server, in the same run. Targets: throughput at least 0.9x curl's; the downloader's peak resident
# memory under 32 MiB.
# Usage: bench/download.sh [BUILD_DIR]   (default build/release, built if missing)
# ROUNDS (default 3, the best counts) and SIZE_MIB (default 1024) change the runs and the download.
# Besides the text, one "name value unit" line per figure: download_ours and download_curl in
# seconds, download_ours_rss and download_curl_rss in KiB (the peak resident memory of each).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
if [[ ! -x "$build/bench/bench_download" ]]; then
  [[ -d "$build" ]] || cmake --preset release >/dev/null
  cmake --build "$build" -j "$(nproc)" --target bench_download
fi
driver="$build/bench/bench_download"
size=$((${SIZE_MIB:-1024} * 1048576))

dir=$(mktemp -d /tmp/bramlow-bench-XXXXXX)
server=""
cleanup() {
  # The killed server's status must not become the script's, nor skip the removal below.
  if [[ -n "$server" ]]; then kill "$server" 2>/dev/null || true; wait "$server" 2>/dev/null || true; fi
  rm -rf "$dir"
}
trap cleanup EXIT
mkdir -p "$dir/root" "$dir/out"
"$driver" serve "$size" "$dir/root" >"$dir/server.out" &
server=$!
for _ in $(seq 100); do [[ -s "$dir/server.out" ]] && break; sleep 0.1; done
base=$(head -n 1 "$dir/server.out")
[[ -n "$base" ]] || { echo "the test server did not start"; exit 1; }
url="${base}image.bin"
ca="$dir/root/etc/ssl/certs/ca-certificates.crt"

now() { date +%s.%N; }
run_curl() {
  local t0 t1
  t0=$(now)
  /usr/bin/time -f "maxrss %M" -o "$dir/curl-time.out" \
    curl -s -o "$dir/out/curl.bin" --cacert "$ca" "$url"
  t1=$(now)
  awk -v a="$t1" -v b="$t0" 'BEGIN {print a - b}'
}
run_ours() {
  local t0 t1
  t0=$(now)
  BRAMLOW_PLATFORM_ROOT="$dir/root" /usr/bin/time -f "maxrss %M" -o "$dir/time.out" \
    "$driver" fetch "$url" "$dir/out/ours.bin" "$size" >"$dir/ours.out"
  t1=$(now)
  awk -v a="$t1" -v b="$t0" 'BEGIN {print a - b}'
}

best_ours=999999
best_curl=999999
peak=0
curl_peak=0
for round in $(seq "${ROUNDS:-3}"); do
  rm -f "$dir/out/"*
  # Alternate which goes first, so neither always meets a warmer machine.
  if (( round % 2 )); then
    theirs=$(run_curl); ours=$(run_ours)
  else
    ours=$(run_ours); theirs=$(run_curl)
  fi
  cmp -s "$dir/out/curl.bin" "$dir/out/ours.bin" || { echo "downloads differ"; exit 1; }
  [[ $(stat -c %s "$dir/out/ours.bin") == "$size" ]] || { echo "wrong size"; exit 1; }
  rss=$(awk '/^maxrss/ {print $2}' "$dir/time.out")
  (( rss > peak )) && peak=$rss
  curl_rss=$(awk '/^maxrss/ {print $2}' "$dir/curl-time.out")
  (( curl_rss > curl_peak )) && curl_peak=$curl_rss
  best_ours=$(awk -v a="$ours" -v b="$best_ours" 'BEGIN {print (a < b) ? a : b}')
  best_curl=$(awk -v a="$theirs" -v b="$best_curl" 'BEGIN {print (a < b) ? a : b}')
  echo "round $round: UpdateTransfer ${ours}s (peak RSS ${rss} KiB), curl ${theirs}s"
done

read -r ours_rate curl_rate ratio < <(awk -v s="$size" -v o="$best_ours" -v t="$best_curl" \
  'BEGIN {m = s / 1048576; printf "%.1f %.1f %.3f\n", m / o, m / t, t / o}')
echo "UpdateTransfer: $ours_rate MiB/s   curl -s -o: $curl_rate MiB/s   ratio: $ratio (target >= 0.9)"
echo "peak RSS of the downloader: $peak KiB (target < 32768 KiB); of curl: $curl_peak KiB"
echo "download_ours $best_ours s"
echo "download_curl $best_curl s"
echo "download_ours_rss $peak KiB"
echo "download_curl_rss $curl_peak KiB"
ok=$(awk -v r="$ratio" -v p="$peak" 'BEGIN {print (r >= 0.9 && p < 32768) ? 1 : 0}')
[[ "$ok" == 1 ]] && echo "PASS" || { echo "FAIL"; exit 1; }
