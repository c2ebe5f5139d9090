#!/usr/bin/env bash
# Every benchmark in one run and one table of what they measured: each figure of ours beside its
# plain counterpart from the same run, the ratio ours/peer and the target.
#
#   bench/all.sh [--smoke] [BUILD_DIR]     (default build/release; configured and built if missing)
#   bench/all.sh --table FOLDER            (the table and chart again from a run's logs)
#
# Runs the scripts beside this one, one after another (two at once would measure each other), and
# collects the "name value unit" lines they print. Writes table.txt, table.png (the ratios as bars
# against 1.0, the targets marked), figures.txt and each script's log into a new folder under
# build/bench/, and prints the table and the folder. --smoke runs tiny sizes and one round: it
# shows that the command and its scripts still work; its figures mean nothing.
# Exits 1 when a script gave no figures, or (without --smoke) when a target is missed.
set -euo pipefail
cd "$(dirname "$0")/.."

smoke=0
out=
case ${1:-} in
  --smoke) smoke=1; shift ;;
  --table) out=${2:?usage: bench/all.sh --table FOLDER} ;;
esac
build=${1:-build/release}

# Sizes and rounds of each part; the full run is meant to take about 10 minutes on 2 cores.
if ((smoke)); then
  hash_mib=8 hash_rounds=1 download_mib=8 download_rounds=1 verify_rounds=1
  install_mib=4 install_rounds=1 messages=5 starts=1
else
  hash_mib=1024 hash_rounds=3 download_mib=1024 download_rounds=3 verify_rounds=5
  install_mib=200 install_rounds=3 messages=400 starts=10
fi
settings=(smoke hash_mib hash_rounds download_mib download_rounds verify_rounds install_mib
  install_rounds messages starts)
if [[ -n "$out" ]]; then
  # A table made again from a run's folder states that run's sizes and rounds.
  source "$out/settings"
else
  bash scripts/install-deps.sh --bench
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    if [[ "$build" == build/release ]]; then
      cmake --preset release >/dev/null
    else
      cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
    fi
  fi
  echo "== building $build"
  cmake --build "$build" -j "$(nproc)" >/dev/null

  out=build/bench/$(date -u +%Y%m%d-%H%M%S)
  mkdir -p "$out"
  started=$(date +%s)

  # Runs one script (environment assignments first) into its log; its exit status counts only
  # through the figures it printed and the targets judged below.
  run() {
    local name=$1 t0 status=0
    shift
    echo "== $name"
    t0=$(date +%s)
    env "$@" >"$out/$name.log" 2>&1 || status=$?
    echo "   $(($(date +%s) - t0)) s$( ((status)) && echo ", exit $status (see $out/$name.log)")"
  }
  run file_sha256 ROUNDS=$hash_rounds SIZE_MIB=$hash_mib bash bench/file_sha256.sh "$build"
  run download ROUNDS=$download_rounds SIZE_MIB=$download_mib bash bench/download.sh "$build"
  run codesign_verify ROUNDS=$verify_rounds bash bench/codesign_verify.sh "$build"
  run install_steps ROUNDS=$install_rounds SIZE_MIB=$install_mib bash bench/install_steps.sh "$build"
  run native_messaging bash bench/native_messaging.sh "$build" "$messages"
  run setup_window_start bash bench/setup_window_start.sh "$build" "$starts"
  declare -p "${settings[@]}" >"$out/settings"
  echo $(($(date +%s) - started)) >"$out/seconds"
fi

{
  cat "$out"/*.log | grep -E '^[a-z][a-z0-9_]* [0-9.]+ [A-Za-z]+$' || true
} >"$out/figures.txt"

size() { if (($1 % 1024)); then echo "$1 MiB"; else echo "$(($1 / 1024)) GiB"; fi; }
# what | label in the chart | our figure | the peer's figure | target: <=R on the ratio, <V on
# our figure (in its unit), or nothing
rows="\
hashing $(size $hash_mib): fileSHA256 vs openssl dgst -sha256|hash vs openssl dgst|sha256_ours|sha256_openssl|<=1.111
hashing $(size $hash_mib): fileSHA256 vs openssl speed -evp sha256 (16 KiB blocks, the limit)|hash vs compute limit|sha256_ours|sha256_limit|
hashing: peak memory (max RSS), fileSHA256 vs openssl dgst|hash memory|sha256_ours_rss|sha256_openssl_rss|
hashing: memory growth during fileSHA256||sha256_growth||<8192
download $(size $download_mib) over loopback HTTPS: UpdateTransfer vs curl|download vs curl|download_ours|download_curl|<=1.111
download: peak memory (max RSS), UpdateTransfer vs curl|download memory (< 32 MiB)|download_ours_rss|download_curl_rss|<32768
strict verification of a bundle (~2,000 files, every core) vs openssl dgst on each file in turn|verify vs openssl dgst|codesign_verify|openssl_dgst_sequential|<=0.75
strict verification of the same bundle on one core vs openssl dgst on each file in turn|verify on one core|codesign_verify_one_core|openssl_dgst_sequential|
install step, image digest: fileSHA256 vs openssl dgst|install: digest|digest_ours|digest_peer|<=1.2
install step, attach + detach: hdiutil vs squashfuse + fusermount3 -u|install: attach|attach_ours|attach_peer|<=1.5
install step, staged copy: ditto vs cp -a|install: copy|copy_ours|copy_peer|<=1.2
install (app + $(size $install_mib) of resources) vs the sum of its unavoidable steps|install vs its steps|install_ours|install_steps|<=1.2
install, durable (flushed before the exchange and the answer) vs the same install unflushed|install: durable|install_ours|install_unflushed|<=1.25
install vs digest, attach, copy, removal, one validation of each copy|install vs minimal|install_ours|install_minimal|
install: peak memory (max RSS, its tools included)||install_rss||
native message, one host session: cached check vs info, median|check/info (session)|check_session_median|info_session_median|
native message, one host session: cached check vs info, p99|check/info p99 (session)|check_session_p99|info_session_p99|
native message, a host per message: cached check vs info, median|check/info (host each)|check_per_message_median|info_per_message_median|<=1.5
native message, a host per message: cached check vs info, p99|check/info p99 (host each)|check_per_message_p99|info_per_message_p99|
setup window: launch to first frame, median of $starts||setup_start_median||<1000
setup window: launch to first frame, maximum||setup_start_max||"

footer="Rounds: hashing and download best of $hash_rounds and $download_rounds ($(size $hash_mib), \
$(size $download_mib)); verification median of $verify_rounds (~200 MiB); install steps median of \
$install_rounds ($(size $install_mib) of extra resources); native messages $messages of each; \
setup window $starts launches.
Ratio = ours / peer, lower is better, for times and memory alike: a throughput target of at least \
0.9x the peer's shows as <= 1.11x. Targets on our figure alone (<) judge it, not the ratio."
((smoke)) && footer+="
SMOKE RUN: tiny sizes and one round; these figures mean nothing."

# One awk program turns the figures and the rows into the table and the chart's data.
awk -F'|' -v table="$out/table.txt" -v chart="$out/chart.dat" '
  function shown(key,  v, u) {
    if (!(key in value)) return "missing"
    v = value[key]; u = unit[key]
    if (u == "KiB") return v < 1024 ? sprintf("%d KiB", v) : sprintf("%.1f MiB", v / 1024)
    if (u == "s") return sprintf("%.2f s", v)
    if (u == "us") return sprintf("%.0f us", v)
    return sprintf("%.1f %s", v, u)
  }
  function limit(v, u) { return u == "KiB" ? sprintf("< %d MiB", v / 1024) : sprintf("< %d %s", v, u) }
  FILENAME == ARGV[1] { split($0, f, " "); value[f[1]] = f[2]; unit[f[1]] = f[3]; next }
  {
    n++; what[n] = $1; label[n] = $2; ours[n] = shown($3); peer[n] = $4 == "" ? "-" : shown($4)
    ratio[n] = "-"; target[n] = "-"; met[n] = "-"; mark = "NaN"
    have = ($3 in value) && ($4 == "" || ($4 in value))
    if (!have) { met[n] = "?"; missing++ }
    if (have && $4 != "" && value[$4] > 0) r = value[$3] / value[$4]; else r = ""
    if (r != "") ratio[n] = sprintf("%.2fx", r)
    if ($5 ~ /^<=/) {
      t = substr($5, 3) + 0; target[n] = sprintf("<= %.2fx", t); mark = t
      if (r != "") met[n] = r <= t ? "yes" : "NO"
    } else if ($5 ~ /^</) {
      t = substr($5, 2) + 0; target[n] = limit(t, unit[$3])
      if (have) met[n] = value[$3] < t ? "yes" : "NO"
      if (r != "") mark = t / value[$4]
    }
    if (met[n] == "NO") missed++
    if (r != "" && $2 != "") {
      color = met[n] == "yes" ? 3050327 : met[n] == "NO" ? 12597547 : 8359053
      # The figure is written right of the bar, of 1.0 and of the target mark.
      right = r > 1 ? r : 1
      if (mark != "NaN" && mark > right) right = mark
      printf "%d \"%s\" %.4f %s %d %.4f\n", bars++, $2, r, mark, color, right > chart
    }
    if (length($1) > width) width = length($1)
  }
  END {
    format = "%-" width "s  %10s  %10s  %7s  %9s  %s\n"
    printf format, "what", "ours", "peer", "ratio", "target", "met?" > table
    for (i = 1; i <= n; i++) printf format, what[i], ours[i], peer[i], ratio[i], target[i], met[i] > table
    close(chart)
    print (missing + 0) " " (missed + 0)
  }' "$out/figures.txt" - <<<"$rows" >"$out/counts"
printf '\n%s\nThe run took %d s on %s, %s.\n' "$footer" "$(cat "$out/seconds")" \
  "$(nproc) cores" "$(date -u -r "$out/seconds" '+%Y-%m-%d %H:%M UTC')" >>"$out/table.txt"
read -r missing missed <"$out/counts"
rm "$out/counts"

bars=$(wc -l <"$out/chart.dat")
if ((bars)) && command -v gnuplot >/dev/null; then gnuplot <<EOF
set terminal pngcairo size 1000,$((120 + 34 * bars)) font "DejaVu Sans,10"
set output "$out/table.png"
set title "Ours / peer, lower is better (bars from 1.0; black marks: targets; green met, red missed, grey no target)"
set yrange [$bars - 0.5:-0.5]
# A log scale shows 0.5x and 2x alike and keeps an outlier from flattening the rest.
set logscale x 2
set format x "%gx"
set xtics 2
set offsets graph 0.03, graph 0.12, 0, 0
set xlabel "ratio (log scale)"
set style fill solid 0.85 border -1
set grid xtics
set arrow from 1, graph 0 to 1, graph 1 nohead dashtype 2 linewidth 1.5 front
plot "$out/chart.dat" using 3:1:(\$3 < 1 ? \$3 : 1):(\$3 < 1 ? 1 : \$3):(\$1 - 0.35):(\$1 + 0.35):5:ytic(2) \
    with boxxyerror lc rgb variable notitle, \
  "" using 4:(\$1 - 0.45):(0):(0.9) with vectors nohead linewidth 3 lc rgb "black" notitle, \
  "" using 6:1:(sprintf("  %.2fx", \$3)) with labels left notitle
EOF
else
  echo "no chart: no ratio measured, or gnuplot missing (scripts/install-deps.sh --bench)" >&2
fi

cat "$out/table.txt"
echo
echo "Table, chart and logs: $out"
((missing == 0)) || { echo "$missing figures missing: see the logs" >&2; exit 1; }
((smoke || missed == 0)) || exit 1
