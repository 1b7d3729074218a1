// IOCTL_DAQ_COMMAND through the I/O manager: the selection by lengths and its failures, the
// exact register sequences of the sub-commands on the port trace, the refusals that must touch
// nothing (ports outside the device's ranges, counts past the buffer, EEPROM addresses past the
// part, no resources), EEPROM words and their time-out, and the last frame under the
// interrupt's lock.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "driver_test.h"

#include "sim/io_bus.h"
#include "sim/kernel.h"

namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;

class DeviceCommandTest : public DriverTest {
 protected:
  void Boot(sim::card::CardConfig card = {}) {
    machine_.emplace(sim::MachineOptions{.card = card});
    ASSERT_EQ(Machine().LoadDriver(sim::TarvikDriverImage()), STATUS_SUCCESS);
    ASSERT_EQ(Machine().AddDevice(), STATUS_SUCCESS);
    AssignCardRanges();
    sim::PortBus().SetTracing(true);
  }
  void TearDown() override {
    if (machine_ && Extension()->Running) Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0);
    DriverTest::TearDown();
  }

  // One request on a buffer holding max(input, output) bytes; the output lands in it.
  NTSTATUS Command(Bytes& buffer, ULONG input, ULONG output) {
    buffer.resize(std::max<size_t>({buffer.size(), input, output}));
    return Control(IOCTL_DAQ_COMMAND, buffer.data(), input, buffer.data(), output);
  }
  // A sub-command: the bytes given, the rest of the 100 zero.
  NTSTATUS Sub(Bytes& buffer) {
    buffer.resize(DAQ_SUBCOMMAND_LENGTH);
    return Command(buffer, DAQ_SUBCOMMAND_LENGTH, DAQ_SUBCOMMAND_LENGTH);
  }
  ULONG Refusal(Bytes buffer, ULONG input, ULONG output) {
    EXPECT_EQ(Command(buffer, input, output), STATUS_UNSUCCESSFUL);
    return LastError();
  }

  // The port trace since the last call: "w6=34" a byte written to the card's +6, "r4" a byte
  // read from +4, "b50" a bridge read; ":2"/":4" mark wider accesses.
  std::string Trace() {
    const auto& card = Machine().Options().card;
    std::string text;
    for (const auto& access : sim::PortBus().TakeTrace()) {
      bool bridge = access.port < card.windowBase;
      bool read = access.direction == sim::PortAccess::Direction::Read;
      char item[48];
      uint32_t offset = access.port - (bridge ? card.bridgeBase : card.windowBase);
      if (read) {
        std::snprintf(item, sizeof item, " %s%x", bridge ? "b" : "r", offset);
      } else {
        std::snprintf(item, sizeof item, " w%x=%x", offset, access.value);
      }
      text += item;
      if (access.width != 1 && !bridge) {
        text += ':';
        text += std::to_string(access.width);
      }
    }
    return text.empty() ? text : text.substr(1);
  }
  // Chip selections on the EEPROM lines since the last trace: four per word written.
  int EepromSelections() {
    uint32_t control = Machine().Options().card.bridgeBase + 0x50, previous = 0;
    int selections = 0;
    for (const auto& access : sim::PortBus().TakeTrace()) {
      if (access.port != control || access.direction != sim::PortAccess::Direction::Write) continue;
      if ((access.value & 0x02000000) && !(previous & 0x02000000)) ++selections;
      previous = access.value;
    }
    return selections;
  }
  uint16_t EepromWord(int word) { return Machine().Card().bridge().EepromImageWords()[word]; }

  void StartContinuous() {
    uint8_t open[16] = {};
    ASSERT_EQ(Control(IOCTL_DAQ_OPEN_BOARD, open, sizeof open, nullptr, 0), STATUS_SUCCESS);
    START_PARAMETERS start{};
    start.FramesPerBlock = 4;
    start.RequestedRate = 1000;
    start.BlockCount = 1;
    start.ChannelCount = 16;
    start.ContinuousFlag = 1;
    ASSERT_EQ(Control(IOCTL_DAQ_START, &start, sizeof start, nullptr, 0), STATUS_SUCCESS);
  }
};

TEST_F(DeviceCommandTest, SelectionOrderAndEveryFailureRow) {
  Boot();
  const struct {
    ULONG input, output;
    Bytes bytes;
    bool noBridge;
    ULONG error;
  } rows[] = {
      {0, 0, {}, false, DAQ_ERR_COMMAND},           // neither summary
      {0, 11, {}, false, DAQ_ERR_COMMAND},
      {1, 8, {}, true, DAQ_ERR_COMMAND},            // the length is tested before the bridge
      {1, 4, {}, true, DAQ_ERR_NO_HARDWARE},
      {2, 6, {0, 3}, true, DAQ_ERR_NO_HARDWARE},    // EEPROM read: the bridge first
      {2, 6, {0, 2}, false, DAQ_ERR_COMMAND},       // 2 words want 4 bytes
      {2, 2, {0, 0xFF}, false, DAQ_ERR_COMMAND},    // a negative count matches no length
      {8, 0, {0, 3}, true, DAQ_ERR_NO_HARDWARE},    // EEPROM write
      {4, 0, {0, 2}, false, DAQ_ERR_COMMAND},       // 2 words want 6 bytes
      {4, 4, {0, 0}, false, DAQ_ERR_COMMAND},       // width codes 0 and 4
      {4, 4, {4, 0}, false, DAQ_ERR_COMMAND},
      {8, 1, {0, 0}, false, DAQ_ERR_COMMAND},
      {100, 100, {14}, false, DAQ_ERR_COMMAND},     // sub-commands not in the table
      {100, 100, {72}, false, DAQ_ERR_COMMAND},
      {3, 3, {}, false, DAQ_ERR_COMMAND},           // any other pair
      {100, 99, {}, false, DAQ_ERR_COMMAND},
  };
  for (const auto& row : rows) {
    if (row.noBridge) Extension()->BridgePort = 0;
    EXPECT_EQ(Refusal(row.bytes, row.input, row.output), row.error)
        << row.input << "/" << row.output;
    Extension()->BridgePort = Machine().Options().card.bridgeBase;
  }
  EXPECT_EQ(Trace(), "");
  Bytes buffer;
  ASSERT_EQ(Command(buffer, 0, sizeof(BOARD_SUMMARY)), STATUS_SUCCESS);
  EXPECT_EQ(LastError(), DAQ_OK);  // a success clears the code
}

TEST_F(DeviceCommandTest, SummariesReportTheRecordedFieldsAndTouchNothing) {
  Boot();
  Extension()->FrameIntCount = 7;
  Extension()->OtherIntCount = 3;
  Bytes buffer;
  ASSERT_EQ(Command(buffer, 0, sizeof(BOARD_SUMMARY)), STATUS_SUCCESS);
  const auto& board = *reinterpret_cast<const BOARD_SUMMARY*>(buffer.data());
  // (Packed fields are read by value: a reference cannot bind to them.)
  EXPECT_EQ(uint32_t{board.BoardPort}, Machine().Options().card.windowBase);
  EXPECT_EQ(uint32_t{board.IrqLine}, Machine().Options().interrupt.rawLine);
  EXPECT_EQ(int{board.FrameIntCount}, 7);
  EXPECT_EQ(int{board.OtherIntCount}, 3);
  ASSERT_EQ(Command(buffer, 0, sizeof(RESOURCE_SUMMARY)), STATUS_SUCCESS);
  const auto& resources = *reinterpret_cast<const RESOURCE_SUMMARY*>(buffer.data());
  EXPECT_EQ(int{resources.PortCount}, 2);
  EXPECT_EQ(uint32_t{resources.Port[0].Base}, Machine().Options().card.bridgeBase);
  EXPECT_EQ(uint32_t{resources.Port[0].Length}, 128u);
  EXPECT_EQ(uint32_t{resources.Port[1].Base}, Machine().Options().card.windowBase);
  EXPECT_EQ(uint32_t{resources.Port[1].Length}, 64u);
  EXPECT_EQ(uint32_t{resources.Port[1].Mapped}, 0u);
  EXPECT_EQ(uint32_t{resources.Port[5].Base}, 0u);
  EXPECT_EQ(Trace(), "");
}

TEST_F(DeviceCommandTest, RegisterAndBridgeAccessesHaveTheirWidths) {
  Boot();
  Bytes buffer = {1, 0, 15, 0};  // byte at +15: the auxiliary register
  ASSERT_EQ(Command(buffer, 4, 4), STATUS_SUCCESS);
  EXPECT_EQ(buffer, (Bytes{0xA5, 0, 0, 0}));
  buffer = {2, 0, 4, 0, 0xEF, 0xBE, 0x55, 0x55};
  ASSERT_EQ(Command(buffer, 8, 1), STATUS_SUCCESS);
  EXPECT_EQ(buffer[0], 1);
  buffer = {3, 0, 0x3C, 0};  // the last dword of the window
  ASSERT_EQ(Command(buffer, 4, 4), STATUS_SUCCESS);
  EXPECT_EQ(buffer, (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  buffer = {0x7C};
  ASSERT_EQ(Command(buffer, 1, 4), STATUS_SUCCESS);
  EXPECT_EQ(Trace(), "rf w4=beef:2 r3c:4 b7c");
}

TEST_F(DeviceCommandTest, PortsOutsideTheRangesAndOverlongCountsAreRefusedUntouched) {
  Boot();
  const struct {
    Bytes bytes;
    ULONG input, output, error;
  } rows[] = {
      {{2, 0, 0x3F, 0}, 4, 4, DAQ_ERR_PORT_RANGE},          // a word running past the window
      {{1, 0, 0x40, 0}, 4, 4, DAQ_ERR_PORT_RANGE},          // the first port after it
      {{3, 0, 0xFE, 0xFF}, 8, 1, DAQ_ERR_PORT_RANGE},
      {{0x7D}, 1, 4, DAQ_ERR_PORT_RANGE},                   // past the bridge's 128 bytes
      {{0x80}, 1, 4, DAQ_ERR_PORT_RANGE},                   // offset -128
      {{SUB_READ_SPAN, 2, 0x3F}, 100, 100, DAQ_ERR_PORT_RANGE},
      {{SUB_READ_SPAN, 1, 0xFF}, 100, 100, DAQ_ERR_PORT_RANGE},   // offset -1
      {{SUB_WRITE_SPAN, 97, 0}, 100, 100, DAQ_ERR_PORT_RANGE},    // count fits, ports do not
      {{SUB_READ_REPEAT, 1, 64}, 100, 100, DAQ_ERR_PORT_RANGE},
      {{SUB_WRITE_REPEAT, 1, 200}, 100, 100, DAQ_ERR_PORT_RANGE},
      {{SUB_READ_SPAN, 101, 0}, 100, 100, DAQ_ERR_COMMAND},       // counts past the buffer
      {{SUB_WRITE_SPAN, 98, 0}, 100, 100, DAQ_ERR_COMMAND},
      {{SUB_READ_REPEAT, 101, 0}, 100, 100, DAQ_ERR_COMMAND},
      {{SUB_WRITE_REPEAT, 97, 0}, 100, 100, DAQ_ERR_COMMAND},
  };
  for (const auto& row : rows) {
    Bytes buffer = row.bytes;
    buffer.resize(100);
    EXPECT_EQ(Refusal(buffer, row.input, row.output), row.error)
        << int(row.bytes[0]) << " " << row.input << "/" << row.output;
  }
  // A window in memory space holds no ports; a bridge range too short for the EEPROM lines.
  Extension()->PortMapped[1] = 1;
  Bytes clear = {SUB_CLEAR};
  EXPECT_EQ(Refusal(clear, 100, 100), DAQ_ERR_PORT_RANGE);
  Extension()->PortMapped[1] = 0;
  Extension()->PortLength[0] = 0x50;
  EXPECT_EQ(Refusal({0, 1}, 2, 2), DAQ_ERR_PORT_RANGE);
  EXPECT_EQ(Refusal({SUB_READ_EEPROM_PAIR}, 100, 100), DAQ_ERR_PORT_RANGE);
  Extension()->PortLength[0] = 128;
  EXPECT_EQ(Trace(), "");
  // The whole window is served.
  Bytes span = {SUB_READ_SPAN, 64, 0};
  ASSERT_EQ(Sub(span), STATUS_SUCCESS);
  EXPECT_EQ(sim::PortBus().TakeTrace().size(), 64u);
}

TEST_F(DeviceCommandTest, NothingTouchesTheCardWithoutAssignedResources) {
  Boot();
  Extension()->ResourcesAssigned = FALSE;  // never started, or stopped: the bases stay behind
  const struct {
    Bytes bytes;
    ULONG input, output;
  } refused[] = {
      {{1, 0, 0, 0}, 4, 4},  {{1, 0, 0, 0, 0}, 8, 1}, {{0x4C}, 1, 4},
      {{0, 1}, 2, 2},        {{0, 1, 0, 0}, 4, 0},    {{SUB_CLEAR}, 100, 100},
      {{SUB_SET_INPUT, 0, 16, 0}, 100, 100},          {{SUB_READ_ID_BLOCK, 5}, 100, 100},
      {{SUB_WRITE_EEPROM_PAIR, 0}, 100, 100},         {{SUB_READ_EEPROM_PAIR}, 100, 100},
  };
  for (const auto& row : refused) {
    Bytes buffer = row.bytes;
    EXPECT_EQ(Refusal(buffer, row.input, row.output), DAQ_ERR_NO_HARDWARE)
        << int(row.bytes[0]) << " " << row.input << "/" << row.output;
  }
  // What makes no access is still served.
  for (Bytes buffer : {Bytes{SUB_GET_PORT_BASE}, Bytes{SUB_GET_RUNNING}, Bytes{SUB_READ_SPAN, 0, 0},
                       Bytes{SUB_GET_LAST_FRAME}}) {
    EXPECT_EQ(Sub(buffer), STATUS_SUCCESS) << int(buffer[0]);
  }
  Bytes buffer;
  EXPECT_EQ(Command(buffer, 0, sizeof(RESOURCE_SUMMARY)), STATUS_SUCCESS);
  EXPECT_EQ(Trace(), "");
  Extension()->ResourcesAssigned = TRUE;
}

TEST_F(DeviceCommandTest, SubcommandRegisterSequences) {
  Boot();
  const struct {
    Bytes bytes;
    const char* trace;
  } rows[] = {
      {{SUB_WRITE_INDEXED_WORDS, 0, 0xE8, 0x03, 0, 0},  // A = 1000, B = 0
       "w0=5 w2=e7 w0=6 w2=3 w0=7 w2=ff w0=8 w2=ff"},
      {{SUB_WRITE_INDEXED_WORDS, 1, 0xE8, 0x03}, ""},
      {{SUB_WRITE_12BIT, 3, 0x34, 0xF2}, "w6=34 w7=2 w8=0"},
      {{SUB_WRITE_12BIT, 2, 0x34, 0xF2}, "w4=34 w5=2 w8=0"},
      {{SUB_WRITE_CONTROL_PAIR, 0x12, 0xC0, 0x11, 0x22}, "w3=c0 w2=11 w2=22"},
      {{SUB_WRITE_INDEXED, 2, 0x55}, ""},
      {{SUB_WRITE_INDEXED, 9, 0x55}, "w0=9 w2=55"},
      {{SUB_CLEAR}, "wa=0"},
      {{SUB_READ_PAIR_CLEAR}, "r4 r5 wa=0"},
      {{SUB_READ_PAIR}, "r4 r5"},
      {{SUB_READ_SNAPSHOT}, "r1 r2 r3 r4 rf re r7 r8 r9 ra"},
      {{SUB_WRITE_SPAN, 2, 0x20, 0xAA, 0xBB}, "w20=aa w21=bb"},
      {{SUB_WRITE_SPAN, 0xFE, 0x20}, ""},                            // a negative count
      {{SUB_WRITE_REPEAT, 3, 0x30, 0, 1, 2, 3}, "w30=1 w30=2 w30=3"},
      {{SUB_READ_ID_BLOCK, 200}, ""},                                // signed: negative
      {{SUB_SET_INPUT, 2, 16, 7}, "w9=47"},
      {{SUB_SET_RANGE_BITS, 1}, "w9=20"},     // sub-command 2 left channel bits 0
      {{SUB_SET_CHANNEL_BITS, 3}, "w9=23"},
      {{SUB_SET_RANGE_BITS, 7}, "w9=63"},
  };
  for (const auto& row : rows) {
    Bytes buffer = row.bytes;
    EXPECT_EQ(Sub(buffer), STATUS_SUCCESS) << int(row.bytes[0]);
    EXPECT_EQ(Trace(), row.trace) << int(row.bytes[0]);
  }
  EXPECT_EQ(Extension()->GainBits, 0x63);
  EXPECT_EQ(Extension()->RangeCode, 2);

  // Sub-command 71 cuts its unsigned count to 64; 70 reads 64 identification bytes.
  Bytes block = {SUB_WRITE_INDEXED_BLOCK, 200, 0x10, 0};
  for (int i = 0; i < 96; ++i) block.push_back(static_cast<uint8_t>(i + 1));
  ASSERT_EQ(Sub(block), STATUS_SUCCESS);
  std::string expected;
  char item[32];
  for (int i = 0; i < 64; ++i) {
    std::snprintf(item, sizeof item, "%sw0=%x w2=%x", i ? " " : "", 0x10 + i, i + 1);
    expected += item;
  }
  EXPECT_EQ(Trace(), expected);
  Bytes ids = {SUB_READ_ID_BLOCK, 100};
  ASSERT_EQ(Sub(ids), STATUS_SUCCESS);
  auto rom = sim::card::DefaultIdentificationRom();
  EXPECT_TRUE(std::equal(rom.begin(), rom.end(), ids.begin()));
  EXPECT_EQ(Trace().substr(0, 23), "w1=0 r0 w1=1 r0 w1=2 r0");
}

// The open and the start program the sample clock (and read the identification bytes)
// through the card's index/data registers under the acquisition lock, which resource release
// and assignment take too. Every request that touches the card's or the bridge's ports waits
// for it, so none writes between an index and its data, or reaches a port across a PnP stop.
TEST_F(DeviceCommandTest, EveryPortAccessOfARequestWaitsForTheAcquisitionLock) {
  Boot();
  DEVICE_EXTENSION* extension = Extension();
  uint32_t window = Machine().Options().card.windowBase;
  const std::pair<const char*, std::function<NTSTATUS()>> requests[] = {
      {"indexed", [&] { Bytes b{SUB_WRITE_INDEXED, 9, 0x55}; return Sub(b); }},
      {"indexed words", [&] { Bytes b{SUB_WRITE_INDEXED_WORDS, 0, 2, 0, 3, 0}; return Sub(b); }},
      {"indexed block", [&] { Bytes b{SUB_WRITE_INDEXED_BLOCK, 1, 9, 0, 0x66}; return Sub(b); }},
      {"identification", [&] { Bytes b{SUB_READ_ID_BLOCK, 5}; return Sub(b); }},
      {"span", [&] { Bytes b{SUB_WRITE_SPAN, 1, 2, 0x11}; return Sub(b); }},
      {"repeat", [&] { Bytes b{SUB_WRITE_REPEAT, 1, 0, 0, 0x22}; return Sub(b); }},
      {"control pair", [&] { Bytes b{SUB_WRITE_CONTROL_PAIR, 2, 0, 1, 2}; return Sub(b); }},
      {"register write", [&] {
         Bytes b{REGISTER_WIDTH_BYTE, 0, 2, 0, 0x33, 0, 0, 0};
         return Command(b, DAQ_REGISTER_WRITE_INPUT, DAQ_REGISTER_WRITE_OUTPUT);
       }},
      {"raw port", [&] {
         ULONG request[2] = {window, 0x44};
         return Control(IOCTL_DAQ_PORT_OUT_BYTE, request, sizeof request, nullptr, 0);
       }},
      {"EEPROM word", [&] { Bytes b{0, 1}; return Command(b, DAQ_EEPROM_READ_INPUT, 2); }},
  };
  for (const auto& [what, request] : requests) {
    SCOPED_TRACE(what);
    ASSERT_EQ(KeWaitForSingleObject(&extension->AcquisitionLock, Executive, KernelMode, FALSE,
                                    nullptr),
              STATUS_WAIT_0);
    Trace();
    std::thread command([&] { EXPECT_EQ(request(), STATUS_SUCCESS); });
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (sim::kernel::BlockedWaiters(&extension->AcquisitionLock) == 0 &&
           std::chrono::steady_clock::now() < deadline) {
      std::this_thread::sleep_for(1ms);
    }
    EXPECT_EQ(sim::kernel::BlockedWaiters(&extension->AcquisitionLock), 1u);
    EXPECT_EQ(Trace(), "");  // nothing touched while the lock is held
    KeReleaseMutex(&extension->AcquisitionLock, FALSE);
    command.join();
    EXPECT_NE(Trace(), "");
  }
}

TEST_F(DeviceCommandTest, ChannelCountIsCheckedAndFixedWhileAcquiring) {
  Boot();
  EXPECT_EQ(Refusal({SUB_SET_INPUT, 0, 0, 0}, 100, 100), DAQ_ERR_COMMAND);
  EXPECT_EQ(Refusal({SUB_SET_INPUT, 0, 17, 0}, 100, 100), DAQ_ERR_COMMAND);
  StartContinuous();
  Trace();
  EXPECT_EQ(Refusal({SUB_SET_INPUT, 1, 8, 2}, 100, 100), DAQ_ERR_RUNNING);
  EXPECT_EQ(Extension()->ChannelCount, 16);
  EXPECT_EQ(Trace(), "");
  Bytes same = {SUB_SET_INPUT, 1, 16, 2};  // range and channel may change, the count not
  EXPECT_EQ(Sub(same), STATUS_SUCCESS);
  EXPECT_EQ(Trace(), "w9=22");
  Bytes running = {SUB_GET_RUNNING};
  ASSERT_EQ(Sub(running), STATUS_SUCCESS);
  EXPECT_EQ(running[0], 1);
  ASSERT_EQ(Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  Bytes changed = {SUB_SET_INPUT, 1, 8, 2};
  EXPECT_EQ(Sub(changed), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->ChannelCount, 8);
}

BOOLEAN NTAPI HoldInterruptLock(PVOID Context) {
  auto* flags = static_cast<std::atomic<int>*>(Context);
  flags->store(1);
  while (flags->load() != 2) std::this_thread::yield();
  return TRUE;
}

TEST_F(DeviceCommandTest, LastFrameIsCopiedUnderTheInterruptLock) {
  Boot();
  StartContinuous();
  Machine().Card().window().Step(7);  // past the skipped calls, into a frame
  ASSERT_EQ(LastError(), DAQ_OK);     // opens the test's handle before the threads start
  std::atomic<int> flags{0};
  PKINTERRUPT interrupt = Extension()->InterruptObject;
  std::thread holder([&] { KeSynchronizeExecution(interrupt, HoldInterruptLock, &flags); });
  while (flags.load() != 1) std::this_thread::yield();
  Bytes frame = {SUB_GET_LAST_FRAME};
  auto copy = std::async(std::launch::async, [&] { return Sub(frame); });
  EXPECT_EQ(copy.wait_for(100ms), std::future_status::timeout);
  flags.store(2);
  holder.join();
  ASSERT_EQ(copy.get(), STATUS_SUCCESS);
  for (int i = 0; i < 16; ++i) {
    EXPECT_EQ(frame[2 * i] | frame[2 * i + 1] << 8, Extension()->LastFrame[i]) << i;
  }
  // A count that a failed start left behind would read past the frame.
  ASSERT_EQ(Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0), STATUS_SUCCESS);
  Extension()->ChannelCount = 17;
  EXPECT_EQ(Refusal({SUB_GET_LAST_FRAME}, 100, 100), DAQ_ERR_COMMAND);
}

TEST_F(DeviceCommandTest, EepromWordsAndTheirAddressLimits) {
  Boot();
  Bytes buffer = {16, 3, 0x11, 0x11, 0x22, 0x22, 0x33, 0x33};
  ASSERT_EQ(Command(buffer, 8, 0), STATUS_SUCCESS);
  EXPECT_EQ(EepromWord(8), 0x1111);
  EXPECT_EQ(EepromWord(10), 0x3333);
  buffer = {16, 3};
  ASSERT_EQ(Command(buffer, 2, 6), STATUS_SUCCESS);
  EXPECT_EQ(buffer, (Bytes{0x11, 0x11, 0x22, 0x22, 0x33, 0x33}));
  buffer = {127, 1};  // the last word: 127 names word 63
  EXPECT_EQ(Command(buffer, 2, 2), STATUS_SUCCESS);
  Trace();
  uint16_t word0 = EepromWord(0);
  buffer = {0x20, 0};  // no words: nothing touched
  EXPECT_EQ(Command(buffer, 2, 0), STATUS_SUCCESS);
  EXPECT_EQ(Refusal({126, 2}, 2, 4), DAQ_ERR_COMMAND);           // second word is 64
  EXPECT_EQ(Refusal({0x80, 1}, 2, 2), DAQ_ERR_COMMAND);          // -128
  EXPECT_EQ(Refusal({0xFE, 2, 1, 1, 2, 2}, 6, 0), DAQ_ERR_COMMAND);  // -2, 0 must not wrap
  EXPECT_EQ(Refusal({SUB_WRITE_EEPROM_PAIR, 2, 0, 0, 1, 1, 2, 2}, 100, 100), DAQ_ERR_COMMAND);
  EXPECT_EQ(Trace(), "");
  EXPECT_EQ(EepromWord(0), word0);

  Bytes pair = {SUB_WRITE_EEPROM_PAIR, 1, 0, 0, 0x34, 0x12, 0x78, 0x56};
  ASSERT_EQ(Sub(pair), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(pair.begin(), pair.begin() + 4), (Bytes{0x34, 0x12, 0x78, 0x56}));
  EXPECT_EQ(EepromWord(60), 0x1234);
  EXPECT_EQ(EepromWord(61), 0x5678);
  Bytes back = {SUB_READ_EEPROM_PAIR};
  ASSERT_EQ(Sub(back), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(back.begin(), back.begin() + 4), (Bytes{0x34, 0x12, 0x78, 0x56}));
  Bytes erase = {SUB_WRITE_EEPROM_PAIR, 0, 0, 0, 0x34, 0x12};
  ASSERT_EQ(Sub(erase), STATUS_SUCCESS);
  EXPECT_EQ(Bytes(erase.begin(), erase.begin() + 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(EepromWord(60), 0xFFFF);
  EXPECT_EQ(EepromWord(61), 0xFFFF);
  EXPECT_EQ(Machine().Card().MisuseCount(), 0u);
}

TEST_F(DeviceCommandTest, AnEepromWriteThatNeverSeesReadyFailsAndStops) {
  Boot({.eepromProgramMicros = sim::card::Eeprom93C46::kNeverFinishes});
  EXPECT_EQ(Refusal({0, 2, 1, 0, 2, 0}, 6, 0), DAQ_ERR_EEPROM_TIMEOUT);
  EXPECT_EQ(EepromSelections(), 4);  // one word's cycle; the second is not sent
  EXPECT_EQ(Refusal({SUB_WRITE_EEPROM_PAIR, 0}, 100, 100), DAQ_ERR_EEPROM_TIMEOUT);
  EXPECT_EQ(EepromSelections(), 4);
}

}  // namespace
