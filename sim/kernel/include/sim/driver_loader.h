// Loading and unloading drivers in the emulated kernel.
#pragma once

#include <wdm.h>

#include <string_view>

namespace sim::kernel {

// Builds a driver object (every major function set to the I/O manager's default handler),
// calls the entry point at PASSIVE_LEVEL with the registry path, and returns its status. On
// failure the driver object is gone and *driver is null.
NTSTATUS LoadDriver(PDRIVER_INITIALIZE entry, std::u16string_view name,
                    std::u16string_view registryPath, PDRIVER_OBJECT* driver);

// Calls the driver's unload routine and frees the driver object. A driver with device objects
// left is refused (the platform never unloads it); pool still allocated afterwards is a leak.
// Returns false when refused.
bool UnloadDriver(PDRIVER_OBJECT driver);

}  // namespace sim::kernel
