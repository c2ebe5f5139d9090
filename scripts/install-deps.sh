#!/usr/bin/env bash
# Installs the Debian packages the build and the demo need, when any is missing.
#   install-deps.sh [--tests] [--bench]
# --tests adds what only the test command needs: GoogleTest and Google Benchmark, the formatting
# and lint tools, git, lld (links the test executables faster), Chromium and Firefox ESR for the
# real-browser tests, and nginx (the light build) for the static-server test.
# --bench adds what bench/all.sh needs besides the build: GoogleTest (the release build holds the
# test HTTPS server the download benchmark serves from), GNU time for peak memory, and gnuplot's
# command-line build, whose cairo terminal draws the table's chart.
set -euo pipefail

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
    *) echo "usage: install-deps.sh [--tests] [--bench]" >&2; exit 2 ;;
  esac
done

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  as_root=()
  if [[ $(id -u) -ne 0 ]]; then
    if ! command -v sudo >/dev/null; then
      echo "These Debian packages are missing: ${missing[*]}" >&2
      echo "Install them as root (apt-get install ${missing[*]}), or run this again with sudo set up." >&2
      exit 1
    fi
    as_root=(sudo)
  fi
  "${as_root[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
fi
