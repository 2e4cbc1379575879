#!/usr/bin/env bash
# Installs what is missing, builds, and runs the upload server with its page.
# Extra arguments go to `parcelmoor serve` (e.g. --port 9000 --dir /srv/uploads).
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/setup.sh
scripts/build.sh
exec build/apps/parcelmoor serve "$@"
