#!/usr/bin/env bash
# Installs the Debian packages the build and the demo need, when any is missing.
#   install-deps.sh [--tests] [--bench] [--log=FILE]
# apt-get's output goes to FILE (default build/packages.log); the terminal gets a line every few
# seconds with the packages downloaded, unpacked and set up so far, and at the end ("   -> ...")
# the number of packages that were actually installed, dependencies included.
# --tests adds what only the test command needs: GoogleTest and Google Benchmark, the formatting
# and lint tools, git, lld (links the test executables faster), Chromium and Firefox ESR for the
# real-browser tests, and nginx (the light build) for the static-server test.
# --bench adds what bench/all.sh needs besides the build: GoogleTest (the release build holds the
# test HTTPS server the download benchmark serves from), GNU time for peak memory, and gnuplot's
# command-line build, whose cairo terminal draws the table's chart.
set -euo pipefail
source "$(dirname "${BASH_SOURCE[0]}")/progress.sh"
log=$(realpath -m "$(dirname "${BASH_SOURCE[0]}")/../build/packages.log")

packages=(
  build-essential cmake pkg-config curl openssl ca-certificates
  libssl-dev libcurl4-openssl-dev libplist-dev nlohmann-json3-dev libcpp-httplib-dev
  libgtk-4-dev xvfb xauth fonts-dejavu-core
  squashfs-tools squashfuse fuse3
)

for option in "$@"; do
  case $option in
    --tests)
      packages+=(git libgtest-dev libgmock-dev libbenchmark-dev clang-format clang-tidy lld
                 chromium firefox-esr nginx-light)
      ;;
    --bench) packages+=(libgtest-dev libgmock-dev time gnuplot-nox) ;;
    --log=?*) log=${option#--log=} ;;
    *) echo "usage: install-deps.sh [--tests] [--bench] [--log=FILE]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} == 0)); then
  echo "   -> all packages were already installed"
  exit 0
fi

as_root=()
if [[ $(id -u) -ne 0 ]]; then
  if ! command -v sudo >/dev/null; then
    echo "These Debian packages are missing: ${missing[*]}" >&2
    echo "Install them as root (apt-get install ${missing[*]}), or run this again with sudo set up." >&2
    exit 1
  fi
  # Asked here, where the password prompt can be seen: apt-get's output goes to the log.
  sudo -v
  as_root=(sudo)
fi

# Progress from apt-get's own lines since the install began: one "Get:" per download, dpkg's
# "Unpacking" and "Setting up" per package.
total=0
first_line=1
package_progress() {
  local lines
  lines=$(tail -n "+$first_line" "$1")
  printf 'packages: %d of %d downloaded, %d unpacked, %d set up' "$(grep -c '^Get:' <<<"$lines")" \
    "$total" "$(grep -c '^Unpacking ' <<<"$lines")" "$(grep -c '^Setting up ' <<<"$lines")"
}
installed() { dpkg-query -W -f='${db:Status-Abbrev} ${Package}:${Architecture}\n' | awk '$1 == "ii" {print $2}' | sort; }

mkdir -p "$(dirname "$log")"
: >"$log"
start=$SECONDS
before=$(installed)
echo "   missing: ${missing[*]}"
echo "   updating the package lists"
if ! run_with_progress "$log" "" "${as_root[@]}" apt-get update -q; then
  tail -20 "$log" >&2
  exit 1
fi
total=$(apt-get -s install --no-install-recommends "${missing[@]}" 2>>"$log" | grep -c '^Inst ' || true)
echo "   installing $total packages: the missing ones and what they need (output in $log)"
first_line=$(($(wc -l <"$log") + 1))
# sudo drops the caller's environment, so the front end is set on its far side.
if ! run_with_progress "$log" package_progress "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "${missing[@]}"; then
  tail -20 "$log" >&2
  exit 1
fi
count=$(comm -13 <(echo "$before") <(installed) | wc -l)
echo "   -> $count packages installed in $(duration $((SECONDS - start)))"
