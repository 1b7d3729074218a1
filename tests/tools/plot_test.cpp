// The plot: min/max decimation that keeps every extreme in flat memory, round ticks, gaps
// where they happened, one panel per word, and an SVG an XML parser takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <regex>
#include <unistd.h>

#include "plot.h"
#include "plot_axis.h"

namespace tarvik::tool {
namespace {

std::vector<FrameWords> Frames(size_t count, uint64_t first, uint16_t (*value)(uint64_t)) {
  std::vector<FrameWords> frames(count);
  for (size_t f = 0; f < count; ++f) frames[f].fill(value(first + f));
  return frames;
}

uint16_t Square(uint64_t position) { return position % 2 ? 4095 : 0; }
uint16_t Ramp(uint64_t position) { return static_cast<uint16_t>(position); }

// Parses the SVG with Python's XML parser; returns "panels=N gaps=M bands=K" or its error.
std::string ParseWithPython(const std::string& svg) {
  auto path = std::filesystem::path(testing::TempDir()) /
              ("plot_test_" + std::to_string(::getpid()) + ".svg");
  std::ofstream(path, std::ios::binary) << svg;
  std::string command =
      "python3 -c 'import sys, xml.etree.ElementTree as E\n"
      "n = \"{http://www.w3.org/2000/svg}\"\n"
      "root = E.parse(sys.argv[1]).getroot()\n"
      "assert root.tag == n + \"svg\", root.tag\n"
      "count = lambda tag, c: sum(1 for e in root.iter(n + tag) if e.get(\"class\") == c)\n"
      "print(\"panels=%d gaps=%d bands=%d\" % (count(\"g\", \"panel\"), count(\"rect\", \"gap\"),"
      " count(\"polygon\", \"band\")))' " +
      path.string() + " 2>&1";
  std::unique_ptr<FILE, int (*)(FILE*)> pipe(popen(command.c_str(), "r"), pclose);
  std::string out;
  char buffer[512];
  while (pipe && fgets(buffer, sizeof buffer, pipe.get())) out += buffer;
  std::filesystem::remove(path);
  while (!out.empty() && out.back() == '\n') out.pop_back();
  return out;
}

TEST(PlotTest, IsAnSvgDocumentWithOnePanelPerWordAndItsUnit) {
  auto words = SignalPlotWords();
  ASSERT_EQ(words.size(), 6u);  // the input words and the conversion results, no zeros or counters
  words[2].unit = "V";
  words[2].scale = 10.0 / 4096;
  PlotColumns columns(words);
  columns.Add(Frames(50, 0, Ramp));
  PlotOptions options;
  options.framesPerSecond = 5000;
  options.title = "a <test> & more";
  std::string svg = PlotSvg(columns, options);
  EXPECT_EQ(ParseWithPython(svg), "panels=6 gaps=0 bands=6");
  EXPECT_NE(svg.find("a &lt;test&gt; &amp; more"), std::string::npos);
  EXPECT_NE(svg.find(">result_b_first (V)</text>"), std::string::npos);
  EXPECT_NE(svg.find(">word9 (counts)</text>"), std::string::npos);
  EXPECT_NE(svg.find(">time (s)</text>"), std::string::npos);
  // Its own axis: the scaled word's 0..0.12 V, not 0..49 counts.
  EXPECT_NE(svg.find(">0.10</text>"), std::string::npos);

  PlotColumns none({});
  EXPECT_EQ(ParseWithPython(PlotSvg(none, {})), "panels=0 gaps=0 bands=0");
  PlotColumns empty(SignalPlotWords());  // no frame arrived: axes still draw, no "nan"
  std::string emptySvg = PlotSvg(empty, {});
  EXPECT_EQ(ParseWithPython(emptySvg), "panels=6 gaps=0 bands=0");
  EXPECT_EQ(emptySvg.find("nan"), std::string::npos);
  EXPECT_NE(emptySvg.find(">frame</text>"), std::string::npos);  // no rate: x in frames
  EXPECT_THROW(PlotColumns({{kChannels, "beyond", "counts", 1, 0}}), std::invalid_argument);
}

TEST(PlotTest, DecimationKeepsEveryExtremeInConstantMemory) {
  PlotColumns columns({{0, "word0", "counts", 1, 0}, {1, "negated", "counts", -1, 0}}, 100);
  // A square wave of period 2 over a million frames: every column spans both levels.
  const uint64_t total = 1'000'000;
  for (uint64_t at = 0; at < total; at += 4096) {
    auto frames = Frames(std::min<uint64_t>(4096, total - at), at, Square);
    if (at == 520'192) frames[100][0] = frames[100][1] = 60000;  // one spike at 520292
    columns.Add(frames);
  }
  EXPECT_EQ(columns.Columns().size(), 100u);
  EXPECT_EQ(columns.Frames(), total);
  uint64_t perColumn = columns.FramesPerColumn();
  EXPECT_GE(perColumn * 100, total);
  EXPECT_LT(perColumn * 50, total);  // merged no more often than needed
  uint64_t counted = 0;
  for (size_t c = 0; c < columns.Columns().size(); ++c) {
    const auto& column = columns.Columns()[c];
    counted += column.frames;
    if (column.frames == 0) continue;
    bool spike = c == 520'292 / perColumn;
    EXPECT_EQ(column.words[0].low, 0) << c;
    EXPECT_EQ(column.words[0].high, spike ? 60000 : 4095) << c;
    EXPECT_EQ(column.words[1].low, spike ? -60000 : -4095) << c;
    EXPECT_EQ(column.words[1].high, 0) << c;
  }
  EXPECT_EQ(counted, total);
}

// A counter is drawn as the files hold it: counting on past 65536, not wrapping back to 0.
TEST(PlotTest, CountersAreDrawnUnwrapped) {
  PlotColumns columns({{10, "ticks", "counts", 1, 0}}, 1);
  columns.Add(Frames(70000, 0, Ramp));  // the counter word wraps once
  EXPECT_EQ(columns.Columns()[0].words[0].low, 0);
  EXPECT_EQ(columns.Columns()[0].words[0].high, 69999);
}

TEST(PlotTest, GapsAreMarkedWhereTheFramesWereLostAndSplitTheBand) {
  PlotColumns columns({{0, "word0", "counts", 1, 0}}, 1000);
  columns.Add(Frames(1000, 0, Ramp));
  columns.Skip(500);
  columns.Add(Frames(1000, 1500, Ramp));
  ASSERT_EQ(columns.Gaps().size(), 1u);
  EXPECT_EQ(columns.Gaps()[0].position, 1000u);
  EXPECT_EQ(columns.Gaps()[0].frames, 500u);
  EXPECT_EQ(columns.Position(), 2500u);
  EXPECT_EQ(columns.LostFrames(), 500u);
  std::string svg = PlotSvg(columns, {});
  EXPECT_EQ(ParseWithPython(svg), "panels=1 gaps=1 bands=2");
  // From frame 999.5 to 1499.5 of 0..2499, on 860 pixels from x = 80.
  std::smatch match;
  ASSERT_TRUE(std::regex_search(
      svg, match, std::regex("class=\"gap\" x=\"([0-9.]+)\" y=\"[0-9.]+\" width=\"([0-9.]+)\"")));
  EXPECT_NEAR(std::stod(match[1]), 80 + 860 * 999.5 / 2499, 0.1);
  EXPECT_NEAR(std::stod(match[2]), 860 * 500.0 / 2499, 0.1);
  EXPECT_NE(svg.find("500 frame(s) lost at frame 1000<"), std::string::npos);

  // Many gaps stay one per column as the columns merge.
  PlotColumns many({{0, "word0", "counts", 1, 0}}, 10);
  for (int i = 0; i < 1000; ++i) {
    many.Add(Frames(3, 0, Ramp));
    many.Skip(1);
  }
  EXPECT_LE(many.Gaps().size(), 10u);
  EXPECT_EQ(many.LostFrames(), 1000u);
  uint64_t inGaps = 0;
  for (const auto& gap : many.Gaps()) inGaps += gap.frames;
  EXPECT_EQ(inGaps, 1000u);
}

TEST(PlotTest, TicksAreRoundAndCoverTheData) {
  for (double span : {1e-4, 0.37, 1.0, 2.7, 7.9, 13.0, 99.0, 4095.0, 65535.0, 3.3e7}) {
    for (double low : {0.0, -span / 3, 1000.0}) {
      AxisTicks fitted = FittedTicks(low, low + span);
      double mantissa = fitted.step / std::pow(10.0, std::floor(std::log10(fitted.step) + 1e-9));
      EXPECT_TRUE(std::fabs(mantissa - 1) < 1e-6 || std::fabs(mantissa - 2) < 1e-6 ||
                  std::fabs(mantissa - 5) < 1e-6)
          << span << " step " << fitted.step;
      EXPECT_LE(fitted.low, low);
      EXPECT_GE(fitted.high, low + span);
      EXPECT_GE(fitted.values.size(), 2u) << span;
      EXPECT_LE(fitted.values.size(), 8u) << span;
      EXPECT_LT(fitted.high - fitted.low, span * 1.2);  // fitted: the data fills the axis
      for (double value : fitted.values) {
        EXPECT_NEAR(value / fitted.step, std::round(value / fitted.step), 1e-6) << span;
      }
    }
  }
  AxisTicks time = TicksWithin(0, 2.7);
  EXPECT_EQ(time.step, 0.5);
  EXPECT_EQ(time.values, (std::vector<double>{0, 0.5, 1, 1.5, 2, 2.5}));
  EXPECT_EQ(TickLabel(time.values[1], time), "0.5");
  AxisTicks results = FittedTicks(3, 4093);
  EXPECT_EQ(results.values, (std::vector<double>{0, 1000, 2000, 3000, 4000}));
  EXPECT_EQ(TickLabel(results.values.back(), results), "4000");
  AxisTicks flat = FittedTicks(-7, -7);  // a constant still gets an axis around it
  EXPECT_LT(flat.low, -7);
  EXPECT_GT(flat.high, -7);
  EXPECT_EQ(TickLabel(-1e-17, time), "0.0");  // no "-0.0"
}

TEST(PlotTest, PngWhereTheBuildHasARasteriser) {
  EXPECT_EQ(PlotFormatFor("run.SVG"), PlotFormat::Svg);
  EXPECT_EQ(PlotFormatFor("a/run.png"), PlotFormat::Png);
  EXPECT_EQ(PlotFormatFor("run.pdf"), std::nullopt);
  PlotColumns columns(SignalPlotWords());
  columns.Add(Frames(300, 0, Square));
  std::string svg = PlotSvg(columns, {});
  if (!PngPlotsSupported()) {
    EXPECT_THROW(SvgToPng(svg), std::runtime_error);
    GTEST_SKIP() << "built without librsvg";
  }
  std::string png = SvgToPng(svg);
  ASSERT_GT(png.size(), 24u);
  EXPECT_EQ(png.substr(0, 8), "\x89PNG\r\n\x1a\n");
  auto be32 = [&](size_t at) {
    return (uint32_t{static_cast<uint8_t>(png[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(png[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(png[at + 2])} << 8) | static_cast<uint8_t>(png[at + 3]);
  };
  EXPECT_EQ(be32(16), 960u);  // IHDR width
  EXPECT_EQ(be32(20), 56u + 6 * 140 - 12 + 46);
  EXPECT_THROW(SvgToPng("<svg"), std::runtime_error);
}

}  // namespace
}  // namespace tarvik::tool
