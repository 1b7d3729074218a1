// The resource lists the machine's PnP manager hands the driver at start: what the standard
// assignment holds, raw against translated, every layout variant, and how long they live.
#include <cstddef>
#include <cstdio>
#include <string>

#include "probe_driver.h"

namespace {

using sim::ResourceLayout;

// Descriptor i of the list's first partial list. The platform declares the descriptors as a
// one-element array that runs on past its end; indexing it in place lets the compiler assume
// i is 0, so the address is formed from the start of the array instead.
const CM_PARTIAL_RESOURCE_DESCRIPTOR& At(PCM_RESOURCE_LIST list, ULONG i) {
  PCM_PARTIAL_RESOURCE_LIST partial = &list->List[0].PartialResourceList;
  auto* first = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
      reinterpret_cast<const char*>(partial) + offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
  return first[i];
}

// The list in one line: P<port>/<length> (I/O space), Pm<address>/<length> (a port range in
// memory space), M<address>/<length>, I<level>/<vector>.
std::string Signature(PCM_RESOURCE_LIST list) {
  if (list == nullptr) return "none";
  std::string out;
  for (ULONG i = 0; i < list->List[0].PartialResourceList.Count; ++i) {
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& d = At(list, i);
    char text[64];
    switch (d.Type) {
      case CmResourceTypePort:
        std::snprintf(text, sizeof text, "%s%llX/%u", (d.Flags & CM_RESOURCE_PORT_IO) ? "P" : "Pm",
                      static_cast<unsigned long long>(d.u.Port.Start.QuadPart), d.u.Port.Length);
        break;
      case CmResourceTypeMemory:
        std::snprintf(text, sizeof text, "M%llX/%u",
                      static_cast<unsigned long long>(d.u.Memory.Start.QuadPart), d.u.Memory.Length);
        break;
      case CmResourceTypeInterrupt:
        std::snprintf(text, sizeof text, "I%u/%u", d.u.Interrupt.Level, d.u.Interrupt.Vector);
        break;
      default:
        std::snprintf(text, sizeof text, "?%u", d.Type);
    }
    if (!out.empty()) out += ' ';
    out += text;
  }
  return out;
}

class ResourceListTest : public MachinePnpTest {
 protected:
  // Starts the device and returns what the probe received with the start.
  probe::Received Start(sim::MachineOptions options = {}) {
    Boot(std::move(options));
    EXPECT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
    std::vector<probe::Received> requests = probe::Requests();
    for (auto& request : requests) {
      if (request.minor == IRP_MN_START_DEVICE) return std::move(request);
    }
    ADD_FAILURE() << "no start reached the driver";
    return {};
  }
};

// Values away from the defaults, so that none of them can come from a constant.
TEST_F(ResourceListTest, StandardListsDescribeTheCardRawAndTranslated) {
  sim::MachineOptions options;
  options.card.bridgeBase = 0xD000;
  options.card.windowBase = 0xD480;
  options.interrupt = {5, 0x35, 21};
  options.bridgeMemoryBase = 0xF7001000;
  probe::Received start = Start(options);

  ASSERT_NE(start.raw, nullptr);
  ASSERT_NE(start.translated, nullptr);
  EXPECT_EQ(start.raw, sim::RawResourcesOf(Machine()));
  EXPECT_EQ(start.translated, sim::TranslatedResourcesOf(Machine()));
  for (PCM_RESOURCE_LIST list : {start.raw, start.translated}) {
    EXPECT_EQ(list->Count, 1u);
    EXPECT_EQ(list->List[0].InterfaceType, PCIBus);
    EXPECT_EQ(list->List[0].BusNumber, 0u);
    ASSERT_EQ(list->List[0].PartialResourceList.Count, 4u);
    for (ULONG i = 0; i < 3; ++i) {
      EXPECT_EQ(At(list, i).ShareDisposition, CmResourceShareDeviceExclusive) << i;
    }
    EXPECT_EQ(At(list, 0).Flags, CM_RESOURCE_PORT_IO);
    EXPECT_EQ(At(list, 1).Flags, CM_RESOURCE_PORT_IO);
    const CM_PARTIAL_RESOURCE_DESCRIPTOR& irq = At(list, 3);
    EXPECT_EQ(irq.ShareDisposition, CmResourceShareShared);
    EXPECT_EQ(irq.Flags, CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE);
    ULONG_PTR affinity = irq.u.Interrupt.Affinity;  // packed: read it by value
    EXPECT_EQ(affinity, 1u);
  }
  EXPECT_EQ(Signature(start.raw), "PD000/128 PD480/64 MF7001000/128 I5/5");
  EXPECT_EQ(Signature(start.translated), "PD000/128 PD480/64 MF7001000/128 I21/53");

  // The driver saw the same descriptors, in the same order.
  ASSERT_EQ(start.rawDescriptors.size(), 4u);
  ASSERT_EQ(start.translatedDescriptors.size(), 4u);
  EXPECT_EQ(start.rawDescriptors[3].u.Interrupt.Vector, 5u);
  EXPECT_EQ(start.translatedDescriptors[3].u.Interrupt.Vector, 0x35u);
  LONGLONG memory = start.translatedDescriptors[2].u.Memory.Start.QuadPart;
  EXPECT_EQ(memory, 0xF7001000);
}

struct LayoutCase {
  const char* name;
  ResourceLayout layout;
  const char* raw;         // with the default card and interrupt (11 / 0x3B at IRQL 16)
  const char* translated;  // null: the raw list with the interrupts translated
};

void PrintTo(const LayoutCase& c, std::ostream* out) { *out << c.name; }

class ResourceLayoutTest : public ResourceListTest,
                           public testing::WithParamInterface<LayoutCase> {};

std::string Translated(std::string raw) {
  for (auto [from, to] : {std::pair{"I11/11", "I16/59"}, std::pair{"I12/12", "I16/60"}}) {
    if (auto at = raw.find(from); at != std::string::npos) raw.replace(at, 6, to);
  }
  return raw;
}

TEST_P(ResourceLayoutTest, ListsFollowTheLayout) {
  sim::MachineOptions options;
  options.resources = GetParam().layout;
  probe::Received start = Start(options);
  EXPECT_EQ(Signature(start.raw), GetParam().raw);
  EXPECT_EQ(Signature(start.translated),
            GetParam().translated ? GetParam().translated : Translated(GetParam().raw));
}

constexpr const char* kStandard = "PE000/128 PE400/64 MFEBFF000/128 I11/11";

INSTANTIATE_TEST_SUITE_P(
    Layouts, ResourceLayoutTest,
    testing::Values(
        LayoutCase{"Standard", ResourceLayout::Standard, kStandard, nullptr},
        LayoutCase{"MemorySpacePorts", ResourceLayout::MemorySpacePorts, kStandard,
                   "PmFE00E000/128 PmFE00E400/64 MFEBFF000/128 I16/59"},
        LayoutCase{"BridgeInMemorySpace", ResourceLayout::BridgeInMemorySpace, kStandard,
                   "PmFE00E000/128 PE400/64 MFEBFF000/128 I16/59"},
        LayoutCase{"TwoInterrupts", ResourceLayout::TwoInterrupts, "PE000/128 PE400/64 MFEBFF000/128 I11/11 I12/12",
                   nullptr},
        LayoutCase{"NoMemoryRange", ResourceLayout::NoMemoryRange, "PE000/128 PE400/64 I11/11", nullptr},
        LayoutCase{"OnePortRange", ResourceLayout::OnePortRange, "PE000/128 MFEBFF000/128 I11/11", nullptr},
        LayoutCase{"ShortWindow", ResourceLayout::ShortWindow, "PE000/128 PE400/32 MFEBFF000/128 I11/11", nullptr},
        LayoutCase{"WindowFirst", ResourceLayout::WindowFirst,
                   "PE400/64 PE000/128 PE800/64 MFEBFF000/128 I11/11", nullptr},
        LayoutCase{"SevenPortRanges", ResourceLayout::SevenPortRanges,
                   "PE000/128 PE400/64 PE800/64 PE900/64 PEA00/64 PEB00/64 PEC00/64 "
                   "MFEBFF000/128 I11/11",
                   nullptr},
        LayoutCase{"FiveMemoryRanges", ResourceLayout::FiveMemoryRanges,
                   "PE000/128 PE400/64 MFEBFF000/128 MFEBFE000/128 MFEBFD000/128 "
                   "MFEBFC000/128 MFEBFB000/128 I11/11",
                   nullptr},
        LayoutCase{"TranslatedOnly", ResourceLayout::TranslatedOnly, "none",
                   "PE000/128 PE400/64 MFEBFF000/128 I16/59"},
        LayoutCase{"NoLists", ResourceLayout::NoLists, "none", "none"}),
    [](const testing::TestParamInfo<LayoutCase>& info) { return std::string(info.param.name); });

// The lists live while the device is started, and each start gets lists of its own.
TEST_F(ResourceListTest, ListsAreKeptWhileStartedAndDroppedAtStopAndRemoval) {
  Boot();
  EXPECT_EQ(sim::RawResourcesOf(Machine()), nullptr);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  ASSERT_NE(sim::RawResourcesOf(Machine()), nullptr);
  EXPECT_EQ(Signature(sim::TranslatedResourcesOf(Machine())), Translated(kStandard));
  ASSERT_EQ(Machine().StopDevice(), STATUS_SUCCESS);
  EXPECT_EQ(sim::RawResourcesOf(Machine()), nullptr);
  EXPECT_EQ(sim::TranslatedResourcesOf(Machine()), nullptr);
  ASSERT_EQ(Machine().StartDevice(), STATUS_SUCCESS);
  EXPECT_EQ(Signature(sim::RawResourcesOf(Machine())), kStandard);
  ASSERT_EQ(Machine().RemoveDevice(), STATUS_SUCCESS);
  EXPECT_EQ(sim::RawResourcesOf(Machine()), nullptr);
}

}  // namespace
