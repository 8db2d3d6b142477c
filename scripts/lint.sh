#!/usr/bin/env bash
# Checks formatting and lint without changing any file: clang-format (settings in
# .clang-format) over the C++ sources and tests, ruff's linter and formatter
# (settings in pyproject.toml) over the Python files, and that includes in
# src/hobrin_ann point down only (scripts/check_layers.py). Shows what differs and
# exits non-zero when a check fails. The tools, pinned in requirements-dev.txt,
# are installed into .venv when needed; nothing is built.
#   bash scripts/lint.sh
# To apply the formatting instead: clang-format -i on the same files, then
# `ruff format` and `ruff check --fix`.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || "${PYTHON:-python3}" -m venv .venv
mapfile -t tools < <(grep -E '^(ruff|clang-format)==' requirements-dev.txt)
.venv/bin/python -m pip install -q --disable-pip-version-check "${tools[@]}"
status=0
mapfile -t cpp < <(git ls-files -- 'src/*.cpp' 'src/*.hpp' 'src/*.h' 'src/*.inl' \
  'tests/cpp/*.cpp' 'tests/cpp/*.hpp' 'tests/cpp/*.h')
echo "clang-format --dry-run: ${#cpp[@]} files"
.venv/bin/clang-format --dry-run -Werror "${cpp[@]}" || status=1
echo "layers of src/hobrin_ann"
.venv/bin/python scripts/check_layers.py || status=1
echo "ruff check"
.venv/bin/ruff check . || status=1
echo "ruff format --check"
.venv/bin/ruff format --check . || status=1
exit "$status"
