// The console's input on a terminal: a prompt, line editing and history (libedit's readline
// interface, in its callback form, so that the console keeps polling the machine for events
// while a line is being typed).
#pragma once

#include <functional>

namespace tarvik::tool {

class LineEditor {
 public:
  // `onLine` gets each line as it is entered, or null at the end of input (Ctrl-D), and says
  // whether another line is wanted; the next prompt is drawn after it returns true, so replies
  // printed from it land above that prompt.
  LineEditor(const char* prompt, std::function<bool(const char* line)> onLine);
  ~LineEditor();  // gives the terminal back as it was
  LineEditor(const LineEditor&) = delete;
  LineEditor& operator=(const LineEditor&) = delete;

  // Takes the characters waiting on standard input.
  void ReadAvailable();
  // Around output that is not a reply (events noticed while a line is being typed): the
  // prompt's line is cleared first and drawn again after, with what was typed so far.
  void BeginOutput();
  void EndOutput();

 private:
  static void OnLine(char* line);

  const char* prompt_;
  std::function<bool(const char*)> onLine_;
};

}  // namespace tarvik::tool
