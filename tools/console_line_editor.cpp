#include "console_line_editor.h"

// Built only where libedit was found (see tools/CMakeLists.txt); the Windows check compiles
// every source of the tool and finds nothing here.
#if defined(TARVIK_HAVE_LIBEDIT)

#include <editline/readline.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace tarvik::tool {
namespace {

// The callback interface takes a plain function: it reaches the live editor through this.
LineEditor* g_editor = nullptr;

}  // namespace

void LineEditor::OnLine(char* line) {
  std::unique_ptr<char, decltype(&std::free)> owned(line, &std::free);
  if (line != nullptr && line[0] != '\0') add_history(line);
  // libedit draws the next prompt only at the next key; installing the handler again draws it
  // now, below the replies.
  if (g_editor->onLine_(line)) rl_callback_handler_install(g_editor->prompt_, &LineEditor::OnLine);
}

LineEditor::LineEditor(const char* prompt, std::function<bool(const char*)> onLine)
    : prompt_(prompt), onLine_(std::move(onLine)) {
  g_editor = this;
  rl_catch_signals = 0;  // the tool's signal thread takes SIGINT and SIGTERM
  rl_callback_handler_install(prompt_, &LineEditor::OnLine);
}

LineEditor::~LineEditor() {
  rl_callback_handler_remove();
  g_editor = nullptr;
}

void LineEditor::ReadAvailable() { rl_callback_read_char(); }

void LineEditor::BeginOutput() {
  std::fputs("\r\x1b[K", stdout);
  std::fflush(stdout);
}

void LineEditor::EndOutput() { rl_forced_update_display(); }

}  // namespace tarvik::tool

#endif
