// Suggestions for mistyped commands and options.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "suggest.h"

namespace tarvik::tool {
namespace {

TEST(SuggestTest, CloseNamesAreSuggestedAndFarOrExactOnesAreNot) {
  std::vector<std::string> commands{"acquire", "info", "serial", "eeprom"};
  EXPECT_EQ(ClosestName("aquire", commands), "acquire");
  EXPECT_EQ(ClosestName("acquier", commands), "acquire");  // a swap is one edit
  EXPECT_EQ(ClosestName("inf", commands), "info");
  EXPECT_EQ(ClosestName("acquire", commands), std::nullopt);
  EXPECT_EQ(ClosestName("frobnicate", commands), std::nullopt);
  EXPECT_EQ(ClosestName("ab", commands), std::nullopt);
}

}  // namespace
}  // namespace tarvik::tool
