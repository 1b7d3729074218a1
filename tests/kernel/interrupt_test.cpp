// Interrupt objects and delivery on shared lines, KeSynchronizeExecution, interrupt storms,
// connection as the platform checks it, level and latched lines, the time an interrupt's
// lock is held, and driver references to event objects by handle.
#include <atomic>
#include <vector>

#include "kernel_test_support.h"
#include "sim/device_resources.h"
#include "sim/nt_api.h"

namespace {

using namespace kernel_test;

constexpr ULONG kVector = 0x3B;
constexpr KIRQL kIrql = 16;

// A device's interrupt output and its service routine's view of it.
struct Line {
  std::atomic<bool> asserted{false};
  bool claims = true;  // whether the routine claims (and clears) an asserted line
  int holds = 0;       // calls that claim the line but leave it asserted, before one clears it
  std::vector<KIRQL> irqls;  // IRQL seen by each call of the routine
  int* order = nullptr;      // shared call counter, to see the chain's order
  int position = -1;         // value of *order at this routine's last call
};

BOOLEAN NTAPI LineService(PKINTERRUPT, PVOID context) {
  auto* line = static_cast<Line*>(context);
  line->irqls.push_back(KeGetCurrentIrql());
  if (line->order != nullptr) line->position = (*line->order)++;
  if (!line->claims || !line->asserted) return FALSE;
  if (line->holds > 0) {
    --line->holds;
  } else {
    line->asserted = false;
  }
  return TRUE;
}

class InterruptTest : public KernelTest {
 protected:
  PKINTERRUPT Connect(Line* line, BOOLEAN share = TRUE, KINTERRUPT_MODE mode = LevelSensitive,
                      KIRQL synchronizeIrql = kIrql) {
    PKINTERRUPT interrupt = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&interrupt, LineService, line, nullptr, kVector, kIrql,
                                 synchronizeIrql, mode, share, 1, FALSE),
              STATUS_SUCCESS);
    return interrupt;
  }
  sim::kernel::InterruptSourceId Attach(Line* line) {
    return sim::kernel::AttachInterruptSource(kVector, [line] { return line->asserted.load(); });
  }
  void Raise(Line* line, sim::kernel::InterruptSourceId source) {
    line->asserted = true;
    sim::kernel::NotifyInterruptLine(source);
  }
};

TEST_F(InterruptTest, SharedLineRunsRoutinesInOrderAtDeviceIrqlUntilOneClaims) {
  int order = 0;
  Line first, second;
  first.order = second.order = &order;
  PKINTERRUPT a = Connect(&first);
  PKINTERRUPT b = Connect(&second);
  auto source = Attach(&second);  // only the second device interrupts
  Raise(&second, source);
  EXPECT_EQ(first.position, 0);
  EXPECT_EQ(second.position, 1);
  EXPECT_EQ(first.irqls, std::vector<KIRQL>{kIrql});
  EXPECT_FALSE(second.asserted);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(sim::kernel::GetInterruptStats(kVector).claimed, 1u);

  // A device that does not share the line cannot join it.
  Line loner;
  PKINTERRUPT refused = nullptr;
  EXPECT_EQ(IoConnectInterrupt(&refused, LineService, &loner, nullptr, kVector, kIrql, kIrql,
                               LevelSensitive, FALSE, 1, FALSE),
            STATUS_INVALID_PARAMETER);
  IoDisconnectInterrupt(a);
  IoDisconnectInterrupt(b);
}

TEST_F(InterruptTest, ALineNobodyClearsIsAStormThatIsReportedAndMasked) {
  Line stuck;
  stuck.claims = false;
  PKINTERRUPT interrupt = Connect(&stuck);
  auto source = Attach(&stuck);
  Raise(&stuck, source);  // returns: the storm is cut off, not hung in
  EXPECT_EQ(TakeRules(), Rules{"InterruptStorm"});
  EXPECT_TRUE(sim::kernel::GetInterruptStats(kVector).masked);
  size_t calls = stuck.irqls.size();
  sim::kernel::NotifyInterruptLine(source);
  EXPECT_EQ(stuck.irqls.size(), calls);  // masked: no more deliveries
  IoDisconnectInterrupt(interrupt);
}

TEST_F(InterruptTest, RoutinesRunAtTheirSynchronizeIrqlAndALevelAssertedAtConnectionFiresAtOnce) {
  Line line;
  line.asserted = true;
  auto source = Attach(&line);
  PKINTERRUPT interrupt = Connect(&line, TRUE, LevelSensitive, kIrql + 2);
  EXPECT_EQ(line.irqls, std::vector<KIRQL>{kIrql + 2});  // before IoConnectInterrupt returned
  EXPECT_FALSE(line.asserted);
  sim::kernel::DetachInterruptSource(source);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(InterruptTest, ConnectionsThePlatformRefusesAreRefused) {
  Line line;
  PKINTERRUPT interrupt = nullptr;
  auto connect = [&](KINTERRUPT_MODE mode, KAFFINITY affinity, BOOLEAN floatingSave) {
    return IoConnectInterrupt(&interrupt, LineService, &line, nullptr, kVector, kIrql, kIrql, mode,
                              TRUE, affinity, floatingSave);
  };
  EXPECT_EQ(connect(LevelSensitive, 1, TRUE), STATUS_INVALID_PARAMETER);  // no floating save on x86
  EXPECT_EQ(connect(LevelSensitive, 0, FALSE), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(connect(LevelSensitive, 0x10, FALSE), STATUS_INVALID_PARAMETER);  // no such processor
  ASSERT_EQ(connect(LevelSensitive, 1, FALSE), STATUS_SUCCESS);
  PKINTERRUPT first = interrupt;
  EXPECT_EQ(connect(Latched, 1, FALSE), STATUS_INVALID_PARAMETER);  // sharers agree on the mode
  EXPECT_EQ(interrupt, nullptr);
  IoDisconnectInterrupt(first);
  EXPECT_EQ(TakeRules(), Rules{});
}

TEST_F(InterruptTest, ALatchedLineInterruptsOncePerRisingEdgeALevelLineWhileAsserted) {
  Line level;
  level.holds = 2;  // claimed twice without being cleared: the line interrupts three times
  PKINTERRUPT interrupt = Connect(&level);
  auto source = Attach(&level);
  Raise(&level, source);
  EXPECT_EQ(level.irqls.size(), 3u);
  IoDisconnectInterrupt(interrupt);
  sim::kernel::DetachInterruptSource(source);

  Line latched;
  latched.holds = 1000000;  // never cleared by its routine
  interrupt = Connect(&latched, FALSE, Latched);
  source = Attach(&latched);
  Raise(&latched, source);
  sim::kernel::NotifyInterruptLine(source);  // still high: no edge
  EXPECT_EQ(latched.irqls.size(), 1u);
  latched.asserted = false;
  sim::kernel::NotifyInterruptLine(source);
  Raise(&latched, source);
  EXPECT_EQ(latched.irqls.size(), 2u);
  EXPECT_FALSE(sim::kernel::GetInterruptStats(kVector).masked);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(InterruptTest, ASharedLatchedChainIsWalkedUntilAPassClaimsNothing) {
  Line first, second;
  PKINTERRUPT a = Connect(&first, TRUE, Latched);
  PKINTERRUPT b = Connect(&second, TRUE, Latched);
  auto one = Attach(&first);
  Attach(&second);
  second.asserted = true;  // both devices' requests merge into one edge
  Raise(&first, one);
  EXPECT_FALSE(first.asserted);
  EXPECT_FALSE(second.asserted);
  EXPECT_EQ(first.irqls.size(), 2u);  // claimed on the first pass, nothing on the second
  EXPECT_EQ(sim::kernel::GetInterruptStats(kVector).deliveries, 1u);
  IoDisconnectInterrupt(a);
  IoDisconnectInterrupt(b);
}

TEST_F(InterruptTest, AFloatingLineNobodyClaimsIsTheHardwaresStormAClaimOfItTheDrivers) {
  auto floating = sim::kernel::AttachInterruptSource(
      kVector, [] { return sim::kernel::LineLevel::Floating; });
  Line honest;
  honest.claims = false;
  PKINTERRUPT interrupt = Connect(&honest);  // the line is asserted: rounds start at once
  auto stats = sim::kernel::GetInterruptStats(kVector);
  EXPECT_TRUE(stats.masked);
  EXPECT_TRUE(stats.hardwareStorm);
  EXPECT_EQ(TakeRules(), Rules{});
  IoDisconnectInterrupt(interrupt);

  Line gullible;  // claims whatever it sees, as a routine reading all ones from a gone card
  gullible.asserted = true;
  gullible.holds = 1000000;
  interrupt = Connect(&gullible);
  EXPECT_EQ(TakeRules(), Rules{"InterruptStorm"});
  IoDisconnectInterrupt(interrupt);
  sim::kernel::DetachInterruptSource(floating);
}

struct Hold {
  int portReads = 0;
  size_t bytes = 0;
};

BOOLEAN NTAPI CostlyRoutine(PVOID context) {
  auto* hold = static_cast<Hold*>(context);
  for (int i = 0; i < hold->portReads; ++i) READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  std::vector<char> from(hold->bytes), to(hold->bytes);
  if (hold->bytes != 0) RtlCopyMemory(to.data(), from.data(), hold->bytes);
  return TRUE;
}

BOOLEAN NTAPI CostlyService(PKINTERRUPT, PVOID context) {
  auto* line = static_cast<Line*>(context);
  for (int i = 0; i < 60; ++i) READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x80));
  line->asserted = false;
  return TRUE;
}

TEST_F(InterruptTest, HoldsOfTheInterruptLockAreCostedAndBounded) {
  Line line;
  PKINTERRUPT interrupt = Connect(&line);
  Hold busy{20, 2048};  // 20 us of port cycles and 20 us of copying: within 50 us
  KeSynchronizeExecution(interrupt, CostlyRoutine, &busy);
  EXPECT_EQ(TakeRules(), Rules{});
  Hold ring{0, 32768};  // a whole stream ring copied under the lock
  KeSynchronizeExecution(interrupt, CostlyRoutine, &ring);
  Hold chatty{51, 0};
  KeSynchronizeExecution(interrupt, CostlyRoutine, &chatty);
  EXPECT_EQ(TakeRules(), (Rules{"InterruptLockHeldTooLong", "InterruptLockHeldTooLong"}));
  IoDisconnectInterrupt(interrupt);

  PKINTERRUPT slow = nullptr;
  ASSERT_EQ(IoConnectInterrupt(&slow, CostlyService, &line, nullptr, kVector, kIrql, kIrql,
                               LevelSensitive, TRUE, 1, FALSE),
            STATUS_SUCCESS);
  auto source = Attach(&line);
  Raise(&line, source);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_NE(violations[0].message.find("CostlyService"), std::string::npos)
      << violations[0].message;
  EXPECT_NE(violations[0].message.find("60 port accesses"), std::string::npos);
  IoDisconnectInterrupt(slow);
}

struct SyncProbe {
  Line* line;
  sim::kernel::InterruptSourceId source;
  KIRQL irql = 0;
  size_t callsInside = 0;
};

BOOLEAN NTAPI RaiseFromSynchronizedCode(PVOID context) {
  auto* probe = static_cast<SyncProbe*>(context);
  probe->irql = KeGetCurrentIrql();
  probe->line->asserted = true;
  sim::kernel::NotifyInterruptLine(probe->source);
  probe->callsInside = probe->line->irqls.size();
  return TRUE;
}

TEST_F(InterruptTest, SynchronizedCodeHoldsOffTheInterruptUntilItReturns) {
  Line line;
  PKINTERRUPT interrupt = Connect(&line);
  SyncProbe probe{&line, Attach(&line)};
  EXPECT_TRUE(KeSynchronizeExecution(interrupt, RaiseFromSynchronizedCode, &probe));
  EXPECT_EQ(probe.irql, kIrql);
  EXPECT_EQ(probe.callsInside, 0u);       // not taken while the routine held the lock
  EXPECT_EQ(line.irqls.size(), 1u);       // taken as soon as it returned
  EXPECT_FALSE(line.asserted);
  IoDisconnectInterrupt(interrupt);
}

TEST_F(InterruptTest, EventReferencesByHandleAreTypedCountedAndChecked) {
  sim::nt::Handle event = 0;
  ASSERT_EQ(sim::nt::CreateEvent(true, false, &event), STATUS_SUCCESS);
  auto handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(event));
  PVOID object = nullptr;
  ASSERT_EQ(ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode,
                                      &object, nullptr),
            STATUS_SUCCESS);
  KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(sim::nt::WaitForSingleObject(event, 0), STATUS_SUCCESS);
  ObDereferenceObject(object);
  // Signalling after letting go, or letting go twice, are the driver's faults.
  KeSetEvent(static_cast<PKEVENT>(object), IO_NO_INCREMENT, FALSE);
  ObDereferenceObject(object);
  EXPECT_EQ(TakeRules(), (Rules{"SignalReleasedEvent", "ObjectOverRelease"}));

  PVOID none = nullptr;
  EXPECT_EQ(ObReferenceObjectByHandle(reinterpret_cast<HANDLE>(ULONG_PTR{0x7770}),
                                      EVENT_MODIFY_STATE, *ExEventObjectType, KernelMode, &none,
                                      nullptr),
            STATUS_INVALID_HANDLE);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(sim::nt::Close(event), STATUS_SUCCESS);
}

}  // namespace
