// The machine's checks of what a function driver tells the power manager (machine_rules.h).
#include "machine_rules.h"
#include "sim/io.h"
#include "sim/machine_kernel.h"
#include "sim/verifier.h"

namespace sim {

void CheckPowerReportedAfterStart(Machine& machine) {
  PDEVICE_OBJECT fdo = FdoOf(machine);
  if (fdo != nullptr && io::ReportedPowerState(fdo) == PowerDeviceUnspecified) {
    verifier::Report("DevicePowerUnreported",
                     "the device started, but its driver never reported a device power state "
                     "with PoSetPowerState (the power manager still has it unspecified)");
  }
}

}  // namespace sim
