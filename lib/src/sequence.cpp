#include "tarvik/sequence.h"

#include <algorithm>

namespace tarvik {

uint64_t BlockSequence::Accept(uint16_t sequence) {
  uint64_t gap = static_cast<uint16_t>(sequence - expected_);
  expected_ = static_cast<uint16_t>(sequence + 1);
  ++received_;
  lost_ += gap;
  return gap;
}

uint64_t StreamPosition::WrittenAt(uint16_t wraps, uint32_t newestFrameIndex) const {
  uint64_t unwrapped = wraps_ + static_cast<uint16_t>(wraps - lastWraps_);
  // The ring counts a wrap as soon as its last frame is written, so a newest index at the
  // ring's end belongs to the wrap just counted (and before the first frame, to none).
  uint64_t inRing = ring_ == 0 ? 0 : (uint64_t{newestFrameIndex} + 1) % ring_;
  return unwrapped * ring_ + inRing;
}

uint64_t StreamPosition::Pending(uint16_t wraps, uint32_t newestFrameIndex) const {
  uint64_t written = WrittenAt(wraps, newestFrameIndex);
  return written > written_ ? written - written_ : 0;
}

StreamPosition::Update StreamPosition::Accept(uint16_t wraps, uint32_t newestFrameIndex,
                                              uint64_t available) {
  uint64_t written = WrittenAt(wraps, newestFrameIndex);
  wraps_ += static_cast<uint16_t>(wraps - lastWraps_);
  lastWraps_ = wraps;
  Update update;
  if (written <= written_) return update;  // nothing new (or a stale snapshot)
  uint64_t added = written - written_;
  written_ = written;
  update.fresh = std::min(added, available);
  update.lost = added - update.fresh;
  lost_ += update.lost;
  return update;
}

}  // namespace tarvik
