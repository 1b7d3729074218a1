// The export tables of the emulated ntoskrnl.exe and HAL.dll: every routine and variable a
// driver image may import, by the platform's name.
#pragma once

#include "sim/image_loader.h"

namespace sim::loader {

// ntoskrnl.exe and HAL.dll as the emulated kernel provides them on the platform it plays
// (kernel::CurrentWdmSupport(): on 98/Me only NTKERN's WDM 1.0 routines; see
// kernel_exports.cpp). In the i686 build the routines have the platform's calling conventions
// (stdcall, fastcall, cdecl) and an image can call them; in a 64-bit build the addresses lie
// above 4 GiB and nothing binds to them.
const ExportTable& KernelExports();

// The names only, as "module!name", for tests that bind to stand-in addresses (of the
// platform played, as KernelExports()).
std::vector<std::string> KernelExportNames();

}  // namespace sim::loader
