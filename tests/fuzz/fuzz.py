"""Coverage-guided fuzzing of both index classes with atheris.

Each input drives one of the stateful machines of tests/python/test_properties.py
(argument conversion, metadata and filters, insertion and search, every call
checked against the models), so a crash, a hang and a wrong result all count as
findings. libFuzzer writes a finding to {artifact_prefix}crash-<hash>: copy it
into tests/fuzz/corpus, where test_properties.py replays every file.

    python tests/fuzz/fuzz.py -max_total_time=60 -artifact_prefix=build/fuzz/ \
        build/fuzz/corpus tests/fuzz/corpus
"""

import pathlib
import sys
import warnings

import atheris

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "python"))
import hobrin  # noqa: E401,F401  (imported first: not instrumented)

with atheris.instrument_imports(include=["test_properties", "hnsw_model", "conftest"]):
    import test_properties

warnings.simplefilter("error")  # as the test suite runs
atheris.Setup(sys.argv, test_properties.fuzz_one_input)
atheris.Fuzz()
