// EEPROM words through the bridge's control register: the exact bit strings on the lines,
// round trips through the EEPROM model, time-outs, serialisation and the serial number.
#include <filesystem>
#include <string>
#include <thread>

#include "driver_test.h"

#include "hw/eeprom.h"
#include "sim/io_bus.h"
#include "sim/kernel.h"

namespace {

constexpr uint32_t kClock = 1u << 24, kSelect = 1u << 25, kDataIn = 1u << 26;

class EepromTest : public DriverTest {
 protected:
  void Boot(sim::card::CardConfig card = {}) {
    machine_.emplace(sim::MachineOptions{.card = card});
    ASSERT_EQ(Machine().LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    AssignCardRanges();
    sim::PortBus().SetTracing(true);
  }

  // The bit strings clocked into the EEPROM, one per chip selection: data in at each rising
  // clock edge while selected, from the writes to the control register.
  std::vector<std::string> Selections() {
    std::vector<std::string> selections;
    uint32_t control = Machine().Options().card.bridgeBase + 0x50;
    uint32_t previous = 0;
    for (const auto& access : sim::PortBus().TakeTrace()) {
      if (access.port != control || access.direction != sim::PortAccess::Direction::Write) continue;
      uint32_t value = access.value;
      if ((value & kSelect) && !(previous & kSelect)) selections.emplace_back();
      if ((value & kSelect) && (value & kClock) && !(previous & kClock)) {
        selections.back() += (value & kDataIn) ? '1' : '0';
      }
      previous = value;
    }
    return selections;
  }

  size_t ControlAccesses() { return sim::PortBus().TakeTrace().size(); }
};

TEST_F(EepromTest, ReadSendsReadWithTheWordAddressThenTakesSixteenBits) {
  Boot();
  auto image = sim::card::EepromImage{};
  image.fill(0xFFFF);
  image[58] = 0xA55A;
  Machine().Card().bridge().SetEepromImage(image);
  USHORT value = 0;
  uint64_t delay = sim::kernel::RequestedDelay();
  ASSERT_EQ(EepromReadWord(Extension(), 0, 116, &value), STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::RequestedDelay() - delay, 10000u);  // 1 ms before the data bits
  EXPECT_EQ(value, 0xA55A);
  // READ word 58 (1 10 111010), then sixteen clocks with data in held high.
  EXPECT_EQ(Selections(), (std::vector<std::string>{"110111010" + std::string(16, '1')}));
  ASSERT_EQ(EepromReadWord(Extension(), 0, 117, &value), STATUS_SUCCESS);  // same word
  EXPECT_EQ(value, 0xA55A);
  EXPECT_EQ(Machine().Card().MisuseCount(), 0u);
}

TEST_F(EepromTest, WriteIsOneEnableWriteWaitDisableCycle) {
  Boot();
  uint64_t delay = sim::kernel::RequestedDelay();
  ASSERT_EQ(EepromWriteWord(Extension(), 0, 120, 0x1234), STATUS_SUCCESS);
  EXPECT_EQ(sim::kernel::RequestedDelay() - delay, 10000u);  // the closing millisecond
  // EWEN, WRITE word 60 with the data, the chip-select pulse that starts programming (no
  // clocks), then EWDS.
  EXPECT_EQ(Selections(), (std::vector<std::string>{"100110000", "101111100" "0001001000110100",
                                                    "", "100000000"}));
  EXPECT_EQ(Machine().Card().bridge().EepromImageWords()[60], 0x1234);
  USHORT value = 0;
  ASSERT_EQ(EepromReadWord(Extension(), 0, 120, &value), STATUS_SUCCESS);
  EXPECT_EQ(value, 0x1234);
  EXPECT_EQ(Machine().Card().MisuseCount(), 0u);
}

TEST_F(EepromTest, AWriteThatNeverSeesReadyReportsTheTimeOut) {
  Boot({.eepromProgramMicros = sim::card::Eeprom93C46::kNeverFinishes});
  EXPECT_EQ(EepromWriteWord(Extension(), 0, 120, 0x1234), STATUS_IO_TIMEOUT);
  // It still ends the cycle: the disable instruction follows the 10000 polls.
  std::vector<std::string> selections = Selections();
  ASSERT_EQ(selections.size(), 4u);
  EXPECT_EQ(selections.back(), "100000000");
}

TEST_F(EepromTest, UnknownTypesAndAddressesBeyondThePartNeverReachIt) {
  Boot();
  USHORT value = 0;
  EXPECT_EQ(EepromReadWord(Extension(), 3, 116, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(value, 0xFFFF);
  EXPECT_EQ(EepromWriteWord(Extension(), 3, 116, 0), STATUS_INVALID_PARAMETER);
  // Word 64 and up would spill into the opcode bits and turn a WRITE into another instruction.
  EXPECT_EQ(EepromReadWord(Extension(), 0, 128, &value), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(EepromWriteWord(Extension(), 0, 0xFF80, 0), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(ControlAccesses(), 0u);
}

TEST_F(EepromTest, ConcurrentWritersNeverInterleaveTheirBits) {
  Boot();
  std::vector<std::thread> writers;
  for (USHORT word = 0; word < 4; ++word) {
    writers.emplace_back([this, word] {
      for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(EepromWriteWord(Extension(), 0, static_cast<USHORT>(word * 2),
                                  static_cast<USHORT>(0x1111 * (word + 1) + round)),
                  STATUS_SUCCESS);
      }
    });
  }
  for (auto& writer : writers) writer.join();
  auto image = Machine().Card().bridge().EepromImageWords();
  for (USHORT word = 0; word < 4; ++word) EXPECT_EQ(image[word], 0x1111 * (word + 1) + 2);
  EXPECT_EQ(Machine().Card().MisuseCount(), 0u);
}

TEST_F(EepromTest, WrittenWordsSurviveAReloadOfTheImageFile) {
  auto path = std::filesystem::temp_directory_path() /
              ("tarvik-eeprom-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
               "-" + std::to_string(reinterpret_cast<uintptr_t>(this)) + ".bin");
  std::filesystem::remove(path);
  Boot({.eepromImage = path});
  ASSERT_EQ(EepromWriteWord(Extension(), 0, 116, 0x5678), STATUS_SUCCESS);
  ASSERT_EQ(EepromWriteWord(Extension(), 0, 118, 0x0012), STATUS_SUCCESS);
  test_support::ReleaseCardResources(Machine());
  machine_.reset();

  Boot({.eepromImage = path});
  ULONG serial = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_SUCCESS);
  EXPECT_EQ(serial, 0x00125678u);
  std::filesystem::remove(path);
}

TEST_F(EepromTest, SerialNumberRequests) {
  Boot();
  ULONG serial = 0;
  // A blank part: both words erased.
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_SERIAL);
  // One erased word is still a serial number.
  ASSERT_EQ(EepromWriteWord(Extension(), 0, 116, 0x0042), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_SUCCESS);
  EXPECT_EQ(serial, 0xFFFF0042u);
  EXPECT_EQ(LastError(), DAQ_OK);
  // Wrong lengths.
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, &serial, 4, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_SERIAL_LENGTH);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 2), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_SERIAL_LENGTH);
  // A bridge range that ends before the control register: refused untouched.
  Extension()->PortLength[0] = 0x50;
  sim::PortBus().SetTracing(true);
  sim::PortBus().ClearTrace();
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, nullptr, 0, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_PORT_RANGE);
  EXPECT_TRUE(sim::PortBus().TakeTrace().empty());
  sim::PortBus().SetTracing(false);
  // No bridge range: that is reported first, whatever the lengths.
  Extension()->BridgePort = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_READ_SERIAL, &serial, 4, &serial, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
}

}  // namespace
