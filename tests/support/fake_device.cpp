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

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS NTAPI DispatchOpenClose(PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS, 0); }

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
      return Complete(irp, STATUS_SUCCESS, out + 1);
    default:
      return Complete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

NTSTATUS NTAPI FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_CREATE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = DispatchOpenClose;
  driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
  return STATUS_SUCCESS;
}

}  // namespace

void Install() {
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
