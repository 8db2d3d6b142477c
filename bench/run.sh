#!/usr/bin/env bash
# Benchmark hobrin against its peers in one run: makes its own environment in
# bench/.venv (numpy, hnswlib, faiss-cpu, usearch, glass from pyglass-portable,
# SymphonyQG from rabitqlib, matplotlib, threadpoolctl, ray, and hobrin with
# hobrin_ann built from this checkout on every run, so that the code as it is
# now is measured), a scalar-kernel build in bench/.scalar when the
# build offers one, then runs bench/run.py with the given arguments
# (for example --quick). Results go to bench/results/ (--quick: bench/results/quick/).
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT="$PWD"
VENV="$ROOT/bench/.venv"
PY="$VENV/bin/python"
PIP=("$PY" -m pip install -q --disable-pip-version-check)

# Fashion-MNIST comes from Debian's package; install it when missing and we can.
FMNIST=/usr/share/datasets/fashion-mnist
if [ ! -f "$FMNIST/train-images-idx3-ubyte.gz" ] && [ -z "${HOBRIN_FMNIST_DIR:-}" ]; then
  if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
    echo "installing dataset-fashion-mnist" >&2
    DEBIAN_FRONTEND=noninteractive apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq dataset-fashion-mnist >/dev/null
  else
    echo "Fashion-MNIST missing: apt-get install dataset-fashion-mnist (or set HOBRIN_FMNIST_DIR)" >&2
    exit 1
  fi
fi

if [ ! -x "$PY" ]; then
  "${PYTHON:-python3}" -m venv "$VENV"
  "$PY" -m pip install -q --disable-pip-version-check --upgrade pip
fi
"${PIP[@]}" -r bench/requirements.txt

# hobrin and hobrin_ann from this checkout, as it is now (uncommitted changes
# included): one `pip install .` builds and installs both.
HOBRIN_BENCH_SOURCE="$(git rev-parse --short HEAD 2>/dev/null || echo unknown)"
DIRTY="$(git status --porcelain -- src python CMakeLists.txt pyproject.toml 2>/dev/null || true)"
if [ -n "$DIRTY" ]; then
  HOBRIN_BENCH_SOURCE+=" + uncommitted changes in $(echo "$DIRTY" | awk '{print $2}' \
    | cut -d/ -f1 | sort -u | paste -sd, -)"
fi
export HOBRIN_BENCH_SOURCE
echo "building hobrin and hobrin_ann from $ROOT ($HOBRIN_BENCH_SOURCE)" >&2
"${PIP[@]}" --force-reinstall --no-deps -Cbuild-dir=build/bench .
# The modules measured must be the ones just built, not a copy lying in the tree.
env -u PYTHONPATH "$PY" -c 'import sys, hobrin, hobrin_ann._core as c
for m in (hobrin, c):
    assert m.__file__.startswith(sys.prefix), f"{m.__name__} loaded from {m.__file__}"' \
  || { echo "the benchmark environment does not load the fresh build" >&2; exit 1; }

# The same tree with the SIMD kernels switched off, for the "own scalar path"
# ratios; only when the build knows the option.
rm -rf bench/.scalar
if grep -q HOBRIN_FORCE_SCALAR CMakeLists.txt; then
  echo "building the scalar-path hobrin into bench/.scalar" >&2
  "${PIP[@]}" --no-deps --target bench/.scalar -Cbuild-dir=build/bench-scalar \
    -Ccmake.define.HOBRIN_FORCE_SCALAR=ON .
else
  echo "no HOBRIN_FORCE_SCALAR option in CMakeLists.txt: scalar-path ratios skipped" >&2
fi

# One thread everywhere; OpenBLAS picks its kernel from the CPU (the two
# OPENBLAS_ overrides, when set on this machine, select a slower kernel).
exec env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE -u PYTHONPATH \
  OMP_NUM_THREADS=1 OPENBLAS_NUM_THREADS=1 MKL_NUM_THREADS=1 \
  "$PY" bench/run.py "$@"
