// The data reads: block count, oldest and newest block, and stream snapshots.
//
// The interrupt path writes the pool on another processor while these run. The reader's side
// (ReadIndex with the cleared FullCount) is published under the interrupt's lock, and every
// look at the writer's side is taken there too, so neither can interleave with an interrupt's
// read-modify-write; the block copies themselves run outside it, on blocks the interrupt path
// does not write until the reader lets go of them. The stream read copies at most one frame at
// device IRQL, whatever the ring's size (see ReadStream), and its position, phase, wrap count
// and samples always come from one moment.
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

// One stream read's copy: the Samples samples that end at the newest whole frame of Snapshot,
// oldest first (sample k of the copy is ring index (end - Samples + k) mod ring).
struct STREAM_COPY {
  DEVICE_EXTENSION* Extension;
  STREAM_SNAPSHOT Snapshot;
  PUSHORT Samples;     // where sample 0 goes in the output
  ULONG Count;         // samples in the copy
  ULONG LockedCount;   // the oldest ones, copied with the snapshot
};

/*
 * CopyStreamRange: samples From to To - 1 of the copy, in at most two runs (the ring's end,
 * then its start). At any IRQL.
 */
void CopyStreamRange(const STREAM_COPY& Copy, ULONG From, ULONG To) {
  const DEVICE_EXTENSION* extension = Copy.Extension;
  ULONG ringSamples = extension->SamplesPerBlock;
  const USHORT* ring = extension->CurrentBlock + 1;
  ULONG index = (FramesEnd(Copy.Snapshot, ringSamples) + ringSamples - Copy.Count + From) %
                ringSamples;
  ULONG count = To - From;
  ULONG run = count < ringSamples - index ? count : ringSamples - index;
  RtlCopyMemory(Copy.Samples + From, ring + index, run * sizeof(USHORT));
  RtlCopyMemory(Copy.Samples + From + run, ring, (count - run) * sizeof(USHORT));
}

// The snapshot and the oldest frame of the copy, together under the interrupt's lock: at most
// one frame copied at device IRQL.
BOOLEAN NTAPI TakeSnapshotWithOldestFrame(PVOID Context) {
  auto* copy = static_cast<STREAM_COPY*>(Context);
  TakeStreamSnapshot(&copy->Snapshot);
  CopyStreamRange(*copy, 0, copy->LockedCount);
  return TRUE;
}

// Whether the writer, now at Later, has overwritten none of the copy's samples from First on.
// It overwrites the ring in order, the oldest sample first: it may move on by the ring's free
// part (the samples neither copied nor in the partial frame) plus the First samples already
// copied before it reaches sample First.
bool CopyIntactFrom(const STREAM_SNAPSHOT& Earlier, const STREAM_SNAPSHOT& Later,
                    ULONG RingSamples, ULONG Samples, ULONG First) {
  ULONGLONG wraps = static_cast<USHORT>(Later.Sequence - Earlier.Sequence);
  LONGLONG advance = static_cast<LONGLONG>(wraps * RingSamples + Later.Position) -
                     static_cast<LONGLONG>(Earlier.Position);
  LONGLONG room = static_cast<LONGLONG>(RingSamples) - Samples - Earlier.Phase + First;
  return advance <= room;
}

// Each chunk copied outside the lock is this many times the samples copied before it: the
// writer fills the ring a thousand times more slowly than a copy reads it, so it reaches a
// chunk only when the reader is held up, and a ring of 8192 frames takes four chunks.
constexpr ULONG STREAM_CHUNK_GROWTH = 64;
// Attempts before a read gives up on a writer that keeps overtaking it.
constexpr int STREAM_COPY_ATTEMPTS = 8;

/*
 * CopyStreamOnce: one attempt at a stream read's copy: the snapshot and the oldest frame under
 * the interrupt's lock, then the rest outside it in growing chunks, each checked afterwards
 * under the lock against the writer's position. Returns whether every chunk was intact (then
 * Copy holds the snapshot the samples belong to). PASSIVE_LEVEL.
 */
TARVIK_PAGE_CODE bool CopyStreamOnce(STREAM_COPY* Copy) {
  PAGED_CODE();
  DEVICE_EXTENSION* extension = Copy->Extension;
  ULONG ringSamples = extension->SamplesPerBlock;
  KeSynchronizeExecution(extension->InterruptObject, TakeSnapshotWithOldestFrame, Copy);
  if (!CopyIntactFrom(Copy->Snapshot, Copy->Snapshot, ringSamples, Copy->Count, 0)) return false;
  for (ULONG done = Copy->LockedCount; done < Copy->Count;) {
    ULONG next = done * STREAM_CHUNK_GROWTH < Copy->Count ? done * STREAM_CHUNK_GROWTH
                                                           : Copy->Count;
    CopyStreamRange(*Copy, done, next);
    STREAM_SNAPSHOT now{extension, 0, 0, 0};
    KeSynchronizeExecution(extension->InterruptObject, TakeStreamSnapshot, &now);
    if (!CopyIntactFrom(Copy->Snapshot, now, ringSamples, Copy->Count, done)) return false;
    done = next;
  }
  return true;
}

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
 * two interrupts. Only the snapshot and the oldest frame are taken at device IRQL; the rest is
 * copied outside the interrupt's lock and checked (CopyStreamOnce). A writer that overtakes the
 * copy in every attempt (a reader held up for as long as the ring takes to fill) fails the read
 * with DAQ_ERR_STREAM_OVERRUN: the caller reads again. Refusals: the checks of every read, then
 * an output longer than a block plus 4, shorter than 6 (no room for the count and the index),
 * or missing (DAQ_ERR_BUFFER_SIZE). PASSIVE_LEVEL; serialised.
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
    STREAM_COPY copy{Extension, {Extension, 0, 0, 0}, output + 1, samples,
                     samples < channels ? samples : channels};
    bool intact = false;
    for (int attempt = 0; attempt < STREAM_COPY_ATTEMPTS && !intact; ++attempt) {
      intact = CopyStreamOnce(&copy);
    }
    if (intact) {
      output[0] = copy.Snapshot.Sequence;
      ULONG newestFrame = FramesEnd(copy.Snapshot, Extension->SamplesPerBlock) / channels - 1;
      RtlCopyMemory(output + 1 + samples, &newestFrame, sizeof newestFrame);
    } else {
      RecordLastError(Extension, DAQ_ERR_STREAM_OVERRUN);
      status = STATUS_UNSUCCESSFUL;
    }
  }
  UnlockAcquisition(Extension);
  return status;
}
