// The I/O port bus and the HAL's port routines on top of it.
#include "sim/io_bus.h"

#include <thread>
#include <utility>

#include "driver_activity.h"
#include "kernel_internal.h"

namespace sim {

// A sequence count without fences (ThreadSanitizer does not model them): the odd count is
// an acquiring read-modify-write, so the table's stores cannot move before it; the stores
// release and the reader's loads acquire, so a reader that saw any new value also sees the
// count move when it reads it again.
void IoBus::BeginChange() { changes_.fetch_add(1, std::memory_order_acq_rel); }

void IoBus::EndChange() { changes_.fetch_add(1, std::memory_order_release); }

void IoBus::SetRange(size_t slot, uint32_t base, uint32_t length, PortDevice* device) {
  ranges_[slot].base.store(base, std::memory_order_release);
  ranges_[slot].length.store(length, std::memory_order_release);
  ranges_[slot].device.store(device, std::memory_order_release);
}

bool IoBus::Claim(uint32_t base, uint32_t length, PortDevice* device) {
  if (length == 0 || uint64_t{base} + length > 0x100000000ull) return false;
  std::lock_guard guard(lock_);
  size_t count = rangeCount_.load(std::memory_order_relaxed);
  if (count == kMaxRanges) return false;
  for (size_t i = 0; i < count; ++i) {
    uint32_t otherBase = ranges_[i].base.load(std::memory_order_relaxed);
    uint32_t otherLength = ranges_[i].length.load(std::memory_order_relaxed);
    if (uint64_t{base} < uint64_t{otherBase} + otherLength && otherBase < uint64_t{base} + length) {
      return false;
    }
  }
  BeginChange();
  SetRange(count, base, length, device);
  rangeCount_.store(count + 1, std::memory_order_release);
  EndChange();
  return true;
}

void IoBus::Release(PortDevice* device) {
  std::lock_guard guard(lock_);
  BeginChange();
  size_t kept = 0;
  size_t count = rangeCount_.load(std::memory_order_relaxed);
  for (size_t i = 0; i < count; ++i) {
    if (ranges_[i].device.load(std::memory_order_relaxed) == device) continue;
    SetRange(kept++, ranges_[i].base.load(std::memory_order_relaxed),
             ranges_[i].length.load(std::memory_order_relaxed),
             ranges_[i].device.load(std::memory_order_relaxed));
  }
  rangeCount_.store(kept, std::memory_order_release);
  EndChange();
}

namespace {

// The range this thread found last, valid while its bus has not changed since: accesses come
// in runs to one device's registers.
struct LastRange {
  uint64_t bus = 0;
  uint64_t changes = 0;
  uint32_t base = 0;
  uint32_t length = 0;
  PortDevice* device = nullptr;
};
thread_local LastRange t_last;

std::atomic<uint64_t> g_nextBusId{1};

}  // namespace

uint64_t IoBus::NextId() { return g_nextBusId.fetch_add(1, std::memory_order_relaxed); }

PortDevice* IoBus::Find(uint32_t port, uint32_t* offset) const {
  // The common case inline, where it needs no registers saved: the range this thread used last.
  uint64_t before = changes_.load(std::memory_order_acquire);
  if (t_last.bus == id_ && t_last.changes == before && port >= t_last.base &&
      port - t_last.base < t_last.length) {
    *offset = port - t_last.base;
    return t_last.device;
  }
  return Search(port, offset);
}

PortDevice* IoBus::Search(uint32_t port, uint32_t* offset) const {
  for (;;) {
    uint64_t before = changes_.load(std::memory_order_acquire);
    if ((before & 1) != 0) {
      std::this_thread::yield();  // a claim or release is under way
      continue;
    }
    LastRange found{id_, before};
    size_t count = rangeCount_.load(std::memory_order_acquire);
    for (size_t i = 0; i < count && i < kMaxRanges; ++i) {
      uint32_t base = ranges_[i].base.load(std::memory_order_acquire);
      uint32_t length = ranges_[i].length.load(std::memory_order_acquire);
      if (port >= base && port - base < length) {
        found = {id_, before, base, length, ranges_[i].device.load(std::memory_order_acquire)};
        break;
      }
    }
    if (changes_.load(std::memory_order_acquire) != before) continue;
    if (found.device != nullptr) t_last = found;
    *offset = port - found.base;
    return found.device;
  }
}

uint32_t IoBus::Read(uint32_t port, unsigned width) {
  uint32_t offset = 0;
  PortDevice* device = Find(port, &offset);
  uint32_t mask = width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  uint32_t value = device != nullptr ? device->ReadPort(offset, width) & mask : mask;
  Record({port, static_cast<uint8_t>(width), PortAccess::Direction::Read, value});
  return value;
}

void IoBus::Write(uint32_t port, unsigned width, uint32_t value) {
  uint32_t offset = 0;
  PortDevice* device = Find(port, &offset);
  uint32_t mask = width >= 4 ? 0xFFFFFFFFu : (1u << (8 * width)) - 1;
  Record({port, static_cast<uint8_t>(width), PortAccess::Direction::Write, value & mask});
  if (device != nullptr) device->WritePort(offset, width, value & mask);
}

void IoBus::Reset() {
  std::lock_guard guard(lock_);
  BeginChange();
  rangeCount_.store(0, std::memory_order_release);
  EndChange();
  trace_.clear();
  tracing_ = false;
}

void IoBus::SetTracing(bool on) {
  std::lock_guard guard(lock_);
  tracing_ = on;
}

std::vector<PortAccess> IoBus::TakeTrace() {
  std::lock_guard guard(lock_);
  return std::exchange(trace_, {});
}

void IoBus::ClearTrace() {
  std::lock_guard guard(lock_);
  trace_.clear();
}

void IoBus::Record(const PortAccess& access) {
  if (!tracing_.load(std::memory_order_relaxed)) return;
  std::lock_guard guard(lock_);
  if (tracing_.load(std::memory_order_relaxed)) trace_.push_back(access);
}

IoBus& PortBus() {
  static IoBus* bus = new IoBus();  // never destroyed: port routines may run until exit
  return *bus;
}

}  // namespace sim

namespace {

uint32_t PortNumber(const void* port) {
  return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(port));
}

}  // namespace

extern "C" UCHAR NTAPI READ_PORT_UCHAR(PUCHAR Port) {
  EnterService("READ_PORT_UCHAR");
  sim::kernel::NotePortAccess(PortNumber(Port), 1, "READ_PORT_UCHAR",
                              __builtin_return_address(0));
  return static_cast<UCHAR>(sim::PortBus().Read(PortNumber(Port), 1));
}
extern "C" USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
  EnterService("READ_PORT_USHORT");
  sim::kernel::NotePortAccess(PortNumber(Port), 2, "READ_PORT_USHORT",
                              __builtin_return_address(0));
  return static_cast<USHORT>(sim::PortBus().Read(PortNumber(Port), 2));
}
extern "C" ULONG NTAPI READ_PORT_ULONG(PULONG Port) {
  EnterService("READ_PORT_ULONG");
  sim::kernel::NotePortAccess(PortNumber(Port), 4, "READ_PORT_ULONG",
                              __builtin_return_address(0));
  return sim::PortBus().Read(PortNumber(Port), 4);
}
extern "C" void NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  EnterService("WRITE_PORT_UCHAR");
  sim::kernel::NotePortAccess(PortNumber(Port), 1, "WRITE_PORT_UCHAR",
                              __builtin_return_address(0));
  sim::PortBus().Write(PortNumber(Port), 1, Value);
}
extern "C" void NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  EnterService("WRITE_PORT_USHORT");
  sim::kernel::NotePortAccess(PortNumber(Port), 2, "WRITE_PORT_USHORT",
                              __builtin_return_address(0));
  sim::PortBus().Write(PortNumber(Port), 2, Value);
}
extern "C" void NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
  EnterService("WRITE_PORT_ULONG");
  sim::kernel::NotePortAccess(PortNumber(Port), 4, "WRITE_PORT_ULONG",
                              __builtin_return_address(0));
  sim::PortBus().Write(PortNumber(Port), 4, Value);
}
