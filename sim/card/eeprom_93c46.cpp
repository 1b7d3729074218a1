// The 93C46 model: instruction decoding on the pins, programming time, the image file.
#include "card/eeprom_93c46.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <string>

#include "tarvik_pci_ids.h"

namespace sim::card {

namespace {

constexpr unsigned kCommandBits = eeprom_op::kOpcodeBits + eeprom_op::kAddressBits;
constexpr unsigned kAddressMask = (1u << eeprom_op::kAddressBits) - 1;
constexpr size_t kImageBytes = kEepromWords * 2;

bool WriteAll(int fd, const unsigned char* bytes, size_t length) {
  while (length > 0) {
    ssize_t done = ::write(fd, bytes, length);
    if (done < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += done;
    length -= static_cast<size_t>(done);
  }
  return true;
}

// Makes the rename itself durable.
void SyncFolder(const std::filesystem::path& folder) {
  int fd = ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

PciIdentity BuildPciIdentity() {
  PciIdentity identity;
  identity.vendorId = TARVIK_PCI_VENDOR_ID;
  identity.deviceId = TARVIK_PCI_DEVICE_ID;
  identity.subsystemVendorId = TARVIK_PCI_SUBSYSTEM_VENDOR_ID;
  identity.subsystemId = TARVIK_PCI_SUBSYSTEM_ID;
  identity.revision = TARVIK_PCI_REVISION;
  identity.classCode = TARVIK_PCI_CLASS_CODE;
  return identity;
}

EepromImage NewCardEepromImage(const PciIdentity& identity) {
  namespace word = bridge_config_word;
  EepromImage image;
  image.fill(kEepromBlankWord);
  image[word::kDeviceId] = identity.deviceId;
  image[word::kVendorId] = identity.vendorId;
  image[word::kClassCode] = static_cast<uint16_t>(identity.classCode >> 8);
  image[word::kInterfaceRevision] =
      static_cast<uint16_t>((identity.classCode & 0xFF) << 8 | identity.revision);
  image[word::kSubsystemId] = identity.subsystemId;
  image[word::kSubsystemVendorId] = identity.subsystemVendorId;
  return image;
}

PciIdentity PciIdentityOf(const EepromImage& image) {
  namespace word = bridge_config_word;
  PciIdentity identity;
  identity.deviceId = image[word::kDeviceId];
  identity.vendorId = image[word::kVendorId];
  identity.classCode = static_cast<uint32_t>(image[word::kClassCode]) << 8 |
                       image[word::kInterfaceRevision] >> 8;
  identity.revision = static_cast<uint8_t>(image[word::kInterfaceRevision] & 0xFF);
  identity.subsystemId = image[word::kSubsystemId];
  identity.subsystemVendorId = image[word::kSubsystemVendorId];
  return identity;
}

ImageFileResult LoadEepromImage(const std::filesystem::path& path, EepromImage* image) {
  int fd = ::open(path.c_str(), O_RDONLY);
  if (fd < 0) {
    return errno == ENOENT ? ImageFileResult::Missing : ImageFileResult::IoError;
  }
  // One byte more than an image, so that a longer file shows up as one.
  unsigned char bytes[kImageBytes + 1];
  size_t length = 0;
  bool failed = false;
  while (length < sizeof bytes) {
    ssize_t done = ::read(fd, bytes + length, sizeof bytes - length);
    if (done < 0 && errno == EINTR) continue;
    if (done < 0) failed = true;
    if (done <= 0) break;
    length += static_cast<size_t>(done);
  }
  ::close(fd);
  if (failed) return ImageFileResult::IoError;
  if (length != kImageBytes) return ImageFileResult::BadSize;
  for (unsigned i = 0; i < kEepromWords; ++i) {
    (*image)[i] = static_cast<uint16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return ImageFileResult::Loaded;
}

bool SaveEepromImage(const std::filesystem::path& path, const EepromImage& image,
                     const std::function<void(const std::filesystem::path& temp)>& beforeRename) {
  static std::atomic<unsigned> serial{0};
  std::filesystem::path temp = path;
  temp += ".tmp-" + std::to_string(::getpid()) + "-" + std::to_string(serial++);

  unsigned char bytes[kImageBytes];
  for (unsigned i = 0; i < kEepromWords; ++i) {
    bytes[2 * i] = static_cast<unsigned char>(image[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<unsigned char>(image[i] >> 8);
  }
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  bool ok = WriteAll(fd, bytes, sizeof bytes) && ::fsync(fd) == 0;
  ok = ::close(fd) == 0 && ok;
  if (ok && beforeRename) beforeRename(temp);
  if (ok) ok = ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  SyncFolder(path.parent_path());
  return true;
}

Eeprom93C46::Eeprom93C46(uint64_t programMicros) : programMicros_(programMicros) {
  state_.image.fill(kEepromBlankWord);
  Reset();
}

void Eeprom93C46::Reset() {
  State fresh;
  fresh.image = state_.image;
  fresh.now = state_.now;
  state_ = fresh;
}

void Eeprom93C46::SetPins(bool cs, bool sk, bool di) {
  bool rising = sk && !state_.sk;
  // DI matters only where the part samples it; while it shifts data out it ignores DI.
  bool sampling = state_.phase == Phase::WaitStart || state_.phase == Phase::Command ||
                  state_.phase == Phase::DataIn;
  if (rising && (cs != state_.cs || (sampling && di != state_.di))) {
    ++counters_.setupViolations;
    rising = false;
  }
  state_.di = di;
  state_.sk = sk;
  if (cs != state_.cs) {
    state_.cs = cs;
    if (cs) {
      Select();
    } else {
      Deselect();
    }
  }
  if (rising && state_.cs) ClockIn(di);
}

bool Eeprom93C46::DataOut() const {
  if (!state_.cs) return true;
  if (state_.phase == Phase::ReadOut) return state_.readBit;
  return !state_.programming;
}

void Eeprom93C46::Select() {
  state_.phase = Phase::WaitStart;
  state_.bits = 0;
  state_.shift = 0;
  state_.data = 0;
  state_.operation = Operation::None;
}

void Eeprom93C46::Deselect() {
  switch (state_.phase) {
    case Phase::Command:
    case Phase::DataIn:
      ++counters_.abortedInstructions;
      break;
    case Phase::Complete:
      Execute();
      break;
    case Phase::WaitStart:
    case Phase::ReadOut:
    case Phase::Ignore:
      break;
  }
  state_.phase = Phase::WaitStart;
}

void Eeprom93C46::ClockIn(bool bit) {
  switch (state_.phase) {
    case Phase::WaitStart:
      if (!bit) break;  // leading zeros
      if (state_.programming) {
        ++counters_.instructionsWhileBusy;
        state_.phase = Phase::Ignore;
        break;
      }
      state_.phase = Phase::Command;
      state_.bits = 0;
      state_.shift = 0;
      break;
    case Phase::Command:
      state_.shift = state_.shift << 1 | (bit ? 1u : 0u);
      if (++state_.bits == kCommandBits) Decode();
      break;
    case Phase::DataIn:
      state_.data = static_cast<uint16_t>(state_.data << 1 | (bit ? 1u : 0u));
      if (++state_.bits == eeprom_op::kDataBits) state_.phase = Phase::Complete;
      break;
    case Phase::ReadOut:
      if (state_.readIndex == 0) {
        state_.address = (state_.address + 1) & kAddressMask;
        state_.readIndex = eeprom_op::kDataBits - 1;
      } else if (state_.readIndex < 0) {
        state_.readIndex = eeprom_op::kDataBits - 1;
      } else {
        --state_.readIndex;
      }
      state_.readBit = (state_.image[state_.address] >> state_.readIndex & 1) != 0;
      break;
    case Phase::Complete:
      ++counters_.excessClocks;
      break;
    case Phase::Ignore:
      break;
  }
}

void Eeprom93C46::Decode() {
  unsigned opcode = state_.shift >> eeprom_op::kAddressBits;
  state_.address = state_.shift & kAddressMask;
  state_.bits = 0;
  switch (opcode) {
    case eeprom_op::kRead:
      ++counters_.reads;
      state_.phase = Phase::ReadOut;
      state_.readIndex = -1;
      state_.readBit = false;
      return;
    case eeprom_op::kWrite:
      state_.operation = Operation::Write;
      state_.phase = Phase::DataIn;
      return;
    case eeprom_op::kErase:
      state_.operation = Operation::Erase;
      state_.phase = Phase::Complete;
      return;
    default:
      break;
  }
  switch (state_.address >> (eeprom_op::kAddressBits - 2)) {
    case eeprom_op::kEwen:
      state_.operation = Operation::Enable;
      state_.phase = Phase::Complete;
      break;
    case eeprom_op::kEwds:
      state_.operation = Operation::Disable;
      state_.phase = Phase::Complete;
      break;
    case eeprom_op::kEral:
      state_.operation = Operation::EraseAll;
      state_.phase = Phase::Complete;
      break;
    default:
      state_.operation = Operation::WriteAll;
      state_.phase = Phase::DataIn;
      break;
  }
}

// CS fell after a complete instruction.
void Eeprom93C46::Execute() {
  switch (state_.operation) {
    case Operation::Enable:
      state_.writeEnabled = true;
      return;
    case Operation::Disable:
      state_.writeEnabled = false;
      return;
    case Operation::None:
      return;
    case Operation::Write:
    case Operation::Erase:
    case Operation::EraseAll:
    case Operation::WriteAll:
      break;
  }
  if (!state_.writeEnabled) {
    ++counters_.refusedWhileDisabled;
    return;
  }
  state_.programming = true;
  state_.programOperation = state_.operation;
  state_.programAddress = state_.address;
  state_.programData = state_.data;
  bool never = programMicros_ >= kNeverFinishes - state_.now;
  state_.programEnd = never ? kNeverFinishes : state_.now + programMicros_;
  if (programMicros_ == 0) FinishProgramming();
}

void Eeprom93C46::Advance(uint64_t micros) {
  state_.now = micros > UINT64_MAX - state_.now ? UINT64_MAX : state_.now + micros;
  if (!state_.programming || state_.programEnd == kNeverFinishes) return;
  if (state_.now >= state_.programEnd) FinishProgramming();
}

void Eeprom93C46::FinishProgramming() {
  state_.programming = false;
  ++counters_.programCycles;
  switch (state_.programOperation) {
    case Operation::Write:
      state_.image[state_.programAddress] = state_.programData;
      break;
    case Operation::Erase:
      state_.image[state_.programAddress] = kEepromBlankWord;
      break;
    case Operation::EraseAll:
      state_.image.fill(kEepromBlankWord);
      break;
    case Operation::WriteAll:
      state_.image.fill(state_.programData);
      break;
    case Operation::None:
    case Operation::Enable:
    case Operation::Disable:
      return;
  }
  ImageChanged();
}

void Eeprom93C46::SetImage(const EepromImage& image) {
  state_.image = image;
  ImageChanged();
}

void Eeprom93C46::ImageChanged() {
  if (imageFile_ && !SaveEepromImage(*imageFile_, state_.image)) {
    ++counters_.saveFailures;
    std::fprintf(stderr, "eeprom: cannot save the image to %s\n", imageFile_->c_str());
  }
}

ImageFileResult Eeprom93C46::AttachImageFile(const std::filesystem::path& path) {
  EepromImage image = state_.image;
  ImageFileResult result = LoadEepromImage(path, &image);
  if (result == ImageFileResult::Loaded || result == ImageFileResult::Missing) {
    state_.image = image;
    imageFile_ = path;
  }
  return result;
}

uint64_t Eeprom93C46::MisuseCount() const {
  return counters_.instructionsWhileBusy + counters_.refusedWhileDisabled +
         counters_.excessClocks + counters_.setupViolations;
}

}  // namespace sim::card
