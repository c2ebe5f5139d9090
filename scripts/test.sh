#!/usr/bin/env bash
# Builds and runs every test: the debug build (warnings are errors) with the formatting and
# clang-tidy checks, then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# clang-tidy's report comes last: it runs beside the tests (see below).
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

# clang-tidy needs only the debug build's compile commands. It runs beside the tests and the
# sanitizer build at the lowest priority, so it takes the cores they leave idle (the tests wait on
# processes, servers and mounts) without slowing them; its report comes at the end. Job control
# gives it a process group of its own, ended with the script.
tidy_pid=
tidy_log=build/clang-tidy.log
tidy() {
  git ls-files -z 'platform/*.cc' 'shared/*.cc' 'updater/*.cc' 'extension/*.cc' \
    'Bramlow_for_Safari/*.cc' 'tools/*.cc' |
    xargs -0 -n 4 -P "$jobs" nice -n 19 clang-tidy -p build/debug --quiet --warnings-as-errors='*' \
      2>&1 | { grep -v ' warnings generated\.$' || true; }
}
trap 'if [[ -n "$tidy_pid" ]]; then kill -- "-$tidy_pid" 2>/dev/null || true; fi' EXIT

for preset in "${presets[@]}"; do
  echo "== $preset =="
  options=()
  # No test runs the benchmark drivers: the debug pass builds them (warnings as errors) so they
  # cannot rot, the sanitizer pass leaves them out.
  if [[ "$preset" == asan-ubsan ]]; then options+=(-DBRAMLOW_BUILD_BENCHMARKS=OFF); fi
  cmake --preset "$preset" "${options[@]}" >/dev/null
  cmake --build --preset "$preset" -j "$jobs"
  if [[ "$preset" == debug ]] && git rev-parse --git-dir >/dev/null 2>&1; then
    set -m
    tidy >"$tidy_log" 2>&1 &
    tidy_pid=$!
    set +m
  fi
  ctest --preset "$preset" -j "$jobs"
done

if [[ -n "$tidy_pid" ]]; then
  echo "== clang-tidy =="
  status=0
  wait "$tidy_pid" || status=$?
  tidy_pid=
  cat "$tidy_log"
  exit "$status"
fi
