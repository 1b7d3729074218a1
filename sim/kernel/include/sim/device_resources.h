// What the PnP manager has assigned each device stack, as the kernel holds it to check driver
// code against it, and the cost model of time held at device IRQL. Free of platform types:
// devices are passed as opaque pointers to their DEVICE_OBJECTs.
//
// Rules checked from these (see rule_catalogue.cpp):
//   PortOutsideResources         a port access made by driver code (dispatch, completion, cancel,
//                                interrupt service, synchronize, DPC and work-item routines)
//                                outside the I/O ranges its device stack holds now: before
//                                START, after STOP, SURPRISE_REMOVAL or REMOVE was handled,
//                                between a stop and the restart, or in another device's range.
//                                Code run by a test body or the bench is not driver code.
//   InterruptConnectParameters   IoConnectInterrupt from driver code with a vector, IRQL,
//                                affinity or mode that no translated interrupt resource of its
//                                device holds.
//   InterruptLockHeldTooLong     one hold of an interrupt spin lock (a service routine's call or
//                                a KeSynchronizeExecution routine) costing more than the bound.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim::kernel {

struct PortRange {
  uint32_t base = 0;
  uint32_t length = 0;
};

// A translated interrupt resource (CM_PARTIAL_RESOURCE_DESCRIPTOR of type interrupt).
struct InterruptResource {
  uint32_t vector = 0;
  uint8_t irql = 0;  // the translated Level
  uint64_t affinity = 0;
  bool latched = false;  // CM_RESOURCE_INTERRUPT_LATCHED; level-sensitive otherwise
  bool shared = false;
};

struct DeviceResources {
  std::vector<PortRange> ports;  // I/O-space port ranges only
  std::vector<InterruptResource> interrupts;
};

// The device stack whose physical device object is `pdo` (every device attached above it at
// the time of the call) owns `resources` from now on. The PnP manager calls this before it
// sends START with the lists; RevokeDeviceResources once a STOP, SURPRISE_REMOVAL or REMOVE has
// been handled or a START failed, with the reason ("stopped", "surprise-removed"...), which
// violations quote.
void AssignDeviceResources(const void* pdo, const DeviceResources& resources);
void RevokeDeviceResources(const void* pdo, const std::string& why);

// Runs `body` as driver code of `device` (a device object of an assigned stack): for tests and
// bench code that do what a driver's start would do outside a dispatch routine (connecting the
// driver's interrupt), so that the kernel attributes it to the device as it attributes a
// dispatch routine's work.
void RunAsDriverOf(const void* device, const std::function<void()>& body);

// The cost of a hold of an interrupt spin lock, counted instead of timed (runs under
// sanitizers and emulators must give the same verdict): every port access is a PCI I/O
// cycle, about a microsecond; bytes copied or filled by the kernel's memory routines (memcpy,
// memset, RtlCopyMemory, RtlZeroMemory...) cost 10 ns each, a copy's speed through uncached
// device memory or a cold cache. The bound is twice Microsoft's guidance for an ISR (25 us),
// so only a hold that is plainly wrong, not one that is merely slow, is a violation.
inline constexpr uint64_t kPortAccessNanos = 1000;
inline constexpr uint64_t kMemoryByteNanos = 10;
inline constexpr uint64_t kDeviceIrqlBoundNanos = 50000;

}  // namespace sim::kernel
