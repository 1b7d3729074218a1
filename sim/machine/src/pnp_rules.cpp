// The machine's checks of a function driver's PnP behaviour (machine_rules.h).
#include <cstdio>

#include "machine_rules.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

void CheckAddDevice(Machine& machine, NTSTATUS status, KIRQL irqlBefore) {
  if (KeGetCurrentIrql() != irqlBefore) {
    verifier::Report("IrqlReturn", "AddDevice returned at another IRQL");
  }
  PDEVICE_OBJECT fdo = FdoOf(machine);
  if (NT_SUCCESS(status) && fdo != nullptr && (fdo->Flags & DO_DEVICE_INITIALIZING)) {
    verifier::Report("DeviceInitializing",
                     "AddDevice succeeded but left DO_DEVICE_INITIALIZING set on its device");
  }
}

void CheckPnpOutcome(Machine& machine, UCHAR minor, NTSTATUS status, PDEVICE_OBJECT fdoBefore) {
  if (fdoBefore == nullptr) return;
  // Requests a function driver must never fail, and what must follow them.
  bool mustSucceed = minor == IRP_MN_REMOVE_DEVICE || minor == IRP_MN_SURPRISE_REMOVAL ||
                     minor == IRP_MN_CANCEL_STOP_DEVICE || minor == IRP_MN_CANCEL_REMOVE_DEVICE;
  if (mustSucceed && !NT_SUCCESS(status)) {
    char text[96];
    std::snprintf(text, sizeof text, "PnP minor 0x%02X failed with 0x%08X", minor,
                  static_cast<unsigned>(status));
    verifier::Report("PnpRemove", text);
  }
  if (minor == IRP_MN_REMOVE_DEVICE && FdoOf(machine) != nullptr) {
    verifier::Report("PnpRemove", "after IRP_MN_REMOVE_DEVICE the driver's device is still attached");
  }
  if (minor == IRP_MN_SURPRISE_REMOVAL && FdoOf(machine) != fdoBefore) {
    verifier::Report("PnpSurpriseRemove", "the driver detached or deleted its device during surprise removal");
  }
}

}  // namespace sim
