#pragma once
// Entry wrappers: every call from the interpreter runs its body inside one, so
// that errors become the current Python exception and nothing native escapes.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <new>
#include <stdexcept>
#include <type_traits>

#include "common/capacity.hpp"
#include "common/fault.hpp"
#include "python/runtime/error.hpp"

namespace hobrin::py {

namespace detail {

constexpr const char* kGenericFault = "an internal fault occurred in native code";

[[noreturn]] inline void abort_uncaught() {
  std::fputs("hobrin: an uncaught internal fault reached the boundary to the interpreter; aborting\n",
             stderr);
  std::abort();
}

// Turns the exception in flight into the current Python exception.
inline void raise_current_exception() noexcept {
  try {
    try {
      throw;
    } catch (const InternalFault& fault) {
      raise_fault(fault.what());
    } catch (const std::bad_alloc&) {
      PyErr_NoMemory();
    } catch (const CapacityExceeded& error) {
      PyErr_SetString(PyExc_MemoryError, error.what());
    } catch (const std::length_error&) {
      PyErr_NoMemory();
    } catch (const std::exception& error) {
      std::fprintf(stderr, "hobrin: internal fault: %s\n", error.what());
      raise_fault(error.what());
    } catch (...) {
      std::fprintf(stderr, "hobrin: internal fault: %s\n", kGenericFault);
      raise_fault(kGenericFault);
    }
  } catch (...) {
    abort_uncaught();
  }
}

}  // namespace detail

// Runs `body`, which returns PyResult<R>. Success returns the value; an error
// value or an internal fault is raised and `failure` is returned.
template <class R, class Body>
R trampoline(R failure, Body&& body) noexcept {
  try {
    auto result = body();
    if (result) return *std::move(result);
    std::move(result.error()).restore();
  } catch (...) {
    detail::raise_current_exception();
  }
  return failure;
}

// For the destructor: a failure is reported through the unraisable hook and
// the call returns normally.
template <class Body>
void trampoline_unraisable(Body&& body) noexcept {
  try {
    body();
    return;
  } catch (...) {
    detail::raise_current_exception();
  }
  PyErr_WriteUnraisable(nullptr);
}

}  // namespace hobrin::py
