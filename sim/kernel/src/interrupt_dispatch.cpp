// The delivery of one interrupt to its routines, as the platform's interrupt dispatch does it
// (ReactOS ntoskrnl/ke/i386/irqobj.c, KiInterruptDispatch and KiChainedDispatch), the rounds
// that make a storm, and KeSynchronizeExecution.
#include <cstdio>

#include "interrupt_object.h"
#include "kernel_internal.h"

namespace sim::kernel {
namespace {

// One call of a service routine, at its SynchronizeIrql holding its lock, as its device's
// driver code, the hold measured.
bool CallServiceRoutine(PKINTERRUPT interrupt) {
  auto& thread = CurrentThread();
  const void* routine = reinterpret_cast<const void*>(interrupt->ServiceRoutine);
  KIRQL old = thread.Irql;
  CheckRaisedCallback(routine, "interrupt service routine");
  thread.Irql = interrupt->SynchronizeIrql;
  AcquireLockWord(interrupt->Lock, "interrupt dispatch", routine);
  size_t locks = thread.HeldSpinLocks.size();
  BOOLEAN claimed;
  {
    std::optional<DriverActivity> activity;
    std::optional<OutsideDriverCode> outside;
    if (interrupt->Device != nullptr) {
      activity.emplace(interrupt->Owner, interrupt->Device, "interrupt service routine", routine);
    } else {
      outside.emplace();
    }
    MeasuredHold hold("interrupt service routine", routine);
    claimed = interrupt->ServiceRoutine(interrupt, interrupt->ServiceContext);
  }
  if (thread.Irql != interrupt->SynchronizeIrql) {
    verifier::Report("IrqlReturn", "interrupt service routine " + RoutineAt(routine) +
                                       " returned at IRQL " + std::to_string(thread.Irql));
  }
  if (thread.HeldSpinLocks.size() != locks) {
    verifier::Report("SpinLock", "interrupt service routine returned holding a spin lock");
  }
  ReleaseLockWord(interrupt->Lock, "interrupt dispatch");
  thread.Irql = old;
  return claimed != FALSE;
}

}  // namespace

PKINTERRUPT RunServiceRoutines(const Chain& chain, bool latched) {
  PKINTERRUPT first = nullptr;
  for (int pass = 0;; ++pass) {
    bool any = false;
    for (PKINTERRUPT interrupt : chain) {
      if (!CallServiceRoutine(interrupt)) continue;
      any = true;
      if (first == nullptr) first = interrupt;
      if (!latched) return first;
    }
    if (!any || chain.size() == 1) return first;
    if (pass + 1 == kStormRounds) {
      verifier::Report("InterruptStorm",
                       "the latched chain of vector " + std::to_string(first->Vector) + " was "
                       "claimed on " + std::to_string(kStormRounds) + " passes in a row");
      return first;
    }
  }
}

std::optional<std::string> StormWatch::Count(uint32_t vector, LineLevel line, PKINTERRUPT claimer,
                                              InterruptStats& stats) {
  ++rounds;
  bool floating = line == LineLevel::Floating;
  if (claimer != nullptr) {
    stats.claimed++;
    unclaimed = unclaimedFloating = 0;
    claimedFloating = floating ? claimedFloating + 1 : 0;
  } else {
    stats.unclaimed++;
    ++unclaimed;
    unclaimedFloating = floating ? unclaimedFloating + 1 : 0;
    claimedFloating = 0;
  }
  auto where = [vector] { return "vector " + std::to_string(vector); };
  if (claimedFloating >= kStormRounds) {
    return "interrupt service routine " +
           RoutineAt(reinterpret_cast<const void*>(claimer->ServiceRoutine)) + " claimed " +
           std::to_string(claimedFloating) + " interrupts in a row on " + where() +
           " while only a floating input (a pulled card) held the line: its device cannot "
           "have raised them; the vector is masked";
  }
  if (unclaimed >= kStormRounds) {
    if (unclaimedFloating >= kStormRounds) {
      stats.hardwareStorm = true;
      std::fprintf(stderr,
                   "emulated kernel: %s held asserted by a floating input (a pulled card) "
                   "that nobody can claim; the vector is masked\n",
                   where().c_str());
      return std::string();
    }
    return where() + " stayed asserted through " + std::to_string(unclaimed) +
           " rounds without being claimed; the vector is masked";
  }
  if (rounds >= kStuckRounds) {
    return where() + " stayed asserted through " + std::to_string(rounds) +
           " rounds without being cleared; the vector is masked";
  }
  return std::nullopt;
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" BOOLEAN NTAPI KeSynchronizeExecution(PKINTERRUPT Interrupt,
                                                PKSYNCHRONIZE_ROUTINE SynchronizeRoutine,
                                                PVOID SynchronizeContext) {
  EnterService("KeSynchronizeExecution");
  auto& thread = CurrentThread();
  if (thread.Irql > Interrupt->SynchronizeIrql) {
    verifier::Report("IrqlTooHigh", "KeSynchronizeExecution above the interrupt's IRQL");
  }
  KIRQL old = thread.Irql;
  const void* routine = reinterpret_cast<const void*>(SynchronizeRoutine);
  CheckRaisedCallback(routine, "synchronize routine");
  thread.Irql = Interrupt->SynchronizeIrql;
  AcquireLockWord(Interrupt->Lock, "KeSynchronizeExecution",
                  CallSite(__builtin_return_address(0)));
  BOOLEAN result;
  {
    // The routine is the interrupt's driver's code, whoever calls it.
    std::optional<DriverActivity> activity;
    if (Interrupt->Device != nullptr) {
      activity.emplace(Interrupt->Owner, Interrupt->Device, "synchronize routine", routine);
    }
    MeasuredHold hold("synchronize routine", routine);
    result = SynchronizeRoutine(SynchronizeContext);
  }
  if (thread.Irql != Interrupt->SynchronizeIrql) {
    verifier::Report("IrqlReturn", "synchronize routine returned at another IRQL");
  }
  ReleaseLockWord(Interrupt->Lock, "KeSynchronizeExecution");
  thread.Irql = old;
  DeliverPendingInterrupts();
  return result;
}

