// The guarded DriverEntry of a loaded image. The guard calls the image's entry through a few
// instructions that remember the stack pointer and compare it on return: a stdcall routine
// pops its own arguments, a cdecl one leaves them, and the caller's frame pointer would hide
// the difference from any C++ check.
#include "sim/loaded_driver.h"

#include <atomic>
#include <cstdint>

#include "sim/kernel_exports.h"
#include "sim/verifier.h"

#if defined(__i386__)
// uint32_t TarvikCallChecked2(routine, a, b, int32_t* moved): calls routine(a, b) as stdcall
// and stores how far the stack pointer moved across the call (0 when balanced).
asm(R"(
    .text
    .globl TarvikCallChecked2
    .type TarvikCallChecked2, @function
TarvikCallChecked2:
    push %ebp
    mov %esp, %ebp
    push %esi
    mov %esp, %esi
    push 16(%ebp)
    push 12(%ebp)
    call *8(%ebp)
    mov %esp, %ecx
    sub %esi, %ecx
    mov 20(%ebp), %edx
    mov %ecx, (%edx)
    mov %esi, %esp
    pop %esi
    pop %ebp
    ret
    .size TarvikCallChecked2, .-TarvikCallChecked2
)");
extern "C" uint32_t TarvikCallChecked2(uintptr_t routine, uintptr_t a, uintptr_t b, int32_t* moved);
#endif

namespace sim::loader {
namespace {

// The entry of the loaded image the guard calls (one machine, so one driver, at a time).
std::atomic<const MappedImage*> g_entryImage{nullptr};

#if defined(__i386__)
__attribute__((stdcall)) long GuardedEntry(void* driver, void* registryPath) {
  const MappedImage* image = g_entryImage.load();
  int32_t moved = 0;
  auto status = static_cast<long>(TarvikCallChecked2(image->Entry(), reinterpret_cast<uintptr_t>(driver),
                                                     reinterpret_cast<uintptr_t>(registryPath), &moved));
  if (moved != 0) {
    verifier::Report("CallingConvention",
                     "DriverEntry (" + image->RoutineAt(image->Entry()) + ") returned with the stack pointer moved by " +
                         std::to_string(moved) + " bytes: it is not stdcall (NTAPI)");
  }
  return status;
}
#endif

}  // namespace

std::unique_ptr<LoadedDriver> LoadedDriver::Load(const std::string& path, bool forcedIrqlChecking) {
#if !defined(__i386__)
  (void)forcedIrqlChecking;
  throw ImageError(path + ": running a driver image needs the i686 build of the emulated machine");
#else
  std::unique_ptr<LoadedDriver> driver(new LoadedDriver);
  driver->image_ = MappedImage::LoadFile(path, KernelExports());
  if (forcedIrqlChecking) driver->checking_ = std::make_unique<ForcedIrqlChecking>(*driver->image_);
  g_entryImage = driver->image_.get();
  return driver;
#endif
}

LoadedDriver::~LoadedDriver() {
  const MappedImage* mine = image_.get();
  g_entryImage.compare_exchange_strong(mine, nullptr);
}

void* LoadedDriver::Entry() const {
#if defined(__i386__)
  return reinterpret_cast<void*>(&GuardedEntry);
#else
  return nullptr;
#endif
}

}  // namespace sim::loader
