// The card's 64-byte I/O window. For now a placeholder that claims the range: the card's
// registers come later. Every byte reads 0xFF; writes are counted and otherwise ignored.
// Accesses of 1, 2 or 4 bytes that fit in the window are accepted; any other is misuse,
// counted and refused (reads all ones).
//
// Thread-safe.
#pragma once

#include <cstdint>
#include <mutex>

#include "sim/io_bus.h"

namespace sim::card {

namespace card_reg {
constexpr uint32_t kRangeLength = 0x40;
}  // namespace card_reg

class CardWindow final : public PortDevice {
 public:
  struct Counters {
    uint64_t reads = 0;
    uint64_t writes = 0;
    uint64_t refused = 0;  // bad width, or past the end of the window
    uint32_t lastWriteOffset = 0;
    uint32_t lastWriteValue = 0;
  };

  CardWindow() { Reset(); }

  void Reset();

  uint32_t ReadPort(uint32_t offset, unsigned width) override;
  void WritePort(uint32_t offset, unsigned width, uint32_t value) override;

  Counters GetCounters() const;
  uint64_t MisuseCount() const;

 private:
  bool Accept(uint32_t offset, unsigned width);

  mutable std::mutex lock_;
  Counters counters_;
};

}  // namespace sim::card
