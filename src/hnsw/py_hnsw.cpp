#include "py_hnsw.hpp"

namespace hobrin::py {
namespace {

struct Pending {};
using PyHNSW = Instance<Pending>;

constexpr const char* kNewParameters[] = {"dim", "layers", "m", "ef_construction", "ef_search", "metric", "schema"};
constexpr FunctionDescription kNew{"PyHNSW", "__new__", kNewParameters, 1};

PyObject* hnsw_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct<Pending, 7>(kNew, subtype, args, kwargs, [](std::span<PyObject*, 7>) -> PyResult<Pending> {
    return fail(PyErr([] { return PyExc_NotImplementedError; }, "PyHNSW is not available yet"));
  });
}

PyMethodDef kMethods[] = {{nullptr, nullptr, 0, nullptr}};

const ClassSpec kSpec{
    .name = "PyHNSW",
    .text_signature = "(dim, layers=None, m=None, ef_construction=None, ef_search=None, metric=None, schema=None)",
    .doc_body = "",
    .methods = kMethods,
    .tp_new = hnsw_new,
    .tp_dealloc = tp_dealloc_impl<Pending>,
    .basic_size = sizeof(PyHNSW),
};

}  // namespace

LazyTypeObject& py_hnsw_type() {
  static LazyTypeObject cell(kSpec);
  return cell;
}

}  // namespace hobrin::py
