// Drives the entry wrappers with faults that no public input can cause: a probe
// module built from the binding layer runs inside an embedded interpreter.
#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

#include "common/capacity.hpp"

#include "python/runtime/pyclass.hpp"

extern "C" PyObject* PyInit_hobrin();

namespace hobrin::py {
namespace {

struct Probe {
  bool fault_on_destruction = false;
};

LazyTypeObject& probe_type();

constexpr const char* kNewParameters[] = {"fault_on_destruction"};
constexpr const char* kNoParameters[] = {"unused"};
constexpr FunctionDescription kNew{"Probe", "__new__", kNewParameters, 0};
constexpr FunctionDescription kFault{"Probe", "fault", kNoParameters, 0};
constexpr FunctionDescription kCall{"Probe", "call", kNoParameters, 1};

PyObject* probe_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return construct<Probe, 1>(
      kNew, subtype, args, kwargs, [](std::span<PyObject*, 1> slots) -> PyResult<Probe> {
        HOBRIN_TRY(auto fault, extract_optional_argument<std::uint64_t>(slots[0], "fault_on_destruction"));
        return Probe{fault.value_or(0) != 0};
      });
}

void probe_dealloc(PyObject* object) {
  // Destroying the payload first would lose the flag; read it, then fault or free.
  auto* instance = reinterpret_cast<Instance<Probe>*>(object);
  if (!instance->payload.fault_on_destruction) return tp_dealloc_impl<Probe>(object);
  instance->payload.fault_on_destruction = false;
  trampoline_unraisable([] { throw InternalFault("fault in a destructor"); });
  tp_dealloc_impl<Probe>(object);
}

// Takes the exclusive access, then faults.
PyObject* probe_fault(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Probe, Access::Exclusive, 1>(
      probe_type(), kFault, self, args, nargs, kwnames,
      [](Probe&, std::span<PyObject*, 1>) -> PyResult<None> { throw InternalFault("probe fault"); });
}

// Calls its argument and fetches whatever it raised.
PyObject* probe_call(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<Probe, Access::Shared, 1>(probe_type(), kCall, self, args, nargs, kwnames,
                                               [](Probe&, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
                                                 PyRef result = PyRef::steal(PyObject_CallNoArgs(slots[0]));
                                                 if (!result) return fetch_error();
                                                 return result;
                                               });
}

PyMethodDef kMethods[] = {
    fast_method("fault", probe_fault, nullptr),
    fast_method("call", probe_call, nullptr),
    {nullptr, nullptr, 0, nullptr},
};

const ClassDefinition kDefinition{
    .module = "probe",
    .name = "Probe",
    .text_signature = "(fault_on_destruction=None)",
    .doc_body = "",
    .methods = kMethods,
    .tp_new = probe_new,
    .tp_dealloc = probe_dealloc,
    .basic_size = sizeof(Instance<Probe>),
};

LazyTypeObject& probe_type() {
  static LazyTypeObject cell(kDefinition);
  return cell;
}

PyModuleDef probe_module_def = {
    PyModuleDef_HEAD_INIT, "probe", nullptr, 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* PyInit_probe() {
  return trampoline<PyObject*>(nullptr, []() -> PyResult<PyObject*> {
    PyRef module = PyRef::steal(PyModule_Create(&probe_module_def));
    if (!module) return fetch_error();
    HOBRIN_CHECK(add_class(module.get(), probe_type()));
    return module.release();
  });
}

// The namespace that run() executes in, shared by all tests.
PyObject* namespace_dict() {
  static PyObject* globals = [] {
    PyObject* g = PyDict_New();
    PyDict_SetItemString(g, "__builtins__", PyEval_GetBuiltins());
    return g;
  }();
  return globals;
}

// Runs Python statements; returns "" or the text of the error they raised.
std::string run(const std::string& code) {
  PyRef result = PyRef::steal(PyRun_String(code.c_str(), Py_file_input, namespace_dict(), namespace_dict()));
  if (result) return "";
  PyErr error = PyErr::fetch();
  return error.message_text();
}

class Embedded : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_EQ(run("import hobrin, probe, sys"), ""); }
};

TEST_F(Embedded, FaultBecomesFaultException) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run("p = probe.Probe()\n"
                "try:\n"
                "    p.fault()\n"
                "except Exception:\n"
                "    raise AssertionError('caught as Exception')\n"
                "except BaseException as e:\n"
                "    saved = e\n"
                "t = type(saved)\n"
                "assert (t.__module__, t.__name__) == ('native_runtime', 'FaultException'), t\n"
                "assert t.__bases__ == (BaseException,)\n"
                "assert saved.args == ('probe fault',), saved.args\n"
                "assert 'internal fault' in t.__doc__ and t.__doc__.startswith('\\n')\n"
                "assert not hasattr(hobrin, 'FaultException')\n"),
            "");
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("probe fault"), std::string::npos) << report;
}

TEST_F(Embedded, AccessIsFreeAfterAFault) {
  EXPECT_EQ(run("p = probe.Probe()\n"
                "for _ in range(3):\n"
                "    try:\n"
                "        p.fault()\n"
                "    except BaseException as e:\n"
                "        assert type(e).__name__ == 'FaultException'\n"
                "assert p.call(lambda: 7) == 7\n"),
            "");
}

TEST_F(Embedded, DestructorFaultGoesToTheUnraisableHook) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run("seen = []\n"
                "sys.unraisablehook = seen.append\n"
                "p = probe.Probe(1)\n"
                "del p\n"
                "sys.unraisablehook = sys.__unraisablehook__\n"
                "assert len(seen) == 1, seen\n"
                "assert type(seen[0].exc_value).__name__ == 'FaultException'\n"
                "assert seen[0].object is None\n"
                "assert str(seen[0].exc_value) == 'fault in a destructor'\n"),
            "");
  testing::internal::GetCapturedStderr();
}

TEST_F(Embedded, FaultComingBackThroughPythonIsResumed) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(run("p = probe.Probe()\n"
                "try:\n"
                "    p.fault()\n"
                "except BaseException as e:\n"
                "    saved = e\n"
                "def callback():\n"
                "    raise saved\n"
                "try:\n"
                "    p.call(callback)\n"
                "except BaseException as e:\n"
                "    resumed = e\n"
                "assert type(resumed) is type(saved)\n"
                "assert resumed is not saved and resumed.args == ('probe fault',)\n"
                "assert p.call(lambda: 1) == 1\n"),
            "");
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("resuming an internal fault"), std::string::npos) << report;
  EXPECT_NE(report.find("Python stack trace below:"), std::string::npos) << report;
  EXPECT_NE(report.find("in callback"), std::string::npos) << report;
}

TEST_F(Embedded, OtherErrorsPassThroughUnchanged) {
  EXPECT_EQ(run("p = probe.Probe()\n"
                "def boom():\n"
                "    raise KeyError('k')\n"
                "try:\n"
                "    p.call(boom)\n"
                "except KeyError as e:\n"
                "    assert e.__traceback__ is not None\n"
                "else:\n"
                "    raise AssertionError('no error')\n"),
            "");
}

TEST_F(Embedded, UnprintableObjectsGetAPlaceholder) {
  ASSERT_EQ(run("bad = type('Bad', (), {'__str__': lambda self: 1 / 0})()"), "");
  PyObject* bad = PyDict_GetItemString(namespace_dict(), "bad");
  ASSERT_NE(bad, nullptr);
  testing::internal::CaptureStderr();
  EXPECT_EQ(display_text(bad), "<unprintable Bad object>");
  const std::string report = testing::internal::GetCapturedStderr();
  EXPECT_NE(report.find("ZeroDivisionError"), std::string::npos) << report;
  EXPECT_FALSE(PyErr_Occurred());
}

TEST_F(Embedded, FetchWithNothingPendingIsASystemError) {
  PyErr error = PyErr::fetch();
  EXPECT_TRUE(error.is_exactly(PyExc_SystemError));
  EXPECT_EQ(error.message_text(), "attempted to fetch exception but none was set");
}

TEST_F(Embedded, ArgumentPrefixKeepsTheCauseOfTheFailedTypeError) {
  PyRef cause =
      PyRef::steal(PyObject_CallOneArg(PyExc_KeyError, PyRef::steal(PyUnicode_FromString("c")).get()));
  PyErr failed([] { return PyExc_TypeError; }, "inner", cause);
  PyErr rewritten = argument_extraction_error("vector", std::move(failed));
  EXPECT_TRUE(rewritten.is_exactly(PyExc_TypeError));
  EXPECT_EQ(rewritten.message_text(), "argument 'vector': inner");
  EXPECT_EQ(rewritten.cause().get(), cause.get());
  PyErr other = argument_extraction_error("vector", PyErr::value_error("kept"));
  EXPECT_EQ(other.message_text(), "kept");
}

// A class whose module name cannot become a str fails with the decoding
// error, and is not created half-way without its __module__.
TEST_F(Embedded, UndecodableModuleNameFailsTheClass) {
  static const ClassDefinition undecodable{
      .module = "\xff",
      .name = "Undecodable",
      .text_signature = "()",
      .doc_body = "",
      .methods = kMethods,
      .tp_new = probe_new,
      .tp_dealloc = probe_dealloc,
      .basic_size = sizeof(Instance<Probe>),
  };
  LazyTypeObject cell(undecodable);
  auto type = cell.get_or_create();
  ASSERT_FALSE(type);
  EXPECT_TRUE(type.error().is_exactly(PyExc_UnicodeDecodeError)) << type.error().message_text();
  EXPECT_FALSE(PyErr_Occurred());
}

// Running out of memory and reaching an index's size limit both raise
// MemoryError; only the limit has a message, naming it.
TEST_F(Embedded, CapacityLimitIsAMemoryErrorWithItsMessage) {
  const auto raised = [](auto thrower) {
    PyObject* result = trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
      thrower();
      return nullptr;
    });
    EXPECT_EQ(result, nullptr);
    PyErr error = PyErr::fetch();
    EXPECT_TRUE(error.is_exactly(PyExc_MemoryError)) << error.message_text();
    return error.message_text();
  };
  EXPECT_EQ(raised([] { throw CapacityExceeded("a graph index holds at most 2^32 - 1 vectors"); }),
            "a graph index holds at most 2^32 - 1 vectors");
  EXPECT_EQ(raised([] { throw std::length_error("vector::reserve"); }), "");
  EXPECT_EQ(raised([] { throw std::bad_alloc(); }), "");
}

// Signed 64-bit conversion: the full range, and OverflowError just outside it.
TEST_F(Embedded, SignedIntegersConvertOverSixtyFourBits) {
  const auto convert = [](const char* digits) {
    PyRef number = PyRef::steal(PyLong_FromString(digits, nullptr, 10));
    return FromPy<std::int64_t>::extract(number.get());
  };
  EXPECT_EQ(convert("9223372036854775807").value(), INT64_MAX);
  EXPECT_EQ(convert("-9223372036854775808").value(), INT64_MIN);
  EXPECT_EQ(convert("-1").value(), -1);
  for (const char* outside : {"9223372036854775808", "-9223372036854775809"}) {
    auto converted = convert(outside);
    ASSERT_FALSE(converted) << outside;
    EXPECT_TRUE(converted.error().is_exactly(PyExc_OverflowError));
  }
}

}  // namespace
}  // namespace hobrin::py

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  PyImport_AppendInittab("hobrin", PyInit_hobrin);
  PyImport_AppendInittab("probe", hobrin::py::PyInit_probe);
  Py_Initialize();
  const int status = RUN_ALL_TESTS();
  Py_FinalizeEx();
  return status;
}
