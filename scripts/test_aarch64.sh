#!/usr/bin/env bash
# Cross-builds the C++ tests and both extension modules for aarch64 Linux and
# runs them under qemu's user-mode emulation: the C++ tests through CTest, then
# a chosen part of the Python suite with an emulated Python 3.11 and numpy,
# then files saved on this machine loaded there and the reverse.
#   bash scripts/test_aarch64.sh [pytest arguments for the emulated run...]
# Everything comes from Debian's packages and PyPI: the cross compiler and qemu
# through scripts/provision.sh; Python 3.11 for arm64 and the libraries it and
# the tests need, downloaded with apt-get download and unpacked with dpkg -x
# into build/aarch64/sysroot; numpy's aarch64 wheel, pytest and hypothesis
# into build/aarch64/site. Both are kept between runs.
set -euo pipefail
cd "$(dirname "$0")/.."
root="$PWD/build/aarch64"
sysroot="$root/sysroot"
bash scripts/provision.sh --aarch64
# The native package, for the files that cross between the two machines.
export HOBRIN_DEV=1
source scripts/env.sh
started=$SECONDS
lap() { echo "aarch64: $1 in $((SECONDS - started)) s"; started=$SECONDS; }

# Python 3.11 and its shared libraries, the headers to build modules against,
# GoogleTest for the C++ tests, and the C++ runtime the modules link.
packages=(libc6 libgcc-s1 libstdc++6 python3.11-minimal libpython3.11-minimal libpython3.11-stdlib
  python3.11 libpython3.11 libpython3.11-dev libgtest-dev zlib1g libexpat1 libffi8 libssl3 libbz2-1.0
  liblzma5 libsqlite3-0 libncursesw6 libtinfo6 libreadline8 libuuid1 libdb5.3 libcrypt1
  libnsl2 libtirpc3 libgssapi-krb5-2 libkrb5-3 libk5crypto3 libkrb5support0 libkeyutils1 libcom-err2)
want="${packages[*]}"
if [ "$(cat "$sysroot/.packages" 2>/dev/null)" != "$want" ]; then
  rm -rf "$sysroot" "$root/debs"
  mkdir -p "$sysroot" "$root/debs"
  # apt's download sandbox user cannot write here: root downloads, as it warns.
  if ! (cd "$root/debs" && apt-get download -q "${packages[@]/%/:arm64}") >"$root/download.log" 2>&1; then
    cat "$root/download.log" >&2
    exit 1
  fi
  for deb in "$root"/debs/*.deb; do dpkg -x "$deb" "$sysroot"; done
  echo "$want" >"$sysroot/.packages"
  rm -rf "$root/debs"
fi
export QEMU_LD_PREFIX="$sysroot"
site="$root/site"
if [ ! -f "$site/.complete" ]; then
  rm -rf "$site"
  "$PY" -m pip install -q --disable-pip-version-check --target "$site" --only-binary=:all: \
    --implementation cp --python-version 3.11 --platform manylinux_2_28_aarch64 \
    --platform manylinux2014_aarch64 numpy pytest hypothesis
  touch "$site/.complete"
fi
# The emulated interpreter as a command, for CMake (which runs it to learn
# its version and module suffix) and for the tests that start it.
cat >"$root/python" <<EOF
#!/bin/sh
export QEMU_LD_PREFIX="$sysroot" PYTHONPATH="$root/package:$site" PYTHONDONTWRITEBYTECODE=1
exec qemu-aarch64 "$sysroot/usr/bin/python3.11" "\$@"
EOF
chmod +x "$root/python"
lap "sysroot and wheels ready"

cmake -S . -B "$root/build" -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/aarch64-linux-gnu.cmake" \
  -DHOBRIN_AARCH64_SYSROOT="$sysroot" -DCMAKE_BUILD_TYPE=Release -DHOBRIN_BUILD_TESTS=ON \
  -DHOBRIN_BUILD_MODULE=ON -DPython_EXECUTABLE="$root/python" \
  -DPython_INCLUDE_DIR="$sysroot/usr/include/python3.11" \
  -DPython_LIBRARY="$sysroot/usr/lib/aarch64-linux-gnu/libpython3.11.so" >/dev/null
cmake --build "$root/build" -j 2
lap "cross build"
# The embedded interpreter of the binding tests finds its standard library
# under /usr, which qemu looks up in the sysroot first.
ctest --test-dir "$root/build" --output-on-failure -j 2
lap "C++ tests under qemu"

# The package as a wheel would lay it out: both modules beside the Python
# sources of hobrin_ann.
rm -rf "$root/package"
mkdir -p "$root/package"
cp -r python/hobrin_ann "$root/package/"
rm -f "$root"/package/hobrin_ann/*.so
cmake --install "$root/build" --prefix "$root/package" >/dev/null
"$root/python" -c 'import platform, hobrin, hobrin_ann, sys
assert platform.machine() == "aarch64" and hobrin.__file__.startswith(sys.argv[1]), hobrin.__file__' "$root/package"

# Under emulation: the fast tests of both packages, the bit-exact distances,
# round trips of files and pickles, the recall floors on small data. Tests
# that start a Python of their own are left to the native runs: qemu runs
# only the process it started.
"$root/python" -m pytest -q -p no:cacheprovider tests/python/test_flat.py tests/python/test_metrics.py \
  tests/python/test_hnsw.py tests/python/test_ann_index.py \
  tests/python/test_ann_persist.py::test_round_trip_changes_nothing \
  --deselect tests/python/test_ann_index.py::test_packages_stay_apart \
  --deselect tests/python/test_ann_index.py::test_ctrl_c_during_an_add_with_progress_comes_after_the_whole_batch \
  "$@"
lap "Python tests under qemu"

# A file saved here loads there, and the reverse, with the same results.
HOBRIN_OTHER_PYTHON="$root/python" "$PY" -m pytest tests/python/test_file_portability.py -q -p no:cacheprovider
lap "files across the two machines"
