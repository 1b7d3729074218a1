// The acquisition's progress line on a terminal. It is rewritten in place (carriage return),
// so it must never be wider than the terminal: a wrapped line leaves a copy of itself on the
// line above at every update.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace tarvik::tool {

struct ProgressFields {
  uint64_t frames = 0;
  double rate = 0;           // frames per second achieved so far
  const char* lostWhat = "";  // "blocks" or "frames"
  uint64_t lost = 0;
  std::string left;          // "3.2 s left" or "Ctrl-C stops"
};

// The widest form of the line that fits in `columns - 1` characters (the last column stays
// free: a character there makes some terminals wrap at the next output). Narrower forms drop
// the rate, then the time left; the last resort cuts the shortest form.
std::string FormatProgressLine(const ProgressFields& fields, size_t columns);

// The width of the terminal on `fd` (TIOCGWINSZ; on Windows the console's window), else the
// COLUMNS variable, else 80.
size_t TerminalColumns(int fd);

}  // namespace tarvik::tool
