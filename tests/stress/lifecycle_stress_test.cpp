// The device's life changing under busy clients: PnP stop and start, surprise removal,
// removal, system sleep and resume, and the card pulled from its slot, each at a point the
// seed chooses while other threads acquire, read, wait and step the card.
#include <chrono>
#include <thread>
#include <vector>

#include "stress_bench.h"

namespace stress {
namespace {

void Pause(std::mt19937_64& random) {
  std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
}

// A client's mix of requests; none of them may hang or break a rule, whatever state the
// device is in. Failures are expected once the device is stopped or gone.
void BusyClient(Bench& bench, std::mt19937_64& r, int operations, HANDLE event) {
  Client client(bench.Requests());
  std::vector<uint16_t> out(3 + TARVIK_FRAME_WORDS * 4);
  for (int i = 0; i < operations && client.IsOpen(); ++i) {
    switch (r() % 6) {
      case 0: client.OpenBoard(); break;
      case 1: client.Start(1 + r() % 4, static_cast<int16_t>(2 + r() % 3), r() % 2, event); break;
      case 2: client.Call(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, out.data(), TarvikBlockBytes(1 + r() % 4)); break;
      case 3: client.Call(IOCTL_DAQ_READ_STREAM, nullptr, 0, out.data(), 38); break;
      case 4: {
        auto wait = client.Begin(IOCTL_DAQ_WAIT_EVENT, nullptr, 0, 4);
        if (wait->pending && WaitForSingleObject(wait->overlapped.hEvent, r() % 3) != WAIT_OBJECT_0) {
          CancelIoEx(client.Handle(), &wait->overlapped);
        }
        client.Finish(*wait);
        break;
      }
      default: client.Stop(); break;
    }
  }
}

// Runs busy clients and a card stepper beside `manager`, which plays the PnP or power
// manager's part on its own thread.
template <typename Manager>
void UnderLoad(Bench& bench, const Options& options, Manager manager) {
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  bench.RunThreads(options.threads + 2, [&](int index, std::mt19937_64& r) {
    if (index == 0) {
      manager(r);
    } else if (index == 1) {
      bench.StepCard(r, 8 * static_cast<uint64_t>(options.operations));
    } else {
      BusyClient(bench, r, options.operations, event);
    }
  });
  CloseHandle(event);
}

// After the load, the device still acquires: a fresh block-mode run delivers a block.
void ExpectAcquisitionWorks(Bench& bench) {
  Client client(bench.Requests());
  client.Stop();  // a client may have left a run going
  ASSERT_TRUE(client.OpenBoard().ok);
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  ASSERT_TRUE(client.Start(1, 2, false, event).ok);
  bench.Machine().Card().window().Step(4);
  std::vector<uint16_t> block(1 + TARVIK_FRAME_WORDS);
  EXPECT_TRUE(client.Call(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, block.data(), TarvikBlockBytes(1)).ok);
  client.Stop();
  CloseHandle(event);
}

void PnpStopStart(uint64_t seed, const Options& options) {
  Bench bench(seed);
  UnderLoad(bench, options, [&](std::mt19937_64& r) {
    for (int cycle = 0; cycle < 3; ++cycle) {
      Pause(r);
      int32_t stop = bench.Machine().StopDevice();
      Pause(r);
      if (stop == 0) {
        EXPECT_EQ(bench.Machine().StartDevice(), 0) << "restart after stop";
      }
    }
  });
  ExpectAcquisitionWorks(bench);
}

// The card is pulled under load. On 2000/XP the removal waits for the clients' handles: they
// finish their operations (failing once the device is gone) and close them; on 98/Me it comes
// at once, with their handles open and their requests in flight.
void SurpriseRemoval(uint64_t seed, const Options& options) {
  Bench bench(seed);
  UnderLoad(bench, options, [&](std::mt19937_64& r) {
    Pause(r);
    EXPECT_EQ(bench.Machine().UnplugCard(), 0);
  });
  EXPECT_FALSE(bench.Machine().DevicePresent());
}

// On 98/Me handles hold no remove-lock reference: while clients have the device open, its
// driver refuses the query (STATUS_DEVICE_BUSY) and the device stays.
void Removal(uint64_t seed, const Options& options) {
  Bench bench(seed);
  int32_t status = -1;
  UnderLoad(bench, options, [&](std::mt19937_64& r) {
    Pause(r);
    status = bench.Machine().RemoveDevice();
  });
  constexpr int32_t kStatusDeviceBusy = static_cast<int32_t>(0x80000011);
  if (bench.Machine().Options().wdm == sim::kernel::WdmSupport::Wdm10Only &&
      status == kStatusDeviceBusy) {
    EXPECT_TRUE(bench.Machine().DevicePresent());
    return;
  }
  EXPECT_EQ(status, 0);
  EXPECT_FALSE(bench.Machine().DevicePresent());
}

// The card leaves its slot while clients use it, its pin low or floating (the seed chooses),
// and the PnP manager hears of it a moment later or while the card is leaving: meanwhile the
// driver reads all ones from every register, and a floating pin's storm is no one's to claim.
void PulledCard(uint64_t seed, const Options& options) {
  Bench bench(seed);
  UnderLoad(bench, options, [&](std::mt19937_64& r) {
    bool floats = (r() & 1) != 0;
    Pause(r);
    if ((r() & 1) != 0) {
      bench.Machine().PullCard(floats);
      Pause(r);
      EXPECT_EQ(bench.Machine().SurpriseRemoveDevice(), 0);
      return;
    }
    std::thread puller([&bench, floats, pause = r() % 3000] {
      std::this_thread::sleep_for(std::chrono::microseconds(pause));
      bench.Machine().PullCard(floats);
    });
    EXPECT_EQ(bench.Machine().SurpriseRemoveDevice(), 0);
    puller.join();
  });
  EXPECT_FALSE(bench.Machine().DevicePresent());
}

void SleepResume(uint64_t seed, const Options& options) {
  Bench bench(seed);
  UnderLoad(bench, options, [&](std::mt19937_64& r) {
    for (int cycle = 0; cycle < 2; ++cycle) {
      Pause(r);
      bench.Machine().SetSystemPower(r() % 2 ? sim::kSystemSleeping3 : sim::kSystemHibernate);
      Pause(r);
      EXPECT_EQ(bench.Machine().SetSystemPower(sim::kSystemWorking), 0);
    }
  });
  ExpectAcquisitionWorks(bench);
}

TEST(LifecycleStress, PnpStopAndStartUnderLoad) { RunOverSeeds("PnpStopStart", PnpStopStart, 8); }

TEST(LifecycleStress, SurpriseRemovalUnderLoad) {
  RunOverSeeds("SurpriseRemoval", SurpriseRemoval, 8);
}

TEST(LifecycleStress, RemovalUnderLoad) { RunOverSeeds("Removal", Removal, 8); }

TEST(LifecycleStress, CardPulledUnderLoad) { RunOverSeeds("PulledCard", PulledCard, 8); }

TEST(LifecycleStress, SystemSleepAndResumeUnderLoad) {
  RunOverSeeds("SleepResume", SleepResume, 8);
}

}  // namespace
}  // namespace stress
