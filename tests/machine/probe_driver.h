// A minimal function driver for tests of the machine's PnP manager: it records every PnP
// request it receives, passes it (and every power and WMI request) down to the card's physical
// device object, and detaches and deletes its device at removal. It can be told to fail a minor
// code itself, or to touch a port when one arrives.
#pragma once

#include <wdm.h>

#include <gtest/gtest.h>

#include <optional>
#include <vector>

#include "sim/machine_kernel.h"

namespace probe {

struct Received {
  UCHAR minor = 0;
  // IRP_MN_START_DEVICE: the lists as handed over, and their descriptors.
  PCM_RESOURCE_LIST raw = nullptr;
  PCM_RESOURCE_LIST translated = nullptr;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> rawDescriptors;
  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> translatedDescriptors;
  // IRP_MN_QUERY_CAPABILITIES: the record as it arrived, before the bus filled it in.
  std::optional<DEVICE_CAPABILITIES> capabilities;
};

sim::DriverImage Image();
// Forgets what was received and every failure set.
void Reset();
std::vector<Received> Requests();
std::vector<UCHAR> Minors();
// The probe completes requests of this minor code itself with `status`, without passing them
// down.
void Fail(UCHAR minor, NTSTATUS status);
// The probe detaches and deletes its device at surprise removal, as a driver must not.
void DeleteAtSurpriseRemoval();
// The probe's AddDevice leaves DO_DEVICE_INITIALIZING set, as a driver must not.
void LeaveInitializing();
// The probe's AddDevice does not report D0 with PoSetPowerState, as a driver must.
void NeverReportPower();
// The probe completes WMI requests with the status they came with instead of passing them
// down, as a driver must not.
void CompleteWmiRequests();
// The probe reads a dword at `port` when a request of this minor code reaches it, before it
// passes the request down (as a driver touches its card while handling it).
void TouchPortAt(UCHAR minor, ULONG port);

}  // namespace probe

// A machine with the probe loaded and its device added.
class MachinePnpTest : public testing::Test {
 protected:
  void Boot(sim::MachineOptions options = {}) {
    probe::Reset();
    machine_.emplace(std::move(options));
    ASSERT_EQ(machine_->LoadDriver(probe::Image()), STATUS_SUCCESS);
    ASSERT_EQ(machine_->AddDevice(), STATUS_SUCCESS);
  }
  void TearDown() override { machine_.reset(); }

  sim::Machine& Machine() { return *machine_; }
  std::vector<UCHAR> BusMinors() {
    std::vector<UCHAR> minors;
    for (const auto& request : machine_->BusPnpRequests()) minors.push_back(request.minor);
    return minors;
  }

  std::optional<sim::Machine> machine_;
};
