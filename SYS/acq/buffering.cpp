// Buffering of captured samples: blocks with sequence numbers, or one overwriting ring.
#include "acq/acquisition.h"

namespace {

inline PUSHORT SampleArea(PUSHORT Block) { return Block + 1; }

// ChannelPhase moves on by the samples a capture delivered, whatever happened to them.
inline void AdvanceChannelPhase(DEVICE_EXTENSION* Extension, LONG Samples) {
  Extension->ChannelPhase =
      static_cast<SHORT>((Extension->ChannelPhase + Samples) % Extension->ChannelCount);
}

}  // namespace

/*
 * BufferBlockFrame: captures, then appends the capture's samples to the block being filled.
 * A block starts at a frame boundary with its sequence number as leading word; a completed
 * block moves WriteIndex on and queues the device's DPC, which sets the user's event. When
 * every block is full and unread the samples are dropped: FullCount and BlockSequence count
 * them, so the loss shows as a gap in later sequence numbers. Writes only the block at
 * WriteIndex, and only while the pool has room.
 * Device IRQL, inside InterruptService.
 */
void BufferBlockFrame(DEVICE_EXTENSION* Extension) {
  CaptureFrame(Extension);
  LONG samples = Extension->SamplesReady;
  if (samples <= 0) return;
  if (Extension->FullCount != 0) {
    Extension->FullCount++;
    if (Extension->FullCount == 0 ||
        static_cast<ULONG>(static_cast<SHORT>(Extension->FullCount) * samples) >
            Extension->SamplesPerBlock) {
      Extension->BlockSequence++;
      Extension->FullCount = 1;
    }
    AdvanceChannelPhase(Extension, samples);
    return;
  }

  LONG count = samples;
  LONG skip = 0;
  if (Extension->FillCount == 0) {
    if (Extension->ChannelPhase != 0) {
      skip = Extension->ChannelCount - Extension->ChannelPhase;
      count = samples - skip;
      Extension->BlockSequence++;
    }
    Extension->CurrentBlock[0] = Extension->BlockSequence;
  }
  const USHORT* source = Extension->FrameBuffer + skip;
  if (Extension->FillCount + count < Extension->SamplesPerBlock) {
    RtlCopyMemory(SampleArea(Extension->CurrentBlock) + Extension->FillCount, source,
                  count * sizeof(USHORT));
    Extension->FillCount += count;
    AdvanceChannelPhase(Extension, samples);
    return;
  }

  ULONG fits = Extension->SamplesPerBlock - Extension->FillCount;
  RtlCopyMemory(SampleArea(Extension->CurrentBlock) + Extension->FillCount, source,
                fits * sizeof(USHORT));
  Extension->WriteIndex++;
  if (Extension->WriteIndex == Extension->BlockCount) Extension->WriteIndex = 0;
  Extension->CurrentBlock = BlockTable(Extension)[Extension->WriteIndex];
  if (static_cast<USHORT>(Extension->WriteIndex) == Extension->ReadIndex) Extension->FullCount = 1;
  Extension->BlockSequence++;
  ULONG rest = Extension->FillCount + count - Extension->SamplesPerBlock;
  if (Extension->FullCount == 0 && rest > 0) {
    Extension->CurrentBlock[0] = Extension->BlockSequence;
    RtlCopyMemory(SampleArea(Extension->CurrentBlock), source + fits, rest * sizeof(USHORT));
    Extension->FillCount = rest;
  } else {
    Extension->FillCount = 0;
  }
  InterlockedIncrement(&Extension->DpcsOutstanding);
  if (!KeInsertQueueDpc(&Extension->DeviceObject->Dpc, nullptr, Extension)) {
    InterlockedDecrement(&Extension->DpcsOutstanding);  // already queued: counted once
  }
  AdvanceChannelPhase(Extension, samples);
}

/*
 * BufferStreamFrame: captures, then writes the capture's samples into the ring (block 0's
 * sample area), overwriting the oldest, counting wraps in BlockSequence, and records the
 * snapshot (write position and channel phase) the stream read cuts its frames from.
 * Device IRQL, inside InterruptService.
 */
void BufferStreamFrame(DEVICE_EXTENSION* Extension) {
  CaptureFrame(Extension);
  LONG samples = Extension->SamplesReady;
  if (samples <= 0) return;
  PUSHORT ring = SampleArea(Extension->CurrentBlock);
  // At most two runs: up to the ring's end, then from its start after the wrap.
  const USHORT* source = Extension->FrameBuffer;
  ULONG left = static_cast<ULONG>(samples);
  while (left > 0) {
    ULONG room = Extension->SamplesPerBlock - Extension->FillCount;
    ULONG run = left < room ? left : room;
    RtlCopyMemory(ring + Extension->FillCount, source, run * sizeof(USHORT));
    source += run;
    left -= run;
    Extension->FillCount += run;
    if (Extension->FillCount == Extension->SamplesPerBlock) {
      Extension->FillCount = 0;
      Extension->BlockSequence++;
    }
  }
  AdvanceChannelPhase(Extension, samples);
  Extension->SnapshotPhase = static_cast<USHORT>(Extension->ChannelPhase);
  Extension->SnapshotPosition = Extension->FillCount;
}
