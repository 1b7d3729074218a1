// DEVICE_EXTENSION: everything the driver knows about its card. It is the functional device
// object's extension, zero-filled by AddDevice, and lives until the removal handler deletes
// the device object.
#pragma once

#include "platform.h"
#include "frame/remove_lock.h"

// Plug and Play state codes kept in PnpState.
enum PNP_STATE_CODE : LONG {
  StateStopped = 0,
  StateStarted = 1,
  StateStopPending = 2,
  StateRemovePending = 3,
  StateSurpriseRemoved = 4,
  StateRemoved = 5,
};

// Ranges the driver records at start.
constexpr int MAX_PORT_RANGES = 6;
constexpr int MAX_MEMORY_RANGES = 4;
constexpr int FRAME_WORDS = 16;
constexpr int COUNTER_COUNT = 6;
constexpr int ID_BYTE_COUNT = 5;

struct DEVICE_EXTENSION {
  // Device stack and locks.
  PDEVICE_OBJECT DeviceObject;       // this driver's functional device object
  PDEVICE_OBJECT LowerDeviceObject;  // what IoAttachDeviceToDeviceStack returned
  PDEVICE_OBJECT Pdo;                // the physical device object given to AddDevice
  REMOVE_LOCK RemoveLock;
  LONG PnpState;                     // a PNP_STATE_CODE
  LONG PrevPnpState;                 // PnpState saved by query-remove, restored by cancel-remove
  LONG DevicePower;                  // DEVICE_POWER_STATE
  LONG SystemPower;                  // SYSTEM_POWER_STATE
  DEVICE_CAPABILITIES DeviceCaps;    // as the bus driver reported them
  LIST_ENTRY PendingList;            // parked event-notification requests
  KSPIN_LOCK PendingLock;            // guards PendingList and NotifyIrp
  // NTSTATUS; 0 while notification requests are accepted. Read and written only with
  // interlocked operations, each reader reading it once.
  volatile LONG PendingRejectStatus;
  PKINTERRUPT InterruptObject;       // the connected interrupt object, or null
  PIRP NotifyIrp;                    // the one parked wait request, or null

  // Hardware resources, recorded at device start. Addresses are pointer-width so that mapped
  // ranges fit on a 64-bit host too; on the platform they are 32 bits.
  USHORT PortCount;
  USHORT MemCount;
  ULONG_PTR PortBase[MAX_PORT_RANGES];
  ULONG PortLength[MAX_PORT_RANGES];
  UCHAR PortMapped[MAX_PORT_RANGES];
  ULONG_PTR MemBase[MAX_MEMORY_RANGES];
  ULONG MemLength[MAX_MEMORY_RANGES];

  // Board state.
  USHORT BoardOpen;
  USHORT Running;
  USHORT IrqLine;
  // Base of the card's 64-byte window (0 when none was found) and of the bridge's local
  // configuration registers: port numbers, or mapped addresses for memory-space ranges.
  ULONG_PTR BoardPort;
  ULONG_PTR BridgePort;
  ULONG IntSource;
  ULONG LastError;

  // Acquisition set-up.
  ULONG BlockBytes;
  ULONG FramesPerBlock;
  LONG RequestedRate;
  USHORT FrameBuffer[FRAME_WORDS];
  USHORT RawCounters[COUNTER_COUNT];
  USHORT IdBytes[ID_BYTE_COUNT];
  USHORT StrobeToggle;
  LONG ClockRate;
  LONG Decimation;
  LONG DecimationCount;
  LONG SamplesReady;
  USHORT RangeCode;
  SHORT BlockCount;
  SHORT ChannelCount;
  USHORT ContinuousFlag;
  ULONG SamplesPerBlock;
  PKEVENT UserEvent;
  USHORT BufferMode;      // 0 idle, 1 block mode, 2 continuous mode
  USHORT ConfiguredMode;  // buffer mode of the last successful start
  USHORT SkipCount;
  USHORT CapturePhase;
  USHORT FrameIntCount;
  USHORT OtherIntCount;

  // Block pool and ring.
  USHORT ReadIndex;  // ReadIndex and FullCount stay adjacent: readers publish them together
  USHORT FullCount;
  SHORT WriteIndex;
  PVOID BlockPool;
  PUSHORT CurrentBlock;
  USHORT BlockSequence;
  ULONG FillCount;
  SHORT ChannelPhase;
  ULONG SnapshotPosition;
  USHORT SnapshotPhase;
  USHORT GainBits;
  USHORT CounterPrevious[COUNTER_COUNT];
  ULONG CounterExtended[COUNTER_COUNT];
  USHORT LastFrame[FRAME_WORDS];

  // Beyond the record's fixed fields.
  // Whether AddDevice created the user-visible link, so that the link is deleted with the
  // device (and a card can be added again) but a link that belongs to someone else is never
  // touched.
  BOOLEAN SymbolicLinkCreated;
  // Held by every request that touches the card's or the bridge's ports or the acquisition
  // fields (open, start, stop, reads, the device command, raw ports, EEPROM words, serial
  // number), and by resource assignment and release: so a request reads the port bases once,
  // knows they stay assigned until it lets go, and never interleaves its register sequences
  // (index/data pairs, EEPROM bits) with another's. A kernel mutex, not an event: owning it
  // disables the owner's normal kernel APCs, so a holder cannot be suspended with it and stall
  // a PnP stop or removal.
  KMUTEX AcquisitionLock;
  // Guards UserEvent between the DPC that sets it and the stop that releases it, so the DPC
  // never signals an event after its reference is gone.
  KSPIN_LOCK EventLock;
  // Set while the resources of the last start are assigned: the card's ranges are there and
  // the interrupt connected. A stop or removal clears it, and from then on nothing touches the
  // card, the bridge or the EEPROM (BoardPort and BridgePort keep their old values).
  BOOLEAN ResourcesAssigned;
  // Block DPCs queued or running. A DPC already taken off the queue by another processor
  // still reads the extension: the removal waits for this to drop to zero before it deletes
  // the device object (KeFlushQueuedDpcs is not there on every platform the driver targets).
  volatile LONG DpcsOutstanding;
};

// LastError is written by every request and read by IOCTL_DAQ_GET_LAST_ERROR, and requests
// on other handles run at the same time on other processors: both sides use interlocked
// operations, so a reader always sees one request's whole code (the last one written).
inline void RecordLastError(DEVICE_EXTENSION* Extension, ULONG Code) {
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&Extension->LastError),
                      static_cast<LONG>(Code));
}
inline ULONG CurrentLastError(DEVICE_EXTENSION* Extension) {
  return static_cast<ULONG>(
      InterlockedCompareExchange(reinterpret_cast<volatile LONG*>(&Extension->LastError), 0, 0));
}

inline DEVICE_EXTENSION* ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<DEVICE_EXTENSION*>(DeviceObject->DeviceExtension);
}
