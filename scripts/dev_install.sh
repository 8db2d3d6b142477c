#!/usr/bin/env bash
# Rebuild and install the extension into the current interpreter, one build at a
# time (several shells may ask at once).
set -euo pipefail
cd "$(dirname "$0")/.."
exec 9>/tmp/hobrin-dev-install.lock
flock 9
python3 -m pip install --no-build-isolation -q -Cbuild-dir=build/dev .
