// Opens the device through the installed library. Nothing boots a machine here, so the
// library finds no device and says so: what matters is that it builds, links and runs.
#include <tarvik/device.h>

#include <cstdio>

int main() {
  try {
    tarvik::Device device;
    std::puts("opened the device");
  } catch (const tarvik::Error& error) {
    std::printf("no device: %s\n", error.what());
  }
  return 0;
}
