#!/usr/bin/env bash
# Fuzzes both index classes for a bounded time (HOBRIN_FUZZ_SECONDS, default
# 60), starting from the kept corpus tests/fuzz/corpus; new inputs go to
# build/fuzz/corpus, the fuzzer's output to build/fuzz/log.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/fuzz/corpus
if ! "${PY:-python3}" tests/fuzz/fuzz.py -max_total_time="${HOBRIN_FUZZ_SECONDS:-60}" -timeout=60 \
    -max_len=4096 -len_control=0 -artifact_prefix=build/fuzz/ -print_final_stats=1 \
    build/fuzz/corpus tests/fuzz/corpus >build/fuzz/log 2>&1; then
  tail -n 80 build/fuzz/log
  echo "fuzzing found a failing input (build/fuzz/crash-*): add it to tests/fuzz/corpus" >&2
  exit 1
fi
grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)|DONE" build/fuzz/log
echo "fuzz corpus kept in the tree: $(ls tests/fuzz/corpus | wc -l) inputs"
