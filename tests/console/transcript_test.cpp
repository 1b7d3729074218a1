// Transcripts: a recorded session replays against a fresh session, and a replay reports the
// line where a reply differs.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tarvik/console_session.h"

namespace {

using tarvik::console::ConsoleSession;

TEST(ConsoleTranscript, TheLifecycleTranscriptReplays) {
  std::ifstream file(TARVIK_CONSOLE_TRANSCRIPTS "/lifecycle.transcript");
  ASSERT_TRUE(file) << "lifecycle.transcript missing";
  ConsoleSession session;
  auto result = tarvik::console::Replay(file, session);
  EXPECT_GT(result.commands, 20u);
  for (const auto& mismatch : result.mismatches) ADD_FAILURE() << mismatch;
  EXPECT_TRUE(session.Finished());
}

TEST(ConsoleTranscript, TheBlockModeTranscriptReplays) {
  std::ifstream file(TARVIK_CONSOLE_TRANSCRIPTS "/block_mode.transcript");
  ASSERT_TRUE(file) << "block_mode.transcript missing";
  ConsoleSession session;
  auto result = tarvik::console::Replay(file, session);
  EXPECT_GT(result.commands, 20u);
  for (const auto& mismatch : result.mismatches) ADD_FAILURE() << mismatch;
}

TEST(ConsoleTranscript, RecordedExchangesReplayAndADifferenceNamesItsLine) {
  std::ostringstream recorded;
  {
    ConsoleSession session;
    for (const char* command : {"boot", "start", "open", "ioctl h1 GET_LAST_ERROR - 4", "quit"}) {
      tarvik::console::RecordExchange(recorded, command, session.Execute(command));
    }
  }
  {
    std::istringstream transcript(recorded.str());
    ConsoleSession session;
    auto result = tarvik::console::Replay(transcript, session);
    EXPECT_EQ(result.commands, 5u);
    EXPECT_TRUE(result.Matched()) << recorded.str();
  }
  // The start's reply changed: the replay flags it by its line and goes on.
  std::string edited = recorded.str();
  edited.replace(edited.find("pnp=started"), 11, "pnp=stopped");
  std::istringstream transcript(edited);
  ConsoleSession session;
  auto result = tarvik::console::Replay(transcript, session);
  ASSERT_EQ(result.mismatches.size(), 1u);
  EXPECT_EQ(result.mismatches[0],
            "line 4 ('start'): expected 'OK status=0x00000000 pnp=stopped', got "
            "'OK status=0x00000000 pnp=started'");
  EXPECT_EQ(result.commands, 5u);
}

TEST(ConsoleTranscript, AMissingOrExtraLineIsAMismatchAndStrayTextIsRefused) {
  std::istringstream missing("> boot\n> help\n< OK boot\n< EVENT r9 extra\n");
  ConsoleSession session;
  auto result = tarvik::console::Replay(missing, session);
  ASSERT_EQ(result.mismatches.size(), 3u);
  EXPECT_NE(result.mismatches[0].find("expected '(nothing)', got 'OK entry="), std::string::npos);
  EXPECT_NE(result.mismatches[2].find("expected 'EVENT r9 extra', got '(nothing)'"),
            std::string::npos);

  std::istringstream stray("> boot\nOK\n");
  ConsoleSession other;
  auto refused = tarvik::console::Replay(stray, other);
  ASSERT_EQ(refused.mismatches.size(), 1u);
  EXPECT_EQ(refused.commands, 0u);
  EXPECT_NE(refused.mismatches[0].find("line 2"), std::string::npos);
}

}  // namespace
