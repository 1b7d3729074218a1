// The PCI target bridge's local configuration registers: 128 bytes of I/O space holding 32-bit
// registers, with the interrupt control/status register, the control register that carries
// the serial EEPROM's pins, and plain storage everywhere else. The bridge owns the EEPROM.
//
// Accesses:
// - Every register is a dword on a dword boundary. Any other access is misuse: counted and
//   refused (a read returns all ones, a write changes nothing).
// - Every access, refused or not, advances the EEPROM's time by kMicrosPerAccess.
// - Registers other than 0x4C and 0x50 are plain storage, reset to 0.
//
// Interrupts: two local inputs. LINT1 is driven by the card, LINT2 is there for tests. Each
// input is an electrical level; the polarity bit decides which level is active. In level
// mode the status bit is "the input is at its active level". In edge mode it is a latch set
// when the input becomes active (whatever made it so: the input or a polarity change) and
// cleared by writing 1 to the edge-clear bit (write-one-to-clear, reads 0). The latch works
// only in edge mode: selecting level mode clears it. Status does not depend on the enable
// bits; the PCI interrupt output does:
//   PCI INTA = PCI enable AND ((LINT1 enable AND LINT1 status) OR (LINT2 enable AND LINT2 status))
// The reset values of the polarity and edge-select bits come from BridgeInterruptConfig (as
// the bridge's own configuration EEPROM would load them), and so do the enables: by default
// both local interrupt enables and the PCI interrupt enable come up set, so a driver must
// silence the bridge before it connects its interrupt. Every other bit of 0x4C resets to 0.
//
// The PCI output change callback runs without the bridge's lock held, never concurrently with
// itself, and may access the bridge (an interrupt service routine reading 0x4C). A change made
// while the callback runs is delivered after it returns, so the last call always carries the
// current level.
//
// Thread-safe: every public method takes the bridge's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>

#include "card/eeprom_93c46.h"
#include "card/spin_mutex.h"
#include "sim/io_bus.h"

namespace sim::card {

namespace bridge_reg {
constexpr uint32_t kRangeLength = 0x80;
constexpr unsigned kRegisterWidth = 4;

constexpr uint32_t kIntCsr = 0x4C;
constexpr uint32_t kIntCsrLint1Enable = 1u << 0;
constexpr uint32_t kIntCsrLint1ActiveHigh = 1u << 1;
constexpr uint32_t kIntCsrLint1Status = 1u << 2;  // read-only
constexpr uint32_t kIntCsrLint2Enable = 1u << 3;
constexpr uint32_t kIntCsrLint2ActiveHigh = 1u << 4;
constexpr uint32_t kIntCsrLint2Status = 1u << 5;  // read-only
constexpr uint32_t kIntCsrPciEnable = 1u << 6;
constexpr uint32_t kIntCsrSoftware = 1u << 7;
constexpr uint32_t kIntCsrLint1Edge = 1u << 8;
constexpr uint32_t kIntCsrLint2Edge = 1u << 9;
constexpr uint32_t kIntCsrLint1EdgeClearW1C = 1u << 10;  // write 1 to clear, reads 0
constexpr uint32_t kIntCsrLint2EdgeClearW1C = 1u << 11;  // write 1 to clear, reads 0
// What a write stores: everything except the status bits and the edge-clear strobes.
constexpr uint32_t kIntCsrStored =
    ~(kIntCsrLint1Status | kIntCsrLint2Status | kIntCsrLint1EdgeClearW1C |
      kIntCsrLint2EdgeClearW1C);

constexpr uint32_t kControl = 0x50;
constexpr uint32_t kControlEepromClock = 1u << 24;
constexpr uint32_t kControlEepromSelect = 1u << 25;
constexpr uint32_t kControlEepromDataIn = 1u << 26;
constexpr uint32_t kControlEepromDataOut = 1u << 27;  // read-only: the EEPROM's DO
}  // namespace bridge_reg

struct BridgeInterruptConfig {
  bool lint1ActiveHigh = true;
  bool lint2ActiveHigh = true;
  bool lint1Edge = false;
  bool lint2Edge = false;
  bool enabledAtReset = true;  // LINT1, LINT2 and PCI interrupt enables set at power-up
};

struct BridgeConfig {
  BridgeInterruptConfig interrupts;
  uint64_t eepromProgramMicros = Eeprom93C46::kDefaultProgramMicros;
};

class Bridge final : public PortDevice {
 public:
  static constexpr uint64_t kMicrosPerAccess = 1;

  struct Counters {
    uint64_t accesses = 0;
    uint64_t badWidth = 0;     // not a dword: refused
    uint64_t misaligned = 0;   // a dword off its boundary: refused
  };

  explicit Bridge(const BridgeConfig& config = {});

  // Every register to its reset value, the EEPROM to its power-up state, the PCI output
  // derived again. The local interrupt inputs are driven from outside and keep their levels.
  void Reset();

  uint32_t ReadPort(uint32_t offset, unsigned width) override;
  void WritePort(uint32_t offset, unsigned width, uint32_t value) override;

  // Local interrupt inputs, as electrical levels (true: high).
  void SetLocalInterrupt1Level(bool high);
  void SetLocalInterrupt2Level(bool high);
  // Local interrupt 1 set from a level read under the bridge's lock, so that calls racing on
  // several threads leave the source's current level (the card's line).
  void FollowLocalInterrupt1(const std::function<bool()>& level);

  bool PciInterrupt() const;
  void SetInterruptCallback(std::function<void(bool asserted)> callback);

  Counters GetCounters() const;
  Eeprom93C46::Counters GetEepromCounters() const;
  // Bridge misuse plus EEPROM misuse: what a test expects to stay 0.
  uint64_t MisuseCount() const;

  // The EEPROM, under the bridge's lock.
  EepromImage EepromImageWords() const;
  void SetEepromImage(const EepromImage& image);
  ImageFileResult AttachEepromFile(const std::filesystem::path& path);
  void SetEepromProgramTime(uint64_t micros);
  // Time passing without register accesses (the bench's clock).
  void AdvanceEepromTime(uint64_t micros);

 private:
  struct State {
    uint32_t regs[bridge_reg::kRangeLength / 4] = {};  // plain storage and stored bits
    bool lint1High = false;
    bool lint2High = false;
    bool lint1Latch = false;
    bool lint2Latch = false;
    bool lint1WasActive = false;
    bool lint2WasActive = false;
    bool pciInterrupt = false;
  };

  uint32_t& Reg(uint32_t offset) { return state_.regs[offset / 4]; }
  uint32_t ReadIntCsr() const;
  void WriteIntCsr(uint32_t value);
  void WriteControl(uint32_t value);
  bool Lint1Active() const;
  bool Lint2Active() const;
  void UpdateInterrupt();
  void ResetLocked();
  void DeliverInterruptChanges(std::unique_lock<SpinMutex>& guard);

  const BridgeConfig config_;
  mutable SpinMutex lock_;
  State state_;
  Eeprom93C46 eeprom_;
  Counters counters_;
  std::function<void(bool)> callback_;
  bool reported_ = false;     // the level the callback last carried
  bool delivering_ = false;   // a thread is running the callback
};

}  // namespace sim::card
