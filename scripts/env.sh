# Sourced by the other scripts: a virtual environment in .venv with the
# package built from this checkout, once per run. With HOBRIN_DEV=1 (the test
# scripts) it also holds what the tests and checks need (requirements-dev.txt),
# and the system packages for the C++ tests are installed when missing.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
PY="$PWD/.venv/bin/python"
if [ -z "${HOBRIN_ENV_READY:-}" ]; then
  bash scripts/provision.sh ${HOBRIN_DEV:+--tests}
  [ -x "$PY" ] || "${PYTHON:-python3}" -m venv .venv
  pip=("$PY" -m pip install -q --disable-pip-version-check)
  if [ -n "${HOBRIN_DEV:-}" ]; then
    "${pip[@]}" -r requirements-dev.txt
    # Built in place by the backend from requirements-dev.txt, so that a
    # rebuild compiles only what changed.
    "${pip[@]}" --no-build-isolation -Cbuild-dir=build/wheel .
  else
    "${pip[@]}" .
  fi
  export HOBRIN_ENV_READY=1
fi
