#!/usr/bin/env bash
# Installs what building and running the server needs (not the test stack:
# scripts/test.sh installs that), builds the server alone, and runs it with
# its upload page. Extra arguments go to `parcelmoor serve` (e.g. --port 9000
# --dir /srv/uploads); relative paths are taken from the caller's directory.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root"/scripts/setup-runtime.sh
# A first build leaves the tests and benchmarks out, so that it needs none of
# their packages; a build directory configured before keeps its settings
# (scripts/test.sh turns them on).
settings=()
[ -e "$root/build/CMakeCache.txt" ] || settings=(-DPARCELMOOR_TESTS=OFF -DPARCELMOOR_BENCH=OFF)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${settings[@]}" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target parcelmoor
exec "$root/build/apps/parcelmoor" serve "$@"
