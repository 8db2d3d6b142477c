#!/usr/bin/env bash
# Builds the package and runs every test: the C++ tests of the cores and of the
# binding layer and the Python suite, the format and lint checks, the
# documentation site (mkdocs, warnings as errors), a minute of
# fuzzing, the tests again under the sanitizers, then the other platforms: an
# aarch64 cross build tested under emulation (scripts/test_aarch64.sh) and a
# clang build with libc++ (scripts/test_clang.sh).
#   bash scripts/test.sh [--quick] [pytest arguments...]
# --quick stops after the C++ tests and the Python suite: no fuzzing, no
# sanitizer build and no other platform. Other arguments go to pytest (of the
# native and sanitized runs).
# Each stage starts with a heading (== name) and ends with its time; the times
# of all the stages are listed at the end, and a failure names its stage.
quick=
pytest_args=()
for arg in "$@"; do
  if [ "$arg" = --quick ]; then quick=1; else pytest_args+=("$arg"); fi
done
set -- "${pytest_args[@]}"

stage_name= stage_started=$SECONDS run_started=$SECONDS
stage_times=()
stage() {
  end_stage
  stage_name="$1" stage_started=$SECONDS
  echo "== $stage_name"
}
end_stage() {
  [ -n "$stage_name" ] || return 0
  stage_times+=("$(printf '%6d s  %s' $((SECONDS - stage_started)) "$stage_name")")
  echo "== $stage_name: $((SECONDS - stage_started)) s"
  stage_name=
}
summary() {
  local status=$?
  local failed="$stage_name"
  [ $status -eq 0 ] && end_stage
  echo "== stage times"
  printf '%s\n' "${stage_times[@]}"
  printf '%6d s  in all\n' $((SECONDS - run_started))
  if [ $status -ne 0 ]; then
    echo "== failed${failed:+ in stage: $failed} (exit status $status)" >&2
  fi
}
trap summary EXIT

stage "set-up: system packages, .venv, the package and the C++ tests"
export HOBRIN_DEV=1
source "$(dirname "$0")/env.sh"
stage "C++ tests"
# Both test programs, from the package's own build (scripts/env.sh): a
# missing one would otherwise pass unnoticed.
listed="$(ctest --test-dir build/wheel -N)"
for program in core_tests embed_tests; do
  grep -q ": $program\$" <<<"$listed" || {
    echo "build/wheel has no $program: was the package built with HOBRIN_BUILD_TESTS=ON?" >&2
    exit 1
  }
done
ctest --test-dir build/wheel --output-on-failure -j 2
stage "Python suite"
# Two pytest workers (HOBRIN_TEST_WORKERS), each test module kept in one and
# the Ray modules together (tests/python/conftest.py); the sanitized and clang
# runs do the same.
"$PY" -m pytest tests/python -q "${PYTEST_WORKERS[@]}" "$@"
if [ -n "$quick" ]; then exit 0; fi
stage "lint"
bash scripts/lint.sh
stage "documentation: the site and its API reference, warnings as errors"
"$PY" -m mkdocs build --strict --quiet --site-dir build/site
stage "fuzzing"
PY="$PY" bash scripts/fuzz.sh
stage "sanitizers: one build, the C++ tests and the Python suite"
bash scripts/sanitized.sh "$@"
stage "aarch64: cross build, tests under qemu"
bash scripts/test_aarch64.sh
stage "clang 16 with libc++"
bash scripts/test_clang.sh
