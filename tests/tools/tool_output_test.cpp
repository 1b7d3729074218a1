// Where the tool's files go, as a script relies on: nothing clobbered (special files written
// in place, permissions kept), bad targets refused before the card starts, write failures named
// with what was written kept, a killed run's temporary file readable, and runs bounded by time
// holding exactly the frames of that time.
#include <fmt/format.h>
#include <sys/stat.h>

#include <fstream>
#include <regex>

#include <nlohmann/json.hpp>

#include "data_files.h"
#include "npy_reader.h"
#include "tool_fixture.h"

namespace {

using namespace tool_test;

// The frames an .npy file's header claims, and the file cut to them: a file still being
// written may hold more bytes than its header has caught up with.
tarvik::test::NpyFile ReadNpyAsItsHeaderSays(const fs::path& path) {
  std::string bytes = tarvik::test::ReadFileBytes(path);
  std::smatch shape;
  std::string header = bytes.substr(0, std::min<size_t>(bytes.size(), 128));
  if (!std::regex_search(header, shape, std::regex(R"('shape': \((\d+), 16\))"))) {
    tarvik::test::NpyFile none;
    none.error = "no shape in the header of " + path.string();
    return none;
  }
  size_t rows = std::stoul(shape[1]);
  return tarvik::test::ReadNpy(bytes.substr(0, std::min(bytes.size(), 128 + rows * 16 * 8)));
}

unsigned Mode(const fs::path& path) {
  struct stat status {};
  stat(path.c_str(), &status);
  return status.st_mode & 07777;
}

TEST_F(ToolTest, SpecialFilesAreWrittenInPlaceAndBadTargetsRefusedBeforeTheCardStarts) {
  ToolRun null = Tarvik("--virtual acquire --frames 100 -o /dev/null");
  EXPECT_EQ(null.exitCode, 0) << null.output;
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  EXPECT_FALSE(fs::exists("/dev/null.json"));

  ToolRun fifo = Shell("mkfifo pipe && { wc -l < pipe > lines & } && " + ToolCommand() +
                       " --virtual acquire --frames 7 -o pipe; wait; cat lines");
  EXPECT_TRUE(Contains(fifo.output, "acquired 7 frames")) << fifo.output;
  EXPECT_TRUE(fifo.output.ends_with("8\n")) << fifo.output;  // the names and 7 rows
  EXPECT_TRUE(fs::is_fifo(dir_ / "pipe"));

  struct Refusal {
    const char* arguments;
    int exitCode;
    const char* says;
  };
  for (const Refusal& refusal : std::vector<Refusal>{
           {"-o .", 1, ". is a folder"},
           {"-o missing/run.csv", 1, "the folder missing does not exist"},
           {"-o ''", 2, "the name is empty"},
           {"-o run.npy --format csv", 2, "run.npy names a npy file, not csv"},
           {"-o /dev/null --format npy", 2, "/dev/null is no regular file"},
           {"-o run.svg --format csv --plot run.svg", 2, "the same file"},
       }) {
    ToolRun run = Tarvik(std::string("--virtual acquire --frames 10 ") + refusal.arguments);
    EXPECT_EQ(run.exitCode, refusal.exitCode) << refusal.arguments << "\n" << run.output;
    EXPECT_TRUE(Contains(run.output, refusal.says)) << refusal.arguments << "\n" << run.output;
    EXPECT_FALSE(Contains(run.output, "acquired")) << refusal.arguments;
  }
  EXPECT_EQ(FileNames(dir_), (std::vector<std::string>{"lines", "pipe"}));
}

// A replaced file keeps its permissions (root may write a read-only file; anyone else is
// refused before the run), and a symbolic link keeps pointing at the file.
TEST_F(ToolTest, AReplacedFileKeepsItsPermissionsAndItsLink) {
  std::ofstream(dir_ / "shared.csv") << "old\n";
  fs::permissions(dir_ / "shared.csv", fs::perms(0640));
  ASSERT_EQ(Tarvik("--virtual acquire --frames 3 -o shared.csv").exitCode, 0);
  EXPECT_EQ(Mode(dir_ / "shared.csv"), 0640u);

  std::ofstream(dir_ / "kept.csv") << "old\n";
  fs::permissions(dir_ / "kept.csv", fs::perms(0444));
  ToolRun readOnly = Tarvik("--virtual acquire --frames 3 -o kept.csv");
  if (geteuid() == 0) {
    EXPECT_EQ(readOnly.exitCode, 0) << readOnly.output;
    EXPECT_NE(tarvik::test::ReadFileBytes(dir_ / "kept.csv"), "old\n");
  } else {
    EXPECT_EQ(readOnly.exitCode, 1) << readOnly.output;
    EXPECT_TRUE(Contains(readOnly.output, "cannot write kept.csv: Permission denied"));
    EXPECT_EQ(tarvik::test::ReadFileBytes(dir_ / "kept.csv"), "old\n");
  }
  EXPECT_EQ(Mode(dir_ / "kept.csv"), 0444u);

  fs::create_directories(dir_ / "data");
  fs::create_symlink("data/real.npy", dir_ / "link.npy");
  ASSERT_EQ(Tarvik("--virtual acquire --frames 3 -o link.npy").exitCode, 0);
  EXPECT_TRUE(fs::is_symlink(dir_ / "link.npy"));
  EXPECT_EQ(tarvik::test::ReadNpyFile(dir_ / "data/real.npy").shape,
            (std::vector<uint64_t>{3, 16}));
}

// A disk that fills: a small file system of its own where the test may mount one (root in a
// mount namespace of its own), else a file-size limit; every format names the file and the
// system's reason, exits 1 without a crash, and keeps the frames that went out whole.
TEST_F(ToolTest, AFullDiskIsNamedAndWhatWasWrittenIsKept) {
  bool tmpfs = geteuid() == 0 && Shell("unshare -m true").exitCode == 0;
  fs::create_directories(dir_ / "full");
  fs::create_directories(dir_ / "kept");
  for (std::string format : {"npy", "csv", "raw", "h5"}) {
    if (format == "h5" && !tarvik::tool::Hdf5Available()) continue;  // an i686 build may lack it
    std::string run = fmt::format("{} --virtual --source word0=Ramp:0,1 acquire --frames 1000000 "
                                  "-o full/run.{}; echo exit=$?",
                                  ToolCommand(), format);
    ToolRun full = Shell(
        tmpfs ? "unshare -m sh -c 'mount -t tmpfs -o size=256k tmpfs full && " + run +
                    "; cp -a full/. kept/'"
              : "bash -c 'ulimit -f 256; trap \"\" XFSZ; " + run + "; cp -a full/. kept/'");
    std::string reason = tmpfs ? "No space left on device" : "File too large";
    EXPECT_TRUE(Contains(full.output, "exit=1")) << format << "\n" << full.output;
    EXPECT_TRUE(Contains(full.output, fmt::format("writing full/run.{} failed: ", format)))
        << full.output;
    EXPECT_TRUE(Contains(full.output, reason)) << full.output;
    if (format == "npy") {
      auto file = tarvik::test::ReadNpyFile(dir_ / "kept/run.npy");
      ASSERT_EQ(file.error, "");
      ASSERT_GT(file.shape[0], 100u);
      ExpectConsecutive(file.data);
      EXPECT_TRUE(Contains(full.output, fmt::format("holds the {} frames", file.shape[0])));
    }
  }
  // The CSV ends with a whole row.
  std::string csv = tarvik::test::ReadFileBytes(dir_ / "kept/run.csv");
  EXPECT_TRUE(csv.ends_with("\n"));
}

TEST_F(ToolTest, AKilledRunsTemporaryFileLoadsWithWhatItHeld) {
  ToolRun killed = Shell(ToolCommand() +
                         " --virtual --source word0=Ramp:0,1 acquire --frames 100000000 -o k.npy "
                         ">/dev/null & pid=$!; while [ $(cat .k.npy.$pid.tmp 2>/dev/null | wc -c) "
                         "-lt 1000000 ]; do sleep 0.02; done; kill -9 $pid; wait $pid; echo pid=$pid");
  std::string pid = killed.output.substr(killed.output.rfind("pid=") + 4);
  pid.erase(pid.find('\n'));
  auto file = ReadNpyAsItsHeaderSays(dir_ / (".k.npy." + pid + ".tmp"));
  ASSERT_EQ(file.error, "") << killed.output;
  EXPECT_GT(file.shape[0], 1000u);
  ExpectConsecutive(file.data);
  EXPECT_FALSE(fs::exists(dir_ / "k.npy"));
}

TEST_F(ToolTest, ADurationHoldsExactlyTheFramesOfItsTime) {
  for (const char* bound : {"--duration 2", "--frame-rate 3333 --nearest --duration 3"}) {
    ToolRun run = Tarvik(std::string("--virtual acquire -o t.npy ") + bound);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(tarvik::test::ReadNpyFile(dir_ / "t.npy").shape,
              (std::vector<uint64_t>{10000, 16}))
        << bound;
  }
  ToolRun nearest = Tarvik("--virtual acquire -o t.npy --frame-rate 3333 --nearest --frames 1");
  EXPECT_TRUE(Contains(nearest.output, "running the nearest it can, 3333.33 frames/s"))
      << nearest.output;
  EXPECT_EQ(nlohmann::json::parse(tarvik::test::ReadFileBytes(dir_ / "t.npy.json"))["frame_rate"],
            10000.0 / 3);
  ToolRun refused = Tarvik("--virtual acquire --frame-rate 3333 --frames 1");
  EXPECT_EQ(refused.exitCode, 2);
  EXPECT_TRUE(Contains(refused.output, "--nearest takes the nearest")) << refused.output;
}

}  // namespace
