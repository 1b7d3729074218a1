// The emulated machine: the kernel, the card on the I/O bus, the PCI bus driver with the
// card's physical device object, and the driver under test, booted together. Free of platform types so that user-mode code
// can boot a machine too; kernel-side code reaches the objects through sim/machine_kernel.h.
//
// One machine exists at a time (the emulated kernel is process-wide). Destroying it closes
// the handles left open (as a process exit would), removes the device, unloads the drivers
// and stops the kernel; leaks and broken rules found on the way go to the verifier.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "card/card.h"
#include "sim/kernel.h"

namespace sim {

// A driver as the loader sees it: its name and its entry point (DriverEntry).
struct DriverImage {
  std::u16string name;
  void* entry = nullptr;  // DRIVER_INITIALIZE*, kept opaque here
};

// The Tarvik driver linked into this program (defined by the tarvik_emulated_driver target).
DriverImage TarvikDriverImage();

// The card's interrupt as the PCI bus assigns it: its raw line and the translated vector and
// IRQL that connecting takes.
struct InterruptAssignment {
  uint32_t rawLine = 11;
  uint32_t vector = 0x3B;
  uint8_t irql = 16;
};

struct MachineOptions {
  kernel::WdmSupport wdm = kernel::WdmSupport::Wdm110;
  card::CardConfig card;  // the card on the machine's I/O bus
  InterruptAssignment interrupt;
  std::u16string registryPath = u"\\REGISTRY\\MACHINE\\SYSTEM\\CurrentControlSet\\Services\\Tarvik";
};

// How the PCI bus driver answers a PnP request that reaches the card's physical device object.
struct BusAnswer {
  enum class Kind {
    Succeed,        // complete at once with STATUS_SUCCESS
    Fail,           // complete at once with `status`
    CompleteLater,  // mark pending, return STATUS_PENDING, complete after `delay` from another
                    // thread at DISPATCH_LEVEL with `status`
  };
  Kind kind = Kind::Succeed;
  int32_t status = 0;
  std::chrono::milliseconds delay{50};

  static BusAnswer Succeed() { return {}; }
  static BusAnswer Fail(int32_t status) { return {Kind::Fail, status, {}}; }
  static BusAnswer Later(int32_t status = 0, std::chrono::milliseconds delay = std::chrono::milliseconds(50)) {
    return {Kind::CompleteLater, status, delay};
  }
};

// A PnP request as the bus driver saw it.
struct BusPnpRecord {
  uint8_t minor = 0;
  int32_t statusOnArrival = 0;  // IoStatus.Status when it reached the bus driver
};

class Machine {
 public:
  explicit Machine(MachineOptions options = {});
  ~Machine();
  Machine(const Machine&) = delete;
  Machine& operator=(const Machine&) = delete;

  // Loads the driver: DriverEntry with the registry path. Returns its NTSTATUS.
  int32_t LoadDriver(const DriverImage& image);
  bool DriverLoaded() const;
  // Unloads it; false (and a violation) when it still has device objects.
  bool UnloadDriver();

  // Creates the card's physical device object (once) and calls the driver's AddDevice.
  int32_t AddDevice();
  // True while the driver's device object is attached on the card's stack.
  bool DevicePresent() const;

  // Sends a PnP request with the given minor code to the top of the card's stack, as the PnP
  // manager does (status starts as STATUS_NOT_SUPPORTED), and returns its final status.
  int32_t SendPnp(uint8_t minor);

  // The bus driver's answer for PnP requests with this minor code (default: succeed).
  void SetBusPnpAnswer(uint8_t minor, BusAnswer answer);
  std::vector<BusPnpRecord> BusPnpRequests() const;

  const MachineOptions& Options() const { return options_; }

  // The card, attached to the machine's I/O bus (sim::PortBus()) from boot to shutdown. Its
  // bridge's PCI interrupt output drives the interrupt line of Options().interrupt.vector.
  card::Card& Card();

  // Another device on the card's interrupt line (the line is shared): while its level is set
  // the line is asserted. Whoever serves it (a test's service routine) clears the level.
  void SetForeignInterruptLevel(bool asserted);
  bool ForeignInterruptLevel() const;

  // Kernel-side access (see sim/machine_kernel.h): opaque pointers to the platform objects.
  void* DriverObject() const;
  void* PhysicalDeviceObject() const;
  void* FunctionalDeviceObject() const;

  struct State;  // the machine's kernel-side state

 private:
  MachineOptions options_;
  std::unique_ptr<State> state_;
};

}  // namespace sim
