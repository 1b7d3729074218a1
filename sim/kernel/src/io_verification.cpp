// I/O verification: what a dispatch routine must have done with its request when it returns
// (completed, pended or passed down; the lower driver's status returned; WMI requests passed
// down), and the requests a driver still holds when its file object is cleaned up, its device
// deleted or the driver unloaded.
#include "io_verification.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <set>

namespace sim::kernel {
namespace {

std::mutex g_trackLock;
std::set<PIRP> g_tracked;  // live requests, while special pool is on

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(status));
  return text;
}

bool DispatchedByThisThread(PIRP irp) {
  for (const DispatchFrame& frame : CurrentThread().Frames) {
    if (frame.Irp == irp) return true;
  }
  return false;
}

}  // namespace

void TrackRequest(PIRP irp) {
  HeaderOf(irp)->Tracked = true;
  std::lock_guard guard(g_trackLock);
  g_tracked.insert(irp);
}

void UntrackRequest(PIRP irp) {
  std::lock_guard guard(g_trackLock);
  g_tracked.erase(irp);
}

std::vector<std::string> OutstandingRequests(PDEVICE_OBJECT device, PDRIVER_OBJECT driver,
                                             PFILE_OBJECT file) {
  std::vector<std::string> held;
  std::lock_guard guard(g_trackLock);
  for (PIRP irp : g_tracked) {
    if (DispatchedByThisThread(irp)) continue;
    IrpHeader* header = HeaderOf(irp);
    std::lock_guard irpGuard(header->Lock);
    // A request still inside a dispatch routine races the deletion on another processor (a
    // close that released the remove lock before completing): only those a driver pended and
    // keeps after its routines returned are held.
    if (header->Released || header->CompletionState == IrpHeader::State::Finished ||
        header->DispatchDepth > 0)
      continue;
    bool match = false, owned = false;
    for (int location = 1; location < IrpHeader::kOwnedLocations; ++location) {
      if (header->OwnerDevices[location] == nullptr) continue;
      owned = true;
      match = match || header->OwnerDevices[location] == device ||
              (driver != nullptr && header->OwnerDrivers[location] == driver);
    }
    if (match || (owned && file != nullptr && header->File == file)) {
      held.push_back(IrpSnapshot::Of(irp).Text());
    }
  }
  return held;
}

void CheckDispatchOutcome(const DispatchOutcome& outcome) {
  IrpHeader* header = HeaderOf(outcome.irp);
  const DispatchFrame& frame = outcome.frame;
  // Read without the lock (stored atomically under it), to keep the common path lock-free.
  bool completedPast =
      std::atomic_ref(header->CompletionState).load(std::memory_order_acquire) ==
          IrpHeader::State::Finished ||
      __atomic_load_n(&header->WalkLocation, __ATOMIC_ACQUIRE) > outcome.location;
  // Rule LowerDriverReturn: a routine that called a lower driver and neither completed nor
  // marked the request returns what the call returned.
  if (frame.PassedDown && !frame.CompletedHere && !outcome.marked &&
      outcome.status != frame.LowerStatus) {
    verifier::Report("LowerDriverReturn", outcome.Who() + " passed the request down, got " +
                                              Hex(frame.LowerStatus) + " and returned " +
                                              Hex(outcome.status));
  } else if (outcome.status != STATUS_PENDING && !completedPast && !frame.PassedDown) {
    verifier::Report("ReturnWithoutCompletion",
                     outcome.Who() + " returned " + Hex(outcome.status) +
                         " for a request it neither completed, marked pending nor passed down");
  }
  // Rule WmiForward: a driver that is no WMI provider (none is: the emulated kernel has no
  // IoWMIRegistrationControl) passes system-control requests to the driver below it
  // ("DispatchSystemControl Routines"). A device being removed refuses it
  // (STATUS_DELETE_PENDING), as it refuses every request then.
  if (outcome.major == IRP_MJ_SYSTEM_CONTROL && !frame.PassedDown &&
      outcome.status != STATUS_DELETE_PENDING &&
      outcome.device->DeviceObjectExtension->AttachedTo != nullptr) {
    verifier::Report("WmiForward", outcome.Who() + " did not pass the WMI request down to " +
                                       Describe(outcome.device->DeviceObjectExtension->AttachedTo));
  }
}

}  // namespace sim::kernel
