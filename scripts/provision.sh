#!/usr/bin/env bash
# Installs the system packages that building needs and that are missing: g++,
# CMake and, for Debian's own interpreter, its venv module and headers. With
# --tests also GoogleTest for the C++ tests; with --aarch64 the aarch64 cross
# compiler and qemu's user-mode emulator, and arm64 added to dpkg's
# architectures so that arm64 packages can be downloaded; with --clang clang 16
# and its C++ library, libc++ 16. Missing packages come from Debian's packages
# through apt-get (after apt-get update), announced in one line; when nothing
# is missing it prints nothing and installs nothing. With --check it installs
# nothing either way: it prints the missing packages on one line and exits 1
# when there are any.
# HOBRIN_PROVISION_ROOT (default: /) and HOBRIN_PROVISION_TRIPLET (default:
# the compiler's multiarch triplet) say where the file checks look; the tests
# of this script point them at a tree of their own.
set -euo pipefail
python="${PYTHON:-python3}"
tests= aarch64= clang= check=
for arg in "$@"; do
  case "$arg" in
    --tests) tests=1 ;;
    --aarch64) aarch64=1 ;;
    --clang) clang=1 ;;
    --check) check=1 ;;
    *) echo "provision.sh: unknown option $arg" >&2; exit 2 ;;
  esac
done
root="${HOBRIN_PROVISION_ROOT:-}"
triplet="${HOBRIN_PROVISION_TRIPLET:-$(gcc -print-multiarch 2>/dev/null || true)}"
[ -n "$triplet" ] || triplet="$(uname -m)-linux-gnu"

# GoogleTest as the C++ tests link it: its headers and both of its libraries
# (gtest, gtest_main) for this machine's architecture, from Debian's package
# (/usr/lib/<triplet>) or from an install of its own (/usr/local). The headers
# alone prove nothing: another architecture's package (libgtest-dev:arm64, for
# the aarch64 build) installs the same /usr/include/gtest.
gtest_found() {
  local prefix dir library found
  for prefix in "$root/usr" "$root/usr/local"; do
    [ -f "$prefix/include/gtest/gtest.h" ] || continue
    for dir in "$prefix/lib/$triplet" "$prefix/lib" "$prefix/lib64"; do
      found=1
      for library in gtest gtest_main; do
        [ -f "$dir/lib$library.a" ] || [ -e "$dir/lib$library.so" ] || found=
      done
      [ -z "$found" ] || return 0
    done
  done
  return 1
}
missing=()
add_arm64=
g++ --version >/dev/null 2>&1 || missing+=(g++)
cmake --version >/dev/null 2>&1 || missing+=(cmake)
if [ "$("$python" -c 'import sys; print(sys.prefix)')" = /usr ]; then
  "$python" -c 'import ensurepip' 2>/dev/null || missing+=(python3-venv)
  "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' || missing+=(python3-dev)
fi
if [ -n "$tests" ] && ! gtest_found; then
  missing+=(libgtest-dev)
fi
if [ -n "$aarch64" ]; then
  aarch64-linux-gnu-g++ --version >/dev/null 2>&1 || missing+=(g++-aarch64-linux-gnu)
  qemu-aarch64 --version >/dev/null 2>&1 || missing+=(qemu-user)
  dpkg --print-foreign-architectures 2>/dev/null | grep -qx arm64 || add_arm64=1
fi
if [ -n "$clang" ]; then
  clang++-16 --version >/dev/null 2>&1 || missing+=(clang-16)
  [ -f /usr/lib/llvm-16/include/c++/v1/vector ] || missing+=(libc++-16-dev)
  [ -f /usr/lib/llvm-16/lib/libc++abi.so ] || missing+=(libc++abi-16-dev)
  # GoogleTest built from its sources against libc++ (Debian's is built
  # against libstdc++, whose types differ).
  [ -f /usr/src/googletest/CMakeLists.txt ] || missing+=(googletest)
fi
[ ${#missing[@]} -eq 0 ] && [ -z "$add_arm64" ] && exit 0
if [ -n "$check" ]; then
  echo "missing system packages: ${missing[*]}${add_arm64:+ (and arm64 as a dpkg architecture)}"
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo -n env DEBIAN_FRONTEND=noninteractive)
if ! command -v apt-get >/dev/null || { [ ${#as_root[@]} -gt 0 ] && ! command -v sudo >/dev/null; }; then
  echo "missing system packages: ${missing[*]}; install them, then run this again" >&2
  exit 1
fi
log="$(mktemp)"
if [ -n "$add_arm64" ]; then
  echo "adding arm64 to dpkg's architectures (for downloading arm64 packages)"
  "${as_root[@]}" dpkg --add-architecture arm64
fi
[ ${#missing[@]} -gt 0 ] && echo "installing system packages with apt-get: ${missing[*]}"
if ! { "${as_root[@]}" apt-get update -q &&
  { [ ${#missing[@]} -eq 0 ] || "${as_root[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}"; }; } \
  >"$log" 2>&1; then
  cat "$log" >&2
  exit 1
fi
rm -f "$log"
