// The fake device's driver.
#include "fake_device.h"

#include <wdm.h>

#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "sim/driver_loader.h"

namespace fake_device {
namespace {

PDRIVER_OBJECT g_driver = nullptr;
PDEVICE_OBJECT g_device = nullptr;
std::vector<std::thread> g_completions;
KSPIN_LOCK g_parkedLock;
LIST_ENTRY g_parked;  // through Tail.Overlay.ListEntry

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

void NTAPI CancelParked(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  KIRQL irql;
  KeAcquireSpinLock(&g_parkedLock, &irql);
  RemoveEntryList(&irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_parkedLock, irql);
  Complete(irp, STATUS_CANCELLED, 0);
}

// The cancel routine goes in before Cancel is looked at: a cancel that came first is seen
// here, and one that comes after finds the routine. The request is marked pending only once
// it stays, so that one completed here is not also reported pending.
NTSTATUS Park(PIRP irp) {
  KIRQL irql;
  KeAcquireSpinLock(&g_parkedLock, &irql);
  IoSetCancelRoutine(irp, CancelParked);
  bool cancelled = __atomic_load_n(&irp->Cancel, __ATOMIC_ACQUIRE) != FALSE;
  if (cancelled && IoSetCancelRoutine(irp, nullptr) != nullptr) {
    KeReleaseSpinLock(&g_parkedLock, irql);
    return Complete(irp, STATUS_CANCELLED, 0);
  }
  // If the cancel routine already runs, it waits for the lock and finds the request queued.
  IoMarkIrpPending(irp);
  InsertTailList(&g_parked, &irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&g_parkedLock, irql);
  return STATUS_PENDING;
}

// Cleanup cancels what the closing file object still has parked; requests whose cancel
// routine is already running are left to it.
NTSTATUS NTAPI DispatchCleanup(PDEVICE_OBJECT, PIRP irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  KeAcquireSpinLock(&g_parkedLock, &irql);
  for (PLIST_ENTRY entry = g_parked.Flink; entry != &g_parked;) {
    PIRP parked = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    entry = entry->Flink;
    if (IoGetCurrentIrpStackLocation(parked)->FileObject != file) continue;
    if (IoSetCancelRoutine(parked, nullptr) == nullptr) continue;
    RemoveEntryList(&parked->Tail.Overlay.ListEntry);
    InsertTailList(&cancelled, &parked->Tail.Overlay.ListEntry);
  }
  KeReleaseSpinLock(&g_parkedLock, irql);
  while (!IsListEmpty(&cancelled)) {
    PLIST_ENTRY entry = RemoveHeadList(&cancelled);
    Complete(CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry), STATUS_CANCELLED, 0);
  }
  return Complete(irp, STATUS_SUCCESS, 0);
}

NTSTATUS NTAPI DispatchControl(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  auto* system = static_cast<UCHAR*>(irp->AssociatedIrp.SystemBuffer);
  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
    case kEcho:
      return Complete(irp, STATUS_SUCCESS, in);  // the system buffer already holds the input
    case kFillDirect: {
      auto* output = static_cast<UCHAR*>(MmMapLockedPages(irp->MdlAddress, KernelMode));
      for (ULONG i = 0; i < out; ++i) {
        output[i] = static_cast<UCHAR>(i + (i < in ? system[i] : 0));
      }
      return Complete(irp, STATUS_SUCCESS, out);
    }
    case kFailAfterWriting:
      std::memset(system, 0xEE, out);
      return Complete(irp, STATUS_INVALID_PARAMETER, out);
    case kWarnAfterWriting:
      std::memset(system, 0xEE, out);
      return Complete(irp, NTSTATUS_CODE(0x80000005), out);  // STATUS_BUFFER_OVERFLOW
    case kPendThenEcho:
      IoMarkIrpPending(irp);
      g_completions.emplace_back([irp, in] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        Complete(irp, STATUS_SUCCESS, in);
      });
      return STATUS_PENDING;
    case kOverstate:
      std::memset(system, 0xEE, out);
      return Complete(irp, STATUS_SUCCESS, out + 1);
    case kClaimUnwritten:
      if (out != 0) system[0] = 0x5A;
      return Complete(irp, STATUS_SUCCESS, out);
    case kParkUntilCancelled:
      return Park(irp);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}

}  // namespace

size_t ParkedCount() {
  KIRQL irql;
  KeAcquireSpinLock(&g_parkedLock, &irql);
  size_t count = 0;
  for (PLIST_ENTRY entry = g_parked.Flink; entry != &g_parked; entry = entry->Flink) ++count;
  KeReleaseSpinLock(&g_parkedLock, irql);
  return count;
}

void Install() {
  KeInitializeSpinLock(&g_parkedLock);
  InitializeListHead(&g_parked);
  sim::kernel::LoadDriver(FakeDriverEntry, u"\\Driver\\FakeDevice", u"\\Registry\\FakeDevice",
                          &g_driver);
  UNICODE_STRING name, link;
  RtlInitUnicodeString(&name, L"\\Device\\FakeDevice");
  RtlInitUnicodeString(&link, L"\\DosDevices\\FakeDevice");
  IoCreateDevice(g_driver, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &g_device);
  g_device->Flags &= ~DO_DEVICE_INITIALIZING;
  IoCreateSymbolicLink(&link, &name);
}

void Remove() {
  for (auto& thread : g_completions) thread.join();
  g_completions.clear();
  UNICODE_STRING link;
  RtlInitUnicodeString(&link, L"\\DosDevices\\FakeDevice");
  IoDeleteSymbolicLink(&link);
  IoDeleteDevice(g_device);
  sim::kernel::UnloadDriver(g_driver);
  g_device = nullptr;
  g_driver = nullptr;
}

}  // namespace fake_device
