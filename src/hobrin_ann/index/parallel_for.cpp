#include "hobrin_ann/index/parallel_for.hpp"

#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <thread>
#include <vector>

#include "hobrin_ann/index/thread_ready.hpp"

namespace hobrin::ann {

std::size_t resolve_threads(std::size_t threads) noexcept {
  if (threads != 0) return threads;
  return std::max<std::size_t>(1, std::thread::hardware_concurrency());
}

void parallel_for(std::size_t count, std::size_t threads,
                  const std::function<void(std::size_t, std::size_t)>& task) {
  const std::size_t workers = std::min(resolve_threads(threads), count);
  if (workers <= 1) {
    for (std::size_t i = 0; i < count; ++i) task(0, i);
    return;
  }
  std::atomic<std::size_t> next{0};
  std::exception_ptr failure;
  std::mutex failure_mutex;
  auto work = [&](std::size_t worker) {
    try {
      for (std::size_t i; (i = next.fetch_add(1, std::memory_order_relaxed)) < count;) task(worker, i);
    } catch (...) {
      std::lock_guard lock(failure_mutex);
      if (!failure) failure = std::current_exception();
      next.store(count, std::memory_order_relaxed);
    }
  };
  // A helper whose runtime state cannot be set up leaves its share to the
  // others: running tasks, which may throw, would risk the process.
  auto help = [&work](std::size_t worker) {
    if (prepare_thread()) work(worker);
  };
  {
    std::vector<std::thread> helpers;
    // Joins the helpers on every way out of this block: a thread destroyed
    // while still joinable would end the process.
    struct JoinAll {
      std::vector<std::thread>& threads;
      ~JoinAll() {
        for (std::thread& t : threads) {
          if (t.joinable()) t.join();
        }
      }
    } join_all{helpers};
    try {
      helpers.reserve(workers - 1);
      for (std::size_t w = 1; w < workers; ++w) helpers.emplace_back(help, w);
    } catch (...) {
      // Out of memory or threads (a thread's stack is mapped when it starts):
      // the helpers started and this thread finish the work.
    }
    work(0);
  }
  if (failure) std::rethrow_exception(failure);
}

}  // namespace hobrin::ann
