// The card's resource lists: the bridge's and the window's port ranges, the bridge's memory
// range and the shared interrupt, laid out as MachineOptions::resources says.
#include "resource_lists.h"

#include <cstddef>
#include <cstring>

namespace sim {
namespace {

constexpr ULONG kBridgeLength = 128;
constexpr ULONG kWindowLength = 64;
constexpr ULONG kBridgeMemoryLength = 128;
constexpr USHORT kMemoryReadWrite = 0x0000;  // CM_RESOURCE_MEMORY_READ_WRITE
constexpr uint32_t kExtraPortOffset = 0x400;  // extra port ranges start this far past the window

CM_PARTIAL_RESOURCE_DESCRIPTOR Port(uint64_t start, ULONG length, USHORT flags = CM_RESOURCE_PORT_IO) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypePort;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = flags;
  d.u.Port.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Port.Length = length;
  return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Memory(uint64_t start, ULONG length) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeMemory;
  d.ShareDisposition = CmResourceShareDeviceExclusive;
  d.Flags = kMemoryReadWrite;
  d.u.Memory.Start.QuadPart = static_cast<LONGLONG>(start);
  d.u.Memory.Length = length;
  return d;
}

CM_PARTIAL_RESOURCE_DESCRIPTOR Interrupt(ULONG level, ULONG vector, bool latched) {
  CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
  d.Type = CmResourceTypeInterrupt;
  // A PCI line is level-sensitive and shared; a latched one is the device's own.
  d.ShareDisposition = latched ? CmResourceShareDeviceExclusive : CmResourceShareShared;
  d.Flags = latched ? CM_RESOURCE_INTERRUPT_LATCHED : CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE;
  d.u.Interrupt.Level = level;
  d.u.Interrupt.Vector = vector;
  d.u.Interrupt.Affinity = 1;
  return d;
}

// One side of the assignment: the raw view (bus-relative) or the translated one.
std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> Descriptors(const MachineOptions& options,
                                                        bool translated) {
  const uint32_t bridge = options.card.bridgeBase;
  const uint32_t window = options.card.windowBase;
  const InterruptAssignment& irq = options.interrupt;
  const ResourceLayout layout = options.resources;

  auto port = [&](uint32_t base, ULONG length) {
    if (translated && (layout == ResourceLayout::MemorySpacePorts ||
                       (layout == ResourceLayout::BridgeInMemorySpace && base == bridge))) {
      return Port(kPortSpaceInMemory + base, length, CM_RESOURCE_PORT_MEMORY);
    }
    return Port(base, length);
  };
  auto interrupt = [&](uint32_t extra) {
    return translated ? Interrupt(irq.irql, irq.vector + extra, irq.latched)
                      : Interrupt(irq.rawLine + extra, irq.rawLine + extra, irq.latched);
  };
  const ULONG windowLength = layout == ResourceLayout::ShortWindow ? 32 : kWindowLength;

  std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR> list;
  switch (layout) {
    case ResourceLayout::WindowFirst:
      list.push_back(port(window, kWindowLength));
      list.push_back(port(bridge, kBridgeLength));
      list.push_back(port(window + kExtraPortOffset, kWindowLength));
      break;
    case ResourceLayout::OnePortRange:
      list.push_back(port(bridge, kBridgeLength));
      break;
    default:
      list.push_back(port(bridge, kBridgeLength));
      list.push_back(port(window, windowLength));
      break;
  }
  if (layout == ResourceLayout::SevenPortRanges) {
    for (uint32_t i = 0; i < 5; ++i) {
      list.push_back(port(window + kExtraPortOffset + 0x100 * i, kWindowLength));
    }
  }
  if (layout != ResourceLayout::NoMemoryRange) {
    list.push_back(Memory(options.bridgeMemoryBase, kBridgeMemoryLength));
  }
  if (layout == ResourceLayout::FiveMemoryRanges) {
    for (uint64_t i = 1; i <= 4; ++i) {
      list.push_back(Memory(options.bridgeMemoryBase - 0x1000 * i, kBridgeMemoryLength));
    }
  }
  list.push_back(interrupt(0));
  if (layout == ResourceLayout::TwoInterrupts) list.push_back(interrupt(1));
  return list;
}

}  // namespace

ResourceListBuffer::ResourceListBuffer(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors) {
  // The platform's records hold one partial descriptor; the rest follow it in the same block.
  size_t extra = descriptors.empty() ? 0 : descriptors.size() - 1;
  size_t bytes = sizeof(CM_RESOURCE_LIST) + extra * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR);
  storage_.assign((bytes + sizeof(ULONGLONG) - 1) / sizeof(ULONGLONG), 0);
  PCM_RESOURCE_LIST list = List();
  list->Count = 1;
  CM_FULL_RESOURCE_DESCRIPTOR& full = list->List[0];
  full.InterfaceType = PCIBus;
  full.BusNumber = 0;
  full.PartialResourceList.Version = 1;
  full.PartialResourceList.Revision = 1;
  full.PartialResourceList.Count = static_cast<ULONG>(descriptors.size());
  auto* out = reinterpret_cast<unsigned char*>(storage_.data()) +
              offsetof(CM_RESOURCE_LIST, List[0].PartialResourceList.PartialDescriptors);
  if (!descriptors.empty()) {
    std::memcpy(out, descriptors.data(), descriptors.size() * sizeof(CM_PARTIAL_RESOURCE_DESCRIPTOR));
  }
}

kernel::DeviceResources KernelView(PCM_RESOURCE_LIST translated) {
  kernel::DeviceResources view;
  if (translated == nullptr || translated->Count == 0) return view;
  // The machine's lists have one full descriptor, its partial descriptors inline after it.
  const CM_PARTIAL_RESOURCE_LIST& partial = translated->List[0].PartialResourceList;
  const auto* d = reinterpret_cast<const CM_PARTIAL_RESOURCE_DESCRIPTOR*>(
      reinterpret_cast<const char*>(&partial) +
      offsetof(CM_PARTIAL_RESOURCE_LIST, PartialDescriptors));
  for (ULONG i = 0; i < partial.Count; ++i, ++d) {
    if (d->Type == CmResourceTypePort && (d->Flags & CM_RESOURCE_PORT_IO) != 0) {
      view.ports.push_back({d->u.Port.Start.u.LowPart, d->u.Port.Length});
    } else if (d->Type == CmResourceTypeInterrupt) {
      view.interrupts.push_back({d->u.Interrupt.Vector, static_cast<uint8_t>(d->u.Interrupt.Level),
                                 d->u.Interrupt.Affinity,
                                 (d->Flags & CM_RESOURCE_INTERRUPT_LATCHED) != 0,
                                 d->ShareDisposition == CmResourceShareShared});
    }
  }
  return view;
}

ResourceLists BuildResourceLists(const MachineOptions& options) {
  ResourceLists lists;
  if (options.resources == ResourceLayout::NoLists) return lists;
  if (options.resources != ResourceLayout::TranslatedOnly) {
    lists.raw = ResourceListBuffer(Descriptors(options, false));
  }
  lists.translated = ResourceListBuffer(Descriptors(options, true));
  return lists;
}

}  // namespace sim
