// hobrin_ann._core.GraphIndex: saving, loading, and the bytes pickles hold.
#include <array>
#include <cerrno>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "hobrin_ann/format/file_io.hpp"
#include "python/hobrin_ann/index_payload.hpp"
#include "python/runtime/gil.hpp"

namespace hobrin::py {
namespace {

using ann::GraphIndex;

constexpr const char* kSaveParameters[] = {"path", "ef_search"};
constexpr const char* kEfParameters[] = {"ef_search"};
constexpr const char* kLoadParameters[] = {"path", "mmap", "verify"};
constexpr const char* kDataParameters[] = {"data"};
constexpr FunctionDescription kSave{"GraphIndex", "save", kSaveParameters, 2};
constexpr FunctionDescription kToBytes{"GraphIndex", "to_bytes", kEfParameters, 1};
constexpr FunctionDescription kLoad{"GraphIndex", "load", kLoadParameters, 3};
constexpr FunctionDescription kFromBytes{"GraphIndex", "from_bytes", kDataParameters, 1};

// (GraphIndex, ef_search) for a loaded index.
PyResult<PyRef> loaded_pair(GraphIndex::Loaded loaded) {
  HOBRIN_TRY(PyRef index, wrap_index(std::move(loaded.index)));
  PyRef ef = PyRef::steal(checked(PyLong_FromUnsignedLongLong(loaded.ef_search)));
  return PyRef::steal(checked(PyTuple_Pack(2, index.get(), ef.get())));
}

// A file system path (str, encoded as the file system wants, or bytes),
// without NUL characters.
PyResult<std::string> path_argument(PyObject* object) {
  PyRef encoded;
  if (PyUnicode_Check(object)) {
    encoded = PyRef::steal(PyUnicode_EncodeFSDefault(object));
    if (!encoded) return fetch_error();
    object = encoded.get();
  }
  if (!PyBytes_Check(object)) return fail(PyErr::type_mismatch(object, "PyBytes"));
  const std::string path(PyBytes_AS_STRING(object), static_cast<std::size_t>(PyBytes_GET_SIZE(object)));
  if (path.find('\0') != std::string::npos) return fail(PyErr::value_error("embedded null byte"));
  return path;
}

// OSError(errno, message, path): the interpreter picks the subclass for errno.
PyResult<None> os_error(const ann::FileError& error, PyObject* path) {
  const std::string message = !error.detail.empty()
                                  ? error.detail
                                  : std::string(std::strerror(error.code)) + " (while " + error.action + ")";
  PyRef args = PyRef::steal(checked(Py_BuildValue("(isO)", error.code, message.c_str(), path)));
  PyErr_SetObject(PyExc_OSError, args.get());
  return fetch_error();
}

PyErr corrupt_error(const std::string& what) { return PyErr::value_error("corrupt index file: " + what); }

}  // namespace

PyResult<None> check_mapping(const ann::GraphIndex& index) {
  if (!index.read_only()) return None{};
  const auto changed = index.mapping_changed();
  if (!changed) return None{};
  PyRef args = PyRef::steal(checked(Py_BuildValue("(is)", ESTALE, changed->c_str())));
  PyErr_SetObject(PyExc_OSError, args.get());
  return fetch_error();
}

PyObject* index_save(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 2>(
      py_index_type(), kSave, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 2> slots) -> PyResult<None> {
        HOBRIN_TRY(auto path, path_argument(slots[0]));
        HOBRIN_TRY(auto ef_search, extract_argument<std::uint64_t>(slots[1], "ef_search"));
        HOBRIN_CHECK(check_mapping(*p.index));
        const auto saved = without_gil([&] {
          return ann::save_file(path, [&](ann::ByteSink& sink) { p.index->save(sink, ef_search); });
        });
        if (!saved) return os_error(saved.error(), slots[0]);
        return None{};
      });
}

PyObject* index_to_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return call_method<IndexPayload, Access::Shared, 1>(
      py_index_type(), kToBytes, self, args, nargs, kwnames,
      [](IndexPayload& p, std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        HOBRIN_TRY(auto ef_search, extract_argument<std::uint64_t>(slots[0], "ef_search"));
        HOBRIN_CHECK(check_mapping(*p.index));
        ann::StringSink sink;
        without_gil([&] {
          // The file is smaller than the index in memory but for the metadata.
          sink.bytes.reserve(p.index->memory_bytes());
          p.index->save(sink, ef_search);
          return 0;
        });
        return PyRef::steal(checked(
            PyBytes_FromStringAndSize(sink.bytes.data(), static_cast<Py_ssize_t>(sink.bytes.size()))));
      });
}

namespace {

// The static methods: no receiver, a new index back.
template <std::size_t N, class Body>
PyObject* static_method(const FunctionDescription& description, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, Body&& body) {
  return trampoline<PyObject*>(nullptr, [&]() -> PyResult<PyObject*> {
    std::array<PyObject*, N> slots{};
    HOBRIN_CHECK(extract_arguments_fastcall(description, args, nargs, kwnames, slots));
    HOBRIN_TRY(PyRef result, body(std::span<PyObject*, N>(slots)));
    return result.release();
  });
}

using ReadIndex = std::function<void(ann::ByteSource&)>;

// Loads without the interpreter's lock: open(read) gives `read` a source and
// reports an I/O failure, raised as OSError naming `path`.
template <class Open>
PyResult<PyRef> load_with(PyObject* path, Open&& open, const ann::LoadOptions& options = {}) {
  std::optional<GraphIndex::Loaded> loaded;
  std::string corrupt;
  const auto opened = without_gil([&] {
    return open([&](ann::ByteSource& source) {
      try {
        loaded.emplace(GraphIndex::load(source, options));
      } catch (const ann::CorruptIndex& error) {
        corrupt = error.what();
      }
    });
  });
  if (!opened) HOBRIN_CHECK(os_error(opened.error(), path));
  if (!loaded) return fail(corrupt_error(corrupt));
  return loaded_pair(*std::move(loaded));
}

}  // namespace

PyObject* index_load(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return static_method<3>(kLoad, args, nargs, kwnames, [](std::span<PyObject*, 3> slots) -> PyResult<PyRef> {
    HOBRIN_TRY(auto path, path_argument(slots[0]));
    // The package passes real bools.
    const ann::LoadOptions options{slots[1] == Py_True, slots[2] == Py_True};
    if (options.map)
      return load_with(slots[0], [&](const ReadIndex& read) { return ann::map_file(path, read); }, options);
    return load_with(slots[0], [&](const ReadIndex& read) { return ann::read_file(path, read); }, options);
  });
}

PyObject* index_from_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return static_method<1>(
      kFromBytes, args, nargs, kwnames, [](std::span<PyObject*, 1> slots) -> PyResult<PyRef> {
        PyObject* argument = slots[0];
        Py_buffer view;
        if (PyObject_GetBuffer(argument, &view, PyBUF_SIMPLE) != 0) return fetch_error();
        struct Release {
          Py_buffer* view;
          ~Release() { PyBuffer_Release(view); }
        } release{&view};
        const std::span<const std::byte> bytes(static_cast<const std::byte*>(view.buf),
                                               static_cast<std::size_t>(view.len));
        return load_with(argument, [&](const ReadIndex& read) -> std::expected<void, ann::FileError> {
          ann::MemorySource source(bytes);
          read(source);
          return {};
        });
      });
}

}  // namespace hobrin::py
