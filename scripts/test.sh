#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: once in a normal
# build, then the Debian package, then the upload fuzzer for a bounded time (FUZZ_SECONDS, default 60;
# 0 skips it), then the unit tests again under AddressSanitizer and
# UndefinedBehaviorSanitizer (the suites that start real servers and clients
# run once, in the release build: under the sanitizers they would double the
# run for little that the unit tests and the fuzzer do not already reach).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/setup-browser.sh

jobs="$(nproc)"

echo "== build and test (release) =="
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPARCELMOOR_TESTS=ON -DPARCELMOOR_BENCH=ON >/dev/null
cmake --build build -j"$jobs"
ctest --test-dir build --output-on-failure -j"$jobs"

echo "== build and check the Debian package =="
tests/package/check_deb.sh "$(scripts/package.sh | tail -1)"

fuzz_seconds="${FUZZ_SECONDS:-60}"
if [ "$fuzz_seconds" -gt 0 ]; then
  echo "== fuzz the upload path for ${fuzz_seconds} s =="
  scripts/fuzz.sh "$fuzz_seconds"
fi

echo "== build and test (AddressSanitizer + UndefinedBehaviorSanitizer) =="
cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DPARCELMOOR_SANITIZE=ON -DPARCELMOOR_BENCH=OFF >/dev/null
cmake --build build-asan -j"$jobs"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure -j"$jobs" -E '^(e2e_.*|browser_.*)$'
