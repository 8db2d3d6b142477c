#pragma once
// Scratch kept between calls, so that searches and additions reuse their
// buffers. A call takes a lease of one scratch per worker; the lease gives
// them back when it ends, however the call ends.
#include <cstddef>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "hobrin_ann/core/core.hpp"

namespace hobrin::ann {

template <class Store>
class ScratchPool {
 public:
  using Set = std::vector<std::unique_ptr<Scratch<Store>>>;

  class Lease {
   public:
    Lease(const ScratchPool& pool, Set set) noexcept : pool_(&pool), set_(std::move(set)) {}
    Lease(Lease&& other) noexcept : pool_(other.pool_), set_(std::move(other.set_)) {}
    Lease& operator=(Lease&&) = delete;
    ~Lease() { pool_->give_back(set_); }
    Scratch<Store>& operator[](std::size_t worker) const noexcept { return *set_[worker]; }

    // Makes up `workers` scratch and gives each room; throws std::bad_alloc.
    void fill(const Store& store, std::size_t workers, std::size_t nodes, std::size_t max_links,
              std::size_t ef) {
      while (set_.size() < workers) set_.push_back(std::make_unique<Scratch<Store>>(store));
      for (auto& scratch : set_) scratch->prepare(nodes, max_links, ef);
    }

   private:
    const ScratchPool* pool_;
    Set set_;
  };

  // Scratch for `workers` threads over `nodes` nodes with lists of up to
  // `max_links` and an insertion's list of `ef`; throws std::bad_alloc.
  Lease lease(const Store& store, std::size_t workers, std::size_t nodes, std::size_t max_links,
              std::size_t ef) const {
    Set set;
    set.reserve(workers);
    {
      std::lock_guard lock(mutex_);
      while (set.size() < workers && !kept_.empty()) {
        set.push_back(std::move(kept_.back()));
        kept_.pop_back();
      }
    }
    Lease lease(*this, std::move(set));
    lease.fill(store, workers, nodes, max_links, ef);
    return lease;
  }

 private:
  void give_back(Set& set) const noexcept {
    std::lock_guard lock(mutex_);
    try {
      for (auto& scratch : set) {
        if (scratch) kept_.push_back(std::move(scratch));
      }
    } catch (...) {
      // A full pool only means the scratch is freed instead of kept.
    }
    set.clear();
  }

  mutable std::mutex mutex_;
  mutable Set kept_;  // scratch left by finished calls
};

}  // namespace hobrin::ann
