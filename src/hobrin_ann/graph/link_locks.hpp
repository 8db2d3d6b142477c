#pragma once
// Locks for link lists during parallel insertion: one spin lock per stripe of
// nodes (node id modulo the stripe count), so the memory does not grow with
// the index. A thread holds at most one at a time, so stripes cannot deadlock.
#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <thread>

namespace hobrin::ann {

// Tells the core that this thread is spinning, so that it saves power and
// lends its pipeline to a sibling hardware thread: pause on x86-64, yield on
// aarch64, nothing where no such hint is known.
inline void spin_pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

class LinkLocks {
 public:
  class Held {
   public:
    explicit Held(std::atomic<bool>* lock) noexcept : lock_(lock) {
      if (lock_ == nullptr) return;
      // Lists are held for a few microseconds; past that the holder was
      // probably descheduled, so give up the core instead of spinning on.
      for (unsigned spins = 0; lock_->exchange(true, std::memory_order_acquire);) {
        while (lock_->load(std::memory_order_relaxed)) {
          if (++spins < 1024)
            spin_pause();
          else
            std::this_thread::yield();
        }
      }
    }
    ~Held() {
      if (lock_ != nullptr) lock_->store(false, std::memory_order_release);
    }
    Held(const Held&) = delete;
    Held& operator=(const Held&) = delete;

   private:
    std::atomic<bool>* lock_;
  };

  // Locks the node's stripe when `enabled` (parallel insertion), else nothing.
  Held hold(std::uint32_t node, bool enabled) noexcept {
    return Held(enabled ? &stripes_[node % kStripes].lock : nullptr);
  }

 private:
  static constexpr std::size_t kStripes = 1024;
  // One lock per cache line, so that threads taking different locks do not
  // pull the same line back and forth.
  struct alignas(64) Stripe {
    std::atomic<bool> lock{false};
  };
  std::array<Stripe, kStripes> stripes_{};
};

}  // namespace hobrin::ann
