// Device-control requests as the I/O manager builds and finishes them, the MDL mapping they
// use, and event objects for user mode.
#include <algorithm>
#include <cstdio>
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
#include "special_pool.h"

namespace sim::kernel {
namespace {

constexpr ULONG kFoSynchronousIo = 0x00000002;  // FO_SYNCHRONOUS_IO

bool IsError(NTSTATUS status) { return (static_cast<ULONG>(status) >> 30) == 3; }

// Memory the I/O manager makes for a request: in special pool while it is on, so that a touch
// past it or after the request's final completion faults.
void* AllocateForRequest(size_t bytes, special_pool::Kind kind, PIRP irp) {
  if (special_pool::Enabled()) {
    if (void* p = special_pool::Allocate(bytes, {kind, 0, irp}, false, special_pool::Placement::Alternate))
      return p;
  }
  return std::malloc(bytes);
}

void FreeForRequest(void* p) {
  if (p != nullptr && !special_pool::Free(p)) std::free(p);
}

// The buffers the I/O manager made for one request, released at its final completion; with
// special pool on, the aliases through which the driver sees the caller's own buffers.
struct RequestBuffers {
  void* systemBuffer = nullptr;
  PMDL mdl = nullptr;
  void* userOutput = nullptr;  // Irp->UserBuffer's alias of the caller's output
  void* userInput = nullptr;   // Type3InputBuffer's alias of the caller's input (METHOD_NEITHER)
  void* type3Trap = nullptr;   // Type3InputBuffer of the other methods
};

PMDL BuildMdl(void* buffer, ULONG length, PIRP irp) {
  auto* mdl = static_cast<PMDL>(AllocateForRequest(sizeof(MDL), special_pool::Kind::Mdl, irp));
  std::memset(mdl, 0, sizeof(MDL));
  auto address = reinterpret_cast<ULONG_PTR>(buffer);
  mdl->Size = sizeof(MDL);
  mdl->MdlFlags = MDL_PAGES_LOCKED;
  mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR{0xFFF});
  mdl->ByteOffset = static_cast<ULONG>(address & 0xFFF);
  mdl->ByteCount = length;
  return mdl;
}

// Output the driver never wrote. Past the caller's input, the system buffer is filled with a
// pattern of 8 random bytes drawn afresh for every request (byte i holds pattern[i % 8]), as
// the platform leaves that memory holding whatever was there. At the copy-back, a run of at
// least kLeakRun returned bytes that still equal the pattern at their offsets is reported. The
// pattern is independent of anything the driver writes, so a run of written bytes matches by
// chance with probability 2^-32 at each offset: at most n * 2^-32 false alarms for n returned
// bytes. Shorter unwritten runs (1 to 3 bytes) go unseen. The patterns come from a generator
// reset at boot, so a run replays exactly.
constexpr ULONG kLeakRun = 4;
uint64_t g_patternState = 0;
std::mutex g_patternLock;

uint64_t NextPattern() {
  std::lock_guard guard(g_patternLock);
  uint64_t z = (g_patternState += 0x9E3779B97F4A7C15ull);  // splitmix64
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

UCHAR PatternByte(uint64_t pattern, ULONG offset) {
  return static_cast<UCHAR>(pattern >> (8 * (offset % 8)));
}

void* AllocateSystemBuffer(const void* input, ULONG inputLength, ULONG size, uint64_t pattern,
                           PIRP irp) {
  auto* buffer = static_cast<UCHAR*>(AllocateForRequest(size, special_pool::Kind::SystemBuffer, irp));
  for (ULONG i = inputLength; i < size; ++i) buffer[i] = PatternByte(pattern, i);
  if (inputLength != 0) std::memcpy(buffer, input, inputLength);
  return buffer;
}

// Reports the returned bytes [inputLength, returned) of a buffered request's system buffer
// that the driver left unwritten.
void CheckInformationLeak(const UCHAR* buffer, ULONG inputLength, ULONG returned,
                          uint64_t pattern, ULONG code) {
  ULONG leaked = 0, first = 0, runStart = inputLength;
  for (ULONG i = inputLength; i <= returned; ++i) {
    if (i < returned && buffer[i] == PatternByte(pattern, i)) continue;
    if (i - runStart >= kLeakRun) {
      if (leaked == 0) first = runStart;
      leaked += i - runStart;
    }
    runStart = i + 1;
  }
  if (leaked == 0) return;
  char text[160];
  std::snprintf(text, sizeof text,
                "device-control request 0x%08X returned %lu bytes to user mode that the driver "
                "never wrote (the first at offset %lu of %lu)",
                static_cast<unsigned>(code), static_cast<unsigned long>(leaked),
                static_cast<unsigned long>(first), static_cast<unsigned long>(returned));
  verifier::Report("InformationLeak", text);
}

// The file object's lock of a synchronous file: one request at a time, as the platform
// serialises them (Busy, with Waiters parked on the Lock event).
void AcquireFileLock(PFILE_OBJECT file) {
  while (__atomic_exchange_n(&file->Busy, 1u, __ATOMIC_SEQ_CST) != 0) {
    __atomic_add_fetch(&file->Waiters, 1u, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&file->Busy, __ATOMIC_SEQ_CST) != 0) {
      KeWaitForSingleObject(&file->Lock, Executive, UserMode, FALSE, nullptr);
    }
    __atomic_sub_fetch(&file->Waiters, 1u, __ATOMIC_SEQ_CST);
  }
}

void ReleaseFileLock(PFILE_OBJECT file) {
  __atomic_store_n(&file->Busy, 0u, __ATOMIC_SEQ_CST);
  if (__atomic_load_n(&file->Waiters, __ATOMIC_SEQ_CST) != 0) {
    KeSetEvent(&file->Lock, IO_NO_INCREMENT, FALSE);
  }
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

void WaitUntilForgotten(uint64_t id) {
  std::unique_lock guard(g_outstandingLock);
  g_outstandingGone.wait(guard, [id] {
    return std::none_of(g_outstanding.begin(), g_outstanding.end(),
                        [id](const OutstandingRequest& r) { return r.id == id; });
  });
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
  {
    std::lock_guard guard(g_outstandingLock);
    g_outstanding.clear();
  }
  std::lock_guard guard(g_patternLock);
  g_patternState = 0;
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
  void* body = nullptr;
  // The code's access bits (FILE_READ_ACCESS 1, FILE_WRITE_ACCESS 2) ask for FILE_READ_DATA
  // and FILE_WRITE_DATA, the same bits: a handle that grants less is refused before any
  // driver sees the request.
  NTSTATUS refStatus = ReferenceByHandle(fileHandle, ObjectKind::File, (code >> 14) & 3, &body);
  if (!NT_SUCCESS(refStatus)) return refStatus;
  auto* file = static_cast<PFILE_OBJECT>(body);
  PKEVENT event = nullptr;
  if (eventHandle != 0) {
    // The I/O manager sets the caller's event: its handle must grant that.
    refStatus = ReferenceByHandle(eventHandle, ObjectKind::Event, EVENT_MODIFY_STATE, &body);
    if (!NT_SUCCESS(refStatus)) {
      DereferenceObject(file);
      return refStatus;
    }
    event = static_cast<PKEVENT>(body);
  }
  bool synchronous = (file->Flags & kFoSynchronousIo) != 0;
  if (synchronous) {
    AcquireFileLock(file);
    ObfReferenceObject(file);  // kept for the wait below
  }
  PKEVENT completionEvent = event != nullptr ? event : &file->Event;
  KeClearEvent(completionEvent);

  PDEVICE_OBJECT top = io::GetAttachedDevice(file->DeviceObject);
  PIRP irp = io::AllocateManagerIrp(top->StackSize);
  irp->RequestorMode = UserMode;
  irp->UserBuffer = output;
  irp->Tail.Overlay.OriginalFileObject = file;
  HeaderOf(irp)->File = file;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  stack->FileObject = file;
  stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
  stack->Parameters.DeviceIoControl.InputBufferLength = inputLength;
  stack->Parameters.DeviceIoControl.IoControlCode = code;
  stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(input);

  ULONG method = METHOD_FROM_CTL_CODE(code);
  RequestBuffers buffers;
  uint64_t pattern = NextPattern();
  if (method == METHOD_BUFFERED) {
    ULONG size = std::max(inputLength, outputLength);
    if (size != 0) {
      buffers.systemBuffer = AllocateSystemBuffer(input, inputLength, size, pattern, irp);
      irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (outputLength ? IRP_INPUT_OPERATION : 0);
    }
  } else if (method == METHOD_IN_DIRECT || method == METHOD_OUT_DIRECT) {
    // The output is the caller's own memory, mapped: bytes the driver leaves alone are the
    // caller's, not the kernel's, so nothing there can leak.
    if (inputLength != 0) {
      buffers.systemBuffer = AllocateSystemBuffer(input, inputLength, inputLength, pattern, irp);
    }
    if (outputLength != 0) buffers.mdl = BuildMdl(output, outputLength, irp);
  }
  irp->AssociatedIrp.SystemBuffer = buffers.systemBuffer;
  irp->MdlAddress = buffers.mdl;
  // The caller's own addresses, as the driver sees them: with special pool on, aliases that
  // only the issuing thread may touch (UserBufferOtherContext), and for the methods other than
  // METHOD_NEITHER a Type3InputBuffer that faults when used.
  if (special_pool::Enabled()) {
    if (output != nullptr && outputLength != 0) {
      buffers.userOutput = special_pool::MapUserWindow(output, outputLength, irp);
      if (buffers.userOutput != nullptr) irp->UserBuffer = buffers.userOutput;
    }
    if (method == METHOD_NEITHER && input != nullptr && inputLength != 0) {
      buffers.userInput = special_pool::MapUserWindow(input, inputLength, irp);
      if (buffers.userInput != nullptr) {
        stack->Parameters.DeviceIoControl.Type3InputBuffer = buffers.userInput;
      }
    } else if (method != METHOD_NEITHER) {
      buffers.type3Trap = special_pool::Type3Trap(irp);
      stack->Parameters.DeviceIoControl.Type3InputBuffer = buffers.type3Trap;
    }
  }

  uint64_t requestId = TrackRequest(file, irp, iosb, code);
  IrpHeader* header = HeaderOf(irp);
  header->CheckInformation = method != METHOD_NEITHER;
  header->OutputLength = outputLength;
  header->FreeAfterCompletion = true;
  header->OnFinalCompletion = [=](PIRP done) {
    RequestFinishing(requestId);
    NTSTATUS status = done->IoStatus.Status;
    ULONG_PTR information = done->IoStatus.Information;
    // What the driver wrote through Irp->UserBuffer is the caller's, then the system buffer's
    // copy goes over it, as on the platform.
    if (buffers.userOutput != nullptr) special_pool::UnmapUserWindow(buffers.userOutput, output, true);
    if (buffers.userInput != nullptr) special_pool::UnmapUserWindow(buffers.userInput, nullptr, false);
    if (buffers.type3Trap != nullptr) special_pool::Free(buffers.type3Trap);
    if (method == METHOD_BUFFERED && !IsError(status) && outputLength != 0) {
      auto returned = static_cast<ULONG>(std::min<ULONG_PTR>(information, outputLength));
      CheckInformationLeak(static_cast<const UCHAR*>(buffers.systemBuffer), inputLength,
                           returned, pattern, code);
      std::memcpy(output, buffers.systemBuffer, returned);
    }
    // On an overlapped handle, a request the driver failed at once (an error status, never
    // pended) reaches its caller only as the call's result: no status block, no event.
    bool report = synchronous || !IsError(status) || done->PendingReturned;
    FreeForRequest(buffers.systemBuffer);
    FreeForRequest(buffers.mdl);
    done->AssociatedIrp.SystemBuffer = nullptr;
    done->MdlAddress = nullptr;
    // A caller may poll the status block without waiting (GetOverlappedResult without
    // waiting does): the status goes last, whole and atomically, after the byte count.
    if (report) {
      __atomic_store_n(&iosb->information, information, __ATOMIC_RELAXED);
      __atomic_store_n(&iosb->pointer,
                       reinterpret_cast<void*>(static_cast<uintptr_t>(static_cast<ULONG>(status))),
                       __ATOMIC_RELEASE);
      KeSetEvent(completionEvent, IO_NO_INCREMENT, FALSE);
    }
    if (event != nullptr) DereferenceObject(event);
    DereferenceObject(file);
    ForgetRequest(requestId);  // last: a synchronous caller waits for it
  };

  NTSTATUS status = IofCallDriver(top, irp);
  if (!synchronous) return status;
  KeWaitForSingleObject(&file->Event, Executive, UserMode, FALSE, nullptr);
  // The completion runs on to its end before the call returns, as the platform's does in the
  // caller's own thread: the caller's reference on the file is then the last.
  WaitUntilForgotten(requestId);
  status = iosb->status;
  ReleaseFileLock(file);
  DereferenceObject(file);
  return status;
}

Status CancelIoFile(Handle fileHandle, bool allThreads, const IoStatus* only) {
  if (!CheckIrqlAtMost(PASSIVE_LEVEL, "NtCancelIoFile")) return STATUS_INVALID_PARAMETER;
  void* body = nullptr;
  NTSTATUS refStatus = ReferenceByHandle(fileHandle, ObjectKind::File, 0, &body);
  if (!NT_SUCCESS(refStatus)) return refStatus;
  auto* file = static_cast<PFILE_OBJECT>(body);

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
  *handle = InsertHandle(event, kEventAllAccess);
  DereferenceObject(event);
  return STATUS_SUCCESS;
}

Status DuplicateHandle(Handle source, uint32_t desiredAccess, Handle* target) {
  return DuplicateHandleValue(source, desiredAccess, target);
}

namespace {

template <typename Action>
Status WithEvent(Handle handle, Action action) {
  void* body = nullptr;
  NTSTATUS status = ReferenceByHandle(handle, ObjectKind::Event, EVENT_MODIFY_STATE, &body);
  if (!NT_SUCCESS(status)) return status;
  auto* event = static_cast<PKEVENT>(body);
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
  void* body = nullptr;
  NTSTATUS refStatus = ReferenceByHandle(object, ObjectKind::Event, SYNCHRONIZE, &body);
  PKEVENT event = static_cast<PKEVENT>(body);
  if (refStatus == STATUS_OBJECT_TYPE_MISMATCH) {
    refStatus = ReferenceByHandle(object, ObjectKind::File, SYNCHRONIZE, &body);
    if (NT_SUCCESS(refStatus)) event = &static_cast<PFILE_OBJECT>(body)->Event;
  }
  if (refStatus == STATUS_ACCESS_DENIED) return refStatus;
  if (!NT_SUCCESS(refStatus)) return STATUS_INVALID_HANDLE;
  LARGE_INTEGER timeout;
  timeout.QuadPart = -timeoutMs * 10000;
  NTSTATUS status =
      KeWaitForSingleObject(event, UserRequest, UserMode, FALSE, timeoutMs < 0 ? nullptr : &timeout);
  DereferenceObject(body);
  return status;
}

}  // namespace sim::nt
