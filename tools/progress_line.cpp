#include "progress_line.h"

#include <fmt/format.h>

#include <cstdlib>
#include <initializer_list>

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/ioctl.h>
#include <unistd.h>
#endif

namespace tarvik::tool {

std::string FormatProgressLine(const ProgressFields& f, size_t columns) {
  size_t room = columns > 0 ? columns - 1 : 0;
  std::string frames = fmt::format("{} frames", f.frames);
  std::string lost = fmt::format("lost {} {}", f.lostWhat, f.lost);
  std::string shortest = fmt::format("{} fr  lost {}", f.frames, f.lost);
  for (const std::string& line : {
           fmt::format("{}  {:.1f} frames/s  {}  {}", frames, f.rate, lost, f.left),
           fmt::format("{}  {:.0f}/s  lost {}  {}", frames, f.rate, f.lost, f.left),
           fmt::format("{}  lost {}  {}", frames, f.lost, f.left),
           fmt::format("{}  lost {}", frames, f.lost),
       }) {
    if (line.size() <= room) return line;
  }
  return shortest.substr(0, room);
}

size_t TerminalColumns(int fd) {
#if defined(_WIN32)
  CONSOLE_SCREEN_BUFFER_INFO info;
  HANDLE console = GetStdHandle(fd == 1 ? STD_OUTPUT_HANDLE : STD_ERROR_HANDLE);
  if (GetConsoleScreenBufferInfo(console, &info) && info.srWindow.Right > info.srWindow.Left) {
    return static_cast<size_t>(info.srWindow.Right - info.srWindow.Left + 1);
  }
#else
  winsize size{};
  if (::ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) return size.ws_col;
#endif
  if (const char* columns = std::getenv("COLUMNS")) {
    char* end = nullptr;
    long value = std::strtol(columns, &end, 10);
    if (end != columns && *end == '\0' && value > 0 && value < 100000) {
      return static_cast<size_t>(value);
    }
  }
  return 80;
}

}  // namespace tarvik::tool
