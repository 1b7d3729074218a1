// The acquisition files: what a reader of each format finds in them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "data_files.h"
#include "description.h"
#include "npy_reader.h"

namespace tarvik::tool {
namespace {

using test::ReadFileBytes;
using test::ReadNpy;

std::vector<FrameWords> Frames(size_t count) {
  std::vector<FrameWords> frames(count);
  for (size_t f = 0; f < count; ++f) {
    for (unsigned c = 0; c < kChannels; ++c) frames[f][c] = static_cast<uint16_t>(f * 0x101 + c * 0x1000);
  }
  return frames;
}

class DataFilesTest : public testing::Test {
 protected:
  std::filesystem::path Path(const std::string& name) {
    auto dir = std::filesystem::path(testing::TempDir()) /
               ("tool_files_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()));
    std::filesystem::create_directories(dir);
    return dir / name;
  }
  AcquisitionHeader Header() {
    AcquisitionHeader header;
    header.mode = "block";
    header.requestedRate = 20000;
    header.framesPerBlock = 4;
    header.blockCount = 8;
    return header;
  }
  // Written in two appends, as blocks arrive.
  std::filesystem::path Write(DataFormat format, const std::string& name, size_t frames) {
    auto path = Path(name);
    auto writer = OpenFrameWriter(format, path, Header());
    auto data = Frames(frames);
    std::span<const FrameWords> all(data);
    writer->Append(all.first(frames / 2));
    writer->Append(all.subspan(frames / 2));
    writer->Finish();
    EXPECT_EQ(writer->Frames(), frames);
    return path;
  }
};

TEST_F(DataFilesTest, CsvIsAPlainTableOfNamedColumnsAndOneRowPerFrame) {
  auto path = Write(DataFormat::Csv, "a.csv", 5);
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  EXPECT_EQ(line.rfind("word0,word1,", 0), 0u) << line;
  EXPECT_EQ(std::count(line.begin(), line.end(), ','), 15);
  auto frames = Frames(5);
  for (size_t f = 0; f < 5; ++f) {
    ASSERT_TRUE(std::getline(in, line));
    std::stringstream row(line);
    std::string cell;
    for (unsigned c = 0; c < kChannels; ++c) {
      ASSERT_TRUE(std::getline(row, cell, ',')) << "row " << f;
      EXPECT_EQ(std::stoul(cell), frames[f][c]) << "row " << f << " column " << c;
    }
    EXPECT_FALSE(std::getline(row, cell, ','));
  }
  EXPECT_FALSE(std::getline(in, line));
}

// All 16 words hold counters: 64-bit words.
TEST_F(DataFilesTest, RawIsLittleEndianWordsSixteenPerFrame) {
  auto bytes = ReadFileBytes(Write(DataFormat::Raw, "a.raw", 3));
  ASSERT_EQ(bytes.size(), 3u * kChannels * 8);
  auto frames = Frames(3);
  EXPECT_EQ(static_cast<uint8_t>(bytes[8 * 17]), frames[1][1] & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(bytes[8 * 17 + 1]), frames[1][1] >> 8);
  EXPECT_EQ(bytes[8 * 17 + 2], 0);
}

TEST_F(DataFilesTest, NpyHeaderParsesBackWithTheFinalShapeAndTheDataFollows) {
  auto file = ReadNpy(ReadFileBytes(Write(DataFormat::Npy, "a.npy", 7)));
  ASSERT_EQ(file.error, "");
  EXPECT_EQ(file.major, 1);
  EXPECT_EQ(file.minor, 0);
  EXPECT_EQ(file.descr, "<u8");
  EXPECT_FALSE(file.fortranOrder);
  EXPECT_EQ(file.shape, (std::vector<uint64_t>{7, kChannels}));
  EXPECT_EQ(file.dataOffset, kNpyHeaderBytes);
  auto frames = Frames(7);
  ASSERT_EQ(file.data.size(), 7u * kChannels);
  EXPECT_EQ(file.data[6 * kChannels + 15], frames[6][15]);

  // An empty acquisition is still a loadable array, and a large count still fits the header.
  EXPECT_EQ(ReadNpy(ReadFileBytes(Write(DataFormat::Npy, "empty.npy", 0))).shape,
            (std::vector<uint64_t>{0, kChannels}));
  EXPECT_EQ(NpyHeader(uint64_t{1} << 40).size(), kNpyHeaderBytes);
}

TEST_F(DataFilesTest, SidecarNamesTheShapeRateModeAndEveryChannel) {
  AcquisitionResult result;
  result.frames = 12;
  result.lostBlocks = 2;
  result.lostFrames = 8;
  result.achievedRate = 9999.5;
  result.gaps = {{4, 8}};
  result.identification = {0x54, 0x56, 0x4B, 0x01, 0x09};
  AcquisitionHeader header = Header();
  header.words.words = {5, 10};
  header.words.scales[5] = {0.5, -1, "V"};
  // Quotes, a backslash, a control character, UTF-8 and a byte that is no UTF-8: still JSON.
  for (const char* name : {"run \"1\".npy", "a\\b\x01\xC3\xA9.npy", "bad\xFF.npy"}) {
    auto json = nlohmann::json::parse(
        SidecarJson(DataFormat::Npy, std::filesystem::path("/tmp/x") / name, header, result));
    if (std::string(name).find('\xFF') == std::string::npos) {
      EXPECT_EQ(json["data_file"], name);
    }
    EXPECT_EQ(json["shape"], nlohmann::json({12, 2}));
    EXPECT_EQ(json["sample_type"], "uint64 little-endian");  // a counter is selected
    EXPECT_EQ(json["mode"], "block");
    EXPECT_EQ(json["requested_rate"], 20000);
    EXPECT_EQ(json["lost_blocks"], 2);
    EXPECT_EQ(json["gaps"], nlohmann::json::parse(R"([{"frame": 4, "lost_frames": 8}])"));
    EXPECT_EQ(json["board"]["identification"], nlohmann::json({0x54, 0x56, 0x4B, 0x01, 0x09}));
    EXPECT_TRUE(json["board"]["serial_number"].is_null());
    EXPECT_EQ(json["words"], nlohmann::json({"result_b", "ticks"}));
    EXPECT_EQ(json["channels"][0]["scale"], nlohmann::json::parse(R"({"factor": 0.5, "offset": -1.0})"));
    EXPECT_EQ(json["channels"][0]["unit"], "V");
    EXPECT_EQ(json["channels"][1]["unwrapped"], true);
  }
}

// The words selected, in their order; counters unwrapped across appends; scales applied and
// the time column counting the frames a gap lost.
TEST_F(DataFilesTest, CsvHoldsTheSelectedWordsScaledWithCountersUnwrappedAndTime) {
  AcquisitionHeader header = Header();
  header.frameRate = 4;
  header.words.words = {10, 0};  // ticks, word0
  header.words.scales[0] = {2, 1, "mV"};
  header.words.timeColumn = true;
  auto path = Path("w.csv");
  auto writer = OpenFrameWriter(DataFormat::Csv, path, header);
  std::vector<FrameWords> frames(3, FrameWords{});
  for (size_t f = 0; f < 3; ++f) {
    frames[f][0] = static_cast<uint16_t>(f);
    frames[f][10] = static_cast<uint16_t>(0xFFFE + 2 * f);  // wraps after the first
  }
  writer->Append(std::span(frames).first(2));
  writer->NoteGap(2);
  writer->Append(std::span(frames).subspan(2));
  writer->Finish();
  EXPECT_EQ(writer->Gaps().size(), 1u);
  EXPECT_EQ(writer->Gaps()[0].frame, 2u);
  EXPECT_EQ(ReadFileBytes(path), "time,ticks,word0\n0,65534,1\n0.25,65536,3\n1,65538,5\n");

  // Binary formats: 16-bit words unless a counter is selected.
  header.words.timeColumn = false;
  header.words.words = {9, 0};
  auto narrow = Path("w.npy");
  OpenFrameWriter(DataFormat::Npy, narrow, header)->Finish();
  EXPECT_EQ(ReadNpy(ReadFileBytes(narrow)).shape, (std::vector<uint64_t>{0, 2}));
  EXPECT_NE(NpyHeader(3, 2, true).find("'<u8'"), std::string::npos);
}

TEST_F(DataFilesTest, WordListsAndScalesAreParsedStrictly) {
  EXPECT_EQ(ParseWordList("overruns,word0"), (std::vector<unsigned>{15, 0}));
  for (const char* bad : {"", "word0,", "word0,word0", "Word0", "word0;word1"}) {
    EXPECT_THROW(ParseWordList(bad), std::invalid_argument) << bad;
  }
  auto [word, scale] = ParseScale("result_b=0.00122,-2.5,V");
  EXPECT_EQ(word, 5u);
  EXPECT_DOUBLE_EQ(scale.factor, 0.00122);
  EXPECT_DOUBLE_EQ(scale.offset, -2.5);
  EXPECT_EQ(scale.unit, "V");
  EXPECT_EQ(ParseScale("word1=3").second.unit, "");
  for (const char* bad : {"word1", "word1=", "word1=x", "word1=1,", "word1=nan", "nope=1"}) {
    EXPECT_THROW(ParseScale(bad), std::invalid_argument) << bad;
  }
}

// A run that fails before its files are complete leaves nothing under the final name, and
// a finished one replaces an older file of that name whole.
TEST_F(DataFilesTest, FilesAppearUnderTheirNameOnlyWhenComplete) {
  auto path = Path("a.npy");
  std::filesystem::remove(path);  // from an earlier run
  {
    auto writer = OpenFrameWriter(DataFormat::Npy, path, Header());
    auto data = Frames(3);
    writer->Append(data);
    EXPECT_FALSE(std::filesystem::exists(path));
  }  // dropped unfinished
  EXPECT_TRUE(std::filesystem::is_empty(path.parent_path()));

  { std::ofstream(path) << "an older, longer file that must not show through"; }
  Write(DataFormat::Npy, "a.npy", 1);
  EXPECT_EQ(ReadNpy(ReadFileBytes(path)).shape, (std::vector<uint64_t>{1, kChannels}));
  EXPECT_EQ(std::filesystem::file_size(path), kNpyHeaderBytes + 8 * kChannels);
}

TEST_F(DataFilesTest, FormatNamesRoundTripAndUnknownOnesAreRefused) {
  for (auto format : {DataFormat::Csv, DataFormat::Raw, DataFormat::Npy, DataFormat::Hdf5}) {
    EXPECT_EQ(ParseDataFormat(DataFormatName(format)), format);
  }
  EXPECT_EQ(ParseDataFormat("h5"), DataFormat::Hdf5);
  EXPECT_FALSE(ParseDataFormat("xls"));
  EXPECT_THROW(OpenFrameWriter(DataFormat::Csv, Path("missing/dir/a.csv"), Header()),
               std::runtime_error);
}

}  // namespace
}  // namespace tarvik::tool
