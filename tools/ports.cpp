// tarvik ports in|out: raw register access at absolute I/O ports, within the ranges the
// device was given (the driver refuses any other port).
#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include <memory>

#include "context.h"
#include "tarvik/device.h"

namespace tarvik::tool {

namespace {

struct PortArguments {
  std::string port;
  unsigned width = 1;
  std::string value;
};

}  // namespace

void AddPortsCommand(CLI::App& app, Context& context) {
  auto* ports = app.add_subcommand(
      "ports", "Raw register access: one read or write of WIDTH bytes (1, 2 or 4) at PORT");
  ports->require_subcommand(1);
  auto arguments = std::make_shared<PortArguments>();

  auto* in = ports->add_subcommand("in", "Read PORT and print the value");
  in->add_option("port", arguments->port, "I/O port (e.g. 0xE400)")->required();
  in->add_option("width", arguments->width, "Bytes: 1, 2 or 4")
      ->required()
      ->check(CLI::IsMember({1u, 2u, 4u}));
  in->callback([&context, arguments] {
    auto port = static_cast<uint16_t>(ParseNumber(arguments->port, 0xFFFF, "port"));
    context.Host();
    Device device;
    uint32_t value = device.PortIn(port, arguments->width);
    fmt::print("0x{:0{}X}\n", value, arguments->width * 2);
  });

  auto* out = ports->add_subcommand("out", "Write VALUE to PORT");
  out->add_option("port", arguments->port, "I/O port (e.g. 0xE400)")->required();
  out->add_option("width", arguments->width, "Bytes: 1, 2 or 4")
      ->required()
      ->check(CLI::IsMember({1u, 2u, 4u}));
  out->add_option("value", arguments->value, "Value (decimal or 0x...)")->required();
  out->callback([&context, arguments] {
    auto port = static_cast<uint16_t>(ParseNumber(arguments->port, 0xFFFF, "port"));
    unsigned long max = arguments->width == 4 ? 0xFFFFFFFFul : (1ul << (8 * arguments->width)) - 1;
    auto value = static_cast<uint32_t>(ParseNumber(arguments->value, max, "value"));
    context.Host();
    Device device;
    device.PortOut(port, arguments->width, value);
  });
}

}  // namespace tarvik::tool
