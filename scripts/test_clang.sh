#!/usr/bin/env bash
# Builds the tree with clang 16 and its own C++ library, libc++ 16 (the
# toolchain closest to macOS's that Debian has), every warning an error, and
# runs the quick tests with that build: the C++ tests through CTest, then the
# Python suite against the two extension modules clang built (put ahead of the
# .venv's own build on the path). GoogleTest is built from its sources here,
# against libc++.
#   bash scripts/test_clang.sh [pytest arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/provision.sh --clang
export HOBRIN_DEV=1
source scripts/env.sh
root="$PWD/build/clang"
started=$SECONDS
lap() { echo "clang: $1 in $((SECONDS - started)) s"; started=$SECONDS; }

cmake -S . -B "$root/build" -DCMAKE_CXX_COMPILER=clang++-16 -DCMAKE_C_COMPILER=clang-16 \
  -DCMAKE_CXX_FLAGS="-stdlib=libc++" -DHOBRIN_WERROR=ON -DHOBRIN_GTEST_SOURCE=/usr/src/googletest \
  -DHOBRIN_BUILD_TESTS=ON -DHOBRIN_BUILD_MODULE=ON -DPython_EXECUTABLE="$PY" -DCMAKE_BUILD_TYPE=Release \
  -Wno-deprecated >/dev/null
cmake --build "$root/build" -j 2
lap "build"
ctest --test-dir "$root/build" --output-on-failure -j 2
lap "C++ tests"

# The package as a wheel lays it out: both modules beside hobrin_ann's sources.
rm -rf "$root/package"
mkdir -p "$root/package"
cp -r python/hobrin_ann "$root/package/"
rm -f "$root"/package/hobrin_ann/*.so
cmake --install "$root/build" --prefix "$root/package" >/dev/null
export PYTHONPATH="$root/package${PYTHONPATH:+:$PYTHONPATH}"
"$PY" -c 'import hobrin, hobrin_ann._core as core, sys
for module in (hobrin, core):
    assert module.__file__.startswith(sys.argv[1]), module.__file__
    assert b"__1" in open(module.__file__, "rb").read(), "not built against libc++: " + module.__file__
' "$root/package"
# Left to the native run: the Ray tests (hobrin_ann.ray is Python over the
# same module, and a Ray cluster takes long to start), the type checks of the
# stubs (no compiled code in them) and the heavy cases (large builds that
# measure recall, whose code the lighter cases run too).
"$PY" -m pytest tests/python -q -p no:cacheprovider "${PYTEST_WORKERS[@]}" -m "not heavy" --ignore-glob='tests/python/test_ann_ray*.py' \
  --ignore=tests/python/test_stubs.py "$@"
lap "Python tests"
