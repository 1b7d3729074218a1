// The lock of a card block's registers. Every port access takes it for a few dozen
// instructions, far less than a system mutex costs to take and give back, so it spins: on a
// short wait with relaxed reads, then by yielding (the holder may have been preempted).
#pragma once

#include <atomic>
#include <thread>

namespace sim::card {

class SpinMutex {
 public:
  void lock() noexcept {
    while (held_.exchange(true, std::memory_order_acquire)) {
      for (int spins = 0; held_.load(std::memory_order_relaxed); ++spins) {
        if (spins >= kSpinsBeforeYield) std::this_thread::yield();
      }
    }
  }
  bool try_lock() noexcept { return !held_.exchange(true, std::memory_order_acquire); }
  void unlock() noexcept { held_.store(false, std::memory_order_release); }

 private:
  static constexpr int kSpinsBeforeYield = 64;
  std::atomic<bool> held_{false};
};

}  // namespace sim::card
