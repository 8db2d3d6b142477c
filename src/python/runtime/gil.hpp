#pragma once
// Runs native work with the interpreter's lock released, so that other Python
// threads go on meanwhile. The work must not touch Python objects; whatever it
// throws is rethrown once the lock is held again.
#include <exception>
#include <optional>
#include <type_traits>
#include <utility>

#include "python/runtime/python.hpp"

namespace hobrin::py {

template <class Work>
auto without_gil(Work&& work) -> std::invoke_result_t<Work> {
  using Result = std::invoke_result_t<Work>;
  std::exception_ptr error;
  std::optional<Result> result;
  Py_BEGIN_ALLOW_THREADS try { result.emplace(work()); } catch (...) {
    error = std::current_exception();
  }
  Py_END_ALLOW_THREADS if (error) std::rethrow_exception(error);
  return *std::move(result);
}

}  // namespace hobrin::py
