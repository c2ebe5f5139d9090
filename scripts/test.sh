#!/usr/bin/env bash
# Builds and runs every test: the debug build (warnings are errors) with the formatting and
# clang-tidy checks, then the same suite under AddressSanitizer and UndefinedBehaviorSanitizer.
# clang-tidy runs beside the tests (see below). Every pass runs whatever an earlier one found; a
# summary at the end gives each pass's outcome and time, and the script then exits 1 if anything
# failed. Package and build output go to logs under build/; ctest's own lines stay on the terminal.
# Set BRAMLOW_SKIP_SANITIZERS=1 to skip the second pass while iterating.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/progress.sh
started=$SECONDS

mkdir -p build
echo "== packages (output in build/test-packages.log) =="
bash scripts/install-deps.sh --tests --log=build/test-packages.log

jobs=$(nproc)
summary=()
failed=0
note() { summary+=("$(printf '%-12s %s' "$1" "$2")"); }

echo "== clang-format =="
if ! git rev-parse --git-dir >/dev/null 2>&1; then
  note clang-format "not run: not a git checkout"
elif git ls-files -z '*.cc' '*.h' | xargs -0 clang-format --dry-run -Werror 2>build/clang-format.log; then
  note clang-format clean
  echo "clean"
else
  cat build/clang-format.log
  note clang-format "$(grep -c 'error:' build/clang-format.log) places to reformat (build/clang-format.log)"
  failed=1
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
  echo "== $preset (build output in build/$preset.log) =="
  pass_started=$SECONDS
  options=()
  # No test runs the benchmark drivers: the debug pass builds them (warnings as errors) so they
  # cannot rot, the sanitizer pass leaves them out.
  if [[ "$preset" == asan-ubsan ]]; then options+=(-DBRAMLOW_BUILD_BENCHMARKS=OFF); fi
  : >"build/$preset.log"
  if ! run_with_progress "build/$preset.log" "" cmake --preset "$preset" "${options[@]}" ||
    ! run_with_progress "build/$preset.log" build_progress cmake --build --preset "$preset" -j "$jobs"; then
    tail -30 "build/$preset.log"
    note "$preset" "build failed (build/$preset.log), after $(duration $((SECONDS - pass_started)))"
    failed=1
    continue
  fi
  echo "   built in $(duration $((SECONDS - pass_started)))"
  if [[ "$preset" == debug ]] && git rev-parse --git-dir >/dev/null 2>&1; then
    set -m
    tidy >"$tidy_log" 2>&1 &
    tidy_pid=$!
    set +m
  fi
  status=0
  ctest --preset "$preset" -j "$jobs" | tee "build/$preset-tests.log" || status=$?
  # ctest's closing line: "100% tests passed, 0 tests failed out of 612".
  outcome=$(grep -E '^[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "build/$preset-tests.log" |
    tail -1 | awk '{print $NF - $4 " passed, " $4 " failed of " $NF}' || true)
  note "$preset" "${outcome:-no test ran} in $(duration $((SECONDS - pass_started))) (build and tests)"
  ((status == 0)) || failed=1
done

if [[ -n "$tidy_pid" ]]; then
  echo "== clang-tidy (report in $tidy_log) =="
  status=0
  wait_with_progress "$tidy_pid" "$tidy_log" "" || status=$?
  tidy_pid=
  if ((status == 0)) && [[ ! -s "$tidy_log" ]]; then
    echo "clean"
    note clang-tidy clean
  else
    cat "$tidy_log"
    note clang-tidy "$(grep -c 'error:' "$tidy_log" || true) findings ($tidy_log)"
    failed=1
  fi
else
  note clang-tidy "not run: it needs a git checkout and the debug build"
fi

printf '\n== Summary\n'
for line in "${summary[@]}"; do printf '   %s\n' "$line"; done
printf '   %-12s %s\n' total "$(duration $((SECONDS - started)))"
if ((failed)); then
  printf '   FAILED\n'
  exit 1
fi
printf '   all passed\n'
