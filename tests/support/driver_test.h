// Fixture for tests of the driver on the emulated machine (kernel side: they may look into
// the device extension).
#pragma once

#include <gtest/gtest.h>

#include <optional>

#include "card_resources.h"
#include "frame/device_extension.h"
#include "frame/frame.h"
#include "sim/kernel.h"
#include "sim/machine_kernel.h"
#include "sim/nt_api.h"
#include "sim/verifier.h"
#include "tarvik_ioctl.h"

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

  // Gives the driver the card's ranges and interrupt as resource assignment does at start.
  void AssignCardRanges(bool connectInterrupt = true) {
    test_support::AssignCardResources(Machine(), connectInterrupt);
  }

  // A device-control request through the I/O manager on a handle of the test's own.
  NTSTATUS Control(ULONG code, const void* input, ULONG inputLength, void* output,
                   ULONG outputLength, ULONG_PTR* information = nullptr) {
    if (controlHandle_ == 0) {
      NTSTATUS status = Open(&controlHandle_);
      if (!NT_SUCCESS(status)) return status;
    }
    sim::nt::IoStatus iosb{};
    NTSTATUS status = sim::nt::DeviceIoControlFile(controlHandle_, 0, &iosb, code, input,
                                                   inputLength, output, outputLength);
    if (information != nullptr) *information = iosb.information;
    return status;
  }

  // LastError as user mode reads it.
  ULONG LastError() {
    ULONG value = 0xDEADBEEF;
    EXPECT_EQ(Control(IOCTL_DAQ_GET_LAST_ERROR, nullptr, 0, &value, sizeof value), STATUS_SUCCESS);
    return value;
  }

  // Opens \\.\Tarvik through the I/O manager; returns the status and the handle.
  static NTSTATUS Open(sim::nt::Handle* handle) { return sim::nt::CreateFile(u"\\??\\Tarvik", true, handle); }

  // Every request gives back the remove-lock reference it took: with the device idle, the
  // count is the lock's own reference plus one per open handle (none in Win98Mode).
  // Parameters for an acquisition at 10 000 clock ticks per second on all 16 channels,
  // signalling an event the fixture creates once and closes at the end of the test.
  START_PARAMETERS AcquisitionParameters(ULONG frames, SHORT blocks, bool continuous = false) {
    if (event_ == 0) {
      EXPECT_EQ(sim::nt::CreateEvent(false, false, &event_), STATUS_SUCCESS);
    }
    START_PARAMETERS start{};
    start.FramesPerBlock = frames;
    start.RequestedRate = 10000;
    start.EventHandle = event_;
    // On 98/Me a program passes the ring-0 handle OpenVxDHandle makes of its event.
    if (sim::kernel::CurrentWdmSupport() == sim::kernel::WdmSupport::Wdm10Only) {
      if (ring0Event_ == 0) {
        EXPECT_EQ(sim::nt::OpenVxDHandle(event_, &ring0Event_), STATUS_SUCCESS);
      }
      start.EventHandle = ring0Event_;
    }
    start.BlockCount = blocks;
    start.ChannelCount = 16;
    start.ContinuousFlag = continuous;
    return start;
  }

  void TearDown() override {
    if (event_ != 0) sim::nt::Close(event_);
    event_ = 0;
    ring0Event_ = 0;  // closed as the process ends: with the machine
    if (controlHandle_ != 0) sim::nt::Close(controlHandle_);
    controlHandle_ = 0;
    if (machine_) test_support::ReleaseCardResources(Machine());
    CheckRemoveLockIdle();
    machine_.reset();
  }

  // With the device idle, the remove lock holds its own reference and one per open handle.
  void CheckRemoveLockIdle() {
    if (!machine_ || !machine_->DevicePresent()) return;
    LONG expected = 1 + (Win98Mode ? 0 : static_cast<LONG>(sim::nt::OpenHandleCount()));
    if (RemoveLockCount() != expected) {
      sim::verifier::Report("RemoveLock", "remove-lock count " + std::to_string(RemoveLockCount()) +
                                              " with the device idle, expected " +
                                              std::to_string(expected));
    }
  }

  std::optional<sim::Machine> machine_;
  sim::nt::Handle controlHandle_ = 0;
  sim::nt::Handle event_ = 0;  // the acquisition's event, see AcquisitionParameters
  sim::nt::Handle ring0Event_ = 0;  // its ring-0 handle on 98/Me
};
