// parallel_for when threads cannot be had: the calling thread does the work,
// and a task's exception reaches the caller once every worker has stopped.
#include "hobrin_ann/index/parallel_for.hpp"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "hobrin_ann/index/thread_ready.hpp"

namespace hobrin::ann {
namespace {

std::size_t address_space() {
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmSize:")) return std::stoul(line.substr(7)) * 1024;
  }
  return 0;
}

// The exit code of `body()` run in a forked copy of this process whose
// address space may grow by `headroom` bytes only.
template <class Body>
int run_under_limit(std::size_t headroom, Body body) {
  const pid_t pid = fork();
  if (pid == 0) {
    rlimit limit{};
    getrlimit(RLIMIT_AS, &limit);
    limit.rlim_cur = address_space() + headroom;
    if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
    _exit(body());
  }
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST(ParallelFor, RunsEveryTaskOnTheCallerWhenNoThreadCanStart) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "the sanitizer's allocator ends the process when it runs out";
#endif
  // A new thread's stack (megabytes) cannot be mapped with 256 KiB to spare;
  // stacks that earlier tests left in the C library's cache may still serve.
  const int code = run_under_limit(256 << 10, [] {
    if (!prepare_thread()) return 3;
    std::vector<std::atomic<int>> runs(1000);
    try {
      parallel_for(runs.size(), 8, [&](std::size_t, std::size_t i) { ++runs[i]; });
    } catch (...) {
      return 4;
    }
    return std::all_of(runs.begin(), runs.end(), [](const auto& n) { return n == 1; }) ? 0 : 5;
  });
  EXPECT_EQ(code, 0);
}

TEST(ParallelFor, PassesAnExceptionOnOnlyOnceEveryWorkerHasStopped) {
  // Task 0 is slow and task 1 fails at once, on another worker when there is one.
  std::atomic<bool> slow_done{false};
  EXPECT_THROW(parallel_for(1000, 4,
                            [&](std::size_t, std::size_t i) {
                              if (i == 0) {
                                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                                slow_done = true;
                              }
                              if (i == 1) throw std::bad_alloc();
                            }),
               std::bad_alloc);
  EXPECT_TRUE(slow_done);
}

}  // namespace
}  // namespace hobrin::ann
