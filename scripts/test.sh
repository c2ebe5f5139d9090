#!/usr/bin/env bash
# Builds and runs every test: the debug build (warnings are errors), then the same suite under
# AddressSanitizer and UndefinedBehaviorSanitizer. Set BRAMLOW_SKIP_SANITIZERS=1 to skip the
# second pass while iterating.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)
presets=(debug)
if [[ "${BRAMLOW_SKIP_SANITIZERS:-0}" != 1 ]]; then presets+=(asan-ubsan); fi

for preset in "${presets[@]}"; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
done
