// Open, start, stop and the read requests' checks, through the I/O manager, with the card
// model behind the driver; and the rate split and the clock's register writes.
#include <cstring>

#include "driver_test.h"

#include "acq/acquisition.h"
#include "sim/io_bus.h"

namespace {

using Access = sim::PortAccess;
using Direction = sim::PortAccess::Direction;

class AcquisitionRequestsTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    AssignCardRanges();
  }
  NTSTATUS Open(ULONG length = 16) {
    UCHAR input[32] = {};
    return Control(IOCTL_DAQ_OPEN_BOARD, input, length, nullptr, 0);
  }
  START_PARAMETERS Record(ULONG frames = 100, SHORT blocks = 8, bool continuous = false) {
    return AcquisitionParameters(frames, blocks, continuous);
  }
  NTSTATUS Start(const START_PARAMETERS& start, ULONG length = sizeof(START_PARAMETERS)) {
    UCHAR input[40] = {};
    std::memcpy(input, &start, sizeof start);
    return Control(IOCTL_DAQ_START, input, length, nullptr, 0);
  }
  NTSTATUS Stop() { return Control(IOCTL_DAQ_STOP, nullptr, 0, nullptr, 0); }
  void TearDown() override {
    if (Extension()->Running) Stop();
    DriverTest::TearDown();
  }
  std::vector<Access> CardTrace() {
    std::vector<Access> card;
    for (const Access& access : sim::PortBus().TakeTrace()) {
      if (access.port >= Machine().Options().card.windowBase) card.push_back(access);
    }
    return card;
  }
  Access CardWrite(ULONG offset, uint32_t value) {
    return {Machine().Options().card.windowBase + offset, 1, Direction::Write, value};
  }
};

TEST_F(AcquisitionRequestsTest, OpenChecksLengthWindowAndInterruptLine) {
  EXPECT_EQ(Open(15), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(LastError(), DAQ_ERR_OPEN_LENGTH);
  Extension()->PortCount = 1;
  EXPECT_EQ(Open(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  Extension()->PortCount = 2;
  Extension()->IrqLine = 0;
  EXPECT_EQ(Open(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_INTERRUPT);
  EXPECT_EQ(Extension()->BoardOpen, 0);
  Extension()->IrqLine = 11;
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(Extension()->BoardOpen, 1);
  EXPECT_EQ(Extension()->IdBytes[4], 9);  // the model's good board
  // Opening while running stops the acquisition and fails.
  ASSERT_EQ(Start(Record()), STATUS_SUCCESS);
  EXPECT_EQ(Open(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_RUNNING);
  EXPECT_EQ(Extension()->Running, 0);
  EXPECT_FALSE(Machine().Card().window().GetStatus().clockRunning);
}

TEST_F(AcquisitionRequestsTest, StartRefusesBadRecordsBeforeTakingAnything) {
  EXPECT_EQ(Start(Record()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_OPEN);
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(Start(Record(), 31), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(LastError(), DAQ_ERR_START_LENGTH);
  auto eight = Record(50, 3);
  eight.ChannelCount = 8;
  EXPECT_EQ(Start(eight), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(LastError(), DAQ_ERR_CHANNEL_COUNT);
  EXPECT_EQ(Extension()->ChannelCount, 8);  // the record's values stay
  EXPECT_EQ(Extension()->FramesPerBlock, 50u);
  for (auto [frames, blocks] : {std::pair<ULONG, SHORT>{0, 4}, {4, 0}, {4, -2}, {0x7FFFFFF, 100}}) {
    EXPECT_EQ(Start(Record(frames, blocks)), STATUS_INVALID_PARAMETER) << frames << "/" << blocks;
    EXPECT_EQ(LastError(), DAQ_ERR_BLOCK_GEOMETRY);
  }
  // Slow-mode rates whose decimation would not fit in 32 bits (INT_MIN gave 0: full speed).
  for (LONG rate : {SLOWEST_RATE - 1, static_cast<LONG>(0x80000000)}) {
    auto slow = Record();
    slow.RequestedRate = rate;
    EXPECT_EQ(Start(slow), STATUS_INVALID_PARAMETER) << rate;
    EXPECT_EQ(LastError(), DAQ_ERR_RATE);
  }
  auto noEvent = Record();
  noEvent.EventHandle = 0x7774;
  EXPECT_EQ(Start(noEvent), STATUS_INVALID_HANDLE);
  EXPECT_EQ(LastError(), DAQ_ERR_EVENT_HANDLE);
  EXPECT_EQ(sim::kernel::GetPoolStats().outstandingAllocations, 1u);  // the path copy only
  // A failed allocation lets the event go again (a leaked reference fails at shutdown).
  sim::kernel::FailNthPoolAllocation(1);
  EXPECT_EQ(Start(Record()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_MEMORY);
  EXPECT_EQ(Extension()->Running, 0);
}

TEST_F(AcquisitionRequestsTest, StartLaysOutThePoolAndProgramsTheCardInOrder) {
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  sim::PortBus().SetTracing(true);
  auto record = Record(100, 8);
  record.RangeCode = 1000;
  ASSERT_EQ(Start(record), STATUS_SUCCESS);
  DEVICE_EXTENSION* e = Extension();
  EXPECT_EQ(e->BlockBytes, 3202u);
  // One allocation: eight pointer-width table entries, then the blocks: 25648 bytes as
  // shipped (32-bit x86), 25680 with the x86-64 host's pointers.
  auto* pool = static_cast<PUCHAR>(e->BlockPool);
  EXPECT_EQ(sim::kernel::PoolAllocationSize(pool), sizeof(PVOID) == 4 ? 25648u : 25680u);
  EXPECT_EQ(sim::kernel::PoolAllocationType(pool), NonPagedPool);
  EXPECT_EQ(reinterpret_cast<PUCHAR>(BlockTable(e)[0]), pool + 8 * sizeof(PVOID));
  EXPECT_EQ(reinterpret_cast<PUCHAR>(BlockTable(e)[7]), pool + 8 * sizeof(PVOID) + 7 * 3202);
  EXPECT_EQ(e->GainBits, 0x60);
  EXPECT_EQ(e->SkipCount, 2);
  EXPECT_EQ(e->Running, 1);
  // Clock stopped, strobes set up, then (after the bridge is enabled) the clock programmed:
  // divisor 1199 for 10 kHz.
  EXPECT_EQ(CardTrace(),
            (std::vector<Access>{CardWrite(0, 0xAA), CardWrite(2, 0x00), CardWrite(8, 1),
                                 CardWrite(9, 1), CardWrite(10, 0), CardWrite(10, 1),
                                 CardWrite(8, 0), CardWrite(8, 1), CardWrite(0, 0xAA),
                                 CardWrite(2, 0x00), CardWrite(0, 0x02), CardWrite(2, 0xAF),
                                 CardWrite(0, 0x03), CardWrite(2, 0x04), CardWrite(0, 0xAA),
                                 CardWrite(2, 0x01)}));
  EXPECT_EQ(Start(record), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_RUNNING);
  // A stop, then a second stop that finds nothing running and releases nothing twice.
  EXPECT_EQ(Stop(), STATUS_SUCCESS);
  EXPECT_EQ(Stop(), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_RUNNING);
  EXPECT_EQ(e->ConfiguredMode, 1);
  // The next start, in continuous mode, replaces the pool with one ring and no event.
  ASSERT_EQ(Start(Record(4, 5, true)), STATUS_SUCCESS);
  EXPECT_EQ(e->BlockCount, 1);
  EXPECT_EQ(sim::kernel::PoolAllocationSize(e->BlockPool), sizeof(PVOID) == 4 ? 134u : 138u);
  EXPECT_EQ(e->UserEvent, nullptr);
}

TEST_F(AcquisitionRequestsTest, StartAndStopWithoutTheCardsResourcesTouchNothing) {
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  test_support::ReleaseCardResources(Machine());  // as after a Plug and Play stop
  sim::PortBus().SetTracing(true);
  EXPECT_EQ(Start(Record()), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  EXPECT_TRUE(CardTrace().empty());
  EXPECT_EQ(Extension()->BlockPool, nullptr);
}

TEST_F(AcquisitionRequestsTest, ReadsCheckStateModeAndBufferSizes) {
  USHORT count = 0;
  std::vector<UCHAR> buffer(4000);
  EXPECT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_OPEN);
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, buffer.data(), 38), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_RUNNING);
  ASSERT_EQ(Start(Record(2, 4)), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, buffer.data(), 38), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_STREAM_MODE);
  EXPECT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 1), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, buffer.data(), 65), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_NEWEST_BLOCK, nullptr, 0, nullptr, 0), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);  // no output, no MDL
  EXPECT_EQ(Control(IOCTL_DAQ_READ_OLDEST_BLOCK, nullptr, 0, buffer.data(), 66), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_BLOCK);
  ASSERT_EQ(Stop(), STATUS_SUCCESS);
  ASSERT_EQ(Start(Record(2, 4, true)), STATUS_SUCCESS);
  EXPECT_EQ(Control(IOCTL_DAQ_GET_BLOCK_COUNT, nullptr, 0, &count, 2), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NOT_BLOCK_MODE);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, buffer.data(), 5), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);
  EXPECT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, buffer.data(), 71), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_BUFFER_SIZE);
  // Six bytes: the wrap count and the newest frame's index, no samples.
  ASSERT_EQ(Control(IOCTL_DAQ_READ_STREAM, nullptr, 0, buffer.data(), 6), STATUS_SUCCESS);
  ULONG newest = 0;
  std::memcpy(&newest, buffer.data() + 2, 4);
  EXPECT_EQ(newest, 1u);  // snapshot at 0: the end of the ring, frame 1 of 2
}

TEST(SampleClock, RateSplitsAsTabled) {
  const struct {
    LONG rate, clock, decimation;
  } table[] = {{0, 10000, 10000},   {1, 10000, 10000},   {3, 10002, 3334}, {333, 10323, 31},
               {3000, 12000, 4},    {9999, 19998, 2},    {10000, 10000, 1}, {50000, 50000, 1},
               {250000, 100000, 1}, {-1, 10000, 10000},  {-2, 10000, 20000}, {-3, 10000, 30000},
               {SLOWEST_RATE, 10000, 2147480000}};
  for (const auto& row : table) {
    LONG clock = 0, decimation = 0;
    SplitRate(row.rate, &clock, &decimation);
    EXPECT_EQ(clock, row.clock) << row.rate;
    EXPECT_EQ(decimation, row.decimation) << row.rate;
  }
}

}  // namespace

namespace {

// The start references its event in the caller's mode, for the right to set it.
TEST_F(AcquisitionRequestsTest, StartRefusesEventHandlesTheCallerCouldNotSet) {
  ASSERT_EQ(Open(), STATUS_SUCCESS);
  auto record = Record();
  sim::nt::Handle waitOnly = 0;
  ASSERT_EQ(sim::nt::DuplicateHandle(record.EventHandle, SYNCHRONIZE, &waitOnly), STATUS_SUCCESS);
  record.EventHandle = waitOnly;
  EXPECT_EQ(Start(record), STATUS_ACCESS_DENIED);
  EXPECT_EQ(LastError(), DAQ_ERR_EVENT_HANDLE);
  sim::nt::Close(waitOnly);

  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr, nullptr);
  HANDLE kernel = nullptr;
  ASSERT_EQ(ZwCreateEvent(&kernel, EVENT_ALL_ACCESS, &attributes, SynchronizationEvent, FALSE),
            STATUS_SUCCESS);
  record.EventHandle = static_cast<ULONG>(reinterpret_cast<uintptr_t>(kernel));
  EXPECT_EQ(Start(record), STATUS_INVALID_HANDLE);
  EXPECT_EQ(LastError(), DAQ_ERR_EVENT_HANDLE);
  EXPECT_EQ(Extension()->Running, 0);
  ZwClose(kernel);
}

// Every buffered request goes back with its whole output length: past the input, what the
// handler did not write must reach the caller as zeros (stale bytes are an InformationLeak).
TEST_F(AcquisitionRequestsTest, OutputThatHandlersDoNotWriteReturnsAsZeros) {
  auto unwrittenTail = [&](ULONG code, ULONG inputLength, ULONG outputLength, ULONG from,
                           const void* input = nullptr) {
    std::vector<UCHAR> buffer(std::max(inputLength, outputLength), 0xCC);
    if (input != nullptr) std::memcpy(buffer.data(), input, inputLength);
    NTSTATUS status = Control(code, buffer.data(), inputLength, buffer.data(), outputLength);
    EXPECT_NE(static_cast<ULONG>(status) >> 30, 3u) << std::hex << code << " " << status;
    return std::vector<UCHAR>(buffer.begin() + from, buffer.begin() + outputLength);
  };
  auto zeros = [](size_t n) { return std::vector<UCHAR>(n, 0); };
  UCHAR openInput[16] = {};
  EXPECT_EQ(unwrittenTail(IOCTL_DAQ_OPEN_BOARD, 16, 24, 16, openInput), zeros(8));
  PORT_IO_REQUEST port{static_cast<uint16_t>(Machine().Options().card.windowBase), 0, {0}};
  EXPECT_EQ(unwrittenTail(IOCTL_DAQ_PORT_IN_BYTE, 8, 16, 8, &port), zeros(8));
  EXPECT_EQ(unwrittenTail(IOCTL_DAQ_COMMAND, 0, 80, 76), zeros(4));
  ASSERT_EQ(Start(Record()), STATUS_SUCCESS);
  EXPECT_EQ(unwrittenTail(IOCTL_DAQ_GET_BLOCK_COUNT, 0, 16, 4), zeros(12));
  InterlockedExchange(&Extension()->PendingRejectStatus, STATUS_DEVICE_POWERED_OFF);
  EXPECT_EQ(unwrittenTail(IOCTL_DAQ_WAIT_EVENT, 0, 4, 0), zeros(4));
  InterlockedExchange(&Extension()->PendingRejectStatus, 0);
}

}  // namespace
