#include <tarvik/device.h>
#include <tarvik/emulated_machine.h>

#include <cstdio>

int main() {
  // On Linux the card and its driver run on an emulated machine in this process.
  tarvik::EmulatedMachine machine({.virtualClock = true, .sources = {"word0=Ramp:0,1"}});
  tarvik::Device device;
  device.OpenBoard();
  std::printf("identification byte 4: %u\n", device.ReadIdentification(5)[4]);
}
