// The Tarvik driver as the emulated machine's loader sees it: the driver linked into this
// program, or, when TARVIK_DRIVER_IMAGE names a file, that PE32 image (tarvik.sys) loaded
// under forced IRQL checking. Only the i686 build can run an image.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

#include "frame/frame.h"
#include "sim/loaded_driver.h"
#include "sim/machine.h"

namespace sim {
namespace {

// Each machine gets a freshly mapped image, so its globals start as the file has them. The
// older ones stay mapped to the end of the process: a routine of a previous machine (a work
// item, a timer) may still be on its way out.
DriverImage LoadImage(const std::string& path) {
  static std::mutex mutex;
  static std::vector<std::unique_ptr<loader::LoadedDriver>> loaded;
  std::lock_guard lock(mutex);
  try {
    loaded.push_back(loader::LoadedDriver::Load(path, true));
  } catch (const loader::ImageError& e) {
    // Ends here without running the process's destructors: the threads of an earlier machine
    // may still be up, and a test cannot go on without its driver.
    std::fprintf(stderr, "emulated machine: cannot load the driver image: %s\n", e.what());
    std::fflush(stderr);
    std::_Exit(1);
  }
  return {u"Tarvik", loaded.back()->Entry()};
}

}  // namespace

void SetDriverImagePath(const std::string& path) {
  setenv("TARVIK_DRIVER_IMAGE", path.c_str(), 1);
}

DriverImage TarvikDriverImage() {
  if (const char* path = std::getenv("TARVIK_DRIVER_IMAGE"); path != nullptr && *path != 0)
    return LoadImage(path);
  return {u"Tarvik", reinterpret_cast<void*>(&DriverEntry)};
}

}  // namespace sim
