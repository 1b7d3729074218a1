// The data reads: block count, oldest and newest block, and stream snapshots.
//
// The interrupt path writes the pool on another processor while these run. The reader's side
// (ReadIndex with the cleared FullCount) is published under the interrupt's lock, and every
// look at the writer's side is taken there too, so neither can interleave with an interrupt's
// read-modify-write; the block copies themselves run outside it, on blocks the interrupt path
// does not write until the reader lets go of them. The stream read takes its snapshot under
// the lock and copies outside it (a ring can hold hundreds of kilobytes, too much to copy at
// device IRQL), then checks under the lock that the writer has not reached any sample it
// copied; if it has, it copies again, and after a few tries copies under the lock, so
// position, phase, wrap count and samples always come from one moment.
#include "acq/acquisition.h"

namespace {

constexpr ULONG COUNT_OUTPUT_LENGTH = sizeof(USHORT);

// The pool's indices as one interrupt left them.
struct POOL_INDICES {
  DEVICE_EXTENSION* Extension;
  SHORT WriteIndex;
  USHORT ReadIndex;
  USHORT FullCount;
  USHORT NewReadIndex;  // for PublishReadIndex
};

BOOLEAN NTAPI TakePoolIndices(PVOID Context) {
  auto* indices = static_cast<POOL_INDICES*>(Context);
  indices->WriteIndex = indices->Extension->WriteIndex;
  indices->ReadIndex = indices->Extension->ReadIndex;
  indices->FullCount = indices->Extension->FullCount;
  return TRUE;
}

// The reader's update: the new read index and a pool with room, together.
BOOLEAN NTAPI PublishReadIndex(PVOID Context) {
  auto* indices = static_cast<POOL_INDICES*>(Context);
  indices->Extension->ReadIndex = indices->NewReadIndex;
  indices->Extension->FullCount = 0;
  return TRUE;
}

POOL_INDICES PoolIndices(DEVICE_EXTENSION* Extension) {
  POOL_INDICES indices{Extension, 0, 0, 0, 0};
  KeSynchronizeExecution(Extension->InterruptObject, TakePoolIndices, &indices);
  return indices;
}

void Publish(DEVICE_EXTENSION* Extension, USHORT NewReadIndex) {
  POOL_INDICES indices{Extension, 0, 0, 0, NewReadIndex};
  KeSynchronizeExecution(Extension->InterruptObject, PublishReadIndex, &indices);
}

// The checks every read starts with, in their order. Returns the failure status, or
// STATUS_SUCCESS when the read may go on.
NTSTATUS CheckRunning(DEVICE_EXTENSION* Extension, USHORT Mode) {
  if (!Extension->BoardOpen) {
    RecordLastError(Extension, DAQ_ERR_NOT_OPEN);
  } else if (!Extension->Running) {
    RecordLastError(Extension, DAQ_ERR_NOT_RUNNING);
  } else if (!HardwarePresent(Extension)) {
    RecordLastError(Extension, DAQ_ERR_NO_HARDWARE);
  } else if (Extension->ConfiguredMode != Mode) {
    RecordLastError(Extension, Mode == 1 ? DAQ_ERR_NOT_BLOCK_MODE : DAQ_ERR_NOT_STREAM_MODE);
  } else {
    return STATUS_SUCCESS;
  }
  return STATUS_UNSUCCESSFUL;
}

// A block read's checks beyond CheckRunning: an output for one whole block (an out-direct
// request without an MDL has no output at all), and a complete unread block.
NTSTATUS CheckBlockRead(DEVICE_EXTENSION* Extension, ULONG OutputLength, PVOID OutputBuffer,
                        const POOL_INDICES& Indices) {
  if (OutputBuffer == nullptr || OutputLength < Extension->BlockBytes) {
    RecordLastError(Extension, DAQ_ERR_BUFFER_SIZE);
    return STATUS_UNSUCCESSFUL;
  }
  if (static_cast<USHORT>(Indices.WriteIndex) == Indices.ReadIndex && Indices.FullCount == 0) {
    RecordLastError(Extension, DAQ_ERR_NO_BLOCK);
    return STATUS_UNSUCCESSFUL;
  }
  return STATUS_SUCCESS;
}

// The stream read: a snapshot of the writer's side (wrap count, position, phase) taken under
// the interrupt's lock, and a copy of the samples it names.
struct STREAM_SNAPSHOT {
  DEVICE_EXTENSION* Extension;
  USHORT Sequence;
  ULONG Position;
  ULONG Phase;
};

BOOLEAN NTAPI TakeStreamSnapshot(PVOID Context) {
  auto* snapshot = static_cast<STREAM_SNAPSHOT*>(Context);
  snapshot->Sequence = snapshot->Extension->BlockSequence;
  snapshot->Position = snapshot->Extension->SnapshotPosition;
  snapshot->Phase = snapshot->Extension->SnapshotPhase;
  return TRUE;
}

// The end of the newest whole frame in the ring, one past its last sample (1..ring).
inline ULONG FramesEnd(const STREAM_SNAPSHOT& Snapshot, ULONG RingSamples) {
  return Snapshot.Position > Snapshot.Phase ? Snapshot.Position - Snapshot.Phase
                                            : Snapshot.Position - Snapshot.Phase + RingSamples;
}

/*
 * CopyStreamSamples: writes the output for a snapshot: the wrap count, the Samples samples
 * that end at the newest whole frame (oldest first, split at the ring's wrap point), and the
 * newest frame's index. At any IRQL.
 */
void CopyStreamSamples(const STREAM_SNAPSHOT& Snapshot, PUSHORT Output, ULONG Samples) {
  DEVICE_EXTENSION* extension = Snapshot.Extension;
  ULONG ringSamples = extension->SamplesPerBlock;
  ULONG end = FramesEnd(Snapshot, ringSamples);
  const USHORT* ring = extension->CurrentBlock + 1;
  Output[0] = Snapshot.Sequence;
  PUSHORT samples = Output + 1;
  ULONG g = Samples;
  if (end >= g) {
    RtlCopyMemory(samples, ring + (end - g), g * sizeof(USHORT));
  } else {
    RtlCopyMemory(samples, ring + (ringSamples - (g - end)), (g - end) * sizeof(USHORT));
    RtlCopyMemory(samples + (g - end), ring, end * sizeof(USHORT));
  }
  ULONG newestFrame = end / static_cast<ULONG>(extension->ChannelCount) - 1;
  RtlCopyMemory(samples + g, &newestFrame, sizeof newestFrame);
}

// Whether the writer, now at Later, has overwritten none of the samples a copy for Earlier
// took: it may move on by the ring's free part (the samples neither copied nor in the
// partial frame) before it reaches the oldest copied one.
bool CopyStillIntact(const STREAM_SNAPSHOT& Earlier, const STREAM_SNAPSHOT& Later,
                     ULONG RingSamples, ULONG Samples) {
  ULONGLONG wraps = static_cast<USHORT>(Later.Sequence - Earlier.Sequence);
  LONGLONG advance = static_cast<LONGLONG>(wraps * RingSamples + Later.Position) -
                     static_cast<LONGLONG>(Earlier.Position);
  LONGLONG room = static_cast<LONGLONG>(RingSamples) - Samples - Earlier.Phase;
  return advance <= room;
}

struct STREAM_COPY {
  STREAM_SNAPSHOT Snapshot;
  PUSHORT Output;
  ULONG Samples;
};

// The copy made whole under the interrupt's lock, when the writer kept overtaking the copies
// made outside it.
BOOLEAN NTAPI CopyStreamLocked(PVOID Context) {
  auto* copy = static_cast<STREAM_COPY*>(Context);
  TakeStreamSnapshot(&copy->Snapshot);
  CopyStreamSamples(copy->Snapshot, copy->Output, copy->Samples);
  return TRUE;
}

// Copies made outside the interrupt's lock before the read falls back to one under it.
constexpr int STREAM_COPY_ATTEMPTS = 4;

}  // namespace

/*
 * GetBlockCount: IOCTL_DAQ_GET_BLOCK_COUNT. The number of complete, unread blocks (all of
 * them while the pool is full) as a 16-bit value; needs two bytes of output
 * (DAQ_ERR_BUFFER_SIZE). PASSIVE_LEVEL; serialised with the other acquisition requests.
 */
TARVIK_PAGE_CODE NTSTATUS GetBlockCount(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                        PVOID InputBuffer, ULONG OutputLength,
                                        PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputLength);
  UNREFERENCED_PARAMETER(InputBuffer);
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  NTSTATUS status = CheckRunning(Extension, 1);
  if (NT_SUCCESS(status) && (OutputBuffer == nullptr || OutputLength < COUNT_OUTPUT_LENGTH)) {
    RecordLastError(Extension, DAQ_ERR_BUFFER_SIZE);
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    POOL_INDICES indices = PoolIndices(Extension);
    SHORT count = static_cast<SHORT>(indices.WriteIndex - static_cast<SHORT>(indices.ReadIndex));
    if (count < 0) count = static_cast<SHORT>(count + Extension->BlockCount);
    if (indices.FullCount != 0) count = Extension->BlockCount;
    *static_cast<PUSHORT>(OutputBuffer) = static_cast<USHORT>(count);
  }
  UnlockAcquisition(Extension);
  return status;
}

namespace {

enum BLOCK_CHOICE { OldestBlock, NewestBlock };

/*
 * ReadBlock: the two block reads. Copies the chosen block (sequence word and samples,
 * BlockBytes bytes) to the caller and publishes the reader's new index: one past the oldest,
 * or, for the newest, WriteIndex itself, which drops every other unread block. The newest is
 * the block before WriteIndex, or with a full pool the one at WriteIndex (then also the
 * oldest). PASSIVE_LEVEL; serialised with the other acquisition requests.
 */
TARVIK_PAGE_CODE NTSTATUS ReadBlock(DEVICE_EXTENSION* Extension, BLOCK_CHOICE Choice,
                                    ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  NTSTATUS status = CheckRunning(Extension, 1);
  POOL_INDICES indices{};
  if (NT_SUCCESS(status)) {
    indices = PoolIndices(Extension);
    status = CheckBlockRead(Extension, OutputLength, OutputBuffer, indices);
  }
  if (NT_SUCCESS(status)) {
    SHORT block;
    USHORT next;
    if (Choice == OldestBlock) {
      block = static_cast<SHORT>(indices.ReadIndex);
      next = static_cast<USHORT>(block + 1 == Extension->BlockCount ? 0 : block + 1);
    } else {
      block = indices.WriteIndex;
      if (indices.FullCount == 0) {
        block = static_cast<SHORT>(block == 0 ? Extension->BlockCount - 1 : block - 1);
      }
      next = static_cast<USHORT>(indices.WriteIndex);
    }
    RtlCopyMemory(OutputBuffer, BlockTable(Extension)[block], Extension->BlockBytes);
    Publish(Extension, next);
  }
  UnlockAcquisition(Extension);
  return status;
}

}  // namespace

/*
 * ReadOldestBlock: IOCTL_DAQ_READ_OLDEST_BLOCK. Copies the oldest unread block and frees it.
 * Refusals: the checks of every read, then an output shorter than a block
 * (DAQ_ERR_BUFFER_SIZE) and no unread block (DAQ_ERR_NO_BLOCK). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ReadOldestBlock(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                          PVOID InputBuffer, ULONG OutputLength,
                                          PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputLength);
  UNREFERENCED_PARAMETER(InputBuffer);
  return ReadBlock(Extension, OldestBlock, OutputLength, OutputBuffer);
}

/*
 * ReadNewestBlock: IOCTL_DAQ_READ_NEWEST_BLOCK. Copies the newest complete block and drops
 * every other unread block: the pool is empty afterwards. Refusals as for the oldest block.
 * PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE NTSTATUS ReadNewestBlock(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                          PVOID InputBuffer, ULONG OutputLength,
                                          PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputLength);
  UNREFERENCED_PARAMETER(InputBuffer);
  return ReadBlock(Extension, NewestBlock, OutputLength, OutputBuffer);
}

/*
 * ReadStream: IOCTL_DAQ_READ_STREAM. Returns the ring's wrap count, the newest whole frames
 * that fit (oldest first) and the ring index of the newest frame, all from one moment between
 * two interrupts (see the copy's checks above). Refusals: the checks of every read, then an output longer than a block plus
 * 4, shorter than 6 (no room for the count and the index), or missing (DAQ_ERR_BUFFER_SIZE).
 * PASSIVE_LEVEL; serialised.
 */
TARVIK_PAGE_CODE NTSTATUS ReadStream(DEVICE_EXTENSION* Extension, ULONG InputLength,
                                     PVOID InputBuffer, ULONG OutputLength, PVOID OutputBuffer) {
  PAGED_CODE();
  UNREFERENCED_PARAMETER(InputLength);
  UNREFERENCED_PARAMETER(InputBuffer);
  RecordLastError(Extension, DAQ_OK);
  LockAcquisition(Extension);
  NTSTATUS status = CheckRunning(Extension, 2);
  if (NT_SUCCESS(status) &&
      (OutputBuffer == nullptr || OutputLength > Extension->BlockBytes + 4 ||
       OutputLength < TARVIK_STREAM_OVERHEAD)) {
    RecordLastError(Extension, DAQ_ERR_BUFFER_SIZE);
    status = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(status)) {
    ULONG channels = static_cast<ULONG>(Extension->ChannelCount);
    ULONG samples = channels * ((((OutputLength - 4) / 2) - 1) / channels);
    auto* output = static_cast<PUSHORT>(OutputBuffer);
    bool intact = false;
    for (int attempt = 0; attempt < STREAM_COPY_ATTEMPTS && !intact; ++attempt) {
      STREAM_SNAPSHOT before{Extension, 0, 0, 0};
      KeSynchronizeExecution(Extension->InterruptObject, TakeStreamSnapshot, &before);
      CopyStreamSamples(before, output, samples);
      STREAM_SNAPSHOT after{Extension, 0, 0, 0};
      KeSynchronizeExecution(Extension->InterruptObject, TakeStreamSnapshot, &after);
      intact = CopyStillIntact(before, after, Extension->SamplesPerBlock, samples);
    }
    if (!intact) {
      STREAM_COPY copy{{Extension, 0, 0, 0}, output, samples};
      KeSynchronizeExecution(Extension->InterruptObject, CopyStreamLocked, &copy);
    }
  }
  UnlockAcquisition(Extension);
  return status;
}
