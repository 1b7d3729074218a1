// Interrupt objects and delivery on shared lines, KeSynchronizeExecution, interrupt storms,
// and driver references to event objects by handle.
#include <atomic>
#include <vector>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace {

using namespace kernel_test;

constexpr ULONG kVector = 0x3B;
constexpr KIRQL kIrql = 16;

// A device's interrupt output and its service routine's view of it.
struct Line {
  std::atomic<bool> asserted{false};
  bool claims = true;  // whether the routine claims (and clears) an asserted line
  std::vector<KIRQL> irqls;  // IRQL seen by each call of the routine
  int* order = nullptr;      // shared call counter, to see the chain's order
  int position = -1;         // value of *order at this routine's last call
};

BOOLEAN NTAPI LineService(PKINTERRUPT, PVOID context) {
  auto* line = static_cast<Line*>(context);
  line->irqls.push_back(KeGetCurrentIrql());
  if (line->order != nullptr) line->position = (*line->order)++;
  if (!line->claims || !line->asserted) return FALSE;
  line->asserted = false;
  return TRUE;
}

class InterruptTest : public KernelTest {
 protected:
  PKINTERRUPT Connect(Line* line, BOOLEAN share = TRUE) {
    PKINTERRUPT interrupt = nullptr;
    EXPECT_EQ(IoConnectInterrupt(&interrupt, LineService, line, nullptr, kVector, kIrql, kIrql,
                                 LevelSensitive, share, 1, FALSE),
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
