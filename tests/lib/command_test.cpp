// The device command's typed calls: what they return, and the exact register accesses the
// write operations make (the client lays out each buffer; a wrong byte shows here).
#include <gtest/gtest.h>

#include <vector>

#include "lib_fixture.h"
#include "sim/io_bus.h"

namespace {

using lib_test::Failure;
using lib_test::kBridgeBase;
using lib_test::kWindowBase;
using lib_test::LibTest;
using sim::PortAccess;
using tarvik::RegisterWidth;

class LibCommandTest : public LibTest {
 protected:
  // The card-window writes that `call` makes, as (offset, value) pairs.
  template <typename Call>
  std::vector<std::pair<uint32_t, uint32_t>> WindowWrites(Call&& call) {
    sim::PortBus().ClearTrace();
    sim::PortBus().SetTracing(true);
    call();
    sim::PortBus().SetTracing(false);
    std::vector<std::pair<uint32_t, uint32_t>> writes;
    for (const PortAccess& access : sim::PortBus().TakeTrace()) {
      if (access.direction == PortAccess::Direction::Write && access.port >= kWindowBase &&
          access.port < kWindowBase + 64) {
        writes.emplace_back(access.port - kWindowBase, access.value);
      }
    }
    return writes;
  }
  using Writes = std::vector<std::pair<uint32_t, uint32_t>>;
};

TEST_F(LibCommandTest, SummariesDescribeTheStartedCard) {
  tarvik::BoardSummary board = device_->ReadBoardSummary();
  EXPECT_EQ(board.boardPort, kWindowBase);
  EXPECT_EQ(board.irqLine, 11);
  tarvik::ResourceSummary resources = device_->ReadResourceSummary();
  EXPECT_EQ(resources.portCount, 2);
  EXPECT_EQ(resources.memoryCount, 1);
  EXPECT_EQ(resources.ports[0].base, kBridgeBase);
  EXPECT_EQ(resources.ports[0].length, 128u);
  EXPECT_FALSE(resources.ports[0].mapped);
  EXPECT_EQ(resources.ports[1].base, kWindowBase);
  EXPECT_EQ(resources.ports[1].length, 64u);
  EXPECT_EQ(device_->ReadPortBase(), kWindowBase);

  // Interrupts and the last frame after a short acquisition.
  EXPECT_FALSE(device_->AcquisitionRunning());
  tarvik::Event event;
  tarvik::StartOptions options;
  options.framesPerBlock = 2;
  device_->OpenBoard();
  device_->StartBlocks(options, event);
  EXPECT_TRUE(device_->AcquisitionRunning());
  StepFrames(2);
  EXPECT_GE(device_->ReadBoardSummary().frameInterrupts, 4);
  auto block = device_->ReadNewestBlock(2);
  ASSERT_TRUE(block);
  EXPECT_EQ(device_->ReadLastFrame(), block->frames[1]);
  device_->Stop();
}

TEST_F(LibCommandTest, RegisterAndIdentificationReads) {
  EXPECT_EQ(device_->ReadIdentification(5), (std::vector<uint8_t>{0x54, 0x56, 0x4B, 0x01, 0x09}));
  device_->WriteRegister(1, RegisterWidth::Byte, 2);  // selects identification byte 2
  EXPECT_EQ(device_->ReadRegister(0, RegisterWidth::Byte), 0x4Bu);
  EXPECT_EQ(device_->ReadRegister(15, RegisterWidth::Byte), 0xA5u);
  EXPECT_EQ(device_->ReadSpan(15, 1), std::vector<uint8_t>{0xA5});
  EXPECT_EQ(device_->ReadRepeated(15, 3), (std::vector<uint8_t>{0xA5, 0xA5, 0xA5}));
  EXPECT_EQ(device_->ReadRegisterSnapshot()[4], 0xA5);  // the fifth read is +15
  EXPECT_EQ(device_->ReadBridgeRegister(0x50),
            machine_->Card().bridge().ReadPort(0x50, 4));
  EXPECT_THROW(device_->ReadBridgeRegister(128), std::out_of_range);
  EXPECT_THROW(device_->ReadIdentification(65), std::out_of_range);
  EXPECT_THROW(device_->ReadSpan(0, 101), std::out_of_range);
}

TEST_F(LibCommandTest, WriteOperationsLayOutTheirBuffersAsTheDriverReadsThem) {
  EXPECT_EQ(WindowWrites([&] { device_->WriteRegister(3, RegisterWidth::Byte, 0x1FE); }),
            (Writes{{3, 0xFE}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteIndexedWords(1000, 0); }),
            (Writes{{0, 5}, {2, 0xE7}, {0, 6}, {2, 0x03}, {0, 7}, {2, 0xFF}, {0, 8}, {2, 0xFF}}));
  EXPECT_EQ(WindowWrites([&] { device_->Write12Bit(3, 0xF234); }),
            (Writes{{6, 0x34}, {7, 0x02}, {8, 0x00}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteControlPair(0x12, 0x40, 7, 9); }),
            (Writes{{3, 0x40}, {2, 7}, {2, 9}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteIndexed(9, 0x33); }), (Writes{{0, 9}, {2, 0x33}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteIndexed(2, 0x33); }), Writes{});
  const uint8_t data[] = {0x11, 0x22};
  EXPECT_EQ(WindowWrites([&] { device_->WriteSpan(5, data); }), (Writes{{5, 0x11}, {6, 0x22}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteRepeated(6, data); }),
            (Writes{{6, 0x11}, {6, 0x22}}));
  EXPECT_EQ(WindowWrites([&] { device_->WriteIndexedBlock(9, data); }),
            (Writes{{0, 9}, {2, 0x11}, {0, 10}, {2, 0x22}}));
  // Range bits 5..6, channel bits 0..4, each keeping the other.
  EXPECT_EQ(WindowWrites([&] {
              device_->SetChannelBits(3);
              device_->SetRangeBits(2);
            }),
            (Writes{{9, 0x03}, {9, 0x43}}));
  EXPECT_EQ(WindowWrites([&] { device_->ClearConversion(); }), (Writes{{10, 0}}));
  EXPECT_EQ(WindowWrites([&] { device_->ReadConversionAndClear(); }), (Writes{{10, 0}}));
  EXPECT_EQ(WindowWrites([&] { device_->ReadConversion(); }), Writes{});
  std::vector<uint8_t> tooLong(98);
  EXPECT_THROW(device_->WriteSpan(0, tooLong), std::out_of_range);
}

TEST_F(LibCommandTest, RefusedCommandsAndTheEepromPair) {
  // A channel count of 0 is refused by the driver.
  tarvik::Error input = Failure([&] { device_->SetInput(1, 0, 0); });
  EXPECT_EQ(input.LastError(), DAQ_ERR_COMMAND);
  EXPECT_STREQ(input.what(),
               "set the input failed: the driver has no device command that matches the "
               "request (DAQ_ERR_COMMAND, Win32 error 31)");
  EXPECT_EQ(WindowWrites([&] { device_->SetInput(1, 16, 4); }), (Writes{{9, 0x24}}));

  tarvik::CommandBuffer unknown{};
  unknown[0] = 14;
  EXPECT_EQ(Failure([&] { device_->SubCommand(unknown); }).LastError(), DAQ_ERR_COMMAND);
  tarvik::CommandBuffer base{};
  base[0] = SUB_GET_PORT_BASE;
  tarvik::CommandBuffer out = device_->SubCommand(base);
  EXPECT_EQ(out[0] | out[1] << 8, static_cast<int>(kWindowBase));

  device_->WriteEepromPair(0x1111, 0x2222);
  EXPECT_EQ(device_->ReadEepromPair(), (std::array<uint16_t, 2>{0x1111, 0x2222}));
  EXPECT_EQ(machine_->Card().bridge().EepromImageWords()[61], 0x2222);
  device_->EraseEepromPair();
  EXPECT_EQ(device_->ReadEepromPair(), (std::array<uint16_t, 2>{0xFFFF, 0xFFFF}));
}

}  // namespace
