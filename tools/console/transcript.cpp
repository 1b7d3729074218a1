// Transcripts of console sessions: "> command" lines, each followed by "< line" for every line
// the command produced.
#include <istream>
#include <ostream>
#include <string>

#include "tarvik/console_session.h"

namespace tarvik::console {

void RecordExchange(std::ostream& transcript, std::string_view command,
                    const std::vector<std::string>& produced) {
  transcript << "> " << command << '\n';
  for (const auto& line : produced) transcript << "< " << line << '\n';
  transcript.flush();
}

namespace {

struct Exchange {
  size_t line = 0;  // of the command in the transcript
  std::string command;
  std::vector<std::pair<size_t, std::string>> expected;  // transcript line, text
};

std::string_view Body(std::string_view line) {
  line.remove_prefix(1);
  if (!line.empty() && line.front() == ' ') line.remove_prefix(1);
  while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
  return line;
}

}  // namespace

ReplayResult Replay(std::istream& transcript, ConsoleSession& session) {
  ReplayResult result;
  std::vector<Exchange> exchanges;
  std::string text;
  for (size_t number = 1; std::getline(transcript, text); ++number) {
    std::string_view line = text;
    size_t first = line.find_first_not_of(" \t\r");
    if (first == std::string_view::npos || line[first] == '#') continue;
    line.remove_prefix(first);
    if (line.front() == '>') {
      exchanges.push_back({number, std::string(Body(line)), {}});
    } else if (line.front() == '<' && !exchanges.empty()) {
      exchanges.back().expected.emplace_back(number, std::string(Body(line)));
    } else {
      result.mismatches.push_back("line " + std::to_string(number) +
                                  ": neither a command ('> ') nor a reply ('< ')");
      return result;
    }
  }
  for (const auto& exchange : exchanges) {
    ++result.commands;
    auto produced = session.Execute(exchange.command);
    size_t count = std::max(produced.size(), exchange.expected.size());
    for (size_t i = 0; i < count; ++i) {
      std::string got = i < produced.size() ? produced[i] : "(nothing)";
      std::string want = i < exchange.expected.size() ? exchange.expected[i].second : "(nothing)";
      if (got == want) continue;
      size_t where = i < exchange.expected.size() ? exchange.expected[i].first : exchange.line;
      result.mismatches.push_back("line " + std::to_string(where) + " ('" + exchange.command +
                                  "'): expected '" + want + "', got '" + got + "'");
    }
  }
  return result;
}

}  // namespace tarvik::console
