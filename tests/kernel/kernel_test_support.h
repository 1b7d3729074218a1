// Scaffolding for the emulated kernel's tests: a fresh kernel per test, and stacks of fake
// devices whose dispatch behaviour each test supplies as a lambda.
#pragma once

#include <gtest/gtest.h>
#include <wdm.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "sim/driver_loader.h"
#include "sim/io.h"
#include "sim/kernel.h"
#include "sim/verifier.h"

namespace kernel_test {

using Dispatch = std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)>;
using Rules = std::vector<std::string>;

constexpr ULONG kTag = 0x74736554;       // "Test"
constexpr ULONG kOtherTag = 0x72687441;  // "Athr"
constexpr auto kRegistryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\Fake";

// Rule names of the violations recorded so far, in order; forgets them.
inline Rules TakeRules() {
  Rules rules;
  for (auto& violation : sim::verifier::TakeViolations()) rules.push_back(violation.rule);
  return rules;
}

inline LARGE_INTEGER RelativeMs(long long ms) { return LARGE_INTEGER{.QuadPart = -ms * 10000}; }

inline UNICODE_STRING Us(PCWSTR text) {
  UNICODE_STRING s;
  RtlInitUnicodeString(&s, text);
  return s;
}

// Threads standing in for interrupt paths and workers; joined before the kernel stops.
inline std::vector<std::thread>& Threads() {
  static std::vector<std::thread> threads;
  return threads;
}
inline void OnThread(std::function<void()> work) { Threads().emplace_back(std::move(work)); }
inline void JoinThreads() {
  for (auto& t : Threads()) t.join();
  Threads().clear();
}

inline NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

// Completes a request that its dispatch routine pended, from another thread after a delay.
inline void CompleteLater(PIRP irp, NTSTATUS status, ULONG_PTR information, int delayMs = 20) {
  OnThread([=] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    Complete(irp, status, information);
  });
}

inline NTSTATUS NTAPI FakeDispatch(PDEVICE_OBJECT device, PIRP irp) {
  return (**static_cast<Dispatch**>(device->DeviceExtension))(device, irp);
}

inline NTSTATUS NTAPI FakeDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  for (auto& routine : driver->MajorFunction) routine = FakeDispatch;
  return STATUS_SUCCESS;
}

class KernelTest : public testing::Test {
 protected:
  void SetUp() override { sim::kernel::Boot(sim::kernel::WdmSupport::Wdm110); }
  void TearDown() override {
    JoinThreads();
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "the test left the IRQL raised";
    sim::kernel::Shutdown();
  }
};

// A stack of fake devices of one driver: devices_[0] at the bottom, each attached onto the
// one below and dispatching to dispatch_[its index].
class StackTest : public KernelTest {
 protected:
  void Build(size_t depth, PCWSTR bottomName = nullptr) {
    ASSERT_EQ(sim::kernel::LoadDriver(FakeDriverEntry, u"\\Driver\\Fake", kRegistryPath, &driver_),
              STATUS_SUCCESS);
    dispatch_.resize(depth);  // sized once: the devices keep pointers into it
    UNICODE_STRING name = Us(bottomName);
    for (size_t i = 0; i < depth; ++i) {
      PDEVICE_OBJECT device = CreateDevice(i == 0 && bottomName != nullptr ? &name : nullptr);
      ASSERT_NE(device, nullptr);
      *static_cast<Dispatch**>(device->DeviceExtension) = &dispatch_[i];
      if (i > 0) {
        ASSERT_EQ(IoAttachDeviceToDeviceStack(device, devices_.back()), devices_.back());
      }
      devices_.push_back(device);
    }
  }

  PDEVICE_OBJECT CreateDevice(PUNICODE_STRING name = nullptr) {
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver_, sizeof(Dispatch*), name, FILE_DEVICE_UNKNOWN, 0, FALSE,
                             &device),
              STATUS_SUCCESS);
    if (device != nullptr) device->Flags &= ~DO_DEVICE_INITIALIZING;  // ready, as a driver says
    return device;
  }

  // Deletes the stack and unloads its driver.
  void Unbuild() {
    JoinThreads();
    for (size_t i = devices_.size(); i-- > 0;) {
      if (i > 0) IoDetachDevice(devices_[i - 1]);
      IoDeleteDevice(devices_[i]);
    }
    devices_.clear();
    dispatch_.clear();
    if (driver_ != nullptr) {
      EXPECT_TRUE(sim::kernel::UnloadDriver(driver_));
    }
    driver_ = nullptr;
  }

  void TearDown() override {
    Unbuild();
    KernelTest::TearDown();
  }

  PDEVICE_OBJECT Top() const { return devices_.back(); }

  // Hands the request to the layer below on this layer's own location.
  Dispatch PassDown(size_t layer) {
    return [this, layer](PDEVICE_OBJECT, PIRP irp) {
      IoSkipCurrentIrpStackLocation(irp);
      return IoCallDriver(devices_[layer - 1], irp);
    };
  }

  PIRP NewIrp() {
    PIRP irp = IoAllocateIrp(Top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
    return irp;
  }

  IO_STATUS_BLOCK SendNew() {
    PIRP irp = NewIrp();
    IO_STATUS_BLOCK result = sim::io::CallAndWait(Top(), irp);
    return result;
  }

  PDRIVER_OBJECT driver_ = nullptr;
  std::vector<PDEVICE_OBJECT> devices_;
  std::vector<Dispatch> dispatch_;
};

}  // namespace kernel_test
