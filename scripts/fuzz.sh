#!/usr/bin/env bash
# Fuzzes both index classes for a bounded time (HOBRIN_FUZZ_SECONDS, default
# 60), starting from the kept corpus tests/fuzz/corpus; new inputs go to
# build/fuzz/corpus, the fuzzer's output to build/fuzz/log. Beside it, on the
# other core, fuzzes the index file reader (HOBRIN_FUZZ_LOAD_SECONDS, default
# 20) from a few small saved indexes made on the spot; its inputs go to
# build/fuzz/load-corpus, its output to build/fuzz/load-log.
set -euo pipefail
cd "$(dirname "$0")/.."
mkdir -p build/fuzz/corpus build/fuzz/load-corpus
rm -rf build/fuzz/load-seeds
"${PY:-python3}" tests/fuzz/fuzz_load.py --make-seeds build/fuzz/load-seeds

"${PY:-python3}" tests/fuzz/fuzz.py -max_total_time="${HOBRIN_FUZZ_SECONDS:-60}" -timeout=60 \
  -max_len=4096 -len_control=0 -artifact_prefix=build/fuzz/ -print_final_stats=1 \
  build/fuzz/corpus tests/fuzz/corpus >build/fuzz/log 2>&1 &
classes=$!
loader=0
"${PY:-python3}" tests/fuzz/fuzz_load.py -max_total_time="${HOBRIN_FUZZ_LOAD_SECONDS:-20}" -timeout=60 \
  -max_len=8192 -artifact_prefix=build/fuzz/load- -print_final_stats=1 \
  build/fuzz/load-corpus build/fuzz/load-seeds >build/fuzz/load-log 2>&1 || loader=$?
status=0
wait "$classes" || status=$?

if [ "$status" -ne 0 ]; then
  tail -n 80 build/fuzz/log
  echo "fuzzing found a failing input (build/fuzz/crash-*): add it to tests/fuzz/corpus" >&2
fi
if [ "$loader" -ne 0 ]; then
  tail -n 80 build/fuzz/load-log
  echo "fuzzing the index file reader found a failing input (build/fuzz/load-crash-*):" \
    "make it a case of tests/python/test_ann_persist.py" >&2
fi
[ "$status" -eq 0 ] && [ "$loader" -eq 0 ] || exit 1
grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)|DONE" build/fuzz/log
echo "fuzz corpus kept in the tree: $(ls tests/fuzz/corpus | wc -l) inputs"
grep -E "^(Done|stat::number_of_executed_units|stat::new_units_added)|DONE" build/fuzz/load-log
