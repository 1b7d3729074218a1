// The 93C46 on the bridge's control register, driven bit by bit as a driver drives it, and
// its image file.
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <random>

#include "card_test_support.h"

namespace card_test {
namespace {

namespace fs = std::filesystem;

EepromImage Pattern() {
  EepromImage image;
  for (unsigned i = 0; i < kEepromWords; ++i) {
    image[i] = static_cast<uint16_t>(0x1111 * (i % 15) ^ i << 8);
  }
  image[5] = 0xA55A;
  return image;
}

using EepromPinsTest = CardTest;

TEST_F(EepromPinsTest, ReadGivesDummyZeroThenMsbFirstAndContinuesIntoNextWord) {
  EepromImage image = Pattern();
  card_.bridge().SetEepromImage(image);
  EXPECT_TRUE(wire_.DataOut()) << "deselected DO reads the pull-up";
  wire_.Select();
  EXPECT_TRUE(wire_.DataOut()) << "selected but idle DO reads the pull-up";
  wire_.Deselect();

  for (unsigned i = 0; i < kEepromWords; ++i) EXPECT_EQ(wire_.Read(i), image[i]) << "word " << i;
  wire_.StartRead(63);
  EXPECT_EQ(wire_.ShiftIn(16), image[63]);
  EXPECT_EQ(wire_.ShiftIn(16), image[0]) << "sequential read wraps without a dummy bit";
  wire_.Deselect();
  EXPECT_TRUE(wire_.DataOut());
  EXPECT_EQ(card_.MisuseCount(), 0u);
}

TEST_F(EepromPinsTest, WriteIsRefusedUntilEnabledAndAgainAfterDisable) {
  wire_.Write(3, 0x1234);
  EXPECT_EQ(wire_.WaitReady(), 0) << "a refused write does not start programming";
  EXPECT_EQ(wire_.Read(3), kEepromBlankWord);
  EXPECT_EQ(card_.bridge().GetEepromCounters().refusedWhileDisabled, 1u);

  wire_.Ewen();
  wire_.Write(3, 0x1234);
  wire_.Select();
  EXPECT_FALSE(wire_.DataOut()) << "busy";
  EXPECT_EQ(card_.bridge().EepromImageWords()[3], kEepromBlankWord) << "cells change at the end";
  wire_.Deselect();
  int polls = wire_.WaitReady();
  // 2 ms at one microsecond per register access, less the accesses since CS fell.
  EXPECT_GT(polls, 1900);
  EXPECT_LT(polls, 2000);
  EXPECT_EQ(wire_.Read(3), 0x1234);

  wire_.Ewds();
  wire_.Write(3, 0x5678);
  EXPECT_EQ(wire_.WaitReady(), 0);
  EXPECT_EQ(wire_.Read(3), 0x1234);
  auto counters = card_.bridge().GetEepromCounters();
  EXPECT_EQ(counters.refusedWhileDisabled, 2u);
  EXPECT_EQ(counters.programCycles, 1u);
}

TEST_F(EepromPinsTest, EraseEraseAllAndWriteAll) {
  card_.bridge().SetEepromProgramTime(10);
  card_.bridge().SetEepromImage(Pattern());
  wire_.Ewen();
  wire_.Erase(5);
  ASSERT_GE(wire_.WaitReady(), 0);
  EXPECT_EQ(wire_.Read(5), kEepromBlankWord);
  EXPECT_EQ(wire_.Read(6), Pattern()[6]);

  wire_.Wral(0x0F0F);
  ASSERT_GE(wire_.WaitReady(), 0);
  for (uint16_t word : card_.bridge().EepromImageWords()) EXPECT_EQ(word, 0x0F0F);
  wire_.Eral();
  ASSERT_GE(wire_.WaitReady(), 0);
  for (uint16_t word : card_.bridge().EepromImageWords()) EXPECT_EQ(word, kEepromBlankWord);
  EXPECT_EQ(card_.MisuseCount(), 0u);
}

TEST_F(EepromPinsTest, InstructionCutShortByDeselectHasNoEffect) {
  card_.bridge().SetEepromProgramTime(10);
  wire_.Ewen();
  wire_.Select();
  wire_.Command(eeprom_op::kWrite, 7);
  wire_.ShiftOut(0x12, 8);  // half the data
  wire_.Deselect();
  wire_.Select();
  wire_.ShiftOut(0b111, 3);  // ERASE start without its address
  wire_.Deselect();
  EXPECT_EQ(wire_.WaitReady(), 0);
  EXPECT_EQ(wire_.Read(7), kEepromBlankWord);
  EXPECT_EQ(card_.bridge().GetEepromCounters().abortedInstructions, 2u);
  EXPECT_EQ(card_.bridge().GetEepromCounters().programCycles, 0u);
}

TEST_F(EepromPinsTest, MisuseIsCountedAndRefused) {
  wire_.Ewen();
  wire_.Write(1, 0xBEEF);
  wire_.Write(2, 0xDEAD);  // arrives while the first one programs
  ASSERT_GT(wire_.WaitReady(), 0);
  EXPECT_EQ(wire_.Read(1), 0xBEEF);
  EXPECT_EQ(wire_.Read(2), kEepromBlankWord);
  EXPECT_EQ(card_.bridge().GetEepromCounters().instructionsWhileBusy, 1u);

  // DI rising with the clock in one write: the edge is not taken, so the start bit is the
  // one that follows (taken, it would have turned the READ into an ERASE).
  wire_.Select();
  wire_.SetPins(true, true, true);
  wire_.SetPins(true, false, true);
  wire_.Command(eeprom_op::kRead, 1);
  EXPECT_FALSE(wire_.DataOut()) << "dummy bit";
  EXPECT_EQ(wire_.ShiftIn(16), 0xBEEFu);
  wire_.Deselect();
  EXPECT_EQ(card_.bridge().GetEepromCounters().setupViolations, 1u);

  wire_.Select();
  wire_.Command(eeprom_op::kExtended, eeprom_op::kEwds << 4);
  wire_.ShiftOut(0, 2);  // clocks past a complete instruction
  wire_.Deselect();
  EXPECT_EQ(card_.bridge().GetEepromCounters().excessClocks, 2u);
  EXPECT_EQ(card_.MisuseCount(), 4u);
}

TEST_F(EepromPinsTest, ProgrammingThatNeverFinishesKeepsDataOutLow) {
  card_.bridge().SetEepromProgramTime(Eeprom93C46::kNeverFinishes);
  wire_.Ewen();
  wire_.Write(0, 0x0001);
  EXPECT_EQ(wire_.WaitReady(20000), -1);
  card_.bridge().AdvanceEepromTime(1'000'000'000);
  EXPECT_EQ(wire_.WaitReady(10), -1);
  EXPECT_EQ(card_.bridge().EepromImageWords()[0], kEepromBlankWord);
  // Power-up abandons the cycle.
  card_.Reset();
  EXPECT_EQ(wire_.WaitReady(), 0);
  EXPECT_EQ(wire_.Read(0), kEepromBlankWord);
}

// Random valid instructions against a plain array; nothing may differ and nothing is misuse.
TEST_F(EepromPinsTest, RandomInstructionsMatchReference) {
  card_.bridge().SetEepromProgramTime(7);
  std::mt19937 random(0x93C46);
  EepromImage reference;
  reference.fill(kEepromBlankWord);
  bool enabled = false;
  for (int step = 0; step < 600; ++step) {
    unsigned address = random() % kEepromWords;
    auto data = static_cast<uint16_t>(random());
    unsigned pick = random() % 64;
    if (pick < 6) {
      wire_.Ewen();
      enabled = true;
    } else if (pick < 10) {
      wire_.Ewds();
      enabled = false;
    } else if (pick < 26) {
      wire_.Write(address, data);
      if (enabled) reference[address] = data;
    } else if (pick < 32) {
      wire_.Erase(address);
      if (enabled) reference[address] = kEepromBlankWord;
    } else if (pick == 32) {
      wire_.Wral(data);
      if (enabled) reference.fill(data);
    } else if (pick == 33) {
      wire_.Eral();
      if (enabled) reference.fill(kEepromBlankWord);
    } else {
      ASSERT_EQ(wire_.Read(address), reference[address]) << "step " << step;
    }
    ASSERT_GE(wire_.WaitReady(), 0) << "step " << step;
  }
  EXPECT_EQ(card_.bridge().EepromImageWords(), reference);
  EXPECT_EQ(card_.bridge().GetEepromCounters().instructionsWhileBusy, 0u);
  EXPECT_EQ(card_.bridge().GetEepromCounters().setupViolations, 0u);
  EXPECT_EQ(card_.bridge().GetEepromCounters().excessClocks, 0u);
}

class EepromFileTest : public testing::Test {
 protected:
  EepromFileTest() {
    dir_ = fs::temp_directory_path() /
           ("tarvik-eeprom-" + std::to_string(::getpid()) + "-" +
            testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    path_ = dir_ / "eeprom.bin";
  }
  ~EepromFileTest() override { fs::remove_all(dir_); }

  std::vector<fs::path> Files() const {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir_)) files.push_back(entry.path());
    return files;
  }
  EepromImage LoadOrFail() const {
    EepromImage image{};
    EXPECT_EQ(LoadEepromImage(path_, &image), ImageFileResult::Loaded);
    return image;
  }

  fs::path dir_;
  fs::path path_;
};

TEST_F(EepromFileTest, WordsWrittenThroughThePinsSurviveTheCard) {
  {
    CardConfig config;
    config.eepromImage = path_;
    config.eepromProgramMicros = 5;
    sim::IoBus bus;
    Card card(config);
    EXPECT_EQ(card.EepromImageStatus(), ImageFileResult::Missing);
    EXPECT_EQ(card.bridge().EepromImageWords(), NewCardEepromImage()) << "a new card's words";
    ASSERT_TRUE(card.Attach(bus));
    EepromWire wire(bus, config.bridgeBase);
    wire.Ewen();
    EXPECT_FALSE(fs::exists(path_)) << "created by the first programmed change only";
    wire.Write(10, 0xC0DE);
    ASSERT_GE(wire.WaitReady(), 0);
  }
  std::ifstream file(path_, std::ios::binary);
  std::vector<char> bytes((std::istreambuf_iterator<char>(file)), {});
  ASSERT_EQ(bytes.size(), 128u);
  EXPECT_EQ(static_cast<uint8_t>(bytes[20]), 0xDE) << "little-endian words";
  EXPECT_EQ(static_cast<uint8_t>(bytes[21]), 0xC0);

  CardConfig config;
  config.eepromImage = path_;
  Card again(config);
  EXPECT_EQ(again.EepromImageStatus(), ImageFileResult::Loaded);
  EXPECT_EQ(again.bridge().EepromImageWords()[10], 0xC0DE);
  EXPECT_EQ(Files(), std::vector<fs::path>{path_});
}

TEST_F(EepromFileTest, SaveReplacesTheOldFileOnlyAtTheRename) {
  EepromImage before;
  before.fill(0x1111);
  EepromImage after = Pattern();
  ASSERT_TRUE(SaveEepromImage(path_, before));
  bool hookRan = false;
  ASSERT_TRUE(SaveEepromImage(path_, after, [&](const fs::path& temp) {
    hookRan = true;
    EXPECT_EQ(temp.parent_path(), dir_) << "same folder, so the rename is atomic";
    EXPECT_EQ(LoadOrFail(), before) << "old file intact until the rename";
    EepromImage pending{};
    EXPECT_EQ(LoadEepromImage(temp, &pending), ImageFileResult::Loaded);
    EXPECT_EQ(pending, after);
  }));
  EXPECT_TRUE(hookRan);
  EXPECT_EQ(LoadOrFail(), after);
  EXPECT_EQ(Files(), std::vector<fs::path>{path_}) << "no temporary file left";
}

TEST_F(EepromFileTest, FailedSaveLeavesNoTemporaryAndIsCounted) {
  fs::create_directory(path_);  // a rename over a folder fails
  fs::create_directory(path_ / "x");
  EXPECT_FALSE(SaveEepromImage(path_, Pattern()));
  EXPECT_EQ(Files(), std::vector<fs::path>{path_});

  Eeprom93C46 eeprom(0);
  fs::path other = dir_ / "other.bin";
  ASSERT_EQ(eeprom.AttachImageFile(other), ImageFileResult::Missing);
  fs::create_directories(other / "x");
  eeprom.SetImage(Pattern());
  EXPECT_EQ(eeprom.GetCounters().saveFailures, 1u);
  EXPECT_EQ(eeprom.Image(), Pattern()) << "the part keeps what it was given";
}

TEST_F(EepromFileTest, FileOfTheWrongSizeIsRefusedAndNeverOverwritten) {
  { std::ofstream(path_, std::ios::binary) << "not an image"; }
  Eeprom93C46 eeprom(0);
  EXPECT_EQ(eeprom.AttachImageFile(path_), ImageFileResult::BadSize);
  EXPECT_FALSE(eeprom.ImageFile().has_value());
  eeprom.SetImage(Pattern());
  EXPECT_EQ(fs::file_size(path_), 12u);

  ASSERT_TRUE(SaveEepromImage(path_, Pattern()));
  fs::resize_file(path_, 129);
  EXPECT_EQ(eeprom.AttachImageFile(path_), ImageFileResult::BadSize);
}

}  // namespace
}  // namespace card_test
