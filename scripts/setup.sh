#!/usr/bin/env bash
# Installs the Debian packages parcelmoor needs to build, test and run.
# Safe to run again: packages already present are skipped.
set -euo pipefail

PACKAGES=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost1.81-dev libboost-program-options1.81-dev libssl-dev libmagic-dev
  curl python3 lighttpd nginx valgrind php-cli strace
  help2man groff-base
  clamav-daemon  # the --scan tests run their own clamd with their own signatures
  python3-tuspy  # a real client of the resumable uploads in their test
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO apt-get update
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y --no-install-recommends "${missing[@]}"
fi
