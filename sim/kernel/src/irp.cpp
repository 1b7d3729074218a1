// I/O requests: allocation with stack locations, IofCallDriver, the completion walk of
// IofCompleteRequest, and the verifier's checks on how drivers hand requests around.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include <sanitizer/asan_interface.h>

#include "io_verification.h"
#include "driver_activity.h"
#include "kernel_internal.h"
#include "sim/io.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

constexpr uint32_t kIrpMagic = 0x49525021;  // "IRP!"
constexpr CSHORT kIoTypeIrp = 6;
constexpr NTSTATUS kInvalidStatus = NTSTATUS_CODE(0xFFFFFFFF);

// One block holds the hidden header, then the IRP and its stack locations. In special pool
// the IRP ends at its guard page and the header ends where the IRP's first page begins.
constexpr size_t kHeaderBytes = (sizeof(IrpHeader) + 15) & ~size_t{15};
static_assert(kHeaderBytes <= special_pool::kPageSize);

// The innermost dispatch frame of this thread that works on the request, or null.
DispatchFrame* InnermostFrame(PIRP irp) {
  auto& frames = CurrentThread().Frames;
  for (auto it = frames.rbegin(); it != frames.rend(); ++it) {
    if (it->Irp == irp) return &*it;
  }
  return nullptr;
}

// A driver that passed a request down may not forward or complete it while the lower driver
// still owns it. The caller's location is its own (or one above, after it skipped its
// location); a location below it belongs to the lower driver.
void CheckOwnership(PIRP irp, const char* action) {
  DispatchFrame* frame = InnermostFrame(irp);
  if (frame != nullptr && irp->CurrentLocation < frame->Location) {
    verifier::Report("RequestOwnedByLowerDriver",
                     std::string(action) + " of " + DescribeIrp(irp) +
                         " by the driver at location " + std::to_string(frame->Location) +
                         " while a lower driver owns it");
  }
}

// Whether the dispatch routine at the location left it marked pending, asked when the routine
// returns. A routine may return a lower driver's STATUS_PENDING before the request completes;
// its location is then marked later, by its own completion routine or by the walk propagating
// PendingReturned. So an unmarked location that returned STATUS_PENDING and that the walk has
// not left yet is handed to the walk to check, and counts as marked here. Once the walk stands
// at the location, a completion routine may be writing it on another thread: only the walk's
// own record is read then.
bool MarkedPendingAtReturn(PIRP irp, int location, bool returnedPending) {
  IrpHeader* header = HeaderOf(irp);
  std::lock_guard guard(header->Lock);
  if ((header->PendingMarks >> location) & 1) return true;
  if (header->CompletionState == IrpHeader::State::Finished || header->WalkLocation > location) {
    return false;
  }
  if (header->WalkLocation < location &&
      (__atomic_load_n(&StackLocation(irp, location)->Control, __ATOMIC_RELAXED) &
       SL_PENDING_RETURNED) != 0) {
    return true;
  }
  if (!returnedPending) return false;
  header->PendingReturnsToCheck |= uint64_t{1} << location;
  return true;
}

}  // namespace

IrpHeader* HeaderOf(PIRP irp) {
  auto at = reinterpret_cast<uintptr_t>(irp);
  if (special_pool::InArena(irp)) at &= ~(special_pool::kPageSize - 1);
  return reinterpret_cast<IrpHeader*>(at - kHeaderBytes);
}

PIO_STACK_LOCATION StackLocation(PIRP irp, int location) {
  return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

namespace {

size_t BodyBytes(CCHAR stackCount) { return sizeof(IRP) + stackCount * sizeof(IO_STACK_LOCATION); }

// With the header's lock held: poisons the body once nothing may touch it any more (in special
// pool its pages become inaccessible), and says whether the whole block can go.
bool SettleReleased(PIRP irp, IrpHeader* header) {
  if (!header->Released || header->ManagerHolds > 0) return false;
  if (!header->BodyPoisoned) {
    if (special_pool::InArena(irp)) {
      special_pool::Retire(irp);
    } else {
      ASAN_POISON_MEMORY_REGION(irp, BodyBytes(header->StackCount));
    }
    __atomic_store_n(&header->BodyPoisoned, true, __ATOMIC_RELEASE);
  }
  return header->DispatchDepth == 0;
}

void FreeIrpBlock(PIRP irp, IrpHeader* header) {
  header->Magic = 0;
  header->~IrpHeader();
  if (special_pool::InArena(irp)) {
    special_pool::Free(irp);
    return;
  }
  ASAN_UNPOISON_MEMORY_REGION(irp, BodyBytes(header->StackCount));  // the allocator takes over
  std::free(header);
}

// The block for a request: in special pool while it is on, else on the heap; zeroed.
PIRP AllocateIrpBlock(CCHAR stackSize) {
  size_t body = BodyBytes(stackSize);
  if (special_pool::Enabled()) {
    void* irp = special_pool::Allocate(body, {special_pool::Kind::Irp, 0, nullptr}, false,
                                       special_pool::Placement::End, kHeaderBytes);
    if (irp != nullptr) {
      std::memset(irp, 0, body);
      std::memset(static_cast<void*>(HeaderOf(static_cast<PIRP>(irp))), 0, kHeaderBytes);
      return static_cast<PIRP>(irp);
    }
  }
  void* memory = std::calloc(1, kHeaderBytes + body);
  return memory == nullptr ? nullptr : reinterpret_cast<PIRP>(static_cast<char*>(memory) + kHeaderBytes);
}

// Changes what keeps the request's memory alive, under the header's lock, and frees the block
// when nothing does any more.
template <typename Change>
void ChangeHoldsAndSettle(PIRP irp, Change change) {
  IrpHeader* header = HeaderOf(irp);
  bool freeNow;
  {
    std::lock_guard guard(header->Lock);
    change(*header);
    freeNow = SettleReleased(irp, header);
  }
  if (freeNow) FreeIrpBlock(irp, header);
}

// Drops one IofCallDriver's hold on the header.
void EndDispatch(PIRP irp) {
  ChangeHoldsAndSettle(irp, [](IrpHeader& header) { --header.DispatchDepth; });
}

}  // namespace

void ReleaseIrp(PIRP irp) {
  if (HeaderOf(irp)->Tracked) UntrackRequest(irp);
  ChangeHoldsAndSettle(irp, [](IrpHeader& header) { header.Released = true; });
}

void HoldIrp(PIRP irp) {
  IrpHeader* header = HeaderOf(irp);
  std::lock_guard guard(header->Lock);
  header->ManagerHolds++;
}

void ReleaseIrpHold(PIRP irp) {
  ChangeHoldsAndSettle(irp, [](IrpHeader& header) { --header.ManagerHolds; });
}

// Read without the header's lock: reports made under it describe the request too.
bool IsReleasedIrp(PIRP irp) {
  return __atomic_load_n(&HeaderOf(irp)->BodyPoisoned, __ATOMIC_ACQUIRE);
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  EnterService("IoAllocateIrp");
  (void)ChargeQuota;
  CheckIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
  if (StackSize < 1) {
    sim::verifier::Report("IrpStackSize", "IoAllocateIrp with " + std::to_string(StackSize) +
                                              " stack locations");
    return nullptr;
  }
  if (LowResourcesFail()) return nullptr;
  PIRP irp = AllocateIrpBlock(StackSize);
  if (irp == nullptr) return nullptr;
  auto* header = new (HeaderOf(irp)) IrpHeader();
  header->Magic = kIrpMagic;
  header->StackCount = StackSize;
  if (special_pool::Enabled()) TrackRequest(irp);
  irp->Type = kIoTypeIrp;
  irp->Size = static_cast<USHORT>(sizeof(IRP) + StackSize * sizeof(IO_STACK_LOCATION));
  irp->StackCount = StackSize;
  irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = StackLocation(irp, StackSize + 1);
  InitializeListHead(&irp->ThreadListEntry);
  return irp;
}

extern "C" void NTAPI IoFreeIrp(PIRP Irp) {
  EnterService("IoFreeIrp");
  IrpHeader* header = HeaderOf(Irp);
  if (header->Magic != kIrpMagic) {
    sim::verifier::Report("BadIrpFree", "IoFreeIrp of " + Describe(Irp) + ", not a live request");
    return;
  }
  if (header->Released) {
    sim::verifier::Report("BadIrpFree", "IoFreeIrp of " + Describe(Irp) +
                                            ", already released (freed or completed for good)");
    return;
  }
  if (header->CompletionState == IrpHeader::State::Completing) {
    sim::verifier::Report("BadIrpFree", "IoFreeIrp of " + DescribeIrp(Irp) +
                                            " while its completion is running");
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    sim::verifier::Report("BadIrpFree", "IoFreeIrp of " + DescribeIrp(Irp) +
                                            " with a cancel routine set");
  }
  ReleaseIrp(Irp);
}

extern "C" NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  EnterService("IofCallDriver");
  return CallDriver(DeviceObject, Irp, CallPath::IoCallDriver);
}

NTSTATUS sim::kernel::CallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp, CallPath path) {
  auto& thread = CurrentThread();
  IrpHeader* header = HeaderOf(Irp);
  if (header->Magic != kIrpMagic) {
    sim::verifier::Report("BadIrp", "IofCallDriver with " + Describe(Irp) +
                                        ", which is not a live request");
    return STATUS_INVALID_PARAMETER;
  }
  if (thread.Irql > DISPATCH_LEVEL) {
    sim::verifier::Report("IrqlIoCallDriver", "IofCallDriver at IRQL " +
                                                  std::to_string(thread.Irql));
  }
  if (header->CompletionState == IrpHeader::State::Finished) {
    sim::verifier::Report("CompletedRequestForwarded",
                          "IofCallDriver of " + DescribeIrp(Irp) + ", already completed");
    return STATUS_INVALID_PARAMETER;
  }
  CheckOwnership(Irp, "IofCallDriver");
  if (Irp->CurrentLocation <= 1) {
    sim::verifier::Report("NoMoreIrpStackLocations",
                          "IofCallDriver of " + DescribeIrp(Irp) + " to device " +
                              Describe(DeviceObject) + " with no stack location left");
    return STATUS_INVALID_PARAMETER;
  }
  if (path != CallPath::IoCallDriver && path != CallPath::PoQueued &&
      HoldPowerRequest(DeviceObject, Irp)) {
    return STATUS_PENDING;
  }

  // The location moves here without the driver-side inline (and its entry hook).
  Irp->CurrentLocation--;
  Irp->Tail.Overlay.CurrentStackLocation--;
  CHAR location = Irp->CurrentLocation;
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  if (stack->MajorFunction == IRP_MJ_POWER) {
    if (path == CallPath::IoCallDriver) {
      sim::verifier::Report("PoCallDriver", "power request " + DescribeIrp(Irp) +
                                                " passed to device " + Describe(DeviceObject) +
                                                " with IoCallDriver instead of PoCallDriver");
    }
    std::lock_guard guard(header->Lock);
    header->PowerRequest = true;
    header->PowerMinor = stack->MinorFunction;
    header->PowerLayers.try_emplace(DeviceObject, IrpHeader::PowerLayer{location, 0});
  }
  if (location < Irp->StackCount && stack->CompletionRoutine != nullptr) {
    PIO_STACK_LOCATION upper = stack + 1;
    if (upper->CompletionRoutine == stack->CompletionRoutine && upper->Context == stack->Context) {
      sim::verifier::Report("CopiedCompletionRoutine",
                            DescribeIrp(Irp) + ": the location passed to device " +
                                Describe(DeviceObject) +
                                " carries the upper layer's completion routine");
    }
  }

  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[stack->MajorFunction];
  // Taken before the call: once the routine returns, a pended request may already be in
  // another thread's completion walk. Formatted only for a report.
  IrpSnapshot snapshot = IrpSnapshot::Of(Irp);
  auto who = [DeviceObject, snapshot] {
    return "dispatch routine of device " + Describe(DeviceObject) + " for " + snapshot.Text();
  };
  KIRQL irqlBefore = thread.Irql;
  size_t locksBefore = thread.HeldSpinLocks.size();
  int mutexesBefore = thread.OwnedMutexes;
  {
    std::lock_guard guard(header->Lock);
    header->DispatchDepth++;
    if (header->Tracked && location < IrpHeader::kOwnedLocations) {
      header->OwnerDevices[static_cast<int>(location)] = DeviceObject;
      header->OwnerDrivers[static_cast<int>(location)] = DeviceObject->DriverObject;
    }
  }
  int criticalRegionsBefore = thread.CriticalRegions;
  thread.Frames.push_back({Irp, location});
  if (SectionOf(reinterpret_cast<const void*>(dispatch)) == CodeSection::Init) {
    CheckInitCodeNow(reinterpret_cast<const void*>(dispatch), who());
  }
  PDRIVER_OBJECT callerDriver = std::exchange(thread.RunningDriver, DeviceObject->DriverObject);
  NTSTATUS status;
  {
    DriverActivity activity(DeviceObject, "dispatch routine",
                            reinterpret_cast<const void*>(dispatch), &snapshot);
    status = dispatch(DeviceObject, Irp);
  }
  thread.RunningDriver = callerDriver;
  DispatchFrame frame = thread.Frames.back();
  thread.Frames.pop_back();
  CheckNoWaitOwed("the return of a dispatch routine");

  if (thread.Irql != irqlBefore) {
    sim::verifier::Report("IrqlReturn", who() + " returned at IRQL " + std::to_string(thread.Irql) +
                                            ", called at " + std::to_string(irqlBefore));
    thread.Irql = irqlBefore;
  }
  if (thread.HeldSpinLocks.size() != locksBefore) {
    sim::verifier::Report("SpinLock", who() + " returned holding a spin lock");
  }
  if (thread.OwnedMutexes != mutexesBefore) {
    sim::verifier::Report("MutexHeldOnReturn", who() + " returned owning a kernel mutex");
  }
  bool marked = MarkedPendingAtReturn(Irp, location, status == STATUS_PENDING);
  if (status == STATUS_PENDING && !marked) {
    sim::verifier::Report("MarkIrpPending",
                          who() + " returned STATUS_PENDING without IoMarkIrpPending");
  }
  bool markedByManager;
  {
    std::lock_guard guard(header->Lock);
    markedByManager = ((header->ManagerPendingMarks >> location) & 1) != 0;
  }
  if (status != STATUS_PENDING && marked && !markedByManager) {
    sim::verifier::Report("MarkIrpPending2", who() + " marked the request pending but returned 0x" +
                                                 [&] {
                                                   char text[16];
                                                   std::snprintf(text, sizeof text, "%08X",
                                                                 static_cast<unsigned>(status));
                                                   return std::string(text);
                                                 }());
  }
  if (frame.CompletedHere && status == STATUS_PENDING) {
    sim::verifier::Report("PendedCompletedRequest",
                          who() + " completed the request and then returned STATUS_PENDING");
  } else if (frame.CompletedHere && status != frame.CompletedStatus) {
    sim::verifier::Report("StatusMismatch", who() + " completed the request with one status and "
                                                  "returned another");
  }
  CheckDispatchOutcome({Irp, DeviceObject, location, static_cast<UCHAR>(snapshot.major), status, marked,
                        frame, snapshot});
  if (thread.CriticalRegions != criticalRegionsBefore) {
    CheckCriticalRegionsLeft(criticalRegionsBefore, who());
  }
  // The routine that called this one passed its request down, and got this status.
  if (DispatchFrame* caller = InnermostFrame(Irp)) {
    caller->PassedDown = true;
    caller->LowerStatus = status;
  }

  EndDispatch(Irp);
  return status;
}

extern "C" void FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  EnterService("IofCompleteRequest");
  (void)PriorityBoost;
  auto& thread = CurrentThread();
  IrpHeader* header = HeaderOf(Irp);
  if (header->Magic != kIrpMagic) {
    sim::verifier::Report("BadIrp", "IofCompleteRequest with " + Describe(Irp) +
                                        ", which is not a live request");
    return;
  }
  {
    std::lock_guard guard(header->Lock);
    if (header->CompletionState != IrpHeader::State::InFlight) {
      sim::verifier::Report("DoubleCompletion",
                            "IofCompleteRequest of " + DescribeIrp(Irp) + ", already completed");
      return;
    }
    std::atomic_ref(header->CompletionState)
        .store(IrpHeader::State::Completing, std::memory_order_release);
    __atomic_store_n(&header->WalkLocation, static_cast<int>(Irp->CurrentLocation),
                     __ATOMIC_RELEASE);
  }
  NTSTATUS finalStatus = Irp->IoStatus.Status;
  if (thread.Irql > DISPATCH_LEVEL) {
    sim::verifier::Report("IrqlIoCompleteRequest", "IofCompleteRequest of " + DescribeIrp(Irp) +
                                                       " at IRQL " + std::to_string(thread.Irql));
  }
  if (finalStatus == STATUS_PENDING || finalStatus == kInvalidStatus) {
    sim::verifier::Report("CompleteWithInvalidStatus",
                          DescribeIrp(Irp) + " completed with status STATUS_PENDING or -1");
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    sim::verifier::Report("CompleteWithCancelRoutine",
                          DescribeIrp(Irp) + " completed with its cancel routine still set");
  }
  if (!thread.HeldSpinLocks.empty()) {
    sim::verifier::Report("SpinLock", DescribeIrp(Irp) + " completed while holding a spin lock");
  }
  CheckOwnership(Irp, "IofCompleteRequest");
  CheckPowerCompletionIrql(Irp);
  // Only a completion by the dispatch routine itself counts as its own: one made while a
  // lower call is still running on this thread (a completion routine or a callback of this
  // driver finishing the request after a lower driver completed at once) leaves the dispatch
  // routine free to return the STATUS_PENDING it marked for.
  if (DispatchFrame* frame = InnermostFrame(Irp);
      frame != nullptr && frame == &thread.Frames.back() &&
      frame->Location == Irp->CurrentLocation) {
    frame->CompletedHere = true;
    frame->CompletedStatus = finalStatus;
  }

  // The walk moves up one location before looking at the routine that the upper driver put
  // into the location just left, exactly as the platform does.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION finished = IoGetCurrentIrpStackLocation(Irp);
    int finishedLocation = Irp->CurrentLocation;
    UCHAR control;
    PIO_COMPLETION_ROUTINE routine;
    PVOID context;
    PDEVICE_OBJECT finishedDevice;
    bool unmarkedPendingReturn;
    {
      std::lock_guard guard(header->Lock);
      control = __atomic_load_n(&finished->Control, __ATOMIC_RELAXED);
      routine = finished->CompletionRoutine;
      context = finished->Context;
      finishedDevice = finished->DeviceObject;
      if (control & SL_PENDING_RETURNED) header->PendingMarks |= uint64_t{1} << finishedLocation;
      unmarkedPendingReturn = !(control & SL_PENDING_RETURNED) &&
                              ((header->PendingReturnsToCheck >> finishedLocation) & 1) != 0;
      Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
      if (finishedLocation < IrpHeader::kOwnedLocations) {
        header->OwnerDevices[finishedLocation] = nullptr;
        header->OwnerDrivers[finishedLocation] = nullptr;
      }
      IoSkipCurrentIrpStackLocation(Irp);
      __atomic_store_n(&header->WalkLocation, static_cast<int>(Irp->CurrentLocation),
                     __ATOMIC_RELEASE);
      std::memset(static_cast<void*>(finished), 0, sizeof(IO_STACK_LOCATION));
    }
    if (unmarkedPendingReturn) {
      sim::verifier::Report("MarkIrpPending",
                            "dispatch routine of device " + Describe(finishedDevice) + " for " +
                                Describe(Irp) + " returned STATUS_PENDING, and location " +
                                std::to_string(finishedLocation) +
                                " was never marked pending before the request completed");
    }
    NTSTATUS status = Irp->IoStatus.Status;
    // Cancel is set by IoCancelIrp, which may run on another thread.
    bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
    bool invoke = (NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                  (cancelled && (control & SL_INVOKE_ON_CANCEL));
    bool atTop = Irp->CurrentLocation == Irp->StackCount + 1;
    if (invoke && routine != nullptr) {
      PDEVICE_OBJECT device = atTop ? nullptr : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
      {
        std::lock_guard guard(header->Lock);
        // The routine owns it now.
        std::atomic_ref(header->CompletionState)
            .store(IrpHeader::State::InFlight, std::memory_order_release);
      }
      KIRQL irqlBefore = thread.Irql;
      int regionsBefore = thread.CriticalRegions;
      CheckCallback(reinterpret_cast<const void*>(routine), "completion routine");
      PDRIVER_OBJECT callerDriver =
          std::exchange(thread.RunningDriver, device != nullptr ? device->DriverObject : nullptr);
      NTSTATUS result;
      {
        DriverActivity activity(device, "completion routine",
                                reinterpret_cast<const void*>(routine), nullptr, Irp);
        result = routine(device, Irp, context);
      }
      thread.RunningDriver = callerDriver;
      if (thread.CriticalRegions != regionsBefore) {
        CheckCriticalRegionsLeft(regionsBefore,
                                 "completion routine " + Describe(reinterpret_cast<void*>(routine)));
      }
      if (thread.Irql != irqlBefore) {
        sim::verifier::Report("IrqlReturn", "completion routine " +
                                                Describe(reinterpret_cast<void*>(routine)) +
                                                " returned at another IRQL");
        thread.Irql = irqlBefore;
      }
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;  // never touch it again
      {
        std::lock_guard guard(header->Lock);
        if (header->CompletionState != IrpHeader::State::InFlight) {
          sim::verifier::Report("DoubleCompletion",
                                "completion routine " + Describe(reinterpret_cast<void*>(routine)) +
                                    " completed " + Describe(Irp) + " again");
          return;
        }
        std::atomic_ref(header->CompletionState)
            .store(IrpHeader::State::Completing, std::memory_order_release);
      }
      if (Irp->PendingReturned && !atTop &&
          !(__atomic_load_n(&IoGetCurrentIrpStackLocation(Irp)->Control, __ATOMIC_RELAXED) &
            SL_PENDING_RETURNED)) {
        sim::verifier::Report("MarkIrpPending",
                              "completion routine " + Describe(reinterpret_cast<void*>(routine)) +
                                  " saw PendingReturned but did not mark the request pending");
      }
    } else if (Irp->PendingReturned && !atTop) {
      IoMarkIrpPending(Irp);
    }
  }

  if (header->CheckInformation && Irp->IoStatus.Information > header->OutputLength) {
    sim::verifier::Report("InformationTooLarge",
                          "request completed with Information " +
                              std::to_string(Irp->IoStatus.Information) +
                              ", more than the output length " +
                              std::to_string(header->OutputLength));
  }
  std::function<void(PIRP)> onFinal;
  {
    std::lock_guard guard(header->Lock);
    std::atomic_ref(header->CompletionState)
        .store(IrpHeader::State::Finished, std::memory_order_release);
    onFinal = std::move(header->OnFinalCompletion);  // runs once: the request is finished
  }
  CheckPowerStarts(Irp);
  if (onFinal) {
    bool freeAfter = header->FreeAfterCompletion;
    onFinal(Irp);
    if (freeAfter) ReleaseIrp(Irp);  // at whatever depth: a dispatch routine may still run
  } else {
    sim::verifier::Report("CompletionPastTop",
                          "completion of " + Describe(Irp) +
                              ", a request without an I/O manager originator, ran past its "
                              "last stack location (its allocator must stop it with "
                              "STATUS_MORE_PROCESSING_REQUIRED)");
  }
}

namespace sim::io {
namespace {

IO_STATUS_BLOCK SendAndWait(PDEVICE_OBJECT device, PIRP irp, bool check, ULONG outputLength) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK result{};
  IrpHeader* header = HeaderOf(irp);
  header->CheckInformation = check;
  header->OutputLength = outputLength;
  header->FreeAfterCompletion = true;
  header->OnFinalCompletion = [&done, &result](PIRP completed) {
    result = completed->IoStatus;
    KeSetEvent(&done, IO_NO_INCREMENT, FALSE);
  };
  CallDriver(device, irp, CallPath::Manager);  // a return without completion is reported there
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  return result;  // the request is gone: released at its final completion
}

}  // namespace

PIRP AllocateManagerIrp(CCHAR stackSize) {
  PlatformAllocation platform;
  return IoAllocateIrp(stackSize, FALSE);
}

IO_STATUS_BLOCK CallAndWait(PDEVICE_OBJECT device, PIRP irp) {
  return SendAndWait(device, irp, false, 0);
}

IO_STATUS_BLOCK CallAndWaitChecked(PDEVICE_OBJECT device, PIRP irp, ULONG outputLength) {
  return SendAndWait(device, irp, true, outputLength);
}

}  // namespace sim::io
