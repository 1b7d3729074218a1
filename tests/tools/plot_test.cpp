// The SVG plot: well-formed enough for a browser, one polyline per channel, thinned.
#include <gtest/gtest.h>

#include <regex>
#include <vector>

#include "plot.h"

namespace tarvik::tool {
namespace {

size_t Count(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

// Tags open and close in order (self-closing tags count as both).
bool Balanced(const std::string& svg) {
  std::vector<std::string> open;
  static const std::regex tag(R"(<(/?)([a-z]+)[^>]*?(/?)>)");
  for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tag); it != std::sregex_iterator(); ++it) {
    const auto& m = *it;
    if (m[3] == "/") continue;
    if (m[1] == "/") {
      if (open.empty() || open.back() != m[2]) return false;
      open.pop_back();
    } else {
      open.push_back(m[2]);
    }
  }
  return open.empty();
}

std::vector<FrameWords> Ramp(size_t count) {
  std::vector<FrameWords> frames(count);
  for (size_t f = 0; f < count; ++f) frames[f].fill(static_cast<uint16_t>(f));
  return frames;
}

TEST(PlotTest, IsAnSvgDocumentWithOnePolylinePerChannelAndALegend) {
  auto frames = Ramp(50);
  PlotOptions options;
  options.framesPerSecond = 5000;
  options.title = "a <test> & more";
  std::string svg = PlotSvg(frames, options);
  EXPECT_EQ(svg.rfind("<svg xmlns=\"http://www.w3.org/2000/svg\"", 0), 0u);
  EXPECT_TRUE(Balanced(svg));
  EXPECT_EQ(Count(svg, "<polyline"), kChannels);
  EXPECT_NE(svg.find("a &lt;test&gt; &amp; more"), std::string::npos);
  EXPECT_NE(svg.find("time (s)"), std::string::npos);
  for (const auto& channel : kChannelLayout) {
    EXPECT_NE(svg.find(std::string(channel.name) + "</text>"), std::string::npos) << channel.name;
  }
}

TEST(PlotTest, LongRunsAreThinnedAndEmptyOnesStillDraw) {
  PlotOptions options;
  options.maxPoints = 100;
  std::string svg = PlotSvg(Ramp(10000), options);
  std::smatch match;
  ASSERT_TRUE(std::regex_search(svg, match, std::regex("<polyline[^>]*points=\"([^\"]*)\"")));
  EXPECT_EQ(Count(match[1].str(), ","), 100u);
  EXPECT_NE(svg.find(">frame</text>"), std::string::npos);  // no rate: x in frames

  std::string empty = PlotSvg({}, options);
  EXPECT_TRUE(Balanced(empty));
  EXPECT_EQ(Count(empty, "<polyline"), kChannels);
  EXPECT_EQ(empty.find("nan"), std::string::npos);
}

}  // namespace
}  // namespace tarvik::tool
