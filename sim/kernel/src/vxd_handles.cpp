// Ring-0 event handles of the 98/Me family. There a Win32 event handle belongs to KERNEL32's
// ring-3 table and means nothing to a driver; kernel32's OpenVxDHandle makes a ring-0 handle
// of it that a driver can reference (Windows 98 DDK, "OpenVxDHandle": the handle returned can
// be passed to a VxD and used to set the event at ring 0; it must be closed at ring 0 or the
// object is never freed, which an application cannot do: it lives until the process ends).
// The emulation keeps ring-0 handles in the kernel's handle table.
#include "objects.h"
#include "sim/kernel.h"
#include "sim/nt_api.h"

namespace sim::nt {

using namespace sim::kernel;

Status OpenVxDHandle(Handle event, Handle* ring0) {
  *ring0 = 0;
  if (CurrentWdmSupport() != WdmSupport::Wdm10Only) return STATUS_NOT_IMPLEMENTED;
  void* body = nullptr;
  NTSTATUS status = ReferenceByHandle(event, ObjectKind::Event, 0, &body);
  if (!NT_SUCCESS(status)) return status;
  *ring0 = InsertHandle(body, kEventAllAccess, HandleTable::Kernel);
  DereferenceObject(body);  // the ring-0 handle holds its own reference
  return STATUS_SUCCESS;
}

}  // namespace sim::nt
