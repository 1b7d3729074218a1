// Resource assignment at start and release at stop, surprise removal and removal.
#include "hw/resources.h"

#include "acq/acquisition.h"
#include "hw/bridge_interrupt.h"
#include "hw/interrupt.h"
#include "hw/registers.h"
#include "ioctl/notify.h"

namespace {

// The interrupt as the translated list describes it.
struct INTERRUPT_RESOURCE {
  bool Seen;
  KIRQL Irql;
  ULONG Vector;
  KAFFINITY Affinity;
  KINTERRUPT_MODE Mode;
  BOOLEAN Shared;
};

/*
 * UnmapRanges: unmaps every mapped port and memory range and forgets their addresses.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void UnmapRanges(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  for (USHORT i = 0; i < Extension->PortCount; ++i) {
    if (Extension->PortBase[i] != 0 && Extension->PortMapped[i]) {
      MmUnmapIoSpace(reinterpret_cast<PVOID>(Extension->PortBase[i]), Extension->PortLength[i]);
    }
    Extension->PortBase[i] = 0;
  }
  for (USHORT i = 0; i < Extension->MemCount; ++i) {
    if (Extension->MemBase[i] != 0) {
      MmUnmapIoSpace(reinterpret_cast<PVOID>(Extension->MemBase[i]), Extension->MemLength[i]);
    }
    Extension->MemBase[i] = 0;
  }
}

}  // namespace

/*
 * PortAccessAssigned: the rule every port access made on a caller's behalf follows: port and
 * width inside one of the device's own I/O-space ranges. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE bool PortAccessAssigned(const DEVICE_EXTENSION* Extension, ULONG_PTR Port,
                                         ULONG Width) {
  PAGED_CODE();
  for (USHORT i = 0; i < Extension->PortCount && i < MAX_PORT_RANGES; ++i) {
    if (Extension->PortMapped[i]) continue;
    ULONG_PTR base = Extension->PortBase[i];
    ULONG length = Extension->PortLength[i];
    if (Port >= base && Port - base < length && Width <= length - (Port - base)) return true;
  }
  return false;
}

/*
 * AssignResources: records the translated list's port ranges (I/O-space ranges by port number,
 * memory-space ones mapped) and memory ranges (mapped), picks the bridge's registers (the first
 * port range, long enough to hold the interrupt control) and the card's window (the first later
 * range of exactly 64 bytes, when there are two port ranges and a memory range), both in I/O
 * space, silences the bridge and connects InterruptService.
 * Ranges beyond the record's room (six port, four memory ranges) are skipped: neither recorded
 * nor mapped. IrqLine is the raw list's interrupt vector; with a translated list only, the
 * translated vector stands in for it, so the card stays usable.
 * Failures: STATUS_DEVICE_CONFIGURATION_ERROR when a list, a port, the interrupt or the bridge
 * window is missing or in memory space (ranges mapped so far stay so until the release), or the status of a failed
 * IoConnectInterrupt (then everything is unmapped). PASSIVE_LEVEL, in the start request's thread,
 * with the acquisition lock held.
 */
static TARVIK_PAGE_CODE NTSTATUS AssignResourcesLocked(DEVICE_EXTENSION* extension,
                                                       PCM_PARTIAL_RESOURCE_LIST Raw,
                                                       PCM_PARTIAL_RESOURCE_LIST Translated) {
  PAGED_CODE();
  if (Translated == nullptr) return STATUS_DEVICE_CONFIGURATION_ERROR;
  extension->PortCount = 0;
  extension->MemCount = 0;
  extension->BoardPort = 0;
  extension->Running = 0;
  if (static_cast<LONG>(Translated->Count) <= 0) return STATUS_DEVICE_CONFIGURATION_ERROR;

  INTERRUPT_RESOURCE interrupt{};
  bool portSeen = false;
  for (ULONG i = 0; i < Translated->Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& descriptor = Translated->PartialDescriptors[i];
    switch (descriptor.Type) {
      case CmResourceTypePort: {
        USHORT n = extension->PortCount;
        if (n >= MAX_PORT_RANGES) break;
        extension->PortMapped[n] = (descriptor.Flags & CM_RESOURCE_PORT_IO) ? 0 : 1;
        extension->PortLength[n] = descriptor.u.Port.Length;
        extension->PortBase[n] =
            extension->PortMapped[n]
                ? reinterpret_cast<ULONG_PTR>(MmMapIoSpace(descriptor.u.Port.Start,
                                                           descriptor.u.Port.Length, MmNonCached))
                : descriptor.u.Port.Start.u.LowPart;
        extension->PortCount = static_cast<USHORT>(n + 1);
        portSeen = true;
        break;
      }
      case CmResourceTypeInterrupt: {
        interrupt.Seen = true;
        interrupt.Irql = static_cast<KIRQL>(descriptor.u.Interrupt.Level);
        interrupt.Vector = descriptor.u.Interrupt.Vector;
        interrupt.Affinity = descriptor.u.Interrupt.Affinity;
        interrupt.Mode = descriptor.Flags == CM_RESOURCE_INTERRUPT_LATCHED ? Latched : LevelSensitive;
        interrupt.Shared = descriptor.ShareDisposition == CmResourceShareShared;
        const bool haveRaw = Raw != nullptr && i < Raw->Count;
        ULONG line = haveRaw ? Raw->PartialDescriptors[i].u.Interrupt.Vector : descriptor.u.Interrupt.Vector;
        extension->IrqLine = static_cast<USHORT>(line);
        break;
      }
      case CmResourceTypeMemory: {
        USHORT n = extension->MemCount;
        if (n >= MAX_MEMORY_RANGES) break;
        extension->MemBase[n] = reinterpret_cast<ULONG_PTR>(
            MmMapIoSpace(descriptor.u.Memory.Start, descriptor.u.Memory.Length, MmNonCached));
        extension->MemLength[n] = descriptor.u.Memory.Length;
        extension->MemCount = static_cast<USHORT>(n + 1);
        break;
      }
      default:
        break;
    }
  }
  if (!portSeen || !interrupt.Seen) return STATUS_DEVICE_CONFIGURATION_ERROR;

  // Every access to the bridge and the card goes through the HAL's port routines, which
  // take port numbers: a range the translated list puts in memory space has only a mapped
  // address, and is never chosen. A card whose bridge or window is there is refused as one
  // without them.
  // The start and the interrupt service routine reach the bridge's interrupt control without
  // a check of their own: a first range that ends before it is no bridge.
  extension->BridgePort = 0;
  extension->BoardPort = 0;
  if (extension->PortCount >= 2 && extension->MemCount >= 1 && !extension->PortMapped[0] &&
      extension->PortLength[0] >= BRIDGE_INTERRUPT_CONTROL + sizeof(ULONG)) {
    for (USHORT i = 1; i < extension->PortCount; ++i) {
      if (!extension->PortMapped[i] && extension->PortLength[i] == CARD_WINDOW_LENGTH) {
        extension->BridgePort = extension->PortBase[0];
        extension->BoardPort = extension->PortBase[i];
        break;
      }
    }
  }
  if (extension->BridgePort == 0) return STATUS_DEVICE_CONFIGURATION_ERROR;

  DisableBridgeInterrupt(extension);
  NTSTATUS status = IoConnectInterrupt(&extension->InterruptObject, InterruptService, extension,
                                       nullptr, interrupt.Vector, interrupt.Irql, interrupt.Irql,
                                       interrupt.Mode, interrupt.Shared, interrupt.Affinity, FALSE);
  if (!NT_SUCCESS(status)) {
    extension->InterruptObject = nullptr;
    UnmapRanges(extension);
    extension->PortCount = 0;
    extension->MemCount = 0;
    return status;
  }
  extension->ResourcesAssigned = TRUE;
  return STATUS_SUCCESS;
}

/*
 * AssignResources: the assignment under the acquisition lock, as the release runs: requests
 * read the window addresses, the counts and the interrupt object under that lock, and a
 * request arriving while a restart rewrites them waits for the whole assignment.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS AssignResources(PDEVICE_OBJECT DeviceObject,
                                          PCM_PARTIAL_RESOURCE_LIST Raw,
                                          PCM_PARTIAL_RESOURCE_LIST Translated) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  LockAcquisition(extension);
  NTSTATUS status = AssignResourcesLocked(extension, Raw, Translated);
  UnlockAcquisition(extension);
  return status;
}

/*
 * ReleaseResources: stops an acquisition still running, disconnects the interrupt, unmaps
 * what was mapped, and shuts the event-notification requests out (STATUS_CANCELLED). Counts,
 * lengths and the window addresses stay for the record, but ResourcesAssigned is cleared, so
 * no request touches the card until the next start. The stop, the disconnection and the
 * unmapping all happen under the acquisition lock: a request that holds it (a start, a read,
 * a caller's access to the bridge's interrupt control) finds the interrupt object either
 * connected or null, never freed in the middle. Safe to run twice. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE void ReleaseResources(PDEVICE_OBJECT DeviceObject) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = ExtensionOf(DeviceObject);
  LockAcquisition(extension);
  if (extension->Running) StopAcquisitionLocked(extension);
  extension->ResourcesAssigned = FALSE;
  if (extension->InterruptObject != nullptr) {
    IoDisconnectInterrupt(extension->InterruptObject);
    extension->InterruptObject = nullptr;
  }
  UnmapRanges(extension);
  UnlockAcquisition(extension);
  RejectAndCancelPending(extension, STATUS_CANCELLED);
}
