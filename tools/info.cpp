// tarvik info and tarvik serial.
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <algorithm>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <vector>

#include "context.h"
#include "tarvik/device.h"

namespace tarvik::tool {

namespace {

void PrintInfo(Context& context, bool json) {
  MachineHost& host = context.Host();
  Device device;
  device.OpenBoard();

  auto id = device.ReadIdentification(5);
  std::optional<uint32_t> serial;
  try {
    serial = device.SerialNumber();
  } catch (const Error& error) {
    if (error.LastError() != DAQ_ERR_NO_SERIAL) throw;
  }
  BoardSummary board = device.ReadBoardSummary();
  ResourceSummary resources = device.ReadResourceSummary();
  unsigned portCount = std::min<unsigned>(resources.portCount, resources.ports.size());

  if (json) {
    nlohmann::ordered_json out;
    out["identification"] = std::vector<unsigned>(id.begin(), id.begin() + 5);
    out["good_board"] = id[4] == 9;
    out["serial_number"] = serial ? nlohmann::ordered_json(*serial) : nlohmann::ordered_json();
    out["board_port"] = board.boardPort;
    out["interrupt_line"] = board.irqLine;
    out["frame_interrupts"] = board.frameInterrupts;
    out["other_interrupts"] = board.otherInterrupts;
    out["port_ranges"] = nlohmann::ordered_json::array();
    for (unsigned i = 0; i < portCount; ++i) {
      const PortRange& port = resources.ports[i];
      out["port_ranges"].push_back(
          {{"base", port.base}, {"length", port.length}, {"memory_space", port.mapped}});
    }
    out["memory_ranges"] = resources.memoryCount;
    out["pnp_state"] = host.PnpStateName();
    out["system_power"] = host.SystemPowerName();
    fmt::print("{}\n", out.dump(2));
    return;
  }

  fmt::print("identification  {:02X} {:02X} {:02X} {:02X} {:02X}{}\n", id[0], id[1], id[2], id[3],
             id[4], id[4] == 9 ? "  (good board)" : "  (byte 4 is not 9: no data will be captured)");
  if (serial) {
    fmt::print("serial number   {}\n", *serial);
  } else {
    fmt::print("serial number   none (the EEPROM's serial words are erased)\n");
  }
  fmt::print("board port      0x{:04X}\n", board.boardPort);
  fmt::print("interrupt line  {}\n", board.irqLine);
  fmt::print("interrupts      {} frame, {} other (16-bit counters)\n", board.frameInterrupts,
             board.otherInterrupts);
  fmt::print("port ranges     {}\n", resources.portCount);
  for (unsigned i = 0; i < portCount; ++i) {
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
  auto json = std::make_shared<bool>(false);
  info->add_flag("--json", *json, "Print the same as one JSON object");
  info->callback([&context, json] { PrintInfo(context, *json); });
}

void AddSerialCommand(CLI::App& app, Context& context) {
  auto* serial = app.add_subcommand("serial", "Print the board's serial number (from its EEPROM)");
  auto json = std::make_shared<bool>(false);
  serial->add_flag("--json", *json, "Print {\"serial_number\": N}");
  serial->callback([&context, json] {
    context.Host();
    Device device;
    uint32_t number = device.SerialNumber();
    if (*json) {
      fmt::print("{}\n", nlohmann::ordered_json{{"serial_number", number}}.dump());
    } else {
      fmt::print("{}\n", number);
    }
  });
}

}  // namespace tarvik::tool
