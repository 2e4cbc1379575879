#!/usr/bin/env bash
# Installs the Debian packages parcelmoor needs to build, test and run.
# Safe to run again: packages already present are skipped.
set -euo pipefail

PACKAGES=(
  build-essential cmake g++ clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libboost1.81-dev libboost-program-options1.81-dev libssl-dev libmagic-dev libcurl4-openssl-dev
  curl python3 lighttpd nginx valgrind php-cli strace
  help2man groff-base
  clamav-daemon  # the --scan tests run their own clamd with their own signatures
  python3-tuspy  # a real client of the resumable uploads in their test
  # The object store tests run their own Swift with its S3 API on loopback.
  swift swift-proxy swift-account swift-container swift-object python3-swift memcached
  # Instances sharing one bucket claim names through Redis (--coordinator);
  # its tests run their own redis-server on loopback.
  libhiredis-dev redis-server
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

# Swift's daemons read /etc/swift/swift.conf whatever they are told; the
# tests' store needs only its hash settings and one policy.
if [ ! -e /etc/swift/swift.conf ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO mkdir -p /etc/swift
  printf '[swift-hash]\nswift_hash_path_suffix = parcelmoor-tests\nswift_hash_path_prefix = parcelmoor-tests\n\n[storage-policy:0]\nname = Policy-0\ndefault = yes\n' |
    $SUDO tee /etc/swift/swift.conf >/dev/null
fi
