#!/usr/bin/env bash
# Installs the system packages that building needs and that are missing: g++,
# CMake and, for Debian's own interpreter, its venv module and headers. With
# --tests also GoogleTest for the C++ tests. Missing packages come from
# Debian's packages through apt-get (after apt-get update), announced in one
# line; when nothing is missing it prints nothing and installs nothing.
set -euo pipefail
python="${PYTHON:-python3}"
missing=()
g++ --version >/dev/null 2>&1 || missing+=(g++)
cmake --version >/dev/null 2>&1 || missing+=(cmake)
if [ "$("$python" -c 'import sys; print(sys.prefix)')" = /usr ]; then
  "$python" -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
  "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' || missing+=(python3-dev)
fi
if [ "${1:-}" = --tests ] && [ ! -f /usr/include/gtest/gtest.h ] && [ ! -f /usr/local/include/gtest/gtest.h ]; then
  missing+=(libgtest-dev)
fi
[ ${#missing[@]} -eq 0 ] && exit 0

export DEBIAN_FRONTEND=noninteractive
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -n env DEBIAN_FRONTEND=noninteractive)
if ! command -v apt-get >/dev/null || { [ ${#as_root[@]} -gt 0 ] && ! command -v sudo >/dev/null; }; then
  echo "missing system packages: ${missing[*]}; install them, then run this again" >&2
  exit 1
fi
echo "installing system packages with apt-get: ${missing[*]}"
log="$(mktemp)"
if ! { "${as_root[@]}" apt-get update -q &&
  "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; } \
  >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
