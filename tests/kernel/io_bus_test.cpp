// The port bus: claims, unclaimed ports, and the lookup each thread keeps of the range it
// used last, which must never outlive a change to the table or the bus itself; and the rule
// on which ports driver code may touch.
#include <gtest/gtest.h>

#include <atomic>
#include <optional>
#include <string>
#include <vector>

#include "kernel_test_support.h"
#include "sim/device_resources.h"
#include "sim/io_bus.h"

namespace {

// A device whose every read returns its tag.
class Tagged : public sim::PortDevice {
 public:
  explicit Tagged(uint32_t tag) : tag_(tag) {}
  uint32_t ReadPort(uint32_t, unsigned) override { return tag_; }
  void WritePort(uint32_t, unsigned, uint32_t) override {}

 private:
  uint32_t tag_;
};

TEST(IoBusTest, ClaimsAreRefusedOnAnOverlapOrAFullTableAndUnclaimedPortsReadAllOnes) {
  sim::IoBus bus;
  Tagged a(0x11), b(0x22);
  ASSERT_TRUE(bus.Claim(0x100, 0x10, &a));
  EXPECT_FALSE(bus.Claim(0x10F, 1, &b));
  EXPECT_EQ(bus.Read(0x10F, 1), 0x11u);
  EXPECT_EQ(bus.Read(0x110, 2), 0xFFFFu);
  for (uint32_t i = 1; i < sim::IoBus::kMaxRanges; ++i) {
    ASSERT_TRUE(bus.Claim(0x1000 + 0x10 * i, 0x10, &b));
  }
  EXPECT_FALSE(bus.Claim(0x9000, 1, &b));
  bus.Release(&b);
  EXPECT_TRUE(bus.Claim(0x9000, 1, &b));
  EXPECT_EQ(bus.Read(0x9000, 4), 0x22u);
}

TEST(IoBusTest, ALookupThisThreadKeptDiesWithAReleaseOrItsBus) {
  Tagged first(0x11), second(0x22);
  sim::IoBus bus;
  ASSERT_TRUE(bus.Claim(0x200, 0x10, &first));
  EXPECT_EQ(bus.Read(0x200, 1), 0x11u);  // kept
  bus.Release(&first);
  EXPECT_EQ(bus.Read(0x201, 1), 0xFFu);
  ASSERT_TRUE(bus.Claim(0x200, 0x10, &second));
  EXPECT_EQ(bus.Read(0x202, 1), 0x22u);

  // A new bus in the same memory, after as many changes, starts without the old one's ranges.
  std::optional<sim::IoBus> reused(std::in_place);
  ASSERT_TRUE(reused->Claim(0x400, 0x10, &first));
  EXPECT_EQ(reused->Read(0x400, 1), 0x11u);
  reused.emplace();
  ASSERT_TRUE(reused->Claim(0x500, 0x10, &second));
  EXPECT_EQ(reused->Read(0x400, 1), 0xFFu);
}

}  // namespace

// The kernel's view of what each device stack holds: driver code touches only the ports its
// stack was assigned, and connects its interrupt as it was assigned.
namespace resources {

using namespace kernel_test;

constexpr ULONG kVector = 0x3D;
constexpr KIRQL kIrql = 17;

struct Probe {
  ULONG port = 0;
  int width = 1;
};

void Touch(const Probe& probe) {
  if (probe.width == 2) {
    READ_PORT_USHORT(reinterpret_cast<PUSHORT>(ULONG_PTR{probe.port}));
  } else {
    READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(ULONG_PTR{probe.port}));
  }
}

Probe g_dpcProbe;
void NTAPI TouchingDpc(PKDPC, PVOID, PVOID, PVOID) { Touch(g_dpcProbe); }

BOOLEAN NTAPI TouchingService(PKINTERRUPT, PVOID context) {
  auto* asserted = static_cast<std::atomic<bool>*>(context);
  if (!asserted->exchange(false)) return FALSE;
  Touch(g_dpcProbe);
  return TRUE;
}

class PortResourceTest : public StackTest {
 protected:
  void SetUp() override {
    StackTest::SetUp();
    Build(2);
    dispatch_[1] = [this](PDEVICE_OBJECT, PIRP irp) {
      Touch(probe_);
      if (queueDpc_) KeInsertQueueDpc(&dpc_, nullptr, nullptr);
      return Complete(irp, STATUS_SUCCESS);
    };
    KeInitializeDpc(&dpc_, TouchingDpc, nullptr);
  }
  // Sends a request touching the port; returns the messages of what it broke.
  std::vector<std::string> Touching(ULONG port, int width = 1) {
    probe_ = {port, width};
    SendNew();
    sim::kernel::WaitForDpcsIdle();
    std::vector<std::string> messages;
    for (auto& v : sim::verifier::TakeViolations()) {
      EXPECT_EQ(v.rule, "PortOutsideResources");
      messages.push_back(v.message);
    }
    return messages;
  }
  static bool Says(const std::vector<std::string>& messages, const std::string& text) {
    return messages.size() == 1 && messages[0].find(text) != std::string::npos;
  }

  Probe probe_;
  bool queueDpc_ = false;
  KDPC dpc_;
};

TEST_F(PortResourceTest, DriverCodeTouchesOnlyThePortsItsStackHoldsNow) {
  auto before = Touching(0x305);
  EXPECT_TRUE(Says(before, "never given resources")) << before.at(0);
  EXPECT_NE(before[0].find("READ_PORT_UCHAR of port 0x305"), std::string::npos);
  EXPECT_NE(before[0].find("dispatch routine"), std::string::npos);
  EXPECT_NE(before[0].find("major 0x3"), std::string::npos);  // the request: IRP_MJ_READ

  sim::kernel::AssignDeviceResources(devices_[0], {{{0x300, 0x10}}, {}});
  EXPECT_TRUE(Touching(0x30F).empty());
  EXPECT_TRUE(Says(Touching(0x30F, 2), "0x300-0x30F"));  // its second byte lies outside

  PDEVICE_OBJECT other = CreateDevice();
  sim::kernel::AssignDeviceResources(other, {{{0x400, 0x10}}, {}});
  EXPECT_TRUE(Says(Touching(0x404), "belongs to the stack of device"));

  // Once the stop has been handled, not even the driver's deferred work may touch the card;
  // the bench may.
  sim::kernel::RevokeDeviceResources(devices_[0], "stopped");
  g_dpcProbe = {0x301, 1};
  queueDpc_ = true;
  auto late = Touching(0x301);
  EXPECT_EQ(late.size(), 2u);
  EXPECT_NE(late.back().find("DPC routine"), std::string::npos) << late.back();
  EXPECT_NE(late.back().find("(stopped)"), std::string::npos);
  READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x301));
  EXPECT_EQ(TakeRules(), Rules{});
  IoDeleteDevice(other);
}

TEST_F(PortResourceTest, AnInterruptIsConnectedAsAssignedAndServedAsItsDevicesCode) {
  sim::kernel::AssignDeviceResources(
      devices_[0], {{{0x300, 0x10}}, {{kVector, kIrql, 1, /*latched=*/false, /*shared=*/true}}});
  std::atomic<bool> asserted{false};
  PKINTERRUPT interrupt = nullptr;
  struct Attempt {
    ULONG vector;
    KIRQL irql;
    KINTERRUPT_MODE mode;
    KAFFINITY affinity;
  } attempt{};
  NTSTATUS status = 0;
  dispatch_[1] = [&](PDEVICE_OBJECT, PIRP irp) {
    status = IoConnectInterrupt(&interrupt, TouchingService, &asserted, nullptr, attempt.vector,
                                attempt.irql, attempt.irql, attempt.mode, TRUE, attempt.affinity,
                                FALSE);
    return Complete(irp, STATUS_SUCCESS);
  };
  for (Attempt wrong : {Attempt{kVector + 1, kIrql, LevelSensitive, 1},
                        Attempt{kVector, kIrql + 1, LevelSensitive, 1},
                        Attempt{kVector, kIrql, Latched, 1},
                        Attempt{kVector, kIrql, LevelSensitive, 3}}) {
    attempt = wrong;
    SendNew();
    EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(TakeRules(), Rules{"InterruptConnectParameters"});
  }
  attempt = {kVector, kIrql, LevelSensitive, 1};
  SendNew();
  ASSERT_EQ(status, STATUS_SUCCESS);

  // The routine runs as the device's code wherever the interrupt lands.
  auto source = sim::kernel::AttachInterruptSource(kVector, [&] { return asserted.load(); });
  g_dpcProbe = {0x500, 1};
  asserted = true;
  sim::kernel::NotifyInterruptLine(source);
  auto violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_EQ(violations[0].rule, "PortOutsideResources");
  EXPECT_NE(violations[0].message.find("interrupt service routine"), std::string::npos);
  sim::kernel::DetachInterruptSource(source);
  IoDisconnectInterrupt(interrupt);
}

}  // namespace resources
