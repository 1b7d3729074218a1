// --source: what the card's signal sources become, and the refusals a user sees.
#include <gtest/gtest.h>

#include "source_setting.h"

namespace tarvik::emulated {
namespace {

using sim::card::Quantity;
using sim::card::Waveform;

TEST(SourceSettingTest, ParsesEveryWaveformAndQuantity) {
  auto ramp = ParseSourceSetting("word0=Ramp:0,1");
  EXPECT_EQ(ramp.quantity, Quantity::Word0);
  EXPECT_EQ(ramp.source.Value(7, 16), 7u);
  auto sine = ParseSourceSetting("result-a=sine:2048,1800,64");
  EXPECT_EQ(sine.quantity, Quantity::ResultA);
  EXPECT_EQ(sine.source.waveform, Waveform::Sine);
  EXPECT_EQ(sine.source.period, 64u);
  auto square = ParseSourceSetting("Word9=SQUARE:0x80,0x10,4");
  EXPECT_EQ(square.quantity, Quantity::Word9);
  EXPECT_EQ(square.source.Value(0, 8), 0x90u);
  EXPECT_EQ(square.source.Value(2, 8), 0x70u);
  auto constant = ParseSourceSetting("result-b=Constant:4095");
  EXPECT_EQ(constant.source.Value(0, 12), 0xFFFu);
  EXPECT_EQ(ParseSourceSetting("word1=Constant:1").quantity, Quantity::Word1);
  EXPECT_EQ(ParseSourceSetting("word8=Constant:1").quantity, Quantity::Word8);
}

TEST(SourceSettingTest, RefusesMalformedSettingsWithAReason) {
  for (const char* bad : {"word0", "word0=Ramp", "word7=Ramp:0,1", "word0=Saw:1,2",
                          "word0=Ramp:1", "word0=Ramp:1,x", "word0=Sine:0,1,0", "word0=Constant:",
                          // values the word cannot hold
                          "result-b=Constant:-1", "word0=Constant:65536", "word9=Constant:300",
                          "result-a=Sine:2048,2048,64", "word9=Square:0x80,-0x90,4",
                          "word0=Ramp:70000,1", "word0=Constant:99999999999999999999"}) {
    EXPECT_THROW(ParseSourceSetting(bad), std::invalid_argument) << bad;
  }
  try {
    ParseSourceSetting("word7=Ramp:0,1");
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("word7"), std::string::npos);
  }
  try {
    ParseSourceSetting("word0=Constant:1.7");
    ADD_FAILURE() << "1.7 taken";
  } catch (const std::invalid_argument& error) {
    EXPECT_NE(std::string(error.what()).find("integer"), std::string::npos) << error.what();
  }
}

}  // namespace
}  // namespace tarvik::emulated
