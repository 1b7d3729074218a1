// The remove lock on its own, with real threads racing the removal.
#include <atomic>
#include <chrono>
#include <future>
#include <thread>
#include <vector>

#include "driver_test.h"
#include "sim/kernel.h"

namespace {

using namespace std::chrono_literals;

class RemoveLockTest : public testing::Test {
 protected:
  void SetUp() override { sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110); }
  void TearDown() override { sim::kernel::Shutdown(); }

  LONG Count() { return __atomic_load_n(&lock_.Count, __ATOMIC_SEQ_CST); }
  REMOVE_LOCK lock_{};
};

TEST_F(RemoveLockTest, AcquireAndReleaseCountWithoutSignalling) {
  InitializeRemoveLock(&lock_);
  EXPECT_EQ(Count(), 1);
  EXPECT_FALSE(lock_.Removing);
  EXPECT_EQ(AcquireRemoveLock(&lock_), STATUS_SUCCESS);
  EXPECT_EQ(Count(), 2);
  ReleaseRemoveLock(&lock_);
  EXPECT_EQ(Count(), 1);
  EXPECT_EQ(KeReadStateEvent(&lock_.StopEvent), 0);
}

TEST_F(RemoveLockTest, RemovalWithNoOtherHolderReturnsAtOnceAndRefusesLaterAcquires) {
  InitializeRemoveLock(&lock_);
  ASSERT_EQ(AcquireRemoveLock(&lock_), STATUS_SUCCESS);  // the removal request's own reference
  ReleaseRemoveLockAndWait(&lock_);
  EXPECT_EQ(Count(), 0);
  EXPECT_NE(KeReadStateEvent(&lock_.StopEvent), 0);
  EXPECT_EQ(AcquireRemoveLock(&lock_), STATUS_DELETE_PENDING);
  EXPECT_EQ(Count(), 0);
}

TEST_F(RemoveLockTest, RemovalWaitsForARequestInProgress) {
  InitializeRemoveLock(&lock_);
  ASSERT_EQ(AcquireRemoveLock(&lock_), STATUS_SUCCESS);  // a request in progress elsewhere
  ASSERT_EQ(AcquireRemoveLock(&lock_), STATUS_SUCCESS);  // the removal request
  auto removal = std::async(std::launch::async, [this] { ReleaseRemoveLockAndWait(&lock_); });
  EXPECT_EQ(removal.wait_for(100ms), std::future_status::timeout);
  EXPECT_EQ(AcquireRemoveLock(&lock_), STATUS_DELETE_PENDING);
  ReleaseRemoveLock(&lock_);  // the request finishes
  EXPECT_EQ(removal.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(Count(), 0);
}

// Acquirers racing the removal: those that lose take their increment back, and the one whose
// undo reaches zero signals the waiting removal, which must therefore always return.
TEST_F(RemoveLockTest, AcquirersRacingRemovalNeverLeaveItWaiting) {
  for (int round = 0; round < 200; ++round) {
    InitializeRemoveLock(&lock_);
    ASSERT_EQ(AcquireRemoveLock(&lock_), STATUS_SUCCESS);
    std::atomic<bool> go{false};
    std::atomic<int> refusedAfterRemoval{0};
    std::vector<std::thread> acquirers;
    for (int t = 0; t < 3; ++t) {
      acquirers.emplace_back([&] {
        while (!go) std::this_thread::yield();
        for (int i = 0; i < 50; ++i) {
          if (AcquireRemoveLock(&lock_) == STATUS_SUCCESS) {
            ReleaseRemoveLock(&lock_);
          } else {
            ++refusedAfterRemoval;
          }
        }
      });
    }
    go = true;
    ReleaseRemoveLockAndWait(&lock_);  // hangs (and the kernel aborts) if a wake-up is lost
    for (auto& thread : acquirers) thread.join();
    EXPECT_EQ(Count(), 0);
    EXPECT_EQ(AcquireRemoveLock(&lock_), STATUS_DELETE_PENDING);
  }
}

}  // namespace
