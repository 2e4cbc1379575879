#!/usr/bin/env bash
# Builds the Debian package build-deb/parcelmoor_*.deb: the executable, the
# shared library with its C header, the systemd unit, the manual page and the
# docs, installed under /usr. Install it with `apt install ./build-deb/parcelmoor_*.deb`.
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD_DIR="${BUILD_DIR:-build-deb}"
cmake -S . -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
  -DPARCELMOOR_TESTS=OFF -DPARCELMOOR_BENCH=OFF >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)" --target parcelmoor qelt_parcelmoor parcelmoor_man
(cd "$BUILD_DIR" && cpack -G DEB >/dev/null)
ls "$BUILD_DIR"/parcelmoor_*.deb
