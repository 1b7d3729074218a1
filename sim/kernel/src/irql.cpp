// IRQL: tracked per thread, raised and lowered only in the right direction.
#include <cstdio>
#include <sstream>

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
  std::ostringstream out;
  out << p;
  return out.str();
}

std::string DescribeIrp(PIRP irp) {
  std::ostringstream out;
  out << "IRP " << static_cast<const void*>(irp);
  if (irp != nullptr && IsReleasedIrp(irp)) {
    out << " (released)";
    return out.str();
  }
  if (irp != nullptr && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
    PIO_STACK_LOCATION loc = IoGetCurrentIrpStackLocation(irp);
    out << " (major 0x" << std::hex << int(loc->MajorFunction) << ", minor 0x"
        << int(loc->MinorFunction) << std::dec << ", location " << int(irp->CurrentLocation)
        << "/" << int(irp->StackCount) << ")";
  }
  return out.str();
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
