// Fixture for tests of the driver on the emulated machine (kernel side: they may look into
// the device extension).
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "frame/device_extension.h"
#include "frame/frame.h"
#include "sim/machine_kernel.h"
#include "sim/nt_api.h"

class DriverTest : public testing::Test {
 protected:
  // Boots a machine answering as the given platform and loads the driver.
  void Boot(sim::kernel::WdmSupport wdm = sim::kernel::WdmSupport::Wdm110) {
    machine_.emplace(sim::MachineOptions{wdm});
    ASSERT_EQ(machine_->LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
  }

  // Boots and adds the card.
  void BootWithDevice(sim::kernel::WdmSupport wdm = sim::kernel::WdmSupport::Wdm110) {
    Boot(wdm);
    ASSERT_EQ(machine_->AddDevice(), STATUS_SUCCESS);
  }

  sim::Machine& Machine() { return *machine_; }
  PDEVICE_OBJECT Fdo() { return sim::FdoOf(*machine_); }
  DEVICE_EXTENSION* Extension() { return ExtensionOf(Fdo()); }
  LONG RemoveLockCount() { return __atomic_load_n(&Extension()->RemoveLock.Count, __ATOMIC_SEQ_CST); }

  // Opens \\.\Tarvik through the I/O manager; returns the status and the handle.
  static NTSTATUS Open(sim::nt::Handle* handle) { return sim::nt::CreateFile(u"\\??\\Tarvik", handle); }

  void TearDown() override { machine_.reset(); }

  std::optional<sim::Machine> machine_;
};
