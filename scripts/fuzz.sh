#!/usr/bin/env bash
# Builds the upload fuzzer with clang (libFuzzer, AddressSanitizer, UBSan) and
# runs it for a bounded time on the seed corpus in fuzz/corpus.
#
# Usage: scripts/fuzz.sh [SECONDS]     (default 60)
#   BUILD_DIR  build directory (default build-fuzz)
#   JOBS       build jobs (default 2)
# New inputs found go to a temporary copy of the corpus, never into the tree;
# a crash leaves its reproducer (crash-*) in the build directory and makes
# the script exit non-zero.
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
SECONDS_TO_RUN="${1:-60}"
BUILD_DIR="${BUILD_DIR:-$ROOT/build-fuzz}"
JOBS="${JOBS:-2}"

case "$SECONDS_TO_RUN" in '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS]" >&2; exit 2 ;; esac
command -v clang++ >/dev/null || { echo "clang++ is needed for libFuzzer" >&2; exit 2; }

cmake -S "$ROOT" -B "$BUILD_DIR" -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DPARCELMOOR_FUZZ=ON -DPARCELMOOR_TESTS=OFF -DPARCELMOOR_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j "$JOBS" --target parcelmoor_upload_fuzzer

CORPUS="$(mktemp -d /tmp/parcelmoor-fuzz-corpus.XXXXXX)"
trap 'rm -rf "$CORPUS"' EXIT
cp "$ROOT"/fuzz/corpus/* "$CORPUS"/

cd "$BUILD_DIR"
./fuzz/parcelmoor_upload_fuzzer -max_total_time="$SECONDS_TO_RUN" -max_len=16384 -timeout=30 \
  -artifact_prefix="$BUILD_DIR/" \
  -rss_limit_mb=2048 -print_final_stats=1 "$CORPUS"
