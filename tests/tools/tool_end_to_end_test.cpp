// The tarvik executable run as a script would run it: on the emulated machine with the card's
// clock stepped by the tool (--virtual), so every run is repeatable. Word 0 of the card is a
// ramp of the clock's tick, so each frame says which ticks it came from: consecutive frames
// are two ticks apart.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "npy_reader.h"

namespace {

namespace fs = std::filesystem;

struct ToolRun {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

class ToolTest : public testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::path(testing::TempDir()) /
           ("tool_e2e_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  ToolRun Tarvik(const std::string& arguments) {
    std::string runner = TARVIK_TOOL_RUNNER;
    if (!runner.empty()) runner = "'" + runner + "' ";
    std::string command =
        "cd '" + dir_.string() + "' && " + runner + "'" TARVIK_TOOL_PATH "' " + arguments + " 2>&1";
    ToolRun run;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) return run;
    char buffer[4096];
    size_t n = 0;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) run.output.append(buffer, n);
    int status = pclose(pipe);
    run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
  }

  static constexpr const char* kRamp = "--virtual --source word0=Ramp:0,1 ";

  fs::path dir_;
};

// Every frame two ticks after the one before; returns the number of frames checked.
void ExpectConsecutive(const std::vector<uint16_t>& words) {
  for (size_t f = 1; f * 16 < words.size(); ++f) {
    ASSERT_EQ(static_cast<uint16_t>(words[f * 16] - words[(f - 1) * 16]), 2) << "frame " << f;
  }
}

TEST_F(ToolTest, BlockAcquisitionWritesTheRequestedFramesAsNpyWithSidecarAndPlot) {
  ToolRun run = Tarvik(std::string(kRamp) +
                   "acquire --frames 100 --frames-per-block 16 --format npy -o run.npy --plot run.svg");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("acquired 100 frames"), std::string::npos) << run.output;
  EXPECT_NE(run.output.find("0 lost"), std::string::npos) << run.output;

  auto file = tarvik::test::ReadNpyFile(dir_ / "run.npy");
  ASSERT_EQ(file.error, "");
  EXPECT_EQ(file.shape, (std::vector<uint64_t>{100, 16}));
  EXPECT_EQ(file.data[0], 3);  // the start skips two ticks: the first frame ends at tick 3
  ExpectConsecutive(file.data);

  std::string json = tarvik::test::ReadFileBytes(dir_ / "run.npy.json");
  EXPECT_NE(json.find("\"shape\": [100, 16]"), std::string::npos) << json;
  EXPECT_NE(json.find("\"clock\": \"virtual\""), std::string::npos);
  std::string svg = tarvik::test::ReadFileBytes(dir_ / "run.svg");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
}

TEST_F(ToolTest, ContinuousAcquisitionKeepsEachFrameOnceAsCsv) {
  ToolRun run = Tarvik(std::string(kRamp) +
                   "acquire --mode continuous --frames-per-block 8 --frames 40 -o run.csv");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::ifstream in(dir_ / "run.csv");
  std::string line;
  std::vector<uint16_t> words;
  size_t rows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("word0", 0) == 0) continue;
    ++rows;
    words.push_back(static_cast<uint16_t>(std::stoul(line.substr(0, line.find(',')))));
    words.resize(rows * 16);
  }
  EXPECT_EQ(rows, 40u);
  ExpectConsecutive(words);
}

TEST_F(ToolTest, LostDataIsReportedAndExitsThree) {
  // Blocks: a pool of two blocks, 16 frames run between reads: two blocks of four are lost
  // per read.
  ToolRun blocks = Tarvik(std::string(kRamp) +
                      "acquire --frames 32 --frames-per-block 4 --blocks 2 "
                      "--virtual-frames-per-read 16 -o lost.raw");
  EXPECT_EQ(blocks.exitCode, 3) << blocks.output;
  EXPECT_NE(blocks.output.find("data lost"), std::string::npos) << blocks.output;
  EXPECT_EQ(fs::file_size(dir_ / "lost.raw"), 32u * 32);

  // Ring: eight frames, twenty run between snapshots: twelve overwritten at each of the two.
  ToolRun ring = Tarvik(std::string(kRamp) +
                    "acquire --mode continuous --frames-per-block 8 --frames 16 "
                    "--virtual-frames-per-read 20 -o ring.csv");
  EXPECT_EQ(ring.exitCode, 3) << ring.output;
  EXPECT_NE(ring.output.find("frames lost (overwritten in the ring before they were read): 24"),
            std::string::npos)
      << ring.output;
}

TEST_F(ToolTest, BadCommandLinesExitTwo) {
  for (const char* arguments :
       {"", "frobnicate", "acquire --mode sideways", "acquire --frames 10 --duration 1",
        "acquire --format xls", "--source word7=Ramp:0,1 info", "--id-byte4 300 info",
        "ports in 0xE400 3", "ports in nonsense 1", "eeprom read 64", "eeprom write 63 1 2"}) {
    ToolRun run = Tarvik(arguments);
    EXPECT_EQ(run.exitCode, 2) << arguments << "\n" << run.output;
  }
  EXPECT_EQ(Tarvik("--help").exitCode, 0);
  EXPECT_NE(Tarvik("--help").output.find("Exit codes"), std::string::npos);
}

TEST_F(ToolTest, DeviceFailuresExitOneWithTheDriversReason) {
  // A board whose identification byte 4 is not 9 delivers nothing; its interrupts are
  // acknowledged all the same, so the line stays quiet and no platform rule breaks.
  ToolRun silent = Tarvik("--virtual --id-byte4 8 acquire --frames 10 -o none.csv");
  EXPECT_EQ(silent.exitCode, 1) << silent.output;
  EXPECT_NE(silent.output.find("no data arrived"), std::string::npos) << silent.output;
  EXPECT_EQ(silent.output.find("platform rule"), std::string::npos) << silent.output;

  // A blank EEPROM holds no serial number.
  ToolRun serial = Tarvik("--virtual serial");
  EXPECT_EQ(serial.exitCode, 1) << serial.output;
  EXPECT_NE(serial.output.find("DAQ_ERR_NO_SERIAL"), std::string::npos) << serial.output;

  // A port outside the device's ranges is refused by the driver.
  ToolRun port = Tarvik("--virtual ports in 0x80 1");
  EXPECT_EQ(port.exitCode, 1) << port.output;
  EXPECT_NE(port.output.find("DAQ_ERR_PORT_RANGE"), std::string::npos) << port.output;

  // An image file of the wrong size is never used.
  { std::ofstream(dir_ / "bad.img") << "short"; }
  EXPECT_EQ(Tarvik("--virtual --eeprom-image bad.img eeprom dump").exitCode, 1);
}

TEST_F(ToolTest, EepromWritesPersistInTheImageFileAcrossRuns) {
  ToolRun write = Tarvik("--virtual --eeprom-image card.img eeprom write 5 0x1234 0xBEEF");
  ASSERT_EQ(write.exitCode, 0) << write.output;
  EXPECT_EQ(fs::file_size(dir_ / "card.img"), 128u);
  ToolRun read = Tarvik("--virtual --eeprom-image card.img eeprom read 4 3");
  ASSERT_EQ(read.exitCode, 0) << read.output;
  EXPECT_EQ(read.output, "04: FFFF 1234 BEEF\n");
  ToolRun dump = Tarvik("--virtual --eeprom-image card.img eeprom dump");
  ASSERT_EQ(dump.exitCode, 0) << dump.output;
  EXPECT_EQ(std::count(dump.output.begin(), dump.output.end(), '\n'), 8);
  EXPECT_NE(dump.output.find("00: FFFF FFFF FFFF FFFF FFFF 1234 BEEF FFFF"), std::string::npos)
      << dump.output;
}

TEST_F(ToolTest, InfoAndPortsShowTheBoard) {
  ToolRun info = Tarvik("--virtual info");
  ASSERT_EQ(info.exitCode, 0) << info.output;
  EXPECT_NE(info.output.find("identification  54 56 4B 01 09"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("board port      0xE400"), std::string::npos);
  EXPECT_NE(info.output.find("PnP state"), std::string::npos);

  ToolRun ident = Tarvik("--virtual ports in 0xE400 1");  // +0 reads the selected ROM byte (0)
  ASSERT_EQ(ident.exitCode, 0) << ident.output;
  EXPECT_EQ(ident.output, "0x54\n");
  ToolRun select = Tarvik("--virtual ports out 0xE401 1 4");
  EXPECT_EQ(select.exitCode, 0) << select.output;
}

// A broken platform rule during the run (here a storm: another device on the shared line holds
// it through more rounds than anyone claims) is printed and exits with 4, unless the session
// took the violations itself.
TEST_F(ToolTest, ABrokenPlatformRuleIsPrintedAndExitsWithFour) {
  for (bool taken : {false, true}) {
    std::ofstream(dir_ / "commands") << "boot\nstart\nforeign_irq 5000\n"
                                     << (taken ? "verifier\n" : "") << "quit\n";
    ToolRun run = Tarvik("console < commands");
    if (taken) {
      EXPECT_EQ(run.exitCode, 0) << run.output;
      continue;
    }
    EXPECT_EQ(run.exitCode, 4) << run.output;
    EXPECT_NE(run.output.find("verifier: InterruptStorm: vector 59"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("tarvik: the driver broke 1 platform rule: InterruptStorm"),
              std::string::npos)
        << run.output;
  }
}

}  // namespace
