// What every subcommand shares: the machine options given on the command line, the machine
// (booted on first use, kept until the tool exits, so it outlives every device handle), and
// the exit code the command chose.
#pragma once

#include <memory>

#include "machine_host.h"

namespace CLI {
class App;
}

namespace tarvik::tool {

// Exit codes, for scripts.
inline constexpr int kExitOk = 0;
inline constexpr int kExitDeviceError = 1;  // the device, the driver or a file failed
inline constexpr int kExitUsage = 2;        // bad command line
inline constexpr int kExitDataLost = 3;     // the acquisition finished but lost data
inline constexpr int kExitRuleBroken = 4;   // the driver broke a platform rule

struct Context {
  MachineHostOptions machineOptions;
  std::unique_ptr<MachineHost> host;
  int exitCode = kExitOk;

  MachineHost& Host() {
    if (!host) host = std::make_unique<MachineHost>(machineOptions);
    return *host;
  }
};

// One registration function per subcommand (each in its own file).
void AddAcquireCommand(CLI::App& app, Context& context);
void AddInfoCommand(CLI::App& app, Context& context);
void AddSerialCommand(CLI::App& app, Context& context);
void AddEepromCommand(CLI::App& app, Context& context);
void AddPortsCommand(CLI::App& app, Context& context);
void AddConsoleCommand(CLI::App& app, Context& context);

// Parses a number given in decimal or with a 0x prefix; throws CLI::ValidationError.
unsigned long ParseNumber(const std::string& text, unsigned long max, const char* what);

}  // namespace tarvik::tool
