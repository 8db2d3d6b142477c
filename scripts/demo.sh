#!/usr/bin/env bash
# Builds the package and runs the demo.
source "$(dirname "$0")/env.sh"
"$PY" examples/demo.py
