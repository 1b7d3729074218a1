// The I/O port bus and the HAL's port routines on top of it.
#include "sim/io_bus.h"

#include <algorithm>
#include <utility>

#include "kernel_internal.h"

namespace sim {

bool IoBus::Claim(uint32_t base, uint32_t length, PortDevice* device) {
  if (length == 0 || uint64_t{base} + length > 0x100000000ull) return false;
  std::lock_guard guard(lock_);
  for (const Range& range : ranges_) {
    if (base < range.base + range.length && range.base < base + length) return false;
  }
  ranges_.push_back({base, length, device});
  return true;
}

void IoBus::Release(PortDevice* device) {
  std::lock_guard guard(lock_);
  std::erase_if(ranges_, [device](const Range& range) { return range.device == device; });
}

PortDevice* IoBus::Find(uint32_t port, uint32_t* offset) {
  std::lock_guard guard(lock_);
  for (const Range& range : ranges_) {
    if (port >= range.base && port - range.base < range.length) {
      *offset = port - range.base;
      return range.device;
    }
  }
  return nullptr;
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
  ranges_.clear();
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
  std::lock_guard guard(lock_);
  if (tracing_) trace_.push_back(access);
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
  return static_cast<UCHAR>(sim::PortBus().Read(PortNumber(Port), 1));
}
extern "C" USHORT NTAPI READ_PORT_USHORT(PUSHORT Port) {
  EnterService("READ_PORT_USHORT");
  return static_cast<USHORT>(sim::PortBus().Read(PortNumber(Port), 2));
}
extern "C" ULONG NTAPI READ_PORT_ULONG(PULONG Port) {
  EnterService("READ_PORT_ULONG");
  return sim::PortBus().Read(PortNumber(Port), 4);
}
extern "C" void NTAPI WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
  EnterService("WRITE_PORT_UCHAR");
  sim::PortBus().Write(PortNumber(Port), 1, Value);
}
extern "C" void NTAPI WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
  EnterService("WRITE_PORT_USHORT");
  sim::PortBus().Write(PortNumber(Port), 2, Value);
}
extern "C" void NTAPI WRITE_PORT_ULONG(PULONG Port, ULONG Value) {
  EnterService("WRITE_PORT_ULONG");
  sim::PortBus().Write(PortNumber(Port), 4, Value);
}
