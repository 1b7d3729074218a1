// The bridge's local configuration registers: interrupt control/status, the EEPROM pins, and
// the PCI interrupt output derived from them.
#include "card/bridge.h"

#include <cstdio>
#include <utility>

namespace sim::card {

using namespace bridge_reg;

Bridge::Bridge(const BridgeConfig& config)
    : config_(config), eeprom_(config.eepromProgramMicros) {
  // The inputs start at their inactive level for the configured polarity.
  state_.lint1High = !config_.interrupts.lint1ActiveHigh;
  state_.lint2High = !config_.interrupts.lint2ActiveHigh;
  ResetLocked();
  reported_ = state_.pciInterrupt;
}

void Bridge::Reset() {
  std::unique_lock guard(lock_);
  ResetLocked();
  DeliverInterruptChanges(guard);
}

void Bridge::ResetLocked() {
  for (uint32_t& reg : state_.regs) reg = 0;
  uint32_t intCsr = 0;
  if (config_.interrupts.lint1ActiveHigh) intCsr |= kIntCsrLint1ActiveHigh;
  if (config_.interrupts.lint2ActiveHigh) intCsr |= kIntCsrLint2ActiveHigh;
  if (config_.interrupts.lint1Edge) intCsr |= kIntCsrLint1Edge;
  if (config_.interrupts.lint2Edge) intCsr |= kIntCsrLint2Edge;
  if (config_.interrupts.enabledAtReset) {
    intCsr |= kIntCsrLint1Enable | kIntCsrLint2Enable | kIntCsrPciEnable;
  }
  Reg(kIntCsr) = intCsr;
  state_.lint1Latch = false;
  state_.lint2Latch = false;
  // An input already active at reset is not an edge.
  state_.lint1WasActive = Lint1Active();
  state_.lint2WasActive = Lint2Active();
  eeprom_.Reset();
  UpdateInterrupt();
}

bool Bridge::Lint1Active() const {
  return state_.lint1High == ((state_.regs[kIntCsr / 4] & kIntCsrLint1ActiveHigh) != 0);
}

bool Bridge::Lint2Active() const {
  return state_.lint2High == ((state_.regs[kIntCsr / 4] & kIntCsrLint2ActiveHigh) != 0);
}

// Runs after every change to an input or to 0x4C: edge latches, then the PCI output.
void Bridge::UpdateInterrupt() {
  uint32_t intCsr = Reg(kIntCsr);
  bool active1 = Lint1Active();
  bool active2 = Lint2Active();
  if (intCsr & kIntCsrLint1Edge) {
    if (active1 && !state_.lint1WasActive) state_.lint1Latch = true;
  } else {
    state_.lint1Latch = false;
  }
  if (intCsr & kIntCsrLint2Edge) {
    if (active2 && !state_.lint2WasActive) state_.lint2Latch = true;
  } else {
    state_.lint2Latch = false;
  }
  state_.lint1WasActive = active1;
  state_.lint2WasActive = active2;

  uint32_t status = ReadIntCsr();
  bool lint1 = (status & kIntCsrLint1Enable) && (status & kIntCsrLint1Status);
  bool lint2 = (status & kIntCsrLint2Enable) && (status & kIntCsrLint2Status);
  state_.pciInterrupt = (status & kIntCsrPciEnable) && (lint1 || lint2);
}

uint32_t Bridge::ReadIntCsr() const {
  uint32_t value = state_.regs[kIntCsr / 4] & kIntCsrStored;
  bool status1 = value & kIntCsrLint1Edge ? state_.lint1Latch : Lint1Active();
  bool status2 = value & kIntCsrLint2Edge ? state_.lint2Latch : Lint2Active();
  if (status1) value |= kIntCsrLint1Status;
  if (status2) value |= kIntCsrLint2Status;
  return value;
}

void Bridge::WriteIntCsr(uint32_t value) {
  Reg(kIntCsr) = value & kIntCsrStored;
  // A polarity change can make an input active: UpdateInterrupt latches that edge first,
  // then the clear strobes act, as the write's last effect.
  UpdateInterrupt();
  if (!(value & (kIntCsrLint1EdgeClearW1C | kIntCsrLint2EdgeClearW1C))) return;
  if (value & kIntCsrLint1EdgeClearW1C) state_.lint1Latch = false;
  if (value & kIntCsrLint2EdgeClearW1C) state_.lint2Latch = false;
  UpdateInterrupt();
}

void Bridge::WriteControl(uint32_t value) {
  Reg(kControl) = value & ~kControlEepromDataOut;
  eeprom_.SetPins((value & kControlEepromSelect) != 0, (value & kControlEepromClock) != 0,
                  (value & kControlEepromDataIn) != 0);
}

uint32_t Bridge::ReadPort(uint32_t offset, unsigned width) {
  std::lock_guard guard(lock_);
  ++counters_.accesses;
  eeprom_.Advance(kMicrosPerAccess);
  uint32_t value = 0xFFFFFFFFu;
  if (width != kRegisterWidth) {
    ++counters_.badWidth;
    std::fprintf(stderr, "bridge: refused %u-byte read at 0x%02X\n", width, offset);
  } else if (offset % kRegisterWidth != 0 || offset >= kRangeLength) {
    ++counters_.misaligned;
    std::fprintf(stderr, "bridge: refused misaligned read at 0x%02X\n", offset);
  } else {
    switch (offset) {
      case kIntCsr:
        value = ReadIntCsr();
        break;
      case kControl:
        value = Reg(kControl) & ~kControlEepromDataOut;
        if (eeprom_.DataOut()) value |= kControlEepromDataOut;
        break;
      default:
        value = Reg(offset);
        break;
    }
  }
  return value;
}

void Bridge::WritePort(uint32_t offset, unsigned width, uint32_t value) {
  std::unique_lock guard(lock_);
  ++counters_.accesses;
  eeprom_.Advance(kMicrosPerAccess);
  if (width != kRegisterWidth) {
    ++counters_.badWidth;
    std::fprintf(stderr, "bridge: refused %u-byte write at 0x%02X\n", width, offset);
  } else if (offset % kRegisterWidth != 0 || offset >= kRangeLength) {
    ++counters_.misaligned;
    std::fprintf(stderr, "bridge: refused misaligned write at 0x%02X\n", offset);
  } else {
    switch (offset) {
      case kIntCsr:
        WriteIntCsr(value);
        break;
      case kControl:
        WriteControl(value);
        break;
      default:
        Reg(offset) = value;
        break;
    }
  }
  DeliverInterruptChanges(guard);
}

void Bridge::SetLocalInterrupt1Level(bool high) {
  std::unique_lock guard(lock_);
  state_.lint1High = high;
  UpdateInterrupt();
  DeliverInterruptChanges(guard);
}

void Bridge::FollowLocalInterrupt1(const std::function<bool()>& level) {
  std::unique_lock guard(lock_);
  state_.lint1High = level();
  UpdateInterrupt();
  DeliverInterruptChanges(guard);
}

void Bridge::SetLocalInterrupt2Level(bool high) {
  std::unique_lock guard(lock_);
  state_.lint2High = high;
  UpdateInterrupt();
  DeliverInterruptChanges(guard);
}

bool Bridge::PciInterrupt() const {
  std::lock_guard guard(lock_);
  return state_.pciInterrupt;
}

void Bridge::SetInterruptCallback(std::function<void(bool asserted)> callback) {
  std::lock_guard guard(lock_);
  callback_ = std::move(callback);
  // The new callback hears about changes from the current level on.
  reported_ = state_.pciInterrupt;
}

void Bridge::DeliverInterruptChanges(std::unique_lock<SpinMutex>& guard) {
  if (delivering_) return;  // the delivering thread sees this change when its callback returns
  delivering_ = true;
  while (state_.pciInterrupt != reported_) {
    reported_ = state_.pciInterrupt;
    std::function<void(bool)> callback = callback_;
    bool level = reported_;
    guard.unlock();
    if (callback) callback(level);
    guard.lock();
  }
  delivering_ = false;
}

Bridge::Counters Bridge::GetCounters() const {
  std::lock_guard guard(lock_);
  return counters_;
}

Eeprom93C46::Counters Bridge::GetEepromCounters() const {
  std::lock_guard guard(lock_);
  return eeprom_.GetCounters();
}

uint64_t Bridge::MisuseCount() const {
  std::lock_guard guard(lock_);
  return counters_.badWidth + counters_.misaligned + eeprom_.MisuseCount();
}

EepromImage Bridge::EepromImageWords() const {
  std::lock_guard guard(lock_);
  return eeprom_.Image();
}

void Bridge::SetEepromImage(const EepromImage& image) {
  std::lock_guard guard(lock_);
  eeprom_.SetImage(image);
}

ImageFileResult Bridge::AttachEepromFile(const std::filesystem::path& path) {
  std::lock_guard guard(lock_);
  return eeprom_.AttachImageFile(path);
}

void Bridge::SetEepromProgramTime(uint64_t micros) {
  std::lock_guard guard(lock_);
  eeprom_.SetProgramTime(micros);
}

void Bridge::AdvanceEepromTime(uint64_t micros) {
  std::lock_guard guard(lock_);
  eeprom_.Advance(micros);
}

}  // namespace sim::card
