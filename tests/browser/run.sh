#!/usr/bin/env bash
# ctest's entry to the browser test: skips (exit 77) when Chromium or node is missing, installs
# playwright-core from the lock file only when node_modules is not there yet (so a machine that has
# it needs no registry), and never lets it fetch a browser of its own.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
if [[ ! -x /usr/bin/chromium ]] || ! command -v node >/dev/null; then
  echo "SKIP: the browser test needs /usr/bin/chromium and node"
  exit 77
fi
if [[ ! -d "$here/node_modules/playwright-core" ]]; then
  (cd "$here" && PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --no-audit --no-fund --loglevel=error)
fi
exec node "$here/native_messaging_test.mjs" "$@"
