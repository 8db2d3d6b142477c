# Sourced by the other scripts: a virtual environment in .venv with the
# package built from this checkout and what the tests need (once per run).
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
if [ ! -x .venv/bin/python ]; then
  "${PYTHON:-python3}" -m venv .venv
fi
PY="$PWD/.venv/bin/python"
if [ -z "${HOBRIN_ENV_READY:-}" ]; then
  "$PY" -m pip install -q --disable-pip-version-check --upgrade pip >/dev/null
  "$PY" -m pip install -q --disable-pip-version-check -r requirements-dev.txt
  "$PY" -m pip install -q --disable-pip-version-check --no-build-isolation -Cbuild-dir=build/wheel . ./stubs
  export HOBRIN_ENV_READY=1
fi
