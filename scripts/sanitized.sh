#!/usr/bin/env bash
# Builds the C++ tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test under them. The interpreter
# itself is not instrumented: the runtimes are preloaded and its own leak
# reports are off; every other check is on and any report fails the run.
export HOBRIN_DEV=1
source "$(dirname "$0")/env.sh"
cmake -S . -B build/sanitized-tests -DHOBRIN_BUILD_TESTS=ON -DHOBRIN_BUILD_MODULE=OFF -DHOBRIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/sanitized-tests -j 2
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:alloc_dealloc_mismatch=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build/sanitized-tests --output-on-failure

rm -rf build/sanitized-site
"$PY" -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps \
  -Cbuild-dir=build/sanitized-wheel -Ccmake.define.HOBRIN_SANITIZE=ON --target build/sanitized-site .
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
PYTHONPATH="$PWD/build/sanitized-site" PYTHONMALLOC=malloc LD_PRELOAD="$runtimes" \
  "$PY" -c "import hobrin, sys; assert hobrin.__file__.startswith(sys.argv[1]), hobrin.__file__" "$PWD/build/sanitized-site"
PYTHONPATH="$PWD/build/sanitized-site" PYTHONMALLOC=malloc LD_PRELOAD="$runtimes" \
  "$PY" -m pytest tests/python -q -p no:cacheprovider --ignore=tests/python/test_stubs.py "$@"
