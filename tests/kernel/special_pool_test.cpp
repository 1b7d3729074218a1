// Special pool (on in every test run): guard pages and the pattern beside an allocation, freed
// memory, paged pool at raised IRQL, requests and their buffers after the final completion,
// deleted device objects, and the caller's buffers as the driver sees them.
#include <cstring>

#include "kernel_test_support.h"
#include "sim/nt_api.h"

namespace kernel_test {
namespace {

using SpecialPoolTest = StackTest;
using sim::verifier::Violation;

// A touch by a routine with a name of its own, which the reports must give.
[[gnu::noinline]] void PokeByte(void* p) { *static_cast<volatile unsigned char*>(p) = 1; }

bool AtPageEnd(const void* p, size_t bytes) {
  return (reinterpret_cast<uintptr_t>(p) + bytes) % 4096 == 0;
}

// The single violation recorded: its rule, with every piece of the message checked.
std::string OnlyRule(std::initializer_list<const char*> naming) {
  std::vector<Violation> violations = sim::verifier::TakeViolations();
  if (violations.size() != 1) return "violations: " + std::to_string(violations.size());
  for (const char* piece : naming) {
    if (violations[0].message.find(piece) == std::string::npos)
      return violations[0].rule + " without \"" + piece + "\": " + violations[0].message;
  }
  return violations[0].rule;
}

TEST_F(SpecialPoolTest, OverrunsUnderrunsAndTouchesAfterTheFreeAreReportedWithTagAndRoutine) {
  // Allocations alternate between the end and the start of their pages.
  void* a = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 32, kTag);
  ASSERT_NE(AtPageEnd(a, 32), AtPageEnd(b, 32));
  auto* atEnd = static_cast<unsigned char*>(AtPageEnd(a, 32) ? a : b);
  auto* atStart = static_cast<unsigned char*>(AtPageEnd(a, 32) ? b : a);

  PokeByte(atEnd + 32);  // the guard page after it: at once
  EXPECT_EQ(OnlyRule({"PokeByte", "\"Test\"", "1 byte past the end"}), "SpecialPoolOverrun");
  PokeByte(atStart - 1);
  EXPECT_EQ(OnlyRule({"PokeByte", "before the start"}), "SpecialPoolUnderrun");
  atStart[40] = 0;  // on its own page: found by the pattern when it is freed
  ExFreePoolWithTag(atStart, kTag);
  EXPECT_EQ(OnlyRule({"past its end"}), "SpecialPoolCorruption");

  ExFreePoolWithTag(atEnd, kTag);
  PokeByte(atEnd);
  EXPECT_EQ(OnlyRule({"PokeByte", "freed"}), "SpecialPoolFreedTouched");
}

TEST_F(SpecialPoolTest, PagedPoolIsTrimmedAtEveryRaise) {
  auto* p = static_cast<unsigned char*>(ExAllocatePoolWithTag(PagedPool, 16, kTag));
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  KeLowerIrql(old);
  PokeByte(p);  // at PASSIVE_LEVEL it is paged back in
  EXPECT_EQ(TakeRules(), Rules{});
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  PokeByte(p + 1);
  KeLowerIrql(old);
  EXPECT_EQ(OnlyRule({"PokeByte", "paged pool", "IRQL 2"}), "PageFaultAtRaisedIrql");
  ExFreePool(p);
}

TEST_F(SpecialPoolTest, ARequestTouchedAfterItsFinalCompletionIsReported) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    Complete(irp, STATUS_SUCCESS);
    PokeByte(&irp->IoStatus.Information);
    return STATUS_SUCCESS;
  };
  SendNew();
  EXPECT_EQ(OnlyRule({"PokeByte", "released at its final completion"}), "SpecialPoolFreedTouched");
}

// A remove handler that deletes its device and only then gives back the remove lock kept in
// the device's extension: the extension is gone with the device.
[[gnu::noinline]] void ReleaseRemoveLock(volatile LONG* count) { InterlockedDecrement(count); }

TEST_F(SpecialPoolTest, ADeletedDevicesExtensionTouchedAfterTheDeletionIsReported) {
  Build(1);
  dispatch_[0] = [](PDEVICE_OBJECT device, PIRP irp) {
    auto* removeLock = static_cast<volatile LONG*>(device->DeviceExtension);
    Complete(irp, STATUS_SUCCESS);
    IoDeleteDevice(device);
    ReleaseRemoveLock(removeLock);
    return STATUS_SUCCESS;
  };
  SendNew();
  devices_.clear();
  EXPECT_EQ(OnlyRule({"ReleaseRemoveLock", "device object", "deleted"}),
            "SpecialPoolFreedTouched");
}

constexpr ULONG kBufferedCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);
constexpr ULONG kNeitherCode =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x901, METHOD_NEITHER, FILE_ANY_ACCESS);

void NTAPI WriteUserBufferAndComplete(PKDPC, PVOID context, PVOID, PVOID) {
  auto irp = static_cast<PIRP>(context);
  PokeByte(irp->UserBuffer);
  Complete(irp, STATUS_SUCCESS, 0);
}

TEST_F(SpecialPoolTest, BuffersOfDeviceControlRequestsAreGuardedAndUserBuffersKeepToTheirContext) {
  Build(1, L"\\Device\\SpecialPoolProbe");
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  sim::nt::Handle file = 0;
  ASSERT_EQ(sim::nt::CreateFile(u"\\Device\\SpecialPoolProbe", true, &file), STATUS_SUCCESS);
  sim::nt::IoStatus iosb{};
  unsigned char input[16] = {7}, output[16] = {};
  auto send = [&](ULONG code) {
    return sim::nt::DeviceIoControlFile(file, 0, &iosb, code, input, sizeof input, output,
                                        sizeof output);
  };
  auto locationOf = [](PIRP irp) { return IoGetCurrentIrpStackLocation(irp); };

  // Past the system buffer: its guard page, or its page's pattern when it is released.
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) {
    PokeByte(static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer) + 16);
    return Complete(irp, STATUS_SUCCESS, 0);
  };
  send(kBufferedCode);
  std::vector<Violation> violations = sim::verifier::TakeViolations();
  ASSERT_EQ(violations.size(), 1u);
  EXPECT_TRUE(violations[0].rule == "SpecialPoolOverrun" ||
              violations[0].rule == "SpecialPoolCorruption");
  EXPECT_NE(violations[0].message.find("system buffer"), std::string::npos)
      << violations[0].message;

  // Type3InputBuffer is METHOD_NEITHER's alone; there it is the caller's input, and
  // Irp->UserBuffer the caller's output, in the caller's own context.
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    PokeByte(locationOf(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    return Complete(irp, STATUS_SUCCESS, 0);
  };
  send(kBufferedCode);
  EXPECT_EQ(OnlyRule({"PokeByte", "not METHOD_NEITHER"}), "Type3InputBuffer");
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    auto* in =
        static_cast<unsigned char*>(locationOf(irp)->Parameters.DeviceIoControl.Type3InputBuffer);
    static_cast<unsigned char*>(irp->UserBuffer)[3] = static_cast<unsigned char>(in[0] + 1);
    return Complete(irp, STATUS_SUCCESS, 0);
  };
  EXPECT_EQ(send(kNeitherCode), STATUS_SUCCESS);
  EXPECT_EQ(TakeRules(), Rules{});
  EXPECT_EQ(output[3], 8);

  // A DPC runs in whatever process the processor was in: the caller's buffer is not there.
  KDPC dpc;
  dispatch_[0] = [&](PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    KeInitializeDpc(&dpc, WriteUserBufferAndComplete, irp);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    return STATUS_PENDING;
  };
  send(kNeitherCode);
  EXPECT_EQ(OnlyRule({"PokeByte", "user buffer", "system thread"}), "UserBufferOtherContext");
  dispatch_[0] = [](PDEVICE_OBJECT, PIRP irp) { return Complete(irp, STATUS_SUCCESS); };
  sim::nt::Close(file);
}

}  // namespace
}  // namespace kernel_test
