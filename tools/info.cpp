// tarvik info and tarvik serial.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "context.h"
#include "tarvik/device.h"

namespace tarvik::tool {

namespace {

void PrintInfo(Context& context) {
  MachineHost& host = context.Host();
  Device device;
  device.OpenBoard();

  auto id = device.ReadIdentification(5);
  fmt::print("identification  {:02X} {:02X} {:02X} {:02X} {:02X}{}\n", id[0], id[1], id[2], id[3],
             id[4], id[4] == 9 ? "  (good board)" : "  (byte 4 is not 9: no data will be captured)");
  try {
    fmt::print("serial number   {}\n", device.SerialNumber());
  } catch (const Error& error) {
    if (error.LastError() != DAQ_ERR_NO_SERIAL) throw;
    fmt::print("serial number   none (the EEPROM's serial words are erased)\n");
  }

  BoardSummary board = device.ReadBoardSummary();
  fmt::print("board port      0x{:04X}\n", board.boardPort);
  fmt::print("interrupt line  {}\n", board.irqLine);
  fmt::print("interrupts      {} frame, {} other (16-bit counters)\n", board.frameInterrupts,
             board.otherInterrupts);
  ResourceSummary resources = device.ReadResourceSummary();
  fmt::print("port ranges     {}\n", resources.portCount);
  for (unsigned i = 0; i < resources.portCount && i < resources.ports.size(); ++i) {
    const PortRange& port = resources.ports[i];
    fmt::print("  [{}] 0x{:04X}, {} bytes, {}\n", i, port.base, port.length,
               port.mapped ? "memory space, mapped" : "I/O space");
  }
  fmt::print("memory ranges   {}\n", resources.memoryCount);
  fmt::print("PnP state       {}\n", host.PnpStateName());
  fmt::print("system power    {}\n", host.SystemPowerName());
}

}  // namespace

void AddInfoCommand(CLI::App& app, Context& context) {
  auto* info = app.add_subcommand(
      "info", "Identification bytes, serial number, resources, interrupt counters, PnP and power state");
  info->callback([&context] { PrintInfo(context); });
}

void AddSerialCommand(CLI::App& app, Context& context) {
  auto* serial = app.add_subcommand("serial", "Print the board's serial number (from its EEPROM)");
  serial->callback([&context] {
    context.Host();
    Device device;
    fmt::print("{}\n", device.SerialNumber());
  });
}

}  // namespace tarvik::tool
