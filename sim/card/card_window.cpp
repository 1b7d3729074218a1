// The placeholder card window.
#include "card/card_window.h"

#include <cstdio>

namespace sim::card {

void CardWindow::Reset() {
  // No registers yet; the counters are the model's record, not the card's state.
}

bool CardWindow::Accept(uint32_t offset, unsigned width) {
  if ((width != 1 && width != 2 && width != 4) || offset + width > card_reg::kRangeLength) {
    ++counters_.refused;
    std::fprintf(stderr, "card: refused %u-byte access at 0x%02X\n", width, offset);
    return false;
  }
  return true;
}

uint32_t CardWindow::ReadPort(uint32_t offset, unsigned width) {
  std::lock_guard guard(lock_);
  if (Accept(offset, width)) ++counters_.reads;
  return 0xFFFFFFFFu;
}

void CardWindow::WritePort(uint32_t offset, unsigned width, uint32_t value) {
  std::lock_guard guard(lock_);
  if (!Accept(offset, width)) return;
  ++counters_.writes;
  counters_.lastWriteOffset = offset;
  counters_.lastWriteValue = value;
}

CardWindow::Counters CardWindow::GetCounters() const {
  std::lock_guard guard(lock_);
  return counters_;
}

uint64_t CardWindow::MisuseCount() const {
  std::lock_guard guard(lock_);
  return counters_.refused;
}

}  // namespace sim::card
