// The tarvik executable run as a script would run it, in a folder of the test's own: the
// fixture and helpers of the tool's end-to-end suites.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace tool_test {

namespace fs = std::filesystem;

struct ToolRun {
  int exitCode = -1;
  std::string output;  // stdout and stderr
};

class ToolTest : public testing::Test {
 protected:
  void SetUp() override {
    // The process id keeps apart the runs of one test against the linked driver and against
    // the driver image, which ctest may run at the same time.
    dir_ = fs::path(testing::TempDir()) /
           ("tool_e2e_" + std::string(testing::UnitTest::GetInstance()->current_test_info()->name()) +
            "_" + std::to_string(getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }

  // The tool as a shell word, behind the emulator an i686 build runs it under.
  static std::string ToolCommand() {
    std::string runner = TARVIK_TOOL_RUNNER;
    return (runner.empty() ? "" : "'" + runner + "' ") + "'" TARVIK_TOOL_PATH "'";
  }

  ToolRun Tarvik(const std::string& arguments) { return Shell(ToolCommand() + " " + arguments); }

  // A shell command line run in the test's folder, with its output.
  ToolRun Shell(const std::string& line) {
    std::string command = "cd '" + dir_.string() + "' && { " + line + "; } 2>&1";
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

// Every frame `ticks` ticks of the card after the one before.
inline void ExpectConsecutive(const std::vector<uint64_t>& words, uint16_t ticks = 2) {
  for (size_t f = 1; f * 16 < words.size(); ++f) {
    ASSERT_EQ(static_cast<uint16_t>(words[f * 16] - words[(f - 1) * 16]), ticks) << "frame " << f;
  }
}

inline bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// The files in a folder, by name.
inline std::vector<std::string> FileNames(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace tool_test
