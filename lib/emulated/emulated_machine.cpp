// tarvik::EmulatedMachine: the emulated machine booted in this process, with the card the
// options describe and the driver started, and the lock that lets runs share an EEPROM image.
#include "tarvik/emulated_machine.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "sim/machine.h"
#include "sim/verifier.h"
#include "source_setting.h"

namespace tarvik {

namespace {

// Whether an EmulatedMachine lives: the emulated kernel is one per process.
std::atomic<bool> g_machineLives{false};

std::string Status(int32_t status) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", static_cast<uint32_t>(status));
  return text;
}

// The file a path names once its symbolic links are followed (the path itself when it is
// none), so that replacing the file keeps the link.
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

}  // namespace

void CheckSourceSetting(const std::string& text) { emulated::ParseSourceSetting(text); }

// An exclusive lock on FILE.lock beside the image (the image itself is replaced by a rename
// at every save, so a lock on it would not last).
class EmulatedMachine::ImageLock {
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
      throw std::runtime_error("cannot lock " + path.string() + ": " + std::strerror(error));
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

void ApplyCardOptions(const EmulatedMachineOptions& options, sim::card::CardConfig& card) {
  if (options.driverImage) sim::SetDriverImagePath(options.driverImage->string());
  card.realTimeClock = !options.virtualClock;
  card.eepromImage = options.eepromImage;
  if (card.eepromImage) card.eepromImage = FollowLinks(*card.eepromImage);
  if (options.idByte4) card.window.identification[4] = *options.idByte4;
  for (const std::string& text : options.sources) {
    auto setting = emulated::ParseSourceSetting(text);
    card.window.sources[setting.quantity] = setting.source;
  }
}

EmulatedMachine::EmulatedMachine(const EmulatedMachineOptions& options) : options_(options) {
  sim::MachineOptions machineOptions;
  ApplyCardOptions(options, machineOptions.card);
  if (g_machineLives.exchange(true)) {
    throw std::logic_error("an emulated machine already runs in this process (one at a time)");
  }
  try {
    Boot(machineOptions);
  } catch (...) {
    machine_.reset();
    imageLock_.reset();
    g_machineLives = false;
    throw;
  }
}

void EmulatedMachine::Boot(const sim::MachineOptions& machineOptions) {
  if (machineOptions.card.eepromImage) {
    imageLock_ = std::make_unique<ImageLock>(*machineOptions.card.eepromImage);
  }
  machine_ = std::make_unique<sim::Machine>(machineOptions);
  if (options_.eepromImage) {
    auto status = machine_->Card().EepromImageStatus();
    if (status == sim::card::ImageFileResult::BadSize ||
        status == sim::card::ImageFileResult::IoError) {
      throw std::runtime_error("EEPROM image " + options_.eepromImage->string() +
                               (status == sim::card::ImageFileResult::BadSize
                                    ? " is not a 128-byte image"
                                    : " cannot be read"));
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
EmulatedMachine::~EmulatedMachine() {
  machine_.reset();
  imageLock_.reset();
  g_machineLives = false;
}

uint64_t EmulatedMachine::EepromSaveFailures() const {
  return machine_->Card().bridge().GetEepromCounters().saveFailures;
}

uint64_t EmulatedMachine::Step(uint64_t ticks) {
  if (!options_.virtualClock) return 0;
  return machine_->Card().window().Step(ticks);
}

double EmulatedMachine::ClockRateHz() const {
  auto status = machine_->Card().window().GetStatus();
  return status.clockRunning ? status.rateHz : 0;
}

std::string EmulatedMachine::PnpStateName() const {
  return sim::PnpStateName(machine_->DevicePnpState());
}

std::string EmulatedMachine::SystemPowerName() const {
  int state = machine_->CurrentSystemPower();
  return "S" + std::to_string(state - 1) + (state == sim::kSystemWorking ? " (working)" : "");
}

std::vector<std::string> TakeBrokenRules() {
  std::vector<std::string> rules;
  for (const auto& violation : sim::verifier::TakeViolations()) rules.push_back(violation.rule);
  return rules;
}

}  // namespace tarvik
