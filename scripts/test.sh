#!/usr/bin/env bash
# Builds and runs every test: the debug build (warnings are errors) with the formatting and
# clang-tidy checks, then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# Set BRAMLOW_SKIP_SANITIZERS=1 to skip the second pass while iterating.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh --tests

jobs=$(nproc)

if git rev-parse --git-dir >/dev/null 2>&1; then
  echo "== clang-format =="
  git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror
fi

presets=(debug)
if [[ "${BRAMLOW_SKIP_SANITIZERS:-0}" != 1 ]]; then presets+=(asan-ubsan); fi

for preset in "${presets[@]}"; do
  echo "== $preset =="
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  ctest --preset "$preset" -j "$jobs"
  if [[ "$preset" == debug ]] && git rev-parse --git-dir >/dev/null 2>&1; then
    echo "== clang-tidy =="
    git ls-files -z 'platform/*.cc' 'shared/*.cc' 'updater/*.cc' 'extension/*.cc' \
      'Bramlow_for_Safari/*.cc' 'tools/*.cc' |
      xargs -0 -n 4 -P "$jobs" clang-tidy -p "build/$preset" --quiet --warnings-as-errors='*' 2>&1 |
      { grep -v ' warnings generated\.$' || true; }
  fi
done
