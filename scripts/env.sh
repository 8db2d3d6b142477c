# Sourced by the other scripts: a virtual environment in .venv with the
# package built from this checkout, once per run. With HOBRIN_DEV=1 (the test
# scripts) it also holds what the tests and checks need (requirements-dev.txt),
# and the system packages for the C++ tests are installed when missing; the
# package's build then makes the C++ tests too (in build/wheel), for
# scripts/test.sh to run.
# Each long step is announced on a line of its own, and its time given after.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$PWD/.venv/bin/python"
# How the test scripts spread the Python suite over processes (pytest-xdist).
PYTEST_WORKERS=(-n "${HOBRIN_TEST_WORKERS:-2}" --dist loadgroup)
if [ -z "${HOBRIN_ENV_READY:-}" ]; then
  bash scripts/provision.sh ${HOBRIN_DEV:+--tests}
  [ -x "$PY" ] || "${PYTHON:-python3}" -m venv .venv
  pip=("$PY" -m pip install -q --disable-pip-version-check)
  step_started=$SECONDS
  if [ -n "${HOBRIN_DEV:-}" ]; then
    # CMake first, as the build below will configure it: a missing compiler,
    # header or library stops here within seconds, saying what to install,
    # rather than after the downloads and part of the build.
    cmake -S . -B build/configure-check -DHOBRIN_BUILD_TESTS=ON -DHOBRIN_BUILD_MODULE=ON \
      -DPython_EXECUTABLE="$PY" >/dev/null
    echo "installing the tools of requirements-dev.txt into .venv (a minute or two on the first run)"
    "${pip[@]}" -r requirements-dev.txt
    echo "building hobrin and its C++ tests into .venv (5 to 10 minutes on 2 cores on the first run," \
      "more when they are busy; later runs rebuild only what changed)"
    # Built in place by the backend from requirements-dev.txt, so that a
    # rebuild compiles only what changed; the same build makes the C++ tests.
    "${pip[@]}" --no-build-isolation -Cbuild-dir=build/wheel -Ccmake.define.HOBRIN_BUILD_TESTS=ON .
  else
    echo "building hobrin into .venv with pip install . (5 to 10 minutes on 2 cores, on every run)"
    "${pip[@]}" .
  fi
  echo "hobrin ready in .venv in $((SECONDS - step_started)) s"
  export HOBRIN_ENV_READY=1
fi
