// File objects on devices: the create, cleanup and close requests behind user-mode handles.
#include "kernel_internal.h"
#include "objects.h"
#include "sim/io.h"
#include "sim/nt_api.h"

namespace sim::kernel {
namespace {

constexpr CSHORT kIoTypeFile = 5;
constexpr ULONG kFoSynchronousIo = 0x00000002;  // FO_SYNCHRONOUS_IO
constexpr ULONG kFoHandleCreated = 0x00040000;  // FO_HANDLE_CREATED

// Sends a create, cleanup or close request for the file object to the top of its device's
// stack and waits for it.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major) {
  PDEVICE_OBJECT top = io::GetAttachedDevice(file->DeviceObject);
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->RequestorMode = UserMode;
  irp->Tail.Overlay.OriginalFileObject = file;
  HeaderOf(irp)->File = file;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  IO_STATUS_BLOCK result = io::CallAndWait(top, irp);
  return result.Status;
}

// A driver's cleanup completes every request it holds for the file object: after it, none
// may be left (only tracked while special pool is on).
void OnLastFileHandle(void* body) {
  auto* file = static_cast<PFILE_OBJECT>(body);
  SendFileRequest(file, IRP_MJ_CLEANUP);
  for (const std::string& request : OutstandingRequests(nullptr, nullptr, file)) {
    verifier::Report("RequestOutstanding", "the cleanup of file object " + Describe(file) +
                                               " completed while a driver still holds " + request);
  }
}

// A file whose create failed gets no close, as on the platform; either way it lets go of its
// device, which frees a device deleted meanwhile.
void FinishFile(PFILE_OBJECT file) {
  if (file->Flags & kFoHandleCreated) SendFileRequest(file, IRP_MJ_CLOSE);
  DereferenceDevice(file->DeviceObject);
}

// The close is a PASSIVE_LEVEL request: when the last reference drops raised (a driver's
// ObDereferenceObject in a DPC), the platform sends it from a worker thread, and so does this
// (the kernel's own work, not a driver's work item). The dead object's memory stays until the
// kernel stops, and the file's reference keeps its device and driver, so the worker may still
// use them.
void OnFileDeleted(void* body) {
  auto* file = static_cast<PFILE_OBJECT>(body);
  if (CurrentThread().Irql == PASSIVE_LEVEL ||
      !QueueKernelWork([file] { FinishFile(file); }, "the close of file object " + Describe(file))) {
    FinishFile(file);
  }
}

// Whether the I/O manager lets a handle be opened on the device: not while its driver is
// still initialising it, nor before the PnP manager has started its stack (ReactOS
// IopCheckDeviceAndDriver; "Starting a Device": Windows 2000 and later block creates until
// the start succeeds).
bool AcceptsOpens(PDEVICE_OBJECT device) {
  return (device->Flags & DO_DEVICE_INITIALIZING) == 0 &&
         !device->DeviceObjectExtension->StartPending;
}

}  // namespace
}  // namespace sim::kernel

void sim::io::SetStackStartPending(PDEVICE_OBJECT pdo, bool pending) {
  for (PDEVICE_OBJECT device = pdo; device != nullptr; device = device->AttachedDevice) {
    device->DeviceObjectExtension->StartPending = pending;
  }
}

namespace sim::nt {

using namespace sim::kernel;

Status CreateFile(std::u16string_view ntPath, bool synchronous, Handle* handle,
                  uint32_t desiredAccess) {
  *handle = 0;
  PDEVICE_OBJECT device = ReferenceDeviceByName(ntPath);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* file = static_cast<PFILE_OBJECT>(
      CreateObject(ObjectKind::File, sizeof(FILE_OBJECT), OnLastFileHandle, OnFileDeleted));
  file->Type = kIoTypeFile;
  file->Size = sizeof(FILE_OBJECT);
  file->DeviceObject = device;
  if (synchronous) file->Flags |= kFoSynchronousIo;
  KeInitializeEvent(&file->Lock, SynchronizationEvent, FALSE);
  KeInitializeEvent(&file->Event, NotificationEvent, FALSE);

  NTSTATUS status = STATUS_SUCCESS;
  if (!AcceptsOpens(device)) status = STATUS_NO_SUCH_DEVICE;
  if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 1) status = STATUS_ACCESS_DENIED;
  if (NT_SUCCESS(status)) status = SendFileRequest(file, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    DereferenceObject(file);
    return status;
  }
  file->Flags |= kFoHandleCreated;
  *handle = InsertHandle(file, desiredAccess);
  DereferenceObject(file);  // the handle holds the object now
  return STATUS_SUCCESS;
}

Status Close(Handle handle) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "NtClose")) return STATUS_INVALID_PARAMETER;
  return CloseHandleValue(handle);
}

size_t OpenHandleCount() { return HandleCount(); }

}  // namespace sim::nt
