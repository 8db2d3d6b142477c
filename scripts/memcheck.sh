#!/usr/bin/env bash
# Runs scripts/memcheck_workload.py under valgrind's memcheck, with the
# interpreter's own allocator off so that every allocation is seen, and fails if
# any memory error or definite leak involves the extension (a frame of it in the
# error's stack, in the stack that freed the memory, or where an uninitialised
# value came from). The interpreter reports some errors of its own (they show in
# `python -c "import numpy, random"` alone); those are counted, not failed.
# Takes a few minutes; not part of the test command. PY=... picks the interpreter.
set -euo pipefail
cd "$(dirname "$0")/.."
# The interpreter itself, not a launcher script in front of it.
PY="$("${PY:-python3}" -c 'import sys; print(sys.executable)')"
mkdir -p build/memcheck
PYTHONMALLOC=malloc valgrind --tool=memcheck --track-origins=yes --leak-check=full \
  --show-leak-kinds=definite --errors-for-leak-kinds=definite --num-callers=40 \
  --xml=yes --xml-file=build/memcheck/memcheck.xml --log-file=build/memcheck/memcheck.log \
  "$PY" scripts/memcheck_workload.py
"$PY" - build/memcheck/memcheck.xml <<'PYEOF'
import collections, sys, xml.etree.ElementTree as ET
errors = ET.parse(sys.argv[1]).getroot().findall("error")
ours = [e for e in errors if any("hobrin" in (o.text or "") for o in e.iter("obj"))]
kinds = collections.Counter(e.findtext("kind") for e in errors)
print(f"memcheck: {len(errors)} error contexts in all {dict(kinds)}; {len(ours)} involve hobrin")
for e in ours:
    frames = [f"{f.findtext('fn')} ({f.findtext('obj')})" for f in e.iter("frame")][:12]
    print(e.findtext("kind"), e.findtext("what") or e.findtext("xwhat/text"), *frames, sep="\n  ")
sys.exit(1 if ours else 0)
PYEOF
