#!/usr/bin/env bash
# Installs what is missing, builds the server alone, and runs it with its
# upload page. Extra arguments go to `parcelmoor serve` (e.g. --port 9000
# --dir /srv/uploads); relative paths are taken from the caller's directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root"/scripts/setup.sh
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target parcelmoor
exec "$root/build/apps/parcelmoor" serve "$@"
