#include "plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <stdexcept>

#include "data_files.h"
#include "plot_axis.h"

namespace tarvik::tool {

namespace {

constexpr double kWidth = 960;
constexpr double kLeft = 80, kRight = 20, kTop = 56, kBottom = 46;  // margins
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kLabelHeight = 18;  // a panel's name above it
constexpr double kPanelHeight = 110;
constexpr double kPanelSpacing = 12;
constexpr double kPanelPitch = kLabelHeight + kPanelHeight + kPanelSpacing;

// No red among them: red marks the frames lost.
constexpr const char* kColours[] = {"#1f77b4", "#2ca02c", "#9467bd", "#ff7f0e",
                                    "#8c564b", "#e377c2", "#17becf", "#7f7f7f"};

std::string Escape(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

// Maps frame positions to x: the first frame at the left edge, the last at the right.
struct TimeAxis {
  double span;  // positions from the first frame to the last, at least 1
  double x(double position) const { return kLeft + kPlotWidth * position / span; }
};

// The smallest and largest value of word w over the run; nothing when no frame arrived.
std::optional<PlotColumns::Range> WordExtent(const PlotColumns& columns, size_t w) {
  std::optional<PlotColumns::Range> extent;
  for (const auto& column : columns.Columns()) {
    if (column.frames == 0) continue;
    const auto& range = column.words[w];
    if (!extent) {
      extent = range;
    } else {
      extent->low = std::min(extent->low, range.low);
      extent->high = std::max(extent->high, range.high);
    }
  }
  return extent;
}

// One word's band: the column maxima left to right and the minima back, one polygon for each
// run of columns that hold frames, so that a gap stays open.
std::string WordBand(const PlotColumns& columns, size_t w, const TimeAxis& time,
                     const AxisTicks& ticks, double top, const char* colour) {
  auto y = [&](double value) {
    return top + kPanelHeight * (1 - (value - ticks.low) / (ticks.high - ticks.low));
  };
  const auto& all = columns.Columns();
  double perColumn = static_cast<double>(columns.FramesPerColumn());
  double last = static_cast<double>(std::max<uint64_t>(columns.Position(), 1) - 1);
  std::string svg;
  for (size_t i = 0; i < all.size();) {
    if (all[i].frames == 0) {
      ++i;
      continue;
    }
    size_t end = i;
    while (end < all.size() && all[end].frames != 0) ++end;
    std::string upper, lower;
    for (size_t c = i; c < end; ++c) {
      double centre = std::min(last, c * perColumn + (perColumn - 1) / 2);
      upper += fmt::format("{:.1f},{:.1f} ", time.x(centre), y(all[c].words[w].high));
    }
    for (size_t c = end; c-- > i;) {
      double centre = std::min(last, c * perColumn + (perColumn - 1) / 2);
      lower += fmt::format("{:.1f},{:.1f} ", time.x(centre), y(all[c].words[w].low));
    }
    svg += fmt::format(
        "<polygon class=\"band\" fill=\"{0}\" stroke=\"{0}\" stroke-width=\"1\" "
        "stroke-linejoin=\"round\" stroke-linecap=\"round\" points=\"{1}{2}\"/>\n",
        colour, upper, lower);
    i = end;
  }
  return svg;
}

}  // namespace

std::string PlotSvg(const PlotColumns& columns, const PlotOptions& options) {
  const auto& words = columns.Words();
  size_t panels = std::max<size_t>(words.size(), 1);
  double height = kTop + kPanelPitch * static_cast<double>(panels) - kPanelSpacing + kBottom;
  double plotBottom = height - kBottom;
  bool seconds = options.framesPerSecond > 0;
  TimeAxis time{std::max(1.0, static_cast<double>(columns.Position()) - 1)};
  double unitsPerFrame = seconds ? 1 / options.framesPerSecond : 1;
  AxisTicks timeTicks = TicksWithin(0, time.span * unitsPerFrame);

  std::string svg = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
      "viewBox=\"0 0 {0} {1}\" font-family=\"DejaVu Sans, sans-serif\" font-size=\"12\">\n",
      kWidth, height);
  svg += fmt::format("<rect width=\"{}\" height=\"{}\" fill=\"white\"/>\n", kWidth, height);
  svg += fmt::format("<text x=\"{}\" y=\"20\" text-anchor=\"middle\" font-size=\"16\">{}</text>\n",
                     kLeft + kPlotWidth / 2, Escape(options.title));
  std::string lost = columns.Gaps().empty()
                         ? std::string("no frames lost")
                         : fmt::format("{} frames lost in {} gap(s), marked in red",
                                       columns.LostFrames(), columns.Gaps().size());
  svg += fmt::format(
      "<text x=\"{}\" y=\"40\" text-anchor=\"middle\" fill=\"#444\">{} frames; each column "
      "spans the smallest to the largest value of {} frame(s); {}</text>\n",
      kLeft + kPlotWidth / 2, columns.Frames(), columns.FramesPerColumn(), lost);

  for (size_t w = 0; w < words.size(); ++w) {
    double top = kTop + kPanelPitch * static_cast<double>(w) + kLabelHeight;
    const PlotWord& word = words[w];
    auto extent = WordExtent(columns, w);
    AxisTicks ticks = extent ? FittedTicks(extent->low, extent->high) : FittedTicks(0, 1);
    auto y = [&](double value) {
      return top + kPanelHeight * (1 - (value - ticks.low) / (ticks.high - ticks.low));
    };
    svg += fmt::format("<g class=\"panel\" data-word=\"{}\">\n", Escape(word.name));
    svg += fmt::format("<text x=\"{}\" y=\"{:.1f}\" font-weight=\"bold\">{} ({})</text>\n", kLeft,
                       top - 5, Escape(word.name), Escape(word.unit));
    svg += "<g stroke=\"#e4e4e4\" stroke-width=\"1\">\n";
    for (double tick : ticks.values) {
      svg += fmt::format("<line x1=\"{0}\" y1=\"{2:.1f}\" x2=\"{1}\" y2=\"{2:.1f}\"/>\n", kLeft,
                         kLeft + kPlotWidth, y(tick));
    }
    for (double tick : timeTicks.values) {
      double x = time.x(tick / unitsPerFrame);
      svg += fmt::format("<line x1=\"{0:.1f}\" y1=\"{1:.1f}\" x2=\"{0:.1f}\" y2=\"{2:.1f}\"/>\n",
                         x, top, top + kPanelHeight);
    }
    svg += "</g>\n<g class=\"ticks\" fill=\"#222\" text-anchor=\"end\">\n";
    for (double tick : ticks.values) {
      svg += fmt::format("<text x=\"{}\" y=\"{:.1f}\">{}</text>\n", kLeft - 6, y(tick) + 4,
                         TickLabel(tick, ticks));
    }
    svg += "</g>\n";
    svg += WordBand(columns, w, time, ticks, top, kColours[w % std::size(kColours)]);
    svg += fmt::format(
        "<rect x=\"{}\" y=\"{:.1f}\" width=\"{}\" height=\"{}\" fill=\"none\" stroke=\"#666\"/>\n",
        kLeft, top, kPlotWidth, kPanelHeight);
    svg += "</g>\n";
  }
  if (words.empty()) {
    svg += fmt::format("<text x=\"{}\" y=\"{}\" text-anchor=\"middle\">no words selected</text>\n",
                       kLeft + kPlotWidth / 2, kTop + kPanelHeight / 2);
  }

  // Lost frames: a red mark in every panel where they would have been.
  svg += "<g class=\"gaps\" fill=\"#d00\" fill-opacity=\"0.25\" stroke=\"#d00\">\n";
  for (const auto& gap : columns.Gaps()) {
    double x0 = time.x(static_cast<double>(gap.position) - 0.5);
    double x1 = time.x(static_cast<double>(gap.position + gap.frames) - 0.5);
    x0 = std::clamp(x0, kLeft, kLeft + kPlotWidth);
    x1 = std::clamp(x1, x0, kLeft + kPlotWidth);
    std::string title = fmt::format("{} frame(s) lost at {} {:.6g}", gap.frames,
                                    seconds ? "time (s)" : "frame",
                                    static_cast<double>(gap.position) * unitsPerFrame);
    for (size_t w = 0; w < words.size(); ++w) {
      double top = kTop + kPanelPitch * static_cast<double>(w) + kLabelHeight;
      svg += fmt::format(
          "<rect class=\"gap\" x=\"{:.1f}\" y=\"{:.1f}\" width=\"{:.1f}\" height=\"{}\">"
          "<title>{}</title></rect>\n",
          x0, top, std::max(1.0, x1 - x0), kPanelHeight, title);
    }
  }
  svg += "</g>\n";

  svg += "<g class=\"time-ticks\" fill=\"#222\" text-anchor=\"middle\">\n";
  for (double tick : timeTicks.values) {
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\">{}</text>\n", time.x(tick / unitsPerFrame),
                       plotBottom + 16, TickLabel(tick, timeTicks));
  }
  svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\">{}</text>\n</g>\n", kLeft + kPlotWidth / 2,
                     height - 10, seconds ? "time (s)" : "frame");
  svg += "</svg>\n";
  return svg;
}

std::optional<PlotFormat> PlotFormatFor(const std::filesystem::path& path) {
  std::string extension = path.extension().string();
  std::transform(extension.begin(), extension.end(), extension.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (extension == ".svg") return PlotFormat::Svg;
  if (extension == ".png") return PlotFormat::Png;
  return std::nullopt;
}

void WritePlot(const std::filesystem::path& path, const PlotColumns& columns,
               const PlotOptions& options) {
  std::string svg = PlotSvg(columns, options);
  WriteWholeFile(path, PlotFormatFor(path) == PlotFormat::Png ? SvgToPng(svg) : svg);
}

}  // namespace tarvik::tool
