// IRQL: tracked per thread, raised and lowered only in the right direction.
#include <cstdio>

#include "kernel_internal.h"

namespace sim::kernel {

ThreadState& CurrentThread() {
  thread_local ThreadState state;
  return state;
}

bool CheckIrqlAtMost(KIRQL limit, const char* routine) {
  KIRQL irql = CurrentThread().Irql;
  if (irql <= limit) return true;
  verifier::Report("IrqlTooHigh", std::string(routine) + " called at IRQL " +
                                      std::to_string(irql) + ", above " + std::to_string(limit));
  return false;
}

std::string Describe(const void* p) {
  if (p == nullptr) return "0";  // as a stream prints a null pointer
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

IrpSnapshot IrpSnapshot::Of(PIRP irp) {
  IrpSnapshot snapshot;
  snapshot.irp = irp;
  if (irp != nullptr && IsReleasedIrp(irp)) {
    snapshot.released = true;
  } else if (irp != nullptr && irp->CurrentLocation >= 1 &&
             irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    snapshot.hasLocation = true;
    snapshot.major = loc->MajorFunction;
    snapshot.minor = loc->MinorFunction;
    snapshot.location = irp->CurrentLocation;
    snapshot.stackCount = irp->StackCount;
  }
  return snapshot;
}

std::string IrpSnapshot::Text() const {
  char text[96];
  if (released) {
    std::snprintf(text, sizeof text, "IRP %p (released)", irp);
  } else if (hasLocation) {
    std::snprintf(text, sizeof text, "IRP %p (major 0x%x, minor 0x%x, location %d/%d)", irp,
                  major, minor, location, stackCount);
  } else {
    std::snprintf(text, sizeof text, "IRP %p", irp);
  }
  return text;
}

std::string DescribeIrp(PIRP irp) { return IrpSnapshot::Of(irp).Text(); }

// Rule CriticalRegions: a routine the kernel called returns with as many critical regions
// entered as it was called with; the platform finds a thread's non-zero APC disable count at
// its exit (bug check 0x20) or after a DPC (0xC7), and the verifier at the routine's return.
void CheckCriticalRegionsLeft(int before, const std::string& who) {
  auto& thread = CurrentThread();
  int left = thread.CriticalRegions - before;
  if (left == 0) return;
  verifier::Report("CriticalRegions",
                   who + (left > 0 ? " returned inside " + std::to_string(left) +
                                         " critical region(s) it entered (KeEnterCriticalRegion "
                                         "without KeLeaveCriticalRegion)"
                                   : " left " + std::to_string(-left) +
                                         " critical region(s) its caller had entered"));
  thread.CriticalRegions = before;
}

}  // namespace sim::kernel

using sim::kernel::CurrentThread;

extern "C" KIRQL NTAPI KeGetCurrentIrql(void) {
  EnterService("KeGetCurrentIrql");
  return CurrentThread().Irql;
}

namespace {

KIRQL RaiseIrql(KIRQL NewIrql) {
  auto& thread = CurrentThread();
  KIRQL old = thread.Irql;
  if (NewIrql < old) {
    sim::verifier::Report("IrqlNotRaised", "KeRaiseIrql to " + std::to_string(NewIrql) +
                                               " from the higher IRQL " + std::to_string(old));
    return old;
  }
  thread.Irql = NewIrql;
  return old;
}

}  // namespace

extern "C" KIRQL FASTCALL KfRaiseIrql(KIRQL NewIrql) {
  EnterService("KfRaiseIrql");
  sim::kernel::CheckRaiseFrom(__builtin_return_address(0), "KeRaiseIrql");
  return RaiseIrql(NewIrql);
}

extern "C" void FASTCALL KfLowerIrql(KIRQL NewIrql) {
  EnterService("KfLowerIrql");
  auto& thread = CurrentThread();
  if (NewIrql > thread.Irql) {
    sim::verifier::Report("IrqlNotLowered", "KeLowerIrql to " + std::to_string(NewIrql) +
                                                " from the lower IRQL " +
                                                std::to_string(thread.Irql));
    return;
  }
  thread.Irql = NewIrql;
  sim::kernel::DeliverPendingInterrupts();
}

// Critical regions hold off normal kernel APCs on the platform; the emulated kernel delivers
// none, so they are a count the verifier checks.
extern "C" void NTAPI KeEnterCriticalRegion(void) {
  EnterService("KeEnterCriticalRegion");
  sim::kernel::CheckIrqlAtMost(APC_LEVEL, "KeEnterCriticalRegion");
  ++CurrentThread().CriticalRegions;
}

extern "C" void NTAPI KeLeaveCriticalRegion(void) {
  EnterService("KeLeaveCriticalRegion");
  sim::kernel::CheckIrqlAtMost(APC_LEVEL, "KeLeaveCriticalRegion");
  auto& thread = CurrentThread();
  if (thread.CriticalRegions == 0) {
    sim::verifier::Report("CriticalRegions", "KeLeaveCriticalRegion without a KeEnterCriticalRegion");
    return;
  }
  --thread.CriticalRegions;
}

extern "C" KIRQL NTAPI KeRaiseIrqlToDpcLevel(void) {
  EnterService("KeRaiseIrqlToDpcLevel");
  sim::kernel::CheckRaiseFrom(__builtin_return_address(0), "KeRaiseIrqlToDpcLevel");
  return RaiseIrql(DISPATCH_LEVEL);
}

void SimCheckPagedCode(const char* File, int Line) {
  const void* site = sim::kernel::CallSite(__builtin_return_address(0));
  if (sim::kernel::SectionOf(site) == sim::kernel::CodeSection::Init) {
    sim::kernel::CheckInitCodeNow(site, std::string("PAGED_CODE() at ") + File + ":" +
                                            std::to_string(Line));
  }
  KIRQL irql = CurrentThread().Irql;
  if (irql > APC_LEVEL) {
    sim::verifier::Report("PagedCode", std::string("pageable code at ") + File + ":" +
                                           std::to_string(Line) + " ran at IRQL " +
                                           std::to_string(irql));
  }
}
