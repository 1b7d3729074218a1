// The raw and translated resource lists the PnP manager hands the card's driver at start.
#pragma once

#include <wdm.h>

#include <vector>

#include "sim/device_resources.h"
#include "sim/machine.h"

namespace sim {

// One CM_RESOURCE_LIST (one full descriptor, all its partial descriptors) in storage of its
// own; empty when the layout gives no such list.
class ResourceListBuffer {
 public:
  ResourceListBuffer() = default;
  explicit ResourceListBuffer(const std::vector<CM_PARTIAL_RESOURCE_DESCRIPTOR>& descriptors);

  PCM_RESOURCE_LIST List() {
    return storage_.empty() ? nullptr : reinterpret_cast<PCM_RESOURCE_LIST>(storage_.data());
  }

 private:
  std::vector<ULONGLONG> storage_;  // 8-byte units keep the list aligned
};

struct ResourceLists {
  ResourceListBuffer raw;
  ResourceListBuffer translated;
};

// The lists for the options' card, interrupt assignment and layout.
ResourceLists BuildResourceLists(const MachineOptions& options);

// What a translated list assigns, as the kernel holds it against driver code: its I/O-space
// port ranges and its interrupts. Nothing for a null list.
kernel::DeviceResources KernelView(PCM_RESOURCE_LIST translated);

}  // namespace sim
