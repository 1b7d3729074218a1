// The bench console's protocol: a scripted session with every reply checked line by line,
// malformed input answered with FAIL while the session goes on, and the events of requests
// and removals that complete after their command.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tarvik/console_session.h"

namespace {

using tarvik::console::ConsoleSession;
using Lines = std::vector<std::string>;

// A fresh session (so a fresh machine at its boot) per test.
class ConsoleTest : public testing::Test {
 protected:
  Lines Run(const std::string& command) { return session_.Execute(command); }
  // The command's single reply, with no event after it.
  std::string Reply(const std::string& command) {
    Lines lines = Run(command);
    EXPECT_EQ(lines.size(), 1u) << command;
    return lines.empty() ? std::string() : lines.front();
  }
  void Boot(const std::string& platform = "") {
    ASSERT_EQ(Reply(platform.empty() ? "boot" : "boot " + platform),
              "OK entry=0x00000000 add=0x00000000");
    ASSERT_EQ(Reply("start"), "OK status=0x00000000 pnp=started");
  }

  ConsoleSession session_;
};

TEST_F(ConsoleTest, AScriptedBenchSessionGivesItsRepliesLineByLine) {
  const std::vector<std::pair<std::string, Lines>> script = {
      {"boot", {"OK entry=0x00000000 add=0x00000000"}},
      {"start", {"OK status=0x00000000 pnp=started"}},
      {"open", {"OK h1"}},
      {"ioctl h1 GET_LAST_ERROR - 4", {"OK status=0x00000000 info=4 out=00000000"}},
      // The driver's raw port request and the bench's own access see the same byte.
      {"ioctl h1 PORT_IN_BYTE 00e4 1", {"OK status=0x00000000 info=1 out=54"}},
      {"inb card+0", {"OK 0x54"}},
      {"inl 0xe04c", {"OK 0x00000012"}},
      {"trace on", {"OK"}},
      // Divisor 0xff, then the clock runs: three ticks count in counter 0 (+7).
      {"outb card+0 0x02", {"OK"}},
      {"outb card+2 0xff", {"OK"}},
      {"outb card+0 0xaa", {"OK"}},
      {"outb card+2 1", {"OK"}},
      {"step 3", {"OK ticks=3"}},
      {"inb card+7", {"OK 0x03"}},
      {"trace take",
       {"OK 5 outb:0xe400=0x02 outb:0xe402=0xff outb:0xe400=0xaa outb:0xe402=0x01 "
        "inb:0xe407=0x03"}},
      {"trace take", {"OK 0"}},
      {"trace off", {"OK"}},
      {"eeprom load 0x0102 0304", {"OK 2"}},
      // A wait parked on one handle, completed by a signal on another: its event follows the
      // signal's reply.
      {"open", {"OK h2"}},
      {"ioctl_async h1 WAIT_EVENT - 4", {"OK r1"}},
      {"ioctl h2 SET_EVENT 78563412 0",
       {"OK status=0x00000000 info=0 out=-", "EVENT r1 status=0x00000000 info=4 out=78563412"}},
      {"ioctl_async h1 WAIT_EVENT - 4", {"OK r2"}},
      {"cancel h1", {"OK status=0x00000000", "EVENT r2 status=0xc0000120 info=0 out=-"}},
      {"lasterror", {"OK 0 DAQ_OK"}},
      {"foreign_irq", {"OK claimed=0"}},
      {"verifier", {"OK 0"}},
      {"quit", {"OK"}},
  };
  for (const auto& [command, expected] : script) {
    EXPECT_EQ(Run(command), expected) << command;
  }
  EXPECT_TRUE(session_.Finished());
  EXPECT_EQ(Reply("start"), "FAIL the session has ended");
}

TEST_F(ConsoleTest, TheEepromDumpShowsLoadedWordsAndKeepsTheRest) {
  Boot();
  std::string blank = Reply("eeprom dump");
  ASSERT_EQ(blank.size(), 2 + 64 * 5u);
  EXPECT_EQ(Reply("eeprom load abcd 0x0001"), "OK 2");
  std::string loaded = Reply("eeprom dump");
  EXPECT_EQ(loaded.substr(0, 13), "OK abcd 0001 ");
  EXPECT_EQ(loaded.substr(13), blank.substr(13));
}

TEST_F(ConsoleTest, MalformedInputGetsFailAndTheSessionGoesOn) {
  EXPECT_EQ(Reply("start"), "FAIL no machine (boot first)");
  EXPECT_EQ(Run(""), Lines{});
  EXPECT_EQ(Run("   # a comment"), Lines{});
  EXPECT_EQ(Reply("boot wdm99"), "FAIL usage: boot [wdm10|wdm110]");
  Boot();
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"frobnicate", "FAIL unknown command 'frobnicate'"},
      {"start now", "FAIL usage: start"},
      {"step", "FAIL usage: step TICKS"},
      {"step -1", "FAIL usage: step TICKS"},
      {"step 0x", "FAIL usage: step TICKS"},
      {"power s9", "FAIL usage: power s0|s1|s2|s3|s4|s5"},
      {"close h1", "FAIL unknown handle 'h1'"},
      {"close 1", "FAIL unknown handle '1'"},
      {"ioctl h7 GET_LAST_ERROR - 4", "FAIL unknown handle 'h7'"},
      {"wait r3", "FAIL unknown request 'r3'"},
      {"cancel x", "FAIL unknown handle or request 'x'"},
      {"inb card+0x40", "FAIL bad port 'card+0x40'"},
      {"inw bridge+128", "FAIL bad port 'bridge+128'"},
      {"inl dram+0", "FAIL bad port 'dram+0'"},
      {"inb 0x10000", "FAIL bad port '0x10000'"},
      {"outb card+1 0x100", "FAIL bad value '0x100'"},
      {"outw card+1", "FAIL usage: outw PORT VALUE"},
      {"trace maybe", "FAIL usage: trace on|off|take"},
      {"eeprom load 12345", "FAIL bad word '12345'"},
      {"eeprom erase", "FAIL usage: eeprom dump | eeprom load WORD... (1 to 64 words)"},
  };
  for (const auto& [command, reply] : cases) EXPECT_EQ(Reply(command), reply) << command;
  ASSERT_EQ(Reply("open"), "OK h1");
  const std::vector<std::pair<std::string, std::string>> requests = {
      {"ioctl h1 NO_SUCH_CODE - 4", "FAIL usage: ioctl h<N> CODE INHEX OUTLEN"},
      {"ioctl h1 GET_LAST_ERROR abc 4", "FAIL usage: ioctl h<N> CODE INHEX OUTLEN"},
      {"ioctl h1 GET_LAST_ERROR zz 4", "FAIL usage: ioctl h<N> CODE INHEX OUTLEN"},
      {"ioctl h1 GET_LAST_ERROR - 99999999", "FAIL output length above 1048576"},
      {"ioctl_async h1 GET_LAST_ERROR -", "FAIL usage: ioctl_async h<N> CODE INHEX OUTLEN"},
  };
  for (const auto& [command, reply] : requests) EXPECT_EQ(Reply(command), reply) << command;
  // Nothing above disturbed the machine: codes by number and by full name still work.
  EXPECT_EQ(Reply("ioctl h1 0x222048 - 4"), "OK status=0x00000000 info=4 out=00000000");
  EXPECT_EQ(Reply("ioctl h1 ioctl_daq_get_last_error - 4"), "OK status=0x00000000 info=4 out=00000000");
  EXPECT_EQ(Reply("verifier"), "OK 0");
}

TEST_F(ConsoleTest, AWaitedRequestStillPendingGoesOnAsynchronously) {
  tarvik::console::SessionOptions options;
  options.waitLimit = std::chrono::milliseconds(20);
  ConsoleSession session(options);
  ASSERT_EQ(session.Execute("boot").size(), 1u);
  ASSERT_EQ(session.Execute("start").size(), 1u);
  ASSERT_EQ(session.Execute("open"), Lines{"OK h1"});
  ASSERT_EQ(session.Execute("open"), Lines{"OK h2"});
  EXPECT_EQ(session.Execute("ioctl h1 WAIT_EVENT - 4"), Lines{"FAIL pending r1"});
  EXPECT_EQ(session.Execute("wait r1 5"), Lines{"FAIL timeout"});
  EXPECT_EQ(session.PollEvents(), Lines{});
  EXPECT_EQ(session.Execute("ioctl h2 SET_EVENT 01000000 0"),
            (Lines{"OK status=0x00000000 info=0 out=-",
                   "EVENT r1 status=0x00000000 info=4 out=01000000"}));
  EXPECT_EQ(session.Execute("wait r1"), Lines{"FAIL unknown request 'r1'"});
}

TEST_F(ConsoleTest, ASurpriseRemovalEndsWhenTheLastHandleCloses) {
  Boot("wdm110");  // Windows 98/Me has no surprise removal
  ASSERT_EQ(Reply("open"), "OK h1");
  ASSERT_EQ(Reply("ioctl_async h1 WAIT_EVENT - 4"), "OK r1");
  // The removal waits for the handle: only the surprise removal has happened, and it ended
  // the parked wait.
  EXPECT_EQ(Run("surprise"), (Lines{"OK r2", "EVENT r1 status=0xc0000120 info=0 out=-"}));
  EXPECT_EQ(Reply("surprise"), "FAIL refused: surprise removal refused: the PnP manager never "
                               "sends it to a device surprise-removed");
  EXPECT_EQ(Run("close h1"),
            (Lines{"OK status=0x00000000", "EVENT r2 status=0x00000000 pnp=removed"}));
  EXPECT_EQ(Reply("open"), "FAIL status=0xc0000034");
  EXPECT_EQ(Reply("verifier"), "OK 0");
}

// On Windows 98/Me the card pulled is removed at once, with the handle open: the parked wait
// ends, the handle's later requests are refused, its close succeeds.
TEST_F(ConsoleTest, APulledCardIsRemovedAtOnceOnWindows98) {
  Boot("wdm10");
  ASSERT_EQ(Reply("open"), "OK h1");
  ASSERT_EQ(Reply("ioctl_async h1 WAIT_EVENT - 4"), "OK r1");
  EXPECT_EQ(Reply("surprise"), "FAIL refused: surprise removal refused: Windows 98/Me never "
                               "sends it");
  Lines unplugged = Run("unplug");
  std::sort(unplugged.begin(), unplugged.end());  // the two ends come in either order
  EXPECT_EQ(unplugged, (Lines{"EVENT r1 status=0xc0000120 info=0 out=-",
                              "EVENT r2 status=0x00000000 pnp=removed", "OK r2"}));
  EXPECT_EQ(Reply("ioctl h1 GET_LAST_ERROR - 4"), "OK status=0xc0000056 info=0 out=-");
  EXPECT_EQ(Reply("close h1"), "OK status=0x00000000");
  EXPECT_EQ(Reply("verifier"), "OK 0");
}

TEST_F(ConsoleTest, AForeignInterruptIsLeftToItsOwnerWhileTheCardInterrupts) {
  Boot();
  ASSERT_EQ(Reply("open"), "OK h1");
  // The board opened (16-byte input) connects the driver's interrupt; a foreign round on the
  // shared line must not be claimed by it, neither before nor after card ticks.
  EXPECT_EQ(Reply("ioctl h1 OPEN_BOARD 00000000000000000000000000000000 0"),
            "OK status=0x00000000 info=0 out=-");
  EXPECT_EQ(Reply("foreign_irq"), "OK claimed=0");
  EXPECT_EQ(Reply("foreign_irq"), "OK claimed=0");
  EXPECT_EQ(Reply("verifier"), "OK 0");
}

TEST_F(ConsoleTest, APulledCardReadsAllOnesUntilTheSurpriseRemovalTellsThePnpManager) {
  Boot("wdm110");  // Windows 98/Me has no surprise removal
  EXPECT_EQ(Reply("pull"), "OK pin=low masked=0");
  EXPECT_EQ(Reply("inb card+0"), "OK 0xff");
  EXPECT_EQ(Reply("pull float"), "FAIL the card is out already");
  EXPECT_EQ(Run("surprise"), (Lines{"OK r1", "EVENT r1 status=0x00000000 pnp=removed"}));
  EXPECT_EQ(Reply("verifier"), "OK 0");
}

}  // namespace
