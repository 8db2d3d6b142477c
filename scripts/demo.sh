#!/usr/bin/env bash
# Builds the package into .venv with only what it needs to run, then runs the demo.
source "$(dirname "$0")/env.sh"
"$PY" examples/demo.py
