// IOCTL_DAQ_START and IOCTL_DAQ_STOP.
//
// The interrupt path shares the capture and buffering fields with these requests without a
// lock of its own: it takes an interrupt as a frame only while Running is set. So a start
// writes all state before it sets Running, and starts the clock after; a stop clears Running
// before it stops the clock and disables the bridge. Running itself is written under the
// interrupt's lock, so that an interrupt on another processor sees it change between two
// interrupts, never during one.
#include "acq/acquisition.h"
#include "hw/bridge_interrupt.h"
#include "hw/interrupt.h"
#include "hw/registers.h"

namespace {

constexpr ULONG START_INPUT_LENGTH = sizeof(START_PARAMETERS);
constexpr SHORT REQUIRED_CHANNELS = 16;
constexpr USHORT INITIAL_SKIP = 2;

// The 2-bit range code for a gain factor of 1, 2, 4, 8 or of 1, 10, 100, 1000.
USHORT RangeCodeOf(USHORT Gain) {
  if (Gain <= 1) return 0;
  if (Gain <= 3) return 1;
  if (Gain <= 7) return 2;
  if (Gain <= 9) return 3;
  if (Gain <= 99) return 1;
  if (Gain <= 999) return 2;
  return 3;
}

BOOLEAN NTAPI SetRunning(PVOID Context) {
  static_cast<DEVICE_EXTENSION*>(Context)->Running = 1;
  return TRUE;
}

BOOLEAN NTAPI ClearRunning(PVOID Context) {
  static_cast<DEVICE_EXTENSION*>(Context)->Running = 0;
  return TRUE;
}

/*
 * PoolGeometryUsable: whether the record describes a pool that exists and whose sizes fit in
 * 32 bits: at least one frame per block and one block, and the allocation (a pointer-table
 * entry plus a block, per block) and the stream read's largest output within 32 bits.
 */
bool PoolGeometryUsable(ULONG FramesPerBlock, LONG BlockCount) {
  if (FramesPerBlock == 0 || BlockCount <= 0) return false;
  ULONGLONG blockBytes = 2ull * TARVIK_FRAME_WORDS * FramesPerBlock + 2;
  ULONGLONG poolBytes = static_cast<ULONGLONG>(BlockCount) * (blockBytes + sizeof(PVOID));
  return blockBytes + TARVIK_STREAM_OVERHEAD <= 0xFFFFFFFFull && poolBytes <= 0xFFFFFFFFull;
}

// Releases the pool of the previous start.
void FreeBlockPool(DEVICE_EXTENSION* Extension) {
  if (Extension->BlockPool != nullptr) ExFreePool(Extension->BlockPool);
  Extension->BlockPool = nullptr;
  Extension->BufferMode = 0;
  Extension->ConfiguredMode = 0;
}

// Releases the event a block-mode start referenced. The DPC reads UserEvent under EventLock,
// so once the field is cleared under it no DPC can be signalling the event any more. A DPC
// already running on another processor is then waited for: it would otherwise read the field
// again after the next start stored that start's event, and signal a block the new run never
// completed. Every caller has cleared Running or never set it. PASSIVE_LEVEL.
TARVIK_RESIDENT_CODE void ReleaseUserEvent(DEVICE_EXTENSION* Extension) {
  PKEVENT event = Extension->UserEvent;
  if (event == nullptr) return;
  KIRQL irql;
  KeAcquireSpinLock(&Extension->EventLock, &irql);
  Extension->UserEvent = nullptr;
  KeReleaseSpinLock(&Extension->EventLock, irql);
  if (KeRemoveQueueDpc(&Extension->DeviceObject->Dpc)) {
    InterlockedDecrement(&Extension->DpcsOutstanding);
  }
  WaitForRunningDpcs(Extension);
  ObDereferenceObject(event);
}

/*
 * StartLocked: the start proper, with the acquisition lock held. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS StartLocked(DEVICE_EXTENSION* Extension, KPROCESSOR_MODE RequestorMode,
                                      ULONG InputLength, const START_PARAMETERS* Parameters) {
  PAGED_CODE();
  if (!Extension->BoardOpen) {
    RecordLastError(Extension, DAQ_ERR_NOT_OPEN);
    return STATUS_UNSUCCESSFUL;
  }
  if (Extension->Running) {
    RecordLastError(Extension, DAQ_ERR_RUNNING);
    return STATUS_UNSUCCESSFUL;
  }
  if (InputLength != START_INPUT_LENGTH) {
    RecordLastError(Extension, DAQ_ERR_START_LENGTH);
    return STATUS_INVALID_PARAMETER;
  }
  if (!HardwarePresent(Extension)) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
    return STATUS_UNSUCCESSFUL;
  }
  Extension->ChannelCount = Parameters->ChannelCount;
  Extension->FramesPerBlock = Parameters->FramesPerBlock;
  Extension->RequestedRate = Parameters->RequestedRate;
  Extension->BlockCount = Parameters->BlockCount;
  Extension->ContinuousFlag = Parameters->ContinuousFlag;
  Extension->RangeCode = Parameters->RangeCode;
  if (Extension->ChannelCount != REQUIRED_CHANNELS) {
    RecordLastError(Extension, DAQ_ERR_CHANNEL_COUNT);
    return STATUS_INVALID_PARAMETER;
  }
  if (Extension->ContinuousFlag) Extension->BlockCount = 1;
  if (!PoolGeometryUsable(Extension->FramesPerBlock, Extension->BlockCount)) {
    RecordLastError(Extension, DAQ_ERR_BLOCK_GEOMETRY);
    return STATUS_INVALID_PARAMETER;
  }
  if (Extension->RequestedRate < SLOWEST_RATE) {
    RecordLastError(Extension, DAQ_ERR_RATE);
    return STATUS_INVALID_PARAMETER;
  }
  if (!Extension->ContinuousFlag) {
    PVOID event = nullptr;
    HANDLE handle = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(Parameters->EventHandle));
    // In the caller's mode: a user-mode caller's handle is looked up in its own table and
    // must grant the right to set the event; a kernel handle value is no handle to it.
    NTSTATUS status = ObReferenceObjectByHandle(handle, EVENT_MODIFY_STATE, *ExEventObjectType,
                                                RequestorMode, &event, nullptr);
    if (!NT_SUCCESS(status)) {
      RecordLastError(Extension, DAQ_ERR_EVENT_HANDLE);
      return status;
    }
    Extension->UserEvent = static_cast<PKEVENT>(event);
  }

  ULONG blockCount = static_cast<ULONG>(Extension->BlockCount);
  Extension->SamplesPerBlock = Extension->ChannelCount * Extension->FramesPerBlock;
  Extension->BlockBytes = 2 * Extension->SamplesPerBlock + 2;
  if (Extension->BufferMode || Extension->ConfiguredMode) FreeBlockPool(Extension);
  ULONG tableBytes = blockCount * sizeof(PUSHORT);
  PVOID pool = ExAllocatePoolWithTag(NonPagedPool, tableBytes + blockCount * Extension->BlockBytes,
                                     TARVIK_POOL_TAG);
  if (pool == nullptr) {
    ReleaseUserEvent(Extension);
    RecordLastError(Extension, DAQ_ERR_NO_MEMORY);
    return STATUS_UNSUCCESSFUL;
  }
  Extension->BlockPool = pool;
  PUSHORT* table = BlockTable(Extension);
  for (ULONG i = 0; i < blockCount; ++i) {
    table[i] = reinterpret_cast<PUSHORT>(static_cast<PUCHAR>(pool) + tableBytes + i * Extension->BlockBytes);
  }

  for (int k = 0; k < COUNTER_COUNT; ++k) {
    Extension->CounterExtended[k] = 0;
    Extension->CounterPrevious[k] = 0;
  }
  Extension->BlockSequence = 0;
  Extension->WriteIndex = 0;
  Extension->ReadIndex = 0;
  Extension->FullCount = 0;
  Extension->FillCount = 0;
  Extension->CurrentBlock = table[0];
  Extension->SnapshotPosition = 0;
  Extension->SnapshotPhase = 0;
  if (Extension->ContinuousFlag) {
    RtlZeroMemory(table[0] + 1, 2 * Extension->SamplesPerBlock);
  }
  Extension->BufferMode = Extension->ContinuousFlag ? 2 : 1;
  Extension->ConfiguredMode = Extension->BufferMode;

  StopSampleClock(Extension);
  SplitRate(Extension->RequestedRate, &Extension->ClockRate, &Extension->Decimation);
  Extension->DecimationCount = 0;
  Extension->ChannelPhase = 0;
  Extension->CapturePhase = 0;
  Extension->SamplesReady = 0;
  Extension->StrobeToggle = 0;
  Extension->SkipCount = INITIAL_SKIP;

  const struct {
    ULONG Offset;
    UCHAR Value;
  } strobeSetup[] = {{CARD_STROBE, 0x01},   {CARD_MUX, 0x01},    {CARD_STROBE_B, 0x00},
                     {CARD_STROBE_B, 0x01}, {CARD_STROBE, 0x00}, {CARD_STROBE, 0x01}};
  for (const auto& write : strobeSetup) {
    WRITE_PORT_UCHAR(PortByte(Extension->BoardPort, write.Offset), write.Value);
  }
  Extension->GainBits = static_cast<USHORT>(RangeCodeOf(Extension->RangeCode) * 32);

  KeSynchronizeExecution(Extension->InterruptObject, ClaimBridgeInterrupt, Extension);
  KeSynchronizeExecution(Extension->InterruptObject, EnableBridgeInterrupt, Extension);
  KeSynchronizeExecution(Extension->InterruptObject, SetRunning, Extension);
  ProgramSampleClock(Extension);
  return STATUS_SUCCESS;
}

}  // namespace

/*
 * StopAcquisitionLocked: clears Running, stops the clock, disables the bridge's interrupt,
 * leaves block mode and releases the event of a block-mode run. Without the window or the
 * interrupt (resources already gone) only the bookkeeping is done. The pool, ConfiguredMode,
 * the indices and the data stay until the next start. The caller holds the acquisition lock
 * and has checked that an acquisition runs. PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS StopAcquisitionLocked(DEVICE_EXTENSION* Extension) {
  PAGED_CODE();
  if (HardwarePresent(Extension)) {
    KeSynchronizeExecution(Extension->InterruptObject, ClearRunning, Extension);
    StopSampleClock(Extension);
    KeSynchronizeExecution(Extension->InterruptObject, DisableBridgeInterrupt, Extension);
  } else {
    Extension->Running = 0;  // no interrupt can run: nothing is connected
  }
  Extension->BufferMode = 0;
  if (!Extension->ContinuousFlag) ReleaseUserEvent(Extension);
  return STATUS_SUCCESS;
}

/*
 * StartAcquisition: IOCTL_DAQ_START with a START_PARAMETERS record. Builds the block pool (one
 * non-paged allocation: a pointer table, then the blocks), resets the capture and buffering
 * state, sets up the strobes, enables the bridge's interrupt, sets Running and runs the
 * sample clock. In block mode it references the record's event, which the DPC sets for every
 * completed block. Refusals, each before anything is allocated or referenced: not open
 * (DAQ_ERR_NOT_OPEN), running (DAQ_ERR_RUNNING), length (DAQ_ERR_START_LENGTH), no window or
 * no connected interrupt (DAQ_ERR_NO_HARDWARE), channel count (DAQ_ERR_CHANNEL_COUNT; the
 * record's values stay in the context), pool geometry (DAQ_ERR_BLOCK_GEOMETRY), a slow-mode
 * rate below SLOWEST_RATE (DAQ_ERR_RATE), event handle (DAQ_ERR_EVENT_HANDLE, with
 * ObReferenceObjectByHandle's status; the handle is referenced in the request's requestor
 * mode for EVENT_MODIFY_STATE). A failed allocation
 * (DAQ_ERR_NO_MEMORY) releases the event again. PASSIVE_LEVEL; serialised.
 */
TARVIK_PAGE_CODE NTSTATUS StartAcquisition(DEVICE_EXTENSION* Extension,
                                           KPROCESSOR_MODE RequestorMode, ULONG InputLength,
                                           PVOID InputBuffer) {
  PAGED_CODE();
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  NTSTATUS status = StartLocked(Extension, RequestorMode, InputLength,
                                static_cast<const START_PARAMETERS*>(InputBuffer));
  UnlockAcquisition(Extension);
  return status;
}

/*
 * StopAcquisition: IOCTL_DAQ_STOP. Refused when the board is not open (DAQ_ERR_NOT_OPEN), when
 * nothing runs (DAQ_ERR_NOT_RUNNING) or when the window or the interrupt is gone
 * (DAQ_ERR_NO_HARDWARE, touching nothing). PASSIVE_LEVEL; serialised.
 */
TARVIK_PAGE_CODE NTSTATUS StopAcquisition(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                          PVOID InputBuffer, ULONG OutputLength,
                                          PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputLength);
  UNREFERENCED_PARAMETER(InputBuffer);
  UNREFERENCED_PARAMETER(OutputLength);
  UNREFERENCED_PARAMETER(OutputBuffer);
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  NTSTATUS status = STATUS_SUCCESS;
  if (!Extension->BoardOpen) {
    RecordLastError(Extension, DAQ_ERR_NOT_OPEN);
    status = STATUS_UNSUCCESSFUL;
  } else if (!Extension->Running) {
    RecordLastError(Extension, DAQ_ERR_NOT_RUNNING);
    status = STATUS_UNSUCCESSFUL;
  } else if (!HardwarePresent(Extension)) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
    status = STATUS_UNSUCCESSFUL;
  } else {
    status = StopAcquisitionLocked(Extension);
  }
  UnlockAcquisition(Extension);
  return status;
}
