// Raw port requests: one access each, only inside the device's own I/O ranges, and only with
// buffers long enough for the request.
#include "driver_test.h"

#include "sim/io_bus.h"

namespace {

using Access = sim::PortAccess;
using Direction = sim::PortAccess::Direction;

class PortIoTest : public DriverTest {
 protected:
  void SetUp() override {
    BootWithDevice();
    AssignCardRanges();
    sim::PortBus().SetTracing(true);
  }
  uint32_t Bridge(uint32_t offset) { return Machine().Options().card.bridgeBase + offset; }
  uint32_t Window(uint32_t offset) { return Machine().Options().card.windowBase + offset; }

  static PORT_IO_REQUEST Request(uint32_t port, uint32_t value = 0) {
    PORT_IO_REQUEST request{};
    request.Port = static_cast<uint16_t>(port);
    request.Value.Dword = value;
    return request;
  }
  std::vector<Access> Trace() { return sim::PortBus().TakeTrace(); }
};

TEST_F(PortIoTest, EachRequestMakesExactlyOneAccessOfItsWidth) {
  // Bridge offset 0x00 is plain storage: what is written reads back.
  auto request = Request(Bridge(0x00), 0x12345678);
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, &request, 8, nullptr, 0), STATUS_SUCCESS);
  EXPECT_EQ(Trace(), (std::vector<Access>{{Bridge(0), 4, Direction::Write, 0x12345678}}));

  request = Request(Bridge(0x00));
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, &request, 2, &request, 4), STATUS_SUCCESS);
  EXPECT_EQ(*reinterpret_cast<uint32_t*>(&request), 0x12345678u);
  EXPECT_EQ(Trace(), (std::vector<Access>{{Bridge(0), 4, Direction::Read, 0x12345678}}));

  request = Request(Window(0x3E), 0xBEEF);
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_OUT_WORD, &request, 6, nullptr, 0), STATUS_SUCCESS);
  request = Request(Window(0x3F), 0xA5);
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_OUT_BYTE, &request, 5, nullptr, 0), STATUS_SUCCESS);
  request = Request(Window(0x20));
  ASSERT_EQ(Control(IOCTL_DAQ_PORT_IN_BYTE, &request, 2, &request, 1), STATUS_SUCCESS);
  EXPECT_EQ(Trace(), (std::vector<Access>{{Window(0x3E), 2, Direction::Write, 0xBEEF},
                                          {Window(0x3F), 1, Direction::Write, 0xA5},
                                          {Window(0x20), 1, Direction::Read, 0xFF}}));
  EXPECT_EQ(LastError(), DAQ_OK);
}

// Stands in for the bridge on the bus and notes, at every access that covers a byte of the
// interrupt control register or of the control register, the IRQL and whether the acquisition
// lock, which EEPROM sequences hold, is held.
class OwnedRegisterWatch : public sim::PortDevice {
 public:
  OwnedRegisterWatch(sim::PortDevice& bridge, DEVICE_EXTENSION* extension)
      : bridge_(bridge), extension_(extension) {}
  uint32_t ReadPort(uint32_t offset, unsigned width) override {
    Note(offset, width);
    return bridge_.ReadPort(offset, width);
  }
  void WritePort(uint32_t offset, unsigned width, uint32_t value) override {
    Note(offset, width);
    bridge_.WritePort(offset, width, value);
  }
  std::vector<KIRQL> interruptControlIrql;
  std::vector<bool> controlUnderLock;

 private:
  void Note(uint32_t offset, unsigned width) {
    if (offset < 0x50 && offset + width > 0x4C) interruptControlIrql.push_back(KeGetCurrentIrql());
    if (offset < 0x54 && offset + width > 0x50) {
      controlUnderLock.push_back(extension_->AcquisitionLock.Header.SignalState <= 0);
    }
  }
  sim::PortDevice& bridge_;
  DEVICE_EXTENSION* extension_;
};

TEST_F(PortIoTest, TheBridgesOwnedRegistersAreReachedUnderTheirOwnersLocks) {
  sim::card::Bridge& bridge = Machine().Card().bridge();
  OwnedRegisterWatch watch(bridge, Extension());
  sim::PortBus().Release(&bridge);
  ASSERT_TRUE(sim::PortBus().Claim(Bridge(0), 0x80, &watch));
  const struct {
    ULONG code;
    uint32_t offset;
  } requests[] = {{IOCTL_DAQ_PORT_IN_DWORD, 0x4C}, {IOCTL_DAQ_PORT_OUT_DWORD, 0x4C},
                  {IOCTL_DAQ_PORT_IN_BYTE, 0x4D},  {IOCTL_DAQ_PORT_IN_WORD, 0x4F},
                  {IOCTL_DAQ_PORT_IN_DWORD, 0x50}, {IOCTL_DAQ_PORT_OUT_BYTE, 0x53}};
  for (const auto& r : requests) {
    auto request = Request(Bridge(r.offset));
    Control(r.code, &request, 8, &request, 4);
  }
  sim::PortBus().Release(&watch);
  ASSERT_TRUE(sim::PortBus().Claim(Bridge(0), 0x80, &bridge));
  // The write reads the register first, to keep the bits the interrupt path owns.
  EXPECT_EQ(watch.interruptControlIrql,
            std::vector<KIRQL>(5, static_cast<KIRQL>(Machine().Options().interrupt.irql)));
  EXPECT_EQ(watch.controlUnderLock, std::vector<bool>(3, true));
}

TEST_F(PortIoTest, PortsOutsideTheDevicesRangesAreRefusedUntouched) {
  struct {
    ULONG code;
    uint32_t port;
  } refused[] = {
      {IOCTL_DAQ_PORT_IN_BYTE, 0x80},                 // another device's port
      {IOCTL_DAQ_PORT_OUT_BYTE, 0x64},
      {IOCTL_DAQ_PORT_IN_WORD, 0},                    // (the window's end is checked below)
      {IOCTL_DAQ_PORT_IN_BYTE, 0},
  };
  refused[2].port = Window(0x3F);                     // a word running past the window
  refused[3].port = Window(0x40);                     // the first port after it
  for (const auto& [code, port] : refused) {
    auto request = Request(port, 0xFF);
    EXPECT_EQ(Control(code, &request, 8, &request, 8), STATUS_ACCESS_DENIED) << std::hex << port;
    EXPECT_EQ(LastError(), DAQ_ERR_PORT_RANGE);
  }
  auto request = Request(Bridge(0x7C), 0);
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, &request, 8, nullptr, 0), STATUS_SUCCESS);
  request = Request(Bridge(0x7E), 0);
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_OUT_DWORD, &request, 8, nullptr, 0), STATUS_ACCESS_DENIED);
  std::vector<Access> trace = Trace();
  ASSERT_EQ(trace.size(), 1u);  // only the dword inside the bridge range
  EXPECT_EQ(trace[0].port, Bridge(0x7C));
}

TEST_F(PortIoTest, NothingIsServedWithoutAssignedRanges) {
  Extension()->ResourcesAssigned = FALSE;  // as before the first start, or after a stop
  auto request = Request(Bridge(0x4C));
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, &request, 2, &request, 4), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(LastError(), DAQ_ERR_NO_HARDWARE);
  Extension()->ResourcesAssigned = TRUE;
  Extension()->PortCount = 0;
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, &request, 2, &request, 4), STATUS_ACCESS_DENIED);
  // A memory-space range holds no ports even when its numbers would match.
  AssignCardRanges();
  Extension()->PortMapped[0] = 1;
  EXPECT_EQ(Control(IOCTL_DAQ_PORT_IN_DWORD, &request, 2, &request, 4), STATUS_ACCESS_DENIED);
  Extension()->PortMapped[0] = 0;  // it was never mapped: the release must not unmap it
  EXPECT_TRUE(Trace().empty());
}

TEST_F(PortIoTest, ShortBuffersAreRefusedUntouched) {
  const struct {
    ULONG code;
    ULONG input, output;
  } cases[] = {
      {IOCTL_DAQ_PORT_IN_BYTE, 1, 1},   {IOCTL_DAQ_PORT_IN_BYTE, 2, 0},
      {IOCTL_DAQ_PORT_IN_WORD, 2, 1},   {IOCTL_DAQ_PORT_IN_DWORD, 2, 3},
      {IOCTL_DAQ_PORT_OUT_BYTE, 4, 0},  {IOCTL_DAQ_PORT_OUT_WORD, 5, 0},
      {IOCTL_DAQ_PORT_OUT_DWORD, 7, 8}, {IOCTL_DAQ_PORT_OUT_DWORD, 0, 0},
  };
  for (const auto& [code, input, output] : cases) {
    auto request = Request(Bridge(0x00), 0x55);
    EXPECT_EQ(Control(code, &request, input, &request, output), STATUS_INVALID_PARAMETER)
        << std::hex << code << " " << input << "/" << output;
    EXPECT_EQ(LastError(), DAQ_ERR_PORT_BUFFER);
  }
  EXPECT_TRUE(Trace().empty());
}

}  // namespace
