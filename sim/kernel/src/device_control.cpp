// Device-control requests as the I/O manager builds and finishes them, the MDL mapping they
// use, and event objects for user mode.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "kernel_internal.h"
#include "objects.h"
#include "sim/io.h"
#include "sim/kernel.h"
#include "sim/nt_api.h"

namespace sim::kernel {
namespace {

constexpr ULONG kFoSynchronousIo = 0x00000002;  // FO_SYNCHRONOUS_IO

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// The buffers the I/O manager made for one request, released at its final completion.
struct RequestBuffers {
  void* systemBuffer = nullptr;
  PMDL mdl = nullptr;
};

PMDL BuildMdl(void* buffer, ULONG length) {
  auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
  auto address = reinterpret_cast<ULONG_PTR>(buffer);
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR{0xFFF});
  mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
  mdl->ByteCount = length;
  return mdl;
}

// A system buffer: not zeroed beyond the input, as on the platform; the pattern makes output
// the driver never wrote recognisable.
void* AllocateSystemBuffer(const void* input, ULONG inputLength, ULONG size) {
  void* buffer = std::malloc(size);
  std::memset(buffer, 0xA5, size);
  if (inputLength != 0) std::memcpy(buffer, input, inputLength);
  return buffer;
}

// Device-control requests that user mode has outstanding, as the I/O manager knows them for
// cancellation: the file object, the issuing thread and the caller's status block. A request
// is listed from before it reaches the driver until its final completion has run; once that
// has begun it can no longer be cancelled, and a caller that saw its status or its event
// finds nothing left to cancel.
struct OutstandingRequest {
  uint64_t id;
  PFILE_OBJECT file;
  PIRP irp;
  std::thread::id thread;
  const nt::IoStatus* iosb;
  uint32_t code;
  bool finishing = false;
};

std::mutex g_outstandingLock;
std::condition_variable g_outstandingGone;
std::list<OutstandingRequest> g_outstanding;
uint64_t g_nextRequestId = 1;

uint64_t TrackRequest(PFILE_OBJECT file, PIRP irp, const nt::IoStatus* iosb, uint32_t code) {
  std::lock_guard guard(g_outstandingLock);
  uint64_t id = g_nextRequestId++;
  g_outstanding.push_back({id, file, irp, std::this_thread::get_id(), iosb, code});
  return id;
}

void RequestFinishing(uint64_t id) {
  std::lock_guard guard(g_outstandingLock);
  for (OutstandingRequest& r : g_outstanding) {
    if (r.id == id) r.finishing = true;
  }
}

void ForgetRequest(uint64_t id) {
  {
    std::lock_guard guard(g_outstandingLock);
    std::erase_if(g_outstanding, [id](const OutstandingRequest& r) { return r.id == id; });
  }
  g_outstandingGone.notify_all();
}

}  // namespace

}  // namespace sim::kernel

sim::schedule::Action sim::schedule::CancelRequest(uint32_t ioControlCode) {
  using namespace sim::kernel;
  return [ioControlCode] {
    PIRP irp = nullptr;
    {
      std::lock_guard guard(g_outstandingLock);
      for (auto it = g_outstanding.rbegin(); it != g_outstanding.rend(); ++it) {
        if (it->code != ioControlCode || it->finishing) continue;
        irp = it->irp;
        HoldIrp(irp);  // as CancelIoFile: a racing completion cannot free it under IoCancelIrp
        break;
      }
    }
    if (irp == nullptr) return;
    IoCancelIrp(irp);
    ReleaseIrpHold(irp);
  };
}

namespace sim::kernel {

void ResetOutstandingRequests() {
  std::lock_guard guard(g_outstandingLock);
  g_outstanding.clear();
}

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" PVOID NTAPI MmMapLockedPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode) {
  EnterService("MmMapLockedPages");
  (void)AccessMode;
  CheckIrqlAtMost(DISPATCH_LEVEL, "MmMapLockedPages");
  PMDL mdl = MemoryDescriptorList;
  if (mdl == nullptr) {
    verifier::Report("NullMdl", "MmMapLockedPages of a null MDL");
    return nullptr;
  }
  // The emulated machine has one address space: the system mapping is the buffer itself.
  if (!(mdl->MdlFlags & MDL_MAPPED_TO_SYSTEM_VA)) {
    mdl->MappedSystemVa = static_cast<char*>(mdl->StartVa) + mdl->ByteOffset;
    mdl->MdlFlags |= MDL_MAPPED_TO_SYSTEM_VA;
  }
  return mdl->MappedSystemVa;
}

namespace sim::nt {

Status DeviceIoControlFile(Handle fileHandle, Handle eventHandle, IoStatus* iosb, uint32_t code,
                           const void* input, uint32_t inputLength, void* output,
                           uint32_t outputLength) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "NtDeviceIoControlFile")) return STATUS_INVALID_PARAMETER;
  bool wrongKind = false;
  auto* file = static_cast<PFILE_OBJECT>(ReferenceByHandle(fileHandle, ObjectKind::File, &wrongKind));
  if (file == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  PKEVENT event = nullptr;
  if (eventHandle != 0) {
    event = static_cast<PKEVENT>(ReferenceByHandle(eventHandle, ObjectKind::Event, &wrongKind));
    if (event == nullptr) {
      DereferenceObject(file);
      return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
    }
  }
  PKEVENT completionEvent = event != nullptr ? event : &file->Event;
  KeClearEvent(completionEvent);
  bool synchronous = (file->Flags & kFoSynchronousIo) != 0;
  if (synchronous) ObfReferenceObject(file);  // kept for the wait below

  PDEVICE_OBJECT top = io::GetAttachedDevice(file->DeviceObject);
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->RequestorMode = UserMode;
  irp->UserBuffer = output;
  irp->Tail.Overlay.OriginalFileObject = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = file;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);

  ULONG method = METHOD_FROM_CTL_CODE(code);
  RequestBuffers buffers;
  if (method == METHOD_BUFFERED) {
    ULONG size = std::max(inputLength, outputLength);
    if (size != 0) {
      buffers.systemBuffer = AllocateSystemBuffer(input, inputLength, size);
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
    }
  } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    if (inputLength != 0) buffers.systemBuffer = AllocateSystemBuffer(input, inputLength, inputLength);
    if (outputLength != 0) buffers.mdl = BuildMdl(output, outputLength);
  }
  irp->AssociatedIrp.SystemBuffer = buffers.systemBuffer;
  irp->MdlAddress = buffers.mdl;

  uint64_t requestId = TrackRequest(file, irp, iosb, code);
  IrpHeader* header = HeaderOf(irp);
  header->CheckInformation = method != METHOD_NEITHER;
  header->OutputLength = outputLength;
  header->FreeAfterCompletion = true;
  header->OnFinalCompletion = [=](PIRP done) {
    RequestFinishing(requestId);
    NTSTATUS status = done->IoStatus.Status;
    ULONG_PTR information = done->IoStatus.Information;
    if (method == METHOD_BUFFERED && !IsError(status) && outputLength != 0) {
      std::memcpy(output, buffers.systemBuffer, std::min<ULONG_PTR>(information, outputLength));
    }
    std::free(buffers.systemBuffer);
    std::free(buffers.mdl);
    done->AssociatedIrp.SystemBuffer = nullptr;
    done->MdlAddress = nullptr;
    // A caller may poll the status block without waiting (GetOverlappedResult without
    // waiting does): the status goes last, whole and atomically, after the byte count.
    __atomic_store_n(&iosb->information, information, __ATOMIC_RELAXED);
    __atomic_store_n(&iosb->pointer,
                     reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<ULONG>(status))),
                     __ATOMIC_RELEASE);
    KeSetEvent(completionEvent, IO_NO_INCREMENT, FALSE);
    ForgetRequest(requestId);
    if (event != nullptr) DereferenceObject(event);
    DereferenceObject(file);
  };

  NTSTATUS status = IofCallDriver(top, irp);
  if (!synchronous) return status;
  KeWaitForSingleObject(&file->Event, Executive, UserMode, FALSE, nullptr);
  DereferenceObject(file);
  return iosb->status;
}

Status CancelIoFile(Handle fileHandle, bool allThreads, const IoStatus* only) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "NtCancelIoFile")) return STATUS_INVALID_PARAMETER;
  bool wrongKind = false;
  auto* file =
      static_cast<PFILE_OBJECT>(ReferenceByHandle(fileHandle, ObjectKind::File, &wrongKind));
  if (file == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;

  // Each request is held while it is listed, so that a completion racing the cancel cannot
  // free it before IoCancelIrp is done with it.
  std::vector<std::pair<uint64_t, PIRP>> chosen;
  {
    std::lock_guard guard(g_outstandingLock);
    for (const OutstandingRequest& r : g_outstanding) {
      if (r.file != file || r.finishing) continue;
      if (!allThreads && r.thread != std::this_thread::get_id()) continue;
      if (only != nullptr && r.iosb != only) continue;
      HoldIrp(r.irp);
      chosen.emplace_back(r.id, r.irp);
    }
  }
  for (auto& [id, irp] : chosen) {
    IoCancelIrp(irp);
    ReleaseIrpHold(irp);
  }

  if (!allThreads) {
    // Cancelling the thread's own I/O returns once those requests are done, or once the
    // driver has had long enough to finish them.
    std::unique_lock guard(g_outstandingLock);
    g_outstandingGone.wait_for(guard, DeadlockLimit(), [&] {
      return std::none_of(g_outstanding.begin(), g_outstanding.end(),
                          [&](const OutstandingRequest& r) {
                            return std::any_of(chosen.begin(), chosen.end(),
                                               [&](const auto& c) { return c.first == r.id; });
                          });
    });
  }
  DereferenceObject(file);
  if (allThreads && chosen.empty()) return STATUS_NOT_FOUND;
  return STATUS_SUCCESS;
}

Status CreateEvent(bool manualReset, bool initialState, Handle* handle) {
  auto* event = static_cast<PKEVENT>(CreateObject(ObjectKind::Event, sizeof(KEVENT), nullptr, nullptr));
  KeInitializeEvent(event, manualReset ? NotificationEvent : SynchronizationEvent, initialState);
  *handle = InsertHandle(event);
  DereferenceObject(event);
  return STATUS_SUCCESS;
}

namespace {

template <typename Action>
Status WithEvent(Handle handle, Action action) {
  bool wrongKind = false;
  auto* event = static_cast<PKEVENT>(ReferenceByHandle(handle, ObjectKind::Event, &wrongKind));
  if (event == nullptr) return wrongKind ? STATUS_OBJECT_TYPE_MISMATCH : STATUS_INVALID_HANDLE;
  action(event);
  DereferenceObject(event);
  return STATUS_SUCCESS;
}

}  // namespace

Status SetEvent(Handle event) {
  return WithEvent(event, [](PKEVENT e) { KeSetEvent(e, IO_NO_INCREMENT, FALSE); });
}

Status ResetEvent(Handle event) {
  return WithEvent(event, [](PKEVENT e) { KeClearEvent(e); });
}

Status WaitForSingleObject(Handle object, int64_t timeoutMs) {
  bool wrongKind = false;
  void* body = ReferenceByHandle(object, ObjectKind::Event, &wrongKind);
  PKEVENT event = static_cast<PKEVENT>(body);
  if (body == nullptr && wrongKind) {
    body = ReferenceByHandle(object, ObjectKind::File, &wrongKind);
    if (body != nullptr) event = &static_cast<PFILE_OBJECT>(body)->Event;
  }
  if (body == nullptr) return STATUS_INVALID_HANDLE;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeoutMs * 10000;
  NTSTATUS status =
      KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, timeoutMs < 0 ? nullptr : &timeout);
  DereferenceObject(body);
  return status;
}

}  // namespace sim::nt
