#pragma once
// The per-instance access flag: 0 free, n > 0 for n shared accesses, -1 for one
// exclusive access. Python code run during a call (a user's __float__, say) can
// call back into the same instance; the flag turns that into a clean error.
#include <atomic>
#include <utility>

#include "python/runtime/error.hpp"

namespace hobrin::py {

class AccessFlag {
 public:
  PyResult<void> acquire_shared() noexcept {
    Py_ssize_t current = state_.load(std::memory_order_relaxed);
    do {
      if (current == kExclusive) return fail(PyErr::runtime_error("Already mutably borrowed"));
    } while (!state_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return {};
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }

  PyResult<void> acquire_exclusive() noexcept {
    Py_ssize_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      return fail(PyErr::runtime_error("Already borrowed"));
    }
    return {};
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  static constexpr Py_ssize_t kExclusive = -1;
  std::atomic<Py_ssize_t> state_{0};
};
static_assert(sizeof(AccessFlag) == sizeof(void*), "the access flag is one machine word");

enum class Access { Shared, Exclusive };

// Holds an access for its lifetime, together with a reference to the instance.
template <Access kind>
class AccessGuard {
 public:
  static PyResult<AccessGuard> acquire(PyObject* owner, AccessFlag& flag) {
    auto taken = kind == Access::Shared ? flag.acquire_shared() : flag.acquire_exclusive();
    if (!taken) return fail(std::move(taken.error()));
    return AccessGuard(owner, flag);
  }
  AccessGuard(AccessGuard&& other) noexcept
      : owner_(std::move(other.owner_)), flag_(std::exchange(other.flag_, nullptr)) {}
  AccessGuard(const AccessGuard&) = delete;
  AccessGuard& operator=(const AccessGuard&) = delete;
  AccessGuard& operator=(AccessGuard&&) = delete;
  ~AccessGuard() {
    if (flag_ == nullptr) return;
    if constexpr (kind == Access::Shared)
      flag_->release_shared();
    else
      flag_->release_exclusive();
  }

 private:
  AccessGuard(PyObject* owner, AccessFlag& flag) : owner_(PyRef::borrow(owner)), flag_(&flag) {}
  PyRef owner_;  // released after the flag: members are destroyed after the body
  AccessFlag* flag_;
};

}  // namespace hobrin::py
