// A 93C46 serial EEPROM in 16-bit organisation (64 words), driven through logical pins: chip
// select (CS), serial clock (SK), data in (DI) and data out (DO). Only the bridge knows which
// register bits carry the pins; this model knows the part.
//
// Behaviour the model chose where the part leaves room:
// - DO is high impedance whenever the part does not drive it, and the bridge's input has a
//   pull-up, so an idle DO reads 1. The part drives DO in two cases only: while a READ shifts
//   data out (the dummy 0, then D15..D0), and while it is selected during programming, when DO
//   is the status (0 busy, 1 ready; "ready" is the pull-up taking over again).
// - Time is the model's own, in microseconds, advanced by whoever owns the part (the bridge
//   advances it by 1 µs on every access to its registers). Programming takes
//   `programMicros` of that time (default 2000, i.e. 2000 register accesses); kNeverFinishes
//   makes the part stay busy for ever. The cells change when programming completes.
// - Sequential read: clocks past D0 of a READ shift out the next word (D15 first, no dummy
//   bit), wrapping from word 63 to word 0.
// - Power-up (Reset) disables erase/write, deselects the part and abandons a programming
//   cycle in progress (its cells keep their old contents). The image is non-volatile and
//   survives Reset; so do the counters.
//
// Misuse is counted and refused, never performed:
// - a start bit clocked in while programming is busy: the whole instruction is ignored until
//   CS falls (the part does not listen while it programs);
// - WRITE/ERASE/ERAL/WRAL while erase/write is disabled: nothing happens;
// - clocks after an instruction is complete and before CS falls (except while a READ shifts
//   out): ignored;
// - a rising SK edge in the same pin change as a CS change, or as a DI change while the part
//   samples DI (waiting for a start bit, shifting an instruction or its data in): the setup
//   time is not met, so the edge is ignored; the CS/DI change still happens.
// A falling CS before an instruction is complete abandons it without effect; that is counted
// (abortedInstructions) but it is not misuse.
//
// The part itself starts blank (every word 0xFFFF, the erased state). A new card's part holds
// more: NewCardEepromImage (below) puts the card's PCI identity in the words the bridge loads
// its configuration from, and leaves every other word erased.
//
// The image can live in a file: 128 bytes, word i at bytes 2i (low) and 2i+1 (high). A file
// that does not exist means the part keeps what it holds (a new card's image on a card); the
// file is created by the first programmed change. A file of any other size is not ours: it is refused, never
// attached and never overwritten. While a file is attached, every change to the image (a
// completed programming cycle, or SetImage) replaces the file atomically: a temporary file in
// the same folder is written and synced, then renamed over the old one.
//
// Not thread-safe: the owner (the bridge) serialises every call.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>

namespace sim::card {

// Instruction words as the part decodes them: a start bit, a 2-bit opcode, then 6 address
// bits. The opcode 00 instructions take their meaning from the top two address bits.
namespace eeprom_op {
constexpr unsigned kAddressBits = 6;
constexpr unsigned kOpcodeBits = 2;
constexpr unsigned kDataBits = 16;
constexpr unsigned kExtended = 0b00;
constexpr unsigned kWrite = 0b01;
constexpr unsigned kRead = 0b10;
constexpr unsigned kErase = 0b11;
// Top two address bits of the opcode 00 instructions.
constexpr unsigned kEwds = 0b00;
constexpr unsigned kWral = 0b01;
constexpr unsigned kEral = 0b10;
constexpr unsigned kEwen = 0b11;
}  // namespace eeprom_op

constexpr unsigned kEepromWords = 64;
constexpr uint16_t kEepromBlankWord = 0xFFFF;
using EepromImage = std::array<uint16_t, kEepromWords>;

// The bridge's serial EEPROM layout: the words it loads its PCI configuration from at
// power-up. The driver's own words lie far above them (the serial number at words 58 and 59,
// the pair of sub-commands 73 and 74 at words 60 and 61).
namespace bridge_config_word {
constexpr unsigned kDeviceId = 0;
constexpr unsigned kVendorId = 1;
constexpr unsigned kClassCode = 2;          // base class (high byte), subclass (low byte)
constexpr unsigned kInterfaceRevision = 3;  // programming interface (high byte), revision
constexpr unsigned kSubsystemId = 4;
constexpr unsigned kSubsystemVendorId = 5;
}  // namespace bridge_config_word

struct PciIdentity {
  uint16_t vendorId = 0;
  uint16_t deviceId = 0;
  uint16_t subsystemVendorId = 0;
  uint16_t subsystemId = 0;
  uint8_t revision = 0;
  uint32_t classCode = 0;  // 24 bits: base class, subclass, programming interface

  bool operator==(const PciIdentity&) const = default;
};

// The card's identity as the build sets it (cmake/PciIds.cmake).
PciIdentity BuildPciIdentity();
// The image a new card's part holds: the identity in the bridge's configuration words, every
// other word erased.
EepromImage NewCardEepromImage(const PciIdentity& identity = BuildPciIdentity());
// What the bridge loads from an image.
PciIdentity PciIdentityOf(const EepromImage& image);

enum class ImageFileResult {
  Loaded,    // the file held an image; it is in the part now
  Missing,   // no file: the part is blank
  BadSize,   // not a 128-byte file: refused
  IoError,   // could not be read
};

// Reads an image file. On Missing, BadSize or IoError *image is unchanged.
ImageFileResult LoadEepromImage(const std::filesystem::path& path, EepromImage* image);

// Replaces the file at `path` with the image atomically. `beforeRename`, when set, runs once
// the temporary file is complete and synced, just before the rename (tests look at both files
// then). Returns false, leaving the old file and no temporary behind, if any step fails.
bool SaveEepromImage(const std::filesystem::path& path, const EepromImage& image,
                     const std::function<void(const std::filesystem::path& temp)>& beforeRename =
                         {});

class Eeprom93C46 {
 public:
  static constexpr uint64_t kDefaultProgramMicros = 2000;
  static constexpr uint64_t kNeverFinishes = UINT64_MAX;

  struct Counters {
    // Misuse (see the top of this file).
    uint64_t instructionsWhileBusy = 0;
    uint64_t refusedWhileDisabled = 0;
    uint64_t excessClocks = 0;
    uint64_t setupViolations = 0;
    // Plain events.
    uint64_t abortedInstructions = 0;
    uint64_t reads = 0;               // READ instructions decoded
    uint64_t programCycles = 0;       // programming cycles completed
    uint64_t saveFailures = 0;        // image file updates that failed
  };

  explicit Eeprom93C46(uint64_t programMicros = kDefaultProgramMicros);

  // Power-up state (see the top of this file).
  void Reset();

  // The pins change together, as one register write changes them.
  void SetPins(bool cs, bool sk, bool di);
  bool DataOut() const;

  // Advances the model's time; completes a programming cycle that is due.
  void Advance(uint64_t micros);
  uint64_t Now() const { return state_.now; }
  bool Busy() const { return state_.programming; }
  bool WriteEnabled() const { return state_.writeEnabled; }
  void SetProgramTime(uint64_t micros) { programMicros_ = micros; }
  uint64_t ProgramTime() const { return programMicros_; }

  // Direct access to the cells, bypassing the pins (the bench and tests).
  const EepromImage& Image() const { return state_.image; }
  uint16_t Word(unsigned address) const { return state_.image.at(address); }
  void SetImage(const EepromImage& image);

  // Loads the file (Missing: the part keeps its cells) and keeps it up to date from now on. On
  // BadSize or IoError nothing changes and no file is attached.
  ImageFileResult AttachImageFile(const std::filesystem::path& path);
  void DetachImageFile() { imageFile_.reset(); }
  const std::optional<std::filesystem::path>& ImageFile() const { return imageFile_; }

  const Counters& GetCounters() const { return counters_; }
  uint64_t MisuseCount() const;

 private:
  enum class Phase : uint8_t {
    WaitStart,  // selected, ignoring leading zeros
    Command,    // shifting opcode and address
    DataIn,     // shifting the 16 data bits of WRITE/WRAL
    Complete,   // waiting for CS to fall to execute
    ReadOut,    // shifting data out
    Ignore,     // refused instruction: deaf until CS falls
  };
  enum class Operation : uint8_t { None, Write, Erase, EraseAll, WriteAll, Enable, Disable };

  struct State {
    bool cs = false;
    bool sk = false;
    bool di = false;
    Phase phase = Phase::WaitStart;
    unsigned bits = 0;        // bits shifted in the current phase
    uint32_t shift = 0;       // opcode and address as they arrive
    uint16_t data = 0;        // data bits of WRITE/WRAL
    Operation operation = Operation::None;
    unsigned address = 0;
    bool readBit = true;      // DO while a READ shifts out
    int readIndex = -1;       // bit of the word on DO; -1: the dummy 0
    bool writeEnabled = false;
    bool programming = false;
    uint64_t programEnd = 0;  // when programming completes (kNeverFinishes: never)
    Operation programOperation = Operation::None;
    unsigned programAddress = 0;
    uint16_t programData = 0;
    uint64_t now = 0;
    EepromImage image{};
  };

  void Select();
  void Deselect();
  void ClockIn(bool bit);
  void Decode();
  void Execute();
  void FinishProgramming();
  void ImageChanged();

  uint64_t programMicros_;
  State state_;
  Counters counters_;
  std::optional<std::filesystem::path> imageFile_;
};

}  // namespace sim::card
