// The tarvik executable run as a script would run it: on the emulated machine with the card's
// clock stepped by the tool (--virtual), so every run is repeatable. Word 0 of the card is a
// ramp of the clock's tick, so each frame says which ticks it came from: consecutive frames
// are two ticks apart.
#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <fmt/format.h>

#include <nlohmann/json.hpp>

#include "npy_reader.h"
#include "plot.h"
#include "tool_fixture.h"

namespace {

using namespace tool_test;

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

  auto json = nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "run.npy.json"));
  EXPECT_EQ(json["shape"], nlohmann::json({100, 16}));
  EXPECT_EQ(json["clock"], "virtual");
  EXPECT_EQ(json["sources"], nlohmann::json({"word0=Ramp:0,1"}));
  EXPECT_EQ(json["board"]["identification"], nlohmann::json({0x54, 0x56, 0x4B, 0x01, 0x09}));
  EXPECT_EQ(json["tool"]["name"], "tarvik");
  EXPECT_EQ(json["start_time_utc"].get<std::string>().size(), 24u);  // 2026-12-09T13:43:16.123Z
  std::string svg = tarvik::test::ReadFileBytes(dir_ / "run.svg");
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
}

TEST_F(ToolTest, ContinuousAcquisitionKeepsEachFrameOnceAsCsv) {
  ToolRun run = Tarvik(std::string(kRamp) +
                   "acquire --mode continuous --frames-per-block 8 --frames 40 -o run.csv");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::ifstream in(dir_ / "run.csv");
  std::string line;
  std::vector<uint64_t> words;
  size_t rows = 0;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#' || line.rfind("word0", 0) == 0) continue;
    ++rows;
    words.push_back(std::stoul(line.substr(0, line.find(','))));
    words.resize(rows * 16);
  }
  EXPECT_EQ(rows, 40u);
  ExpectConsecutive(words);
}

// The rate becomes a clock and a decimation; word 0, a ramp of the tick, shows which ticks each
// frame came from, so the files show what the card ran.
TEST_F(ToolTest, RatesRunWhatTheSummaryAndTheJsonSay) {
  struct Case {
    const char* rate;
    uint16_t firstTick, ticksPerFrame;
    const char* key;
    double value;
  };
  for (const Case& c : std::vector<Case>{
           {"--frame-rate 2000", 5, 6, "decimation", 3},
           {"--rate 9999", 3, 2, "clock_hz", 20000},
           {"--rate 1", 9999, 10000, "frames_per_block", 1},  // a block a second
       }) {
    ToolRun run = Tarvik(std::string(kRamp) + "acquire --frames 6 -o r.npy " + c.rate);
    ASSERT_EQ(run.exitCode, 0) << c.rate << "\n" << run.output;
    auto file = tarvik::test::ReadNpyFile(dir_ / "r.npy");
    ASSERT_EQ(file.shape, (std::vector<uint64_t>{6, 16})) << c.rate;
    EXPECT_EQ(file.data[0], c.firstTick) << c.rate;
    ExpectConsecutive(file.data, c.ticksPerFrame);
    auto json = nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "r.npy.json"));
    EXPECT_EQ(json[c.key].get<double>(), c.value) << c.rate << "\n" << json;
  }

  // At the top rate the ring holds 50 ms by default, and the summary says what ran.
  ToolRun top = Tarvik(std::string(kRamp) +
                       "acquire --mode continuous --frame-rate 50000 --frames 5000 -o top.raw");
  ASSERT_EQ(top.exitCode, 0) << top.output;
  EXPECT_TRUE(Contains(top.output, "ring of 2500 frames")) << top.output;
  EXPECT_TRUE(Contains(top.output, "sample clock 100000 Hz")) << top.output;

  ToolRun tooFast = Tarvik("--virtual acquire --rate 200000");
  EXPECT_EQ(tooFast.exitCode, 2);
  EXPECT_TRUE(Contains(tooFast.output, "the nearest: 50000 frames/s (--rate 100000)")) << tooFast.output;
  ToolRun between = Tarvik("--virtual acquire --frame-rate 60000");
  EXPECT_EQ(between.exitCode, 2);
  EXPECT_TRUE(Contains(between.output, "50000 frames/s (--rate 100000)")) << between.output;
}

// Ctrl-C or SIGTERM ends a run that has no bound: the card stops and the files are complete,
// with the frames that arrived, and nothing else is left in the folder.
TEST_F(ToolTest, AStopSignalLeavesCompleteFilesOfWhatArrived) {
  struct Case {
    const char* signal;
    const char* arguments;
    const char* file;
    uint16_t ticksPerFrame;
  };
  for (const Case& c : std::vector<Case>{
           {"INT", "--source word0=Ramp:0,1 acquire --frame-rate 1000 -o run.npy", "run.npy",
            10},
           {"TERM", "--virtual --source word0=Ramp:0,1 acquire --mode continuous -o run.csv",
            "run.csv", 2},
       }) {
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    // Signalled once the data has started to arrive in the file's temporary name.
    ToolRun run = Shell(fmt::format(
        "{} {} & pid=$!; while [ $(cat .{}.$pid.tmp 2>/dev/null | wc -c) -lt 2000 ]; do "
        "sleep 0.02; done; kill -{} $pid; wait $pid; echo exit=$?",
        ToolCommand(), c.arguments, c.file, c.signal));
    EXPECT_TRUE(Contains(run.output, "exit=0")) << c.signal << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, std::string("interrupted by SIG") + c.signal)) << run.output;
    EXPECT_EQ(FileNames(dir_), (std::vector<std::string>{c.file, std::string(c.file) + ".json"}));

    std::vector<uint64_t> words;
    if (std::string(c.file).ends_with(".npy")) {
      auto file = tarvik::test::ReadNpyFile(dir_ / c.file);
      ASSERT_EQ(file.error, "");
      ASSERT_GT(file.shape[0], 0u);
      words = file.data;
    } else {
      std::ifstream in(dir_ / c.file);
      std::string line;
      while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#' || line.rfind("word0", 0) == 0) continue;
        words.push_back(std::stoul(line.substr(0, line.find(','))));
        words.resize(words.size() + 15);
      }
    }
    ExpectConsecutive(words, c.ticksPerFrame);
    auto json = nlohmann::json::parse(
        tarvik::test::ReadFileBytes(dir_ / (std::string(c.file) + ".json")));
    EXPECT_EQ(json["shape"], nlohmann::json({words.size() / 16, 16}));
    EXPECT_EQ(json["interrupted"], true);
  }
}

TEST_F(ToolTest, DashWritesTheDataToStandardOutputAndTheSummaryToStandardError) {
  ToolRun run = Shell(ToolCommand() + " " + std::string(kRamp) +
                      "acquire --frames 5 -o - 2>summary.txt >data.csv; cat data.csv");
  std::string summary = tarvik::test::ReadFileBytes(dir_ / "summary.txt");
  EXPECT_TRUE(Contains(summary, "acquired 5 frames")) << summary;
  EXPECT_EQ(std::count(run.output.begin(), run.output.end(), '\n'), 1 + 5) << run.output;  // names, rows
  EXPECT_FALSE(Contains(run.output, "acquired"));
  EXPECT_EQ(FileNames(dir_), (std::vector<std::string>{"data.csv", "summary.txt"}));
}

TEST_F(ToolTest, LostDataIsReportedAndExitsThree) {
  // Blocks: a pool of two blocks, 16 frames run between reads: two blocks of four are lost
  // per read.
  ToolRun blocks = Tarvik(std::string(kRamp) +
                      "acquire --frames 32 --frames-per-block 4 --blocks 2 "
                      "--virtual-frames-per-read 16 -o lost.raw --plot lost.svg");
  EXPECT_EQ(blocks.exitCode, 3) << blocks.output;
  EXPECT_NE(blocks.output.find("data lost"), std::string::npos) << blocks.output;
  EXPECT_EQ(fs::file_size(dir_ / "lost.raw"), 32u * 16 * 8);  // counters: 64-bit words
  // The pool keeps the two oldest of each read's four blocks: after every two blocks in the
  // file, eight frames are missing, and word 0 (the tick) jumps over them.
  auto gaps = nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "lost.raw.json"))["gaps"];
  EXPECT_EQ(gaps, nlohmann::json::parse(R"([{"frame": 8, "lost_frames": 8},
      {"frame": 16, "lost_frames": 8}, {"frame": 24, "lost_frames": 8}])"));
  std::string raw = tarvik::test::ReadFileBytes(dir_ / "lost.raw");
  auto word0 = [&raw](size_t frame) { return static_cast<uint8_t>(raw[frame * 16 * 8]); };
  EXPECT_EQ(word0(7) - word0(6), 2);
  EXPECT_EQ(word0(8) - word0(7), 2 * (1 + 8));
  std::string svg = tarvik::test::ReadFileBytes(dir_ / "lost.svg");  // the plot marks the gaps
  EXPECT_TRUE(Contains(svg, "<title>8 frame(s) lost at time (s) ")) << svg;

  // Ring: eight frames, twenty run between snapshots: twelve overwritten at each of the two.
  bool png = tarvik::tool::PngPlotsSupported();  // the i686 build may have SVG plots only
  ToolRun ring = Tarvik(std::string(kRamp) +
                    "acquire --mode continuous --frames-per-block 8 --frames 16 "
                    "--virtual-frames-per-read 20 -o ring.csv --plot " +
                    (png ? "ring.png" : "ring.svg"));
  EXPECT_EQ(ring.exitCode, 3) << ring.output;
  if (png) {
    EXPECT_EQ(tarvik::test::ReadFileBytes(dir_ / "ring.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  } else {
    EXPECT_TRUE(Contains(Tarvik("--virtual acquire --frames 1 --plot x.png").output,
                         "SVG plots only"));
  }
  EXPECT_NE(ring.output.find("frames lost (overwritten in the ring before they were read): 24"),
            std::string::npos)
      << ring.output;
  EXPECT_EQ(nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "ring.csv.json"))["gaps"],
            nlohmann::json::parse(R"([{"frame": 0, "lost_frames": 12},
                {"frame": 8, "lost_frames": 12}])"));
}

// --words picks and orders the columns, counters count on past 65536 (ticks: 10000 a frame
// here), --scale is applied in CSV and recorded, the gain is recorded with the range code the
// card's register took, and the time column is in seconds.
TEST_F(ToolTest, WordsScalesGainAndTimeColumnShapeTheFiles) {
  ToolRun run = Tarvik(std::string(kRamp) +
                       "acquire --rate 1 --frames 8 --words ticks,word0 --scale word0=0.5,1,V "
                       "--gain 100 --time-column -o w.csv");
  ASSERT_EQ(run.exitCode, 0) << run.output;
  std::ifstream in(dir_ / "w.csv");
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line, "time,ticks,word0");
  std::vector<double> rows[3];
  while (std::getline(in, line)) {
    std::stringstream row(line);
    std::string cell;
    for (auto& column : rows) {
      ASSERT_TRUE(std::getline(row, cell, ',')) << line;
      column.push_back(std::stod(cell));
    }
  }
  ASSERT_EQ(rows[0].size(), 8u);
  for (size_t f = 1; f < 8; ++f) {
    EXPECT_EQ(rows[0][f], static_cast<double>(f));  // one frame a second
    EXPECT_EQ(rows[1][f] - rows[1][f - 1], 10000) << "frame " << f;
  }
  for (size_t f = 0; f < 8; ++f) {  // word0, the tick as 16 bits, scaled; the first is 9999
    EXPECT_EQ(rows[2][f], 0.5 * static_cast<uint16_t>(9999 + 10000 * f) + 1) << "frame " << f;
  }
  EXPECT_GT(rows[1].back(), 65536);
  auto json = nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "w.csv.json"));
  EXPECT_EQ(json["words"], nlohmann::json({"ticks", "word0"}));
  EXPECT_EQ(json["channels"][1]["unit"], "V");
  EXPECT_EQ(json["gain"], 100);
  EXPECT_EQ(json["range_code"], 2);
  EXPECT_EQ(json["time_column"], true);
}

TEST_F(ToolTest, BadCommandLinesExitTwo) {
  for (const char* arguments :
       {"", "frobnicate", "acquire --mode sideways", "acquire --frames 10 --duration 1",
        "acquire --format xls", "acquire --plot run.pdf", "--source word7=Ramp:0,1 info",
        "--id-byte4 300 info",
        "ports in 0xE400 3", "ports in nonsense 1", "eeprom read 64", "eeprom write 63 1 2",
        "acquire --duration 0", "acquire --duration nan", "acquire --duration inf",
        "acquire --frame-rate 0", "acquire --rate 1 --frame-rate 1",
        "--virtual acquire -o - --format npy", "--virtual acquire -o - --format hdf5",
        "acquire --words word0,nope", "acquire --scale word0=x", "acquire --time-column -o a.npy",
        // values a word cannot hold, scales past the largest number or of unselected words
        "--source result-b=Constant:-1 info", "--source word9=Constant:300 info",
        "acquire --scale word0=1e308", "acquire --words word0 --scale word1=2",
        "acquire --scale word0=1,0,V,extra", "acquire --frames 1e6"}) {
    ToolRun run = Tarvik(arguments);
    EXPECT_EQ(run.exitCode, 2) << arguments << "\n" << run.output;
    if (std::string(arguments) != "frobnicate") {
      EXPECT_FALSE(Contains(run.output, "did you mean")) << arguments << "\n" << run.output;
    }
  }
  EXPECT_TRUE(Contains(Tarvik("acquire --frames 1e6").output, "not a whole number of frames"));
  EXPECT_TRUE(Contains(Tarvik("--source word0=Constant:1.7 info").output, "not an integer"));
  EXPECT_TRUE(Contains(Tarvik("acquire --help").output, "--virtual"));  // the machine's options
  EXPECT_FALSE(fs::exists(dir_ / "-"));
  EXPECT_EQ(Tarvik("--help").exitCode, 0);
  ToolRun version = Tarvik("--version");
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.output.rfind("tarvik ", 0), 0u) << version.output;

  ToolRun typo = Tarvik("aquire --frame-rat 10");
  EXPECT_EQ(typo.exitCode, 2);
  EXPECT_TRUE(Contains(typo.output, "unknown command 'aquire'; did you mean 'acquire'?")) << typo.output;
  EXPECT_TRUE(Contains(typo.output, "unknown option '--frame-rat'; did you mean '--frame-rate'?"))
      << typo.output;
  EXPECT_NE(Tarvik("--help").output.find("Exit codes"), std::string::npos);
}

TEST_F(ToolTest, DeviceFailuresExitOneWithTheDriversReason) {
  // A board whose identification byte 4 is not 9 delivers nothing; its interrupts are
  // acknowledged all the same, so the line stays quiet and no platform rule breaks.
  ToolRun silent = Tarvik("--virtual --id-byte4 8 acquire --frames 10 -o none.csv");
  EXPECT_EQ(silent.exitCode, 1) << silent.output;
  EXPECT_NE(silent.output.find("no data arrived"), std::string::npos) << silent.output;
  EXPECT_EQ(silent.output.find("platform rule"), std::string::npos) << silent.output;
  EXPECT_TRUE(FileNames(dir_).empty());  // no file that says it holds an acquisition

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
  // Words past the bridge's configuration words (a new card holds its PCI identity there).
  ToolRun write = Tarvik("--virtual --eeprom-image card.img eeprom write 0x15 0x1234 0xBEEF");
  ASSERT_EQ(write.exitCode, 0) << write.output;
  EXPECT_EQ(fs::file_size(dir_ / "card.img"), 128u);
  ToolRun read = Tarvik("--virtual --eeprom-image card.img eeprom read 0x14 3");
  ASSERT_EQ(read.exitCode, 0) << read.output;
  // Addresses printed in decimal whatever base they were typed in.
  EXPECT_EQ(read.output, "20: FFFF 1234 BEEF\n");
  ToolRun dump = Tarvik("--virtual --eeprom-image card.img eeprom dump");
  ASSERT_EQ(dump.exitCode, 0) << dump.output;
  EXPECT_EQ(std::count(dump.output.begin(), dump.output.end(), '\n'), 8);
  EXPECT_NE(dump.output.find("16: FFFF FFFF FFFF FFFF FFFF 1234 BEEF FFFF"), std::string::npos)
      << dump.output;

  // The serial number's words (58 low, 59 high), read back as JSON.
  ASSERT_EQ(Tarvik("--virtual --eeprom-image card.img eeprom write 58 0x5678 0x1234").exitCode, 0);
  EXPECT_EQ(nlohmann::json::parse(Tarvik("--virtual --eeprom-image card.img serial --json").output),
            nlohmann::json({{"serial_number", 0x12345678}}));
}

TEST_F(ToolTest, EepromWritesSayWhereTheWordsLiveAndNeverLoseThem) {
  ToolRun memoryOnly = Tarvik("--virtual eeprom write 5 1");
  EXPECT_EQ(memoryOnly.exitCode, 0) << memoryOnly.output;
  EXPECT_NE(memoryOnly.output.find("last only for this run"), std::string::npos) << memoryOnly.output;

  // The image's folder does not exist: the card takes the word, the file cannot be saved.
  ToolRun unsaved = Tarvik("--virtual --eeprom-image nowhere/card.img eeprom write 5 1");
  EXPECT_EQ(unsaved.exitCode, 1) << unsaved.output;
  EXPECT_NE(unsaved.output.find("saving the EEPROM image nowhere/card.img failed"), std::string::npos)
      << unsaved.output;

  // Through a symbolic link the image is saved to the link's target; the link stays.
  fs::create_directories(dir_ / "images");
  fs::create_symlink("images/real.img", dir_ / "link.img");
  ASSERT_EQ(Tarvik("--virtual --eeprom-image link.img eeprom write 1 0x4242").exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.img"));
  EXPECT_EQ(fs::file_size(dir_ / "images/real.img"), 128u);

  // Writers of one image take turns: every one's word is kept.
  std::string writers;
  for (int word = 10; word < 18; ++word) {
    writers += fmt::format("{} --virtual --eeprom-image link.img eeprom write {} {} & ",
                           ToolCommand(), word, word);
  }
  ToolRun parallel =
      Shell(writers + "wait; " + ToolCommand() + " --virtual --eeprom-image link.img eeprom read 8 10");
  EXPECT_EQ(parallel.output.substr(parallel.output.rfind(" 8:")),
            " 8: FFFF FFFF 000A 000B 000C 000D 000E 000F\n16: 0010 0011\n")
      << parallel.output;
}

TEST_F(ToolTest, InfoAndPortsShowTheBoard) {
  ToolRun info = Tarvik("--virtual info");
  ASSERT_EQ(info.exitCode, 0) << info.output;
  EXPECT_NE(info.output.find("identification  54 56 4B 01 09"), std::string::npos) << info.output;
  EXPECT_NE(info.output.find("board port      0xE400"), std::string::npos);
  EXPECT_NE(info.output.find("PnP state"), std::string::npos);

  ToolRun json = Tarvik("--virtual info --json");
  ASSERT_EQ(json.exitCode, 0) << json.output;
  auto parsed = nlohmann::json::parse(json.output);
  EXPECT_EQ(parsed["identification"], nlohmann::json({0x54, 0x56, 0x4B, 0x01, 0x09}));
  EXPECT_TRUE(parsed["serial_number"].is_null());  // a blank EEPROM
  EXPECT_EQ(parsed["board_port"], 0xE400);
  EXPECT_EQ(parsed["port_ranges"].size(), 2u);
  ToolRun words = Tarvik("--virtual eeprom read 62 2 --json");
  EXPECT_EQ(nlohmann::json::parse(words.output),
            nlohmann::json::parse(R"({"first_word": 62, "words": [65535, 65535]})"));

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
