// Loss accounting: nothing the driver drops may go unnoticed.
#pragma once

#include <cstdint>

namespace tarvik {

// Block mode: every block carries a 16-bit sequence number that the driver advances for each
// block it fills, also for those it had to drop because the pool was full. A gap in the
// numbers is a count of lost blocks. The first block of an acquisition is number 0.
class BlockSequence {
 public:
  // Takes the next block's number; returns how many blocks were lost before it.
  uint64_t Accept(uint16_t sequence);
  uint64_t Received() const { return received_; }
  uint64_t Lost() const { return lost_; }

 private:
  uint16_t expected_ = 0;
  uint64_t received_ = 0;
  uint64_t lost_ = 0;
};

// Continuous mode: a snapshot of the ring names its 16-bit wrap count and the ring index of
// its newest frame. Together they give the number of frames written since the start; frames
// written beyond what one snapshot can return were overwritten before they were read.
class StreamPosition {
 public:
  explicit StreamPosition(uint32_t ringFrames) : ring_(ringFrames) {}

  struct Update {
    uint64_t fresh = 0;  // frames not seen before that the snapshot holds (its newest ones)
    uint64_t lost = 0;   // frames written and overwritten since the last snapshot
  };
  // `available` is the number of frames the snapshot returned.
  Update Accept(uint16_t wraps, uint32_t newestFrameIndex, uint64_t available);
  // Frames written since the last accepted snapshot, as of this one (nothing is accepted).
  uint64_t Pending(uint16_t wraps, uint32_t newestFrameIndex) const;

  uint64_t Written() const { return written_; }
  uint64_t Lost() const { return lost_; }

 private:
  uint64_t WrittenAt(uint16_t wraps, uint32_t newestFrameIndex) const;

  uint32_t ring_;
  uint16_t lastWraps_ = 0;
  uint64_t wraps_ = 0;    // unwrapped
  uint64_t written_ = 0;  // frames written as of the last snapshot
  uint64_t lost_ = 0;
};

}  // namespace tarvik
