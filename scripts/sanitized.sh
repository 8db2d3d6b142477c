#!/usr/bin/env bash
# Builds the C++ tests and the extension with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs the tests under them (all but those of
# the Ray layer and the type checks, see below). The interpreter
# itself is not instrumented: the runtimes are preloaded and its own leak
# reports are off; every other check is on and any report fails the run.
# One build serves both: the test programs and the two modules come from the
# same CMake build (build/sanitized), and the modules are laid out beside the
# package's Python sources in build/sanitized-site, as a wheel would lay them.
export HOBRIN_DEV=1
source "$(dirname "$0")/env.sh"
started=$SECONDS
lap() { echo "sanitizers: $1 in $((SECONDS - started)) s"; started=$SECONDS; }

cmake -S . -B build/sanitized -DHOBRIN_BUILD_TESTS=ON -DHOBRIN_BUILD_MODULE=ON -DHOBRIN_SANITIZE=ON \
  -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build/sanitized -j 2
lap "build"
export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:alloc_dealloc_mismatch=0"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
ctest --test-dir build/sanitized --output-on-failure -j 2
lap "C++ tests"

site="$PWD/build/sanitized-site"
rm -rf "$site"
mkdir -p "$site"
cp -r python/hobrin_ann "$site/"
rm -f "$site"/hobrin_ann/*.so
cmake --install build/sanitized --prefix "$site" >/dev/null
runtimes="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)"
PYTHONPATH="$site" PYTHONMALLOC=malloc LD_PRELOAD="$runtimes" "$PY" -c "import hobrin, hobrin_ann._core as core, sys
for module in (hobrin, core):
    assert module.__file__.startswith(sys.argv[1]), module.__file__" "$site"
# Left to the native run: the Ray tests (hobrin_ann.ray is Python over the
# calls the other tests make, and each test's cluster takes long to start),
# the type checks of the stubs (no compiled code in them) and the heavy cases
# (large builds that measure recall, whose code the lighter cases run too).
PYTHONPATH="$site" PYTHONMALLOC=malloc LD_PRELOAD="$runtimes" \
  "$PY" -m pytest tests/python -q -p no:cacheprovider "${PYTEST_WORKERS[@]}" -m "not heavy" --ignore=tests/python/test_stubs.py \
  --ignore-glob='tests/python/test_ann_ray*.py' "$@"
lap "Python tests"
