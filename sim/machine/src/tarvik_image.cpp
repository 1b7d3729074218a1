// The Tarvik driver as the emulated machine's loader sees it.
#include "frame/frame.h"
#include "sim/machine.h"

namespace sim {

DriverImage TarvikDriverImage() {
  return {u"Tarvik", reinterpret_cast<void*>(&DriverEntry)};
}

}  // namespace sim
