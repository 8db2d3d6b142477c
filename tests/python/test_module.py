"""Module object, class objects, docs and signatures, and re-initialisation."""

import ctypes
import inspect
import weakref

import hobrin
import pytest
from hobrin import PyFlat, PyHNSW

HNSW_SIGNATURE = "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)"
MODULE_DUNDERS = {"__name__", "__doc__", "__package__", "__loader__", "__spec__", "__file__", "__all__"}


def test_module_namespace():
    assert hobrin.__all__ == ["PyFlat", "PyHNSW"]
    assert hobrin.__doc__ == ""
    assert set(vars(hobrin)) - MODULE_DUNDERS == {"PyFlat", "PyHNSW"}
    assert isinstance(PyFlat, type) and isinstance(PyHNSW, type)


@pytest.mark.parametrize(
    "cls, name, signature, doc",
    [
        (PyFlat, "PyFlat", "(dim, metric=None)", "Our Python-facing Flat index."),
        (PyHNSW, "PyHNSW", HNSW_SIGNATURE, ""),
    ],
)
def test_class_properties(cls, name, signature, doc):
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    assert str(inspect.signature(cls)) == signature
    assert cls.__bases__ == (object,)
    assert set(vars(cls)) - {"__new__", "__doc__", "__module__"} == {"insert", "search", "create"}


@pytest.mark.parametrize(
    "cls, method, signature, doc",
    [
        (
            PyFlat,
            "insert",
            "($self, vector)",
            "Insert a vector into the index.\n\n"
            "The vector is expected as a list of floats whose length equals the index dimension.",
        ),
        (
            PyFlat,
            "search",
            "($self, query, k=None)",
            "Search for the k nearest neighbors.\n\nReturns a list of tuples `(id, distance)`.",
        ),
        (PyFlat, "create", "($self, vectors)", "Create an index from a list of vectors."),
        (
            PyHNSW,
            "insert",
            "($self, vector, metadata=None)",
            "Insert a vector into the index.\n\nThe vector is expected as a list of floats.\n"
            "Optionally, metadata can be provided as a list of tuples, e.g.:\n"
            '`[("color", "blue"), ("size", 42)]`',
        ),
        (
            PyHNSW,
            "search",
            "($self, query, k=None, filter=None)",
            "Search for the k nearest neighbors.\n\nReturns a list of tuples `(distance, vector)`.",
        ),
        (PyHNSW, "create", "($self, vectors, metadata=None)", None),
    ],
)
def test_method_docs_and_signatures(cls, method, signature, doc):
    fn = getattr(cls, method)
    assert fn.__text_signature__ == signature
    assert fn.__doc__ == doc
    params = signature[len("($self, ") : -1]
    assert str(inspect.signature(fn)) == f"(self, /, {params})"


def test_bound_method_signatures():
    assert str(inspect.signature(PyFlat(2).search)) == "(query, k=None)"
    assert str(inspect.signature(PyFlat(2).create)) == "(vectors)"


@pytest.mark.parametrize("cls", [PyFlat, PyHNSW])
def test_not_subclassable(cls):
    with pytest.raises(TypeError):
        type("Sub", (cls,), {})


def test_instances_have_no_dict_or_weakrefs():
    obj = PyFlat(2)
    with pytest.raises(AttributeError):
        obj.extra = 1
    with pytest.raises(AttributeError):
        obj.__dict__
    with pytest.raises(TypeError):
        weakref.ref(obj)


def test_second_init_returns_same_module():
    init = ctypes.PyDLL(hobrin.__file__).PyInit_hobrin
    init.restype = ctypes.py_object
    again = init()
    assert again is hobrin
    assert again.PyFlat is PyFlat and again.PyHNSW is PyHNSW
    assert hobrin.__all__ == ["PyFlat", "PyHNSW"]  # populate did not run again


def test_import_from_second_interpreter_fails():
    interpreters = pytest.importorskip("_xxsubinterpreters")
    interp = interpreters.create()
    try:
        with pytest.raises(interpreters.RunFailedError) as info:
            interpreters.run_string(interp, "import hobrin")
        assert "ImportError" in str(info.value)
    finally:
        interpreters.destroy(interp)
    idx = PyFlat(2)
    idx.insert([3, 4])
    assert idx.search([0, 0]) == [(0, 5.0)]
