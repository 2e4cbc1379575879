#!/usr/bin/env bash
# Installs the Debian packages parcelmoor needs to build, test and run
# (scripts/setup-runtime.sh alone installs what serve needs).
# Safe to run again: packages already present are skipped.
set -euo pipefail

# What building and running serve needs, then the test stack: compilers
# and libraries of the tests, the servers and clients the end-to-end suites
# start, and the tools of the package check.
TEST_PACKAGES=(
  clang libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  curl python3 lighttpd nginx valgrind php-cli strace
  openssl  # the HTTPS tests make their CA and certificates with it
  help2man groff-base
  clamav-daemon  # the --scan tests run their own clamd with their own signatures
  python3-tuspy  # a real client of the resumable uploads in their test
  python3-prometheus-client  # reads /metrics in its test as a scraper would
  python3-jsonschema  # checks the JSON answers against docs/answer.schema.json
  # The object store tests run their own Swift with its S3 API on loopback.
  swift swift-proxy swift-account swift-container swift-object python3-swift memcached
  # Instances sharing one bucket claim names through Redis (--coordinator);
  # its tests run their own redis-server on loopback.
  redis-server
)
"$(dirname "$0")"/setup-runtime.sh "${TEST_PACKAGES[@]}"

# Swift's daemons read /etc/swift/swift.conf whatever they are told; the
# tests' store needs only its hash settings and one policy.
if [ ! -e /etc/swift/swift.conf ]; then
  SUDO=""
  [ "$(id -u)" -ne 0 ] && SUDO="sudo"
  $SUDO mkdir -p /etc/swift
  printf '[swift-hash]\nswift_hash_path_suffix = parcelmoor-tests\nswift_hash_path_prefix = parcelmoor-tests\n\n[storage-policy:0]\nname = Policy-0\ndefault = yes\n' |
    $SUDO tee /etc/swift/swift.conf >/dev/null
fi
