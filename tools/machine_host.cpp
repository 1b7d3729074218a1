#include "machine_host.h"

#if defined(_WIN32)

// On Windows the tool talks to the installed driver; no machine is booted.
namespace sim {
class Machine {};
}  // namespace sim

namespace tarvik::tool {

class MachineHost::ImageLock {};

MachineHost::MachineHost(const MachineHostOptions& options) : options_(options) {}
MachineHost::~MachineHost() = default;
uint64_t MachineHost::EepromSaveFailures() { return 0; }
uint64_t MachineHost::Step(uint64_t) { return 0; }
double MachineHost::ClockRateHz() const { return 0; }
std::string MachineHost::PnpStateName() const { return "unknown"; }
std::string MachineHost::SystemPowerName() const { return "unknown"; }
size_t ReportBrokenRules() { return 0; }
void SelectPlatform(const std::string&) {}

}  // namespace tarvik::tool

#else

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "sim/machine.h"
#include "sim/verifier.h"

namespace tarvik::tool {

namespace {

std::string Status(int32_t status) {
  return fmt::format("0x{:08X}", static_cast<uint32_t>(status));
}

}  // namespace

// An exclusive lock on FILE.lock beside the image (the image itself is replaced by a rename
// at every save, so a lock on it would not last).
class MachineHost::ImageLock {
 public:
  explicit ImageLock(const std::filesystem::path& image) {
    std::filesystem::path path = image;
    path += ".lock";
    // Where no lock file can be made, no image can be saved either (its temporary file goes in
    // the same folder): reads go ahead, and a write fails at its save and says so.
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno == EINTR) continue;
      int error = errno;
      close(fd_);
      throw std::runtime_error(
          fmt::format("cannot lock {}: {}", path.string(), std::strerror(error)));
    }
  }
  ~ImageLock() {
    if (fd_ >= 0) close(fd_);
  }
  ImageLock(const ImageLock&) = delete;
  ImageLock& operator=(const ImageLock&) = delete;

 private:
  int fd_ = -1;
};

std::filesystem::path FollowLinks(const std::filesystem::path& path) {
  std::filesystem::path current = path;
  std::error_code error;
  for (int hops = 0; hops < 40 && std::filesystem::is_symlink(current, error); ++hops) {
    std::filesystem::path target = std::filesystem::read_symlink(current, error);
    if (error) break;
    current = target.is_absolute() ? target : current.parent_path() / target;
  }
  return current;
}

void SelectPlatform(const std::string& name) {
  if (auto platform = sim::ParsePlatform(name)) sim::SetDefaultPlatform(*platform);
}

void ApplyCardOptions(const MachineHostOptions& options, sim::card::CardConfig& card) {
  if (options.driverImage) sim::SetDriverImagePath(options.driverImage->string());
  card.realTimeClock = !options.virtualClock;
  card.eepromImage = options.eepromImage;
  if (card.eepromImage) card.eepromImage = FollowLinks(*card.eepromImage);
  if (options.idByte4) card.window.identification[4] = *options.idByte4;
  for (const SourceSetting& setting : options.sources) card.window.sources[setting.quantity] = setting.source;
}

MachineHost::MachineHost(const MachineHostOptions& options) : options_(options) {
  sim::MachineOptions machineOptions;
  ApplyCardOptions(options, machineOptions.card);
  if (machineOptions.card.eepromImage) {
    imageLock_ = std::make_unique<ImageLock>(*machineOptions.card.eepromImage);
  }

  machine_ = std::make_unique<sim::Machine>(machineOptions);
  if (options.eepromImage) {
    auto status = machine_->Card().EepromImageStatus();
    if (status == sim::card::ImageFileResult::BadSize ||
        status == sim::card::ImageFileResult::IoError) {
      machine_.reset();
      throw std::runtime_error(fmt::format(
          "EEPROM image {} {}", options.eepromImage->string(),
          status == sim::card::ImageFileResult::BadSize ? "is not a 128-byte image"
                                                        : "cannot be read"));
    }
  }
  int32_t status = machine_->LoadDriver(sim::TarvikDriverImage());
  if (status != 0) throw std::runtime_error("loading the driver failed: status " + Status(status));
  status = machine_->AddDevice();
  if (status != 0) throw std::runtime_error("adding the device failed: status " + Status(status));
  status = machine_->StartDevice();
  if (status != 0) throw std::runtime_error("starting the device failed: status " + Status(status));
}

// The machine goes before the lock: its last save happens while the lock is held.
MachineHost::~MachineHost() { machine_.reset(); }

uint64_t MachineHost::EepromSaveFailures() {
  return machine_ ? machine_->Card().bridge().GetEepromCounters().saveFailures : 0;
}

size_t ReportBrokenRules() {
  auto violations = sim::verifier::TakeViolations();
  if (violations.empty()) return 0;
  std::string rules;
  for (const auto& violation : violations) rules += " " + violation.rule;
  std::fflush(stdout);
  fmt::print(stderr, "tarvik: the driver broke {} platform rule{}:{}\n", violations.size(),
             violations.size() == 1 ? "" : "s", rules);
  return violations.size();
}

uint64_t MachineHost::Step(uint64_t ticks) {
  if (!VirtualClock()) return 0;
  return machine_->Card().window().Step(ticks);
}

double MachineHost::ClockRateHz() const {
  if (!machine_) return 0;
  auto status = machine_->Card().window().GetStatus();
  return status.clockRunning ? status.rateHz : 0;
}

std::string MachineHost::PnpStateName() const {
  return machine_ ? sim::PnpStateName(machine_->DevicePnpState()) : "unknown";
}

std::string MachineHost::SystemPowerName() const {
  if (!machine_) return "unknown";
  int state = machine_->CurrentSystemPower();
  return fmt::format("S{}{}", state - 1, state == sim::kSystemWorking ? " (working)" : "");
}

}  // namespace tarvik::tool

#endif
