// A driver image loaded for the emulated machine: mapped and bound to the kernel's exports,
// optionally under forced IRQL checking, with an entry point the kernel calls as DriverEntry.
// The entry is guarded: a DriverEntry that returns with the stack pointer moved (a routine
// compiled with another calling convention than stdcall) is reported (CallingConvention).
#pragma once

#include <memory>
#include <string>

#include "sim/forced_irql.h"
#include "sim/image_loader.h"

namespace sim::loader {

class LoadedDriver {
 public:
  // Throws ImageError when the image cannot be loaded, and in a build that cannot call it
  // (only the i686 build runs i386 code).
  static std::unique_ptr<LoadedDriver> Load(const std::string& path, bool forcedIrqlChecking);
  ~LoadedDriver();

  // DRIVER_INITIALIZE*, for sim::DriverImage: the guard, which calls the image's entry.
  void* Entry() const;
  const MappedImage& Image() const { return *image_; }

 private:
  LoadedDriver() = default;
  std::unique_ptr<MappedImage> image_;
  std::unique_ptr<ForcedIrqlChecking> checking_;
};

}  // namespace sim::loader
