// The client library's acquisition, diagnostics and port calls against the emulated machine,
// and the errors it reports in words.
#include <gtest/gtest.h>

#include <windows.h>

#include "lib_fixture.h"
#include "stream_overtake.h"

namespace {

using lib_test::Failure;
using lib_test::LibTest;
using tarvik::Device;
using tarvik::Error;

TEST(LibDeviceAbsent, OpeningAMissingDeviceSaysItIsNotThere) {
  sim::Machine machine;
  ASSERT_EQ(machine.LoadDriver(sim::TarvikDriverImage()), 0);  // no card added
  Error error = Failure([] { Device device; });
  EXPECT_EQ(error.Win32Error(), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
  EXPECT_EQ(error.Status(), 0);  // two statuses give this error
  EXPECT_EQ(error.LastError(), DAQ_OK);
  EXPECT_NE(std::string(error.what()).find("the device is not there"), std::string::npos)
      << error.what();
}

TEST_F(LibTest, AcquisitionRequestsInTheWrongStateNameTheDriversReason) {
  Error stop = Failure([&] { device_->Stop(); });
  EXPECT_STREQ(stop.what(),
               "stop acquisition failed: the board has not been opened "
               "(DAQ_ERR_NOT_OPEN, Win32 error 31)");
  EXPECT_EQ(stop.LastError(), DAQ_ERR_NOT_OPEN);
  EXPECT_EQ(stop.LastErrorName(), "DAQ_ERR_NOT_OPEN");
  EXPECT_EQ(stop.Status(), static_cast<int32_t>(0xC0000001));
  EXPECT_EQ(stop.Operation(), "stop acquisition");
  // A block read fails for a reason other than "no block": that is an error, not nullopt.
  EXPECT_EQ(Failure([&] { device_->ReadOldestBlock(4); }).LastError(), DAQ_ERR_NOT_OPEN);

  device_->OpenBoard();
  Error notRunning = Failure([&] { device_->BlockCount(); });
  EXPECT_EQ(notRunning.LastError(), DAQ_ERR_NOT_RUNNING);
  EXPECT_NE(std::string(notRunning.what()).find("no acquisition is running"), std::string::npos);

  tarvik::StartOptions bad;
  bad.blockCount = 0;
  tarvik::Event event;
  EXPECT_EQ(Failure([&] { device_->StartBlocks(bad, event); }).LastError(),
            DAQ_ERR_BLOCK_GEOMETRY);

  tarvik::StartOptions ring;
  ring.framesPerBlock = 4;
  device_->StartContinuous(ring);
  EXPECT_EQ(Failure([&] { device_->StartContinuous(ring); }).LastError(), DAQ_ERR_RUNNING);
  EXPECT_EQ(Failure([&] { device_->BlockCount(); }).LastError(), DAQ_ERR_NOT_BLOCK_MODE);
  EXPECT_EQ(Failure([&] { device_->ReadNewestBlock(4); }).LastError(), DAQ_ERR_NOT_BLOCK_MODE);
  device_->Stop();
  EXPECT_EQ(device_->LastError(), DAQ_OK);
}

TEST_F(LibTest, BlockModeHandsOverEveryBlockWithItsSequenceAndFrames) {
  tarvik::Event event;
  tarvik::StartOptions options;
  options.framesPerBlock = 4;
  options.blockCount = 4;
  device_->OpenBoard();
  uint64_t t0 = machine_->Card().window().GetStatus().ticks;
  device_->StartBlocks(options, event);
  EXPECT_FALSE(event.Wait(std::chrono::milliseconds(0)));
  StepFrames(12);
  ASSERT_TRUE(event.Wait(std::chrono::seconds(5)));
  EXPECT_EQ(device_->BlockCount(), 3);

  for (uint16_t sequence = 0; sequence < 3; ++sequence) {
    auto block = device_->ReadOldestBlock(4);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->sequence, sequence);
    ASSERT_EQ(block->frames.size(), 4u);
    for (size_t f = 0; f < 4; ++f) {
      // Word 0 is the tick of the frame's second half: t0 + 3, then two ticks a frame.
      EXPECT_EQ(block->frames[f][0], t0 + 3 + 8 * sequence + 2 * f) << "block " << sequence;
    }
  }
  EXPECT_FALSE(device_->ReadOldestBlock(4));  // none waiting: not an error
  EXPECT_EQ(device_->LastError(), DAQ_ERR_NO_BLOCK);

  // A frame count that does not match the acquisition's gives a buffer of the wrong size.
  StepFrames(4, false);
  Error size = Failure([&] { device_->ReadOldestBlock(3); });
  EXPECT_EQ(size.LastError(), DAQ_ERR_BUFFER_SIZE);
  EXPECT_THROW(device_->ReadOldestBlock(0), std::invalid_argument);

  // The newest read takes the last block and drops the rest.
  StepFrames(8, false);
  auto newest = device_->ReadNewestBlock(4);
  ASSERT_TRUE(newest);
  EXPECT_EQ(newest->sequence, 5);
  EXPECT_EQ(device_->BlockCount(), 0);
  EXPECT_FALSE(device_->ReadNewestBlock(4));
}

TEST_F(LibTest, ContinuousModeSnapshotsTheNewestFramesOfTheRing) {
  tarvik::StartOptions options;
  options.framesPerBlock = 4;
  device_->OpenBoard();
  device_->StartContinuous(options);
  StepFrames(6);  // the ring of four wraps once
  tarvik::StreamSnapshot whole = device_->ReadStream(4);
  EXPECT_EQ(whole.wraps, 1);
  EXPECT_EQ(whole.newestFrameIndex, 1u);  // frame 5 sits at ring index 1
  ASSERT_EQ(whole.frames.size(), 4u);
  for (size_t f = 1; f < 4; ++f) EXPECT_EQ(whole.frames[f][0], whole.frames[f - 1][0] + 2);

  // More frames than the ring holds are limited to the ring.
  EXPECT_EQ(device_->ReadStream(100).frames, whole.frames);
  tarvik::StreamSnapshot one = device_->ReadStream(1);
  ASSERT_EQ(one.frames.size(), 1u);
  EXPECT_EQ(one.frames[0], whole.frames[3]);
  EXPECT_TRUE(device_->ReadStream(0).frames.empty());

  device_->Stop();
  EXPECT_EQ(Failure([&] { device_->ReadStream(1); }).LastError(), DAQ_ERR_NOT_RUNNING);
}

// A stream read the card overtakes at every one of the driver's copy attempts fails with
// DAQ_ERR_STREAM_OVERRUN and loses nothing: the library sends it again, and gives up only when
// each of its attempts is overtaken.
TEST_F(LibTest, StreamReadsOvertakenByTheCardAreSentAgain) {
  constexpr int kDriverCopyAttempts = 8;
  tarvik::StartOptions options;
  options.framesPerBlock = 4;
  device_->OpenBoard();
  device_->StartContinuous(options);
  StepFrames(6);
  auto overtake = [this](int attempts) {
    test_support::OvertakeStreamCopies(attempts, [this] { StepFrames(2, false); });
  };

  overtake(kDriverCopyAttempts);  // the first request fails, the second is left alone
  tarvik::StreamSnapshot snapshot = device_->ReadStream(4);
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  ASSERT_EQ(snapshot.frames.size(), 4u);
  for (size_t f = 1; f < 4; ++f) EXPECT_EQ(snapshot.frames[f][0], snapshot.frames[f - 1][0] + 2);

  overtake(kDriverCopyAttempts * Device::kStreamReadAttempts);
  Error overrun = Failure([&] { device_->ReadStream(4); });
  sim::schedule::WaitForInjections();
  EXPECT_TRUE(sim::schedule::AllInjectionsFired());
  EXPECT_EQ(overrun.LastError(), DAQ_ERR_STREAM_OVERRUN);
}

TEST_F(LibTest, SerialNumberAndEepromWordsRoundTrip) {
  Error blank = Failure([&] { device_->SerialNumber(); });
  EXPECT_EQ(blank.LastError(), DAQ_ERR_NO_SERIAL);
  EXPECT_NE(std::string(blank.what()).find("holds no serial number"), std::string::npos);

  device_->WriteEeprom(58, {0x5678, 0x1234});  // the serial number's two words
  EXPECT_EQ(device_->SerialNumber(), 0x12345678u);
  device_->WriteEeprom(10, {1, 2, 0xBEEF});
  EXPECT_EQ(device_->ReadEeprom(10, 3), (std::vector<uint16_t>{1, 2, 0xBEEF}));
  auto image = machine_->Card().bridge().EepromImageWords();
  EXPECT_EQ(image[12], 0xBEEF);
  EXPECT_EQ(device_->ReadEeprom(63, 1), std::vector<uint16_t>{0xFFFF});
  EXPECT_TRUE(device_->ReadEeprom(0, 0).empty());
  EXPECT_THROW(device_->ReadEeprom(63, 2), std::out_of_range);
  EXPECT_THROW(device_->WriteEeprom(64, {1}), std::out_of_range);
}

TEST_F(LibTest, RawPortsReadAndWriteInsideTheDevicesRangesOnly) {
  EXPECT_EQ(device_->PortIn(lib_test::kWindowBase + 15, 1), 0xA5u);  // the auxiliary byte
  device_->PortOut(lib_test::kWindowBase + 1, 1, 3);  // selects identification byte 3
  EXPECT_EQ(device_->PortIn(lib_test::kWindowBase, 1), 0x01u);
  uint32_t control = device_->PortIn(lib_test::kBridgeBase + 0x50, 4);
  EXPECT_EQ(device_->ReadBridgeRegister(0x50), control);

  Error outside = Failure([&] { device_->PortIn(0x80, 2); });
  EXPECT_EQ(outside.LastError(), DAQ_ERR_PORT_RANGE);
  EXPECT_NE(std::string(outside.what()).find("outside the I/O ranges"), std::string::npos);
  EXPECT_EQ(Failure([&] { device_->PortOut(lib_test::kWindowBase + 63, 2, 0); }).LastError(),
            DAQ_ERR_PORT_RANGE);  // the word runs past the window's end
  EXPECT_THROW(device_->PortIn(lib_test::kWindowBase, 3), std::invalid_argument);
}

TEST_F(LibTest, AMovedDeviceKeepsItsHandleAndClosesItOnce) {
  Device moved = std::move(*device_);
  EXPECT_EQ(device_->Handle(), nullptr);
  EXPECT_EQ(moved.PortIn(lib_test::kWindowBase + 15, 1), 0xA5u);
  *device_ = std::move(moved);
  EXPECT_EQ(device_->PortIn(lib_test::kWindowBase + 15, 1), 0xA5u);
}

TEST(LibError, EveryCodeAndCommonWin32ErrorHasWordsAndStatusesMapBackOnlyWhenUnambiguous) {
  for (uint32_t code : {12u, 18u, 101u, 102u, 103u, 105u, 107u, 108u, 109u, 110u, 111u, 112u,
                        113u, 114u, 116u, 117u, 118u, 119u, 120u, 121u, 122u, 1000u}) {
    ASSERT_NE(DaqLastErrorName(code), nullptr);
    EXPECT_EQ(Error::LastErrorSentence(code).find("error code"), std::string::npos) << code;
  }
  EXPECT_EQ(Error::LastErrorSentence(4242), "the driver reported error code 4242");
  EXPECT_EQ(Error::Describe("read", 31, 4242),
            "read failed: the driver reported error code 4242 (code 4242, Win32 error 31)");
  EXPECT_EQ(Error("read", 31, 4242u).LastErrorName(), "code 4242");
  EXPECT_EQ(Error::Describe("open", ERROR_DEV_NOT_EXIST, DAQ_OK),
            "open failed: the device has been removed (Win32 error 55)");
  EXPECT_EQ(Error::StatusFromWin32(ERROR_OPERATION_ABORTED), static_cast<int32_t>(0xC0000120));
  EXPECT_EQ(Error::StatusFromWin32(ERROR_INVALID_PARAMETER), static_cast<int32_t>(0xC000000D));
  EXPECT_EQ(Error::StatusFromWin32(ERROR_INVALID_FUNCTION), 0);
  EXPECT_EQ(Error::StatusFromWin32(ERROR_ACCESS_DENIED), 0);
}

}  // namespace
