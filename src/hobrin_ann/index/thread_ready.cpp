#include "hobrin_ann/index/thread_ready.hpp"

#include <cstdlib>
#include <exception>

namespace hobrin::ann {

namespace {
// More than the runtime's lazy allocations take (the library's block of
// thread-locals is a few dozen bytes, a grown table a few hundred), so that
// the probe failing is the only way they could fail.
constexpr std::size_t kProbeBytes = 4096;
}  // namespace

bool prepare_thread() noexcept {
  // A probe that fails softly, freed just before the allocations that would
  // fail fatally: they then take the memory the probe had.
  void* volatile probe = std::malloc(kProbeBytes);
  if (probe == nullptr) return false;
  std::free(probe);
  // Reads the exception globals, so that their block (and an up-to-date
  // table of blocks) is allocated now if it was not yet.
  [[maybe_unused]] volatile int in_flight = std::uncaught_exceptions();
  return true;
}

}  // namespace hobrin::ann
