#!/usr/bin/env bash
# Prepares bench/servers/run.py: the peers' Debian packages, busboy (pinned by
# node/package-lock.json), and the Go server, the Go load client and the C
# sink built into WORK/bin (default /tmp/parcelmoor-servers-bench).
# Usage: bench/servers/setup.sh [WORK]      (as root for the packages)
set -euo pipefail
HERE="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
WORK="${1:-/tmp/parcelmoor-servers-bench}"
missing=()
for p in nginx-light php-fpm golang-go gcc; do dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p"); done
# Any node with npm will do (Debian's, or another distribution's that ships
# npm inside its nodejs package).
command -v node >/dev/null && command -v npm >/dev/null || missing+=(nodejs npm)
if [ "${#missing[@]}" -gt 0 ]; then
  apt-get update
  DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
fi
# The packaged services are not used: each run starts its own on a free port.
for service in nginx php8.2-fpm; do
  systemctl disable --now "$service" >/dev/null 2>&1 || true
done
(cd "$HERE/node" && npm ci --no-audit --no-fund)
mkdir -p "$WORK/bin"
(cd "$HERE/go" && go build -o "$WORK/bin/go-server" ./server && go build -o "$WORK/bin/go-load" ./load)
gcc -O2 -Wall -Wextra -pthread -o "$WORK/bin/sink" "$HERE/sink.c"
echo "ready: bench/servers/run.py --work $WORK"
