#!/usr/bin/env bash
# Builds the package and runs every test: the C++ tests of the cores and of the
# binding layer and the Python suite, the format and lint checks, a minute of
# fuzzing, the tests again under the sanitizers, then the other platforms: an
# aarch64 cross build tested under emulation (scripts/test_aarch64.sh) and a
# clang build with libc++ (scripts/test_clang.sh).
#   bash scripts/test.sh [--quick] [pytest arguments...]
# --quick stops after the C++ tests and the Python suite: no fuzzing, no
# sanitizer build and no other platform. Other arguments go to pytest (of the
# native and sanitized runs).
quick=
pytest_args=()
for arg in "$@"; do
  if [ "$arg" = --quick ]; then quick=1; else pytest_args+=("$arg"); fi
done
set -- "${pytest_args[@]}"
export HOBRIN_DEV=1
source "$(dirname "$0")/env.sh"
cmake -S . -B build/tests -DHOBRIN_BUILD_TESTS=ON -DHOBRIN_BUILD_MODULE=OFF \
  -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/tests -j 2
ctest --test-dir build/tests --output-on-failure
"$PY" -m pytest tests/python -q "$@"
if [ -n "$quick" ]; then exit 0; fi
bash scripts/lint.sh
PY="$PY" bash scripts/fuzz.sh
bash scripts/sanitized.sh "$@"
bash scripts/test_aarch64.sh
bash scripts/test_clang.sh
