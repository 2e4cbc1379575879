#!/usr/bin/env bash
# Installs the Debian packages that building and running `parcelmoor serve`
# need, and nothing for the tests (scripts/setup.sh adds those). Extra
# arguments are more packages to install in the same run.
# Safe to run again: packages already present are skipped.
set -euo pipefail

PACKAGES=(
  build-essential cmake g++
  libboost1.81-dev libboost-program-options1.81-dev  # Beast, Asio, PropertyTree; the option parser
  libssl-dev libcurl4-openssl-dev libmagic-dev       # digests, tokens and HTTPS; the object store; --allow-types
  prometheus-cpp-dev                                 # GET /metrics: the registry and the text format
  libhiredis-dev                                     # --coordinator (opened at its first use)
  "$@"
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
