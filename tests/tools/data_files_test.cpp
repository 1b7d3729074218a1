// The acquisition files: what a reader of each format finds in them.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

#include "data_files.h"
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

TEST_F(DataFilesTest, RawIsLittleEndianWordsSixteenPerFrame) {
  auto bytes = ReadFileBytes(Write(DataFormat::Raw, "a.raw", 3));
  ASSERT_EQ(bytes.size(), 3u * kChannels * 2);
  auto frames = Frames(3);
  EXPECT_EQ(static_cast<uint8_t>(bytes[2 * 17]), frames[1][1] & 0xFF);
  EXPECT_EQ(static_cast<uint8_t>(bytes[2 * 17 + 1]), frames[1][1] >> 8);
}

TEST_F(DataFilesTest, NpyHeaderParsesBackWithTheFinalShapeAndTheDataFollows) {
  auto file = ReadNpy(ReadFileBytes(Write(DataFormat::Npy, "a.npy", 7)));
  ASSERT_EQ(file.error, "");
  EXPECT_EQ(file.major, 1);
  EXPECT_EQ(file.minor, 0);
  EXPECT_EQ(file.descr, "<u2");
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
  auto json = SidecarJson(DataFormat::Npy, "/tmp/x/run \"1\".npy", Header(), result);
  EXPECT_NE(json.find("\"data_file\": \"run \\\"1\\\".npy\""), std::string::npos) << json;
  EXPECT_NE(json.find("\"shape\": [12, 16]"), std::string::npos);
  EXPECT_NE(json.find("\"mode\": \"block\""), std::string::npos);
  EXPECT_NE(json.find("\"requested_rate\": 20000"), std::string::npos);
  EXPECT_NE(json.find("\"lost_blocks\": 2"), std::string::npos);
  EXPECT_NE(json.find("\"name\": \"overruns\""), std::string::npos);
  EXPECT_EQ(std::count(json.begin(), json.end(), '{'), std::count(json.begin(), json.end(), '}'));
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
  EXPECT_EQ(std::filesystem::file_size(path), kNpyHeaderBytes + 2 * kChannels);
}

TEST_F(DataFilesTest, FormatNamesRoundTripAndUnknownOnesAreRefused) {
  for (auto format : {DataFormat::Csv, DataFormat::Raw, DataFormat::Npy}) {
    EXPECT_EQ(ParseDataFormat(DataFormatName(format)), format);
  }
  EXPECT_FALSE(ParseDataFormat("xls"));
  EXPECT_THROW(OpenFrameWriter(DataFormat::Csv, Path("missing/dir/a.csv"), Header()),
               std::runtime_error);
}

}  // namespace
}  // namespace tarvik::tool
