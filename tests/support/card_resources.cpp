// The card's resources given to the driver as its resource assignment will give them.
#include "card_resources.h"

#include "frame/device_extension.h"
#include "hw/bridge_interrupt.h"
#include "hw/interrupt.h"
#include "sim/io.h"
#include "sim/device_resources.h"
#include "sim/machine_kernel.h"

namespace test_support {
namespace {

// The interrupt this stand-in connected; a driver that assigned its own resources keeps its.
PKINTERRUPT g_connected = nullptr;

}  // namespace

void AssignCardResources(sim::Machine& machine, bool connectInterrupt) {
  DEVICE_EXTENSION* extension = ExtensionOf(sim::FdoOf(machine));
  const sim::MachineOptions& options = machine.Options();
  extension->PortCount = 2;
  extension->PortBase[0] = options.card.bridgeBase;
  extension->PortLength[0] = 128;
  extension->PortBase[1] = options.card.windowBase;
  extension->PortLength[1] = 64;
  extension->BridgePort = options.card.bridgeBase;
  extension->BoardPort = options.card.windowBase;
  extension->IrqLine = static_cast<USHORT>(options.interrupt.rawLine);
  extension->ResourcesAssigned = TRUE;
  // As after a successful start, the device may be opened.
  sim::io::SetStackStartPending(sim::PdoOf(machine), false);
  // What the PnP manager would have assigned, so that the kernel checks the driver's code
  // against it as against a real start.
  sim::kernel::AssignDeviceResources(
      sim::PdoOf(machine),
      {{{options.card.bridgeBase, 128}, {options.card.windowBase, 64}},
       {{options.interrupt.vector, options.interrupt.irql, 1, false, true}}});
  if (connectInterrupt && extension->InterruptObject == nullptr) {
    // As the driver's start does it: the bridge silenced, then the interrupt connected.
    sim::kernel::RunAsDriverOf(sim::FdoOf(machine), [&] {
      DisableBridgeInterrupt(extension);
      IoConnectInterrupt(&extension->InterruptObject, InterruptService, extension, nullptr,
                         options.interrupt.vector, options.interrupt.irql,
                         options.interrupt.irql, LevelSensitive, TRUE, 1, FALSE);
    });
    g_connected = extension->InterruptObject;
  }
}

void ReleaseCardResources(sim::Machine& machine) {
  PDEVICE_OBJECT fdo = sim::FdoOf(machine);
  if (fdo == nullptr) return;
  DEVICE_EXTENSION* extension = ExtensionOf(fdo);
  if (extension->InterruptObject == nullptr || extension->InterruptObject != g_connected) return;
  sim::kernel::RevokeDeviceResources(sim::PdoOf(machine), "released by the test");
  IoDisconnectInterrupt(extension->InterruptObject);
  extension->InterruptObject = nullptr;
  extension->ResourcesAssigned = FALSE;
  g_connected = nullptr;
}

}  // namespace test_support
