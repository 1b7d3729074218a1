// I/O verification's checks on the request path (io_verification.cpp): the request list kept
// while special pool is on, and the checks made when a dispatch routine returns.
#pragma once

#include <string>

#include "kernel_internal.h"

namespace sim::kernel {

// Lists a request from its allocation to its release (only while special pool is on).
void TrackRequest(PIRP irp);
void UntrackRequest(PIRP irp);

// A dispatch routine's return, as IofCallDriver saw it.
struct DispatchOutcome {
  PIRP irp;
  PDEVICE_OBJECT device;
  int location;
  UCHAR major;
  NTSTATUS status;
  bool marked;  // the location is (or will be) marked pending
  DispatchFrame frame;
  IrpSnapshot snapshot;  // the request as it was dispatched, for reports
  std::string Who() const {
    return "dispatch routine of device " + Describe(device) + " for " + snapshot.Text();
  }
};

// ReturnWithoutCompletion, LowerDriverReturn and WmiForward.
void CheckDispatchOutcome(const DispatchOutcome& outcome);

}  // namespace sim::kernel
