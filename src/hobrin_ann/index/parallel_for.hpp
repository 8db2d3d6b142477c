#pragma once
// Runs task(worker, i) for every i below `count` on up to `threads` threads,
// the calling thread being worker 0. Tasks are handed out in order from a
// shared counter, so a single worker runs them exactly in order. The first
// exception stops the hand-out and is rethrown once every worker is done.
// Threads that cannot be started, or whose runtime state cannot be set up
// (thread_ready.hpp), are done without: the work is then shared by fewer.
// The calling thread must have passed prepare_thread().
#include <cstddef>
#include <functional>

namespace hobrin::ann {

// The number of threads `threads` asks for: 0 means one per core.
std::size_t resolve_threads(std::size_t threads) noexcept;

void parallel_for(std::size_t count, std::size_t threads,
                  const std::function<void(std::size_t, std::size_t)>& task);

}  // namespace hobrin::ann
