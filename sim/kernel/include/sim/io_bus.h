// The machine's I/O port bus: devices claim port ranges, the HAL's READ_PORT_*/WRITE_PORT_*
// routines reach them through it, and tests read a trace of every access. Free of platform
// types: the card models are written from the hardware's side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

namespace sim {

// A device on the bus. Offsets are relative to the start of the claimed range; width is 1, 2
// or 4 bytes. Calls come from any thread (request threads, the interrupt path), outside the
// bus's own lock: a device keeps its own.
class PortDevice {
 public:
  virtual ~PortDevice() = default;
  virtual uint32_t ReadPort(uint32_t offset, unsigned width) = 0;
  virtual void WritePort(uint32_t offset, unsigned width, uint32_t value) = 0;
};

struct PortAccess {
  enum class Direction : uint8_t { Read, Write };
  uint32_t port = 0;
  uint8_t width = 0;  // bytes
  Direction direction = Direction::Read;
  uint32_t value = 0;

  bool operator==(const PortAccess&) const = default;
};

class IoBus {
 public:
  // Claims [base, base + length) for the device. Fails (false) on a zero length or an overlap
  // with a range already claimed.
  bool Claim(uint32_t base, uint32_t length, PortDevice* device);
  // Gives up every range the device claimed.
  void Release(PortDevice* device);

  // An access goes to the device whose range holds its first port. Unclaimed ports read all
  // ones and ignore writes, as an empty bus does.
  uint32_t Read(uint32_t port, unsigned width);
  void Write(uint32_t port, unsigned width, uint32_t value);

  // Forgets every claim and the trace (at kernel boot).
  void Reset();

  // The trace records every access while it is on (it starts off).
  void SetTracing(bool on);
  std::vector<PortAccess> TakeTrace();
  void ClearTrace();

 private:
  struct Range {
    uint32_t base;
    uint32_t length;
    PortDevice* device;
  };
  PortDevice* Find(uint32_t port, uint32_t* offset);
  void Record(const PortAccess& access);

  std::mutex lock_;
  std::vector<Range> ranges_;
  bool tracing_ = false;
  std::vector<PortAccess> trace_;
};

// The bus the HAL's port routines use. It lives as long as the process; the kernel's boot
// clears it.
IoBus& PortBus();

}  // namespace sim
