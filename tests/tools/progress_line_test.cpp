// The progress line never reaches the terminal's last column, at any width, and gives up the
// rate before the losses.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "progress_line.h"

namespace tarvik::tool {
namespace {

TEST(ProgressLine, FitsEveryWidthAndKeepsTheLossesLongest) {
  ProgressFields fields{123456789, 98765.4, "blocks", 42, "12.3 s left"};
  EXPECT_EQ(FormatProgressLine(fields, 200),
            "123456789 frames  98765.4 frames/s  lost blocks 42  12.3 s left");
  for (size_t columns = 0; columns <= 80; ++columns) {
    std::string line = FormatProgressLine(fields, columns);
    EXPECT_LT(line.size(), std::max<size_t>(columns, 1)) << columns << ": " << line;
    if (line.size() >= 25) {
      EXPECT_NE(line.find(" 42"), std::string::npos) << line;  // the losses
    }
  }
  EXPECT_EQ(FormatProgressLine(fields, 40), "123456789 frames  lost 42  12.3 s left");
  EXPECT_EQ(FormatProgressLine(fields, 10), "123456789");
}

TEST(ProgressLine, WidthComesFromColumnsWhenNotATerminal) {
  int null = ::open("/dev/null", O_WRONLY);
  ASSERT_GE(null, 0);
  ::setenv("COLUMNS", "37", 1);
  EXPECT_EQ(TerminalColumns(null), 37u);
  ::setenv("COLUMNS", "wide", 1);
  EXPECT_EQ(TerminalColumns(null), 80u);
  ::unsetenv("COLUMNS");
  ::close(null);
}

}  // namespace
}  // namespace tarvik::tool
