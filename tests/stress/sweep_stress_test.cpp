// Events landed at chosen kernel calls of a client, and a client starved of resources. A short
// block-mode run is played once to count the kernel calls its thread makes, then again with
// one event injected at each of those calls (as another processor would make it there):
// a PnP stop and restart, a surprise removal, the card pulled with its pin floating,
// IoCancelIrp of the client's wait, an interrupt on the shared line, a failed pool allocation.
// Every run must end as the runner requires: no broken rule, no pool left, nothing hung, every
// request completed once. A failing run's name carries the injection point (the emulated
// kernel also prints it as it fires).
#include <string>
#include <vector>

#include "sim/kernel.h"
#include "sim/schedule.h"
#include "stress_bench.h"

namespace stress {
namespace {

using sim::schedule::Role;

// At most this many points per sweep: every call of the run while it makes fewer.
constexpr uint64_t kSweepPoints = 200;

// One client: open, a block-mode start, a wait, the card stepped, a read, the wait signalled
// (or cancelled if it does not come back soon), a stop. Failures are allowed once an injected
// event took the device away; hangs are not.
void OneClientRun(Bench& bench) {
  Client client(bench.Requests());
  HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  client.OpenBoard();
  client.Start(1, 2, false, event);
  auto wait = client.Begin(IOCTL_DAQ_WAIT_EVENT, nullptr, 0, 4);
  bench.Machine().Card().window().Step(6);
  std::vector<uint16_t> block(1 + TARVIK_FRAME_WORDS);
  client.Call(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, block.data(), TarvikBlockBytes(1));
  uint32_t value = 7;
  client.Call(IOCTL_DAQ_SET_EVENT, &value, sizeof value, nullptr, 0);
  if (wait->pending && WaitForSingleObject(wait->overlapped.hEvent, 200) != WAIT_OBJECT_0) {
    CancelIoEx(client.Handle(), &wait->overlapped);
  }
  client.Finish(*wait);
  client.Stop();
  CloseHandle(event);
}

using MakeAction = std::function<sim::schedule::Action(Bench&)>;

// Counts the test thread's kernel calls in one undisturbed run, then sweeps `action` over them.
void Sweep(const char* what, const MakeAction& action) {
  uint64_t calls = 0;
  RunOverSeeds("SweepCount", [&](uint64_t seed, const Options&) {
    Bench bench(seed);
    sim::schedule::StartCounting();
    OneClientRun(bench);
    calls = sim::schedule::CallCount(Role::Test);
  }, 1);
  ASSERT_GT(calls, 50u);  // the run reached the driver
  uint64_t step = calls / kSweepPoints + 1;
  for (uint64_t call = 1; call <= calls; call += step) {
    std::string name = std::string(what) + " at test-thread call " + std::to_string(call);
    RunOverSeeds(name.c_str(), [&](uint64_t seed, const Options&) {
      Bench bench(seed);
      sim::schedule::Inject({Role::Test, call}, action(bench), name);
      OneClientRun(bench);
      sim::schedule::WaitForInjections();
      sim::schedule::DisarmInjections();
    }, 1);
    if (testing::Test::HasFailure()) return;
  }
}

TEST(InjectionSweep, PnpStopAndRestart) {
  Sweep("PnP stop and restart", [](Bench& bench) -> sim::schedule::Action {
    return [&bench] {
      if (bench.Machine().StopDevice() == 0) {
        EXPECT_EQ(bench.Machine().StartDevice(), 0);
      }
    };
  });
}

// The card pulled: on 2000/XP a surprise removal, on 98/Me the removal at once, with the
// client's handle open and its requests in flight.
TEST(InjectionSweep, SurpriseRemoval) {
  Sweep("the card pulled", [](Bench& bench) -> sim::schedule::Action {
    return [&bench] { EXPECT_EQ(bench.Machine().UnplugCard(), 0); };
  });
}

// The card leaves its slot, its pin floating, at any point of the run; the surprise removal
// follows at once.
TEST(InjectionSweep, CardPulledWithItsPinFloating) {
  Sweep("card pulled", [](Bench& bench) -> sim::schedule::Action {
    return [&bench] {
      bench.Machine().PullCard(/*pinFloats=*/true);
      EXPECT_EQ(bench.Machine().SurpriseRemoveDevice(), 0);
    };
  });
}

TEST(InjectionSweep, CancelOfTheWaitInterruptAndPoolFailure) {
  Sweep("IoCancelIrp of the wait", [](Bench&) {
    return sim::schedule::CancelRequest(IOCTL_DAQ_WAIT_EVENT);
  });
  Sweep("an interrupt on the shared line", [](Bench& bench) {
    return sim::schedule::DeliverInterrupt(bench.Machine().Options().interrupt.vector);
  });
  Sweep("a failed pool allocation", [](Bench&) { return sim::schedule::FailPoolAllocation(1); });
}

// A share of the driver's pool, IRP and power-request allocations fails through busy runs of
// every kind of request and through a sleep and resume: the driver fails those requests
// cleanly and leaks nothing.
TEST(LowResources, EveryRequestFailsCleanly) {
  RunOverSeeds("LowResources", [](uint64_t seed, const Options&) {
    Bench bench(seed);
    sim::kernel::SetLowResources(seed, 3);
    for (int round = 0; round < 4; ++round) OneClientRun(bench);
    bench.Machine().SetSystemPower(sim::kSystemSleeping3);
    bench.Machine().SetSystemPower(sim::kSystemWorking);
    OneClientRun(bench);
    EXPECT_GT(sim::kernel::LowResourceFailures(), 0u);
    sim::kernel::SetLowResources(0, 0);
  }, 12);
}

}  // namespace
}  // namespace stress
