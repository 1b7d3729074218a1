// Boot and shutdown of the emulated kernel, and the WDM revision it reports.
#include "driver_activity.h"
#include "kernel_internal.h"
#include "objects.h"
#include "sim/io_bus.h"
#include "sim/kernel.h"
#include "special_pool.h"

namespace sim::kernel {
namespace {

WdmSupport g_support = WdmSupport::Wdm110;
bool g_booted = false;

}  // namespace

void Boot(WdmSupport support) {
  if (g_booted) Shutdown();
  g_support = support;
  ResetNamespace();
  ResetPool();
  special_pool::ConfigureAtBoot();
  ResetDevices();
  ResetObjects();
  ResetMappings();
  ResetCancelSpinLock();
  ResetLockOrder();
  ResetOutstandingRequests();
  PortBus().Reset();
  ResetInterrupts();
  ResetDeviceResources();
  ResetPowerManager();
  StartClock();
  ScheduleAtBoot();
  StartDpcThread();
  StartWorkerThread();
  StartInterruptProcessor();
  g_booted = true;
}

void Shutdown() {
  if (!g_booted) return;
  ScheduleAtShutdown();
  StopInterruptProcessor();
  StopWorkerThread();
  StopDpcThread();
  ResetInterrupts();
  ReportAndFreeLeftoverDevices();
  ReportAndFreeLeakedMappings("the kernel stopped while a driver");
  ResetCancelSpinLock();
  ResetObjects();
  ResetOutstandingRequests();
  ResetPool();
  ResetNamespace();
  g_booted = false;
}

bool IsBooted() { return g_booted; }

WdmSupport CurrentWdmSupport() { return g_support; }

}  // namespace sim::kernel

using namespace sim::kernel;

extern "C" BOOLEAN NTAPI IoIsWdmVersionAvailable(UCHAR MajorVersion, UCHAR MinorVersion) {
  EnterService("IoIsWdmVersionAvailable");
  // WDM 1.0 is the 98 family's level; 1.10 came with 2000. Later revisions are not modelled:
  // the driver asks for nothing beyond 1.10.
  int asked = MajorVersion * 0x100 + MinorVersion;
  switch (g_support) {
    case WdmSupport::None:
      return FALSE;
    case WdmSupport::Wdm10Only:
      return asked <= 0x100;
    case WdmSupport::Wdm110:
      return asked <= 0x110;
  }
  return FALSE;
}
