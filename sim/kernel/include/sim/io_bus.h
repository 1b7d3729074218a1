// The machine's I/O port bus: devices claim port ranges, the HAL's READ_PORT_*/WRITE_PORT_*
// routines reach them through it, and tests read a trace of every access. Free of platform
// types: the card models are written from the hardware's side.
#pragma once

#include <array>
#include <atomic>
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

// An access takes no lock and allocates nothing while the trace is off: the range table is
// read under a sequence count (claims are rare, accesses are the interrupt path's hot loop).
class IoBus {
 public:
  // At most this many ranges are claimed at a time.
  static constexpr size_t kMaxRanges = 16;

  // Claims [base, base + length) for the device. Fails (false) on a zero length, an overlap
  // with a range already claimed, or a full table.
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
    std::atomic<uint32_t> base{0};
    std::atomic<uint32_t> length{0};
    std::atomic<PortDevice*> device{nullptr};
  };
  PortDevice* Find(uint32_t port, uint32_t* offset) const;
  [[gnu::noinline]] PortDevice* Search(uint32_t port, uint32_t* offset) const;
  void Record(const PortAccess& access);
  // A change to the table, under lock_: readers that overlap it read again.
  void BeginChange();
  void EndChange();
  void SetRange(size_t slot, uint32_t base, uint32_t length, PortDevice* device);

  static uint64_t NextId();
  const uint64_t id_ = NextId();  // never reused, unlike an address: threads cache by it
  std::mutex lock_;  // writers of the table, and the trace
  std::array<Range, kMaxRanges> ranges_;
  std::atomic<size_t> rangeCount_{0};
  std::atomic<uint64_t> changes_{0};  // odd while a change is under way
  std::atomic<bool> tracing_{false};
  std::vector<PortAccess> trace_;
};

// The bus the HAL's port routines use. It lives as long as the process; the kernel's boot
// clears it.
IoBus& PortBus();

}  // namespace sim
