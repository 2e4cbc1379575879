#!/usr/bin/env bash
# Prepares the real-browser test of the upload page: Debian's Chromium, Node.js
# with npm, the npm packages pinned in tests/browser/package-lock.json, and
# those of the page itself (page/package-lock.json: Uppy and esbuild), with
# which the test checks that the committed bundle in page/dist is current
# and a maintainer rebuilds it (npm run build --prefix page).
# Safe to run again: whatever is already present is left alone.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"

SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"

missing=()
command -v chromium >/dev/null 2>&1 || missing+=(chromium)
command -v node >/dev/null 2>&1 || missing+=(nodejs)
command -v npm >/dev/null 2>&1 || missing+=(npm)
if [ ${#missing[@]} -gt 0 ]; then
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi

# playwright-core brings no browser of its own; the test launches /usr/bin/chromium.
if [ ! -d "$ROOT/tests/browser/node_modules/playwright-core" ] || [ ! -d "$ROOT/tests/browser/node_modules/tus-js-client" ]; then
  PLAYWRIGHT_SKIP_BROWSER_DOWNLOAD=1 npm ci --prefix "$ROOT/tests/browser" --no-audit --no-fund
fi
if [ ! -d "$ROOT/page/node_modules/@uppy/dashboard" ] || [ ! -d "$ROOT/page/node_modules/esbuild" ]; then
  npm ci --prefix "$ROOT/page" --no-audit --no-fund
fi
