#include "plot.h"

#include <fmt/format.h>

#include <algorithm>
#include <stdexcept>

#include "data_files.h"

namespace tarvik::tool {

namespace {

constexpr double kWidth = 960, kHeight = 540;
constexpr double kLeft = 70, kRight = 190, kTop = 40, kBottom = 50;  // margins
constexpr double kPlotWidth = kWidth - kLeft - kRight;
constexpr double kPlotHeight = kHeight - kTop - kBottom;

// Sixteen distinguishable colours.
constexpr const char* kColours[kChannels] = {
    "#1f77b4", "#ff7f0e", "#2ca02c", "#d62728", "#9467bd", "#8c564b", "#e377c2", "#7f7f7f",
    "#bcbd22", "#17becf", "#393b79", "#637939", "#8c6d31", "#843c39", "#7b4173", "#000000"};

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

}  // namespace

std::string PlotSvg(std::span<const FrameWords> frames, const PlotOptions& options) {
  uint16_t low = 0xFFFF, high = 0;
  for (const auto& frame : frames) {
    for (uint16_t word : frame) {
      low = std::min(low, word);
      high = std::max(high, word);
    }
  }
  if (frames.empty()) low = 0, high = 1;
  if (low == high) high = static_cast<uint16_t>(low == 0xFFFF ? low : low + 1), low = high - 1;
  bool seconds = options.framesPerSecond > 0;
  double xEnd = frames.size() > 1 ? static_cast<double>(frames.size() - 1) : 1.0;
  if (seconds) xEnd /= options.framesPerSecond;

  auto x = [&](size_t index) {
    double span = frames.size() > 1 ? static_cast<double>(frames.size() - 1) : 1.0;
    return kLeft + kPlotWidth * static_cast<double>(index) / span;
  };
  auto y = [&](double value) {
    return kTop + kPlotHeight * (1.0 - (value - low) / static_cast<double>(high - low));
  };

  std::string svg = fmt::format(
      "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"{0}\" height=\"{1}\" "
      "viewBox=\"0 0 {0} {1}\" font-family=\"sans-serif\" font-size=\"12\">\n",
      kWidth, kHeight);
  svg += fmt::format("<rect width=\"{}\" height=\"{}\" fill=\"white\"/>\n", kWidth, kHeight);
  svg += fmt::format("<text x=\"{}\" y=\"24\" text-anchor=\"middle\" font-size=\"16\">{}</text>\n",
                     kLeft + kPlotWidth / 2, Escape(options.title));

  // Axes with five ticks each.
  svg += "<g stroke=\"#444\" fill=\"none\">\n";
  svg += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{0}\" y2=\"{2}\"/>\n", kLeft, kTop,
                     kTop + kPlotHeight);
  svg += fmt::format("<line x1=\"{0}\" y1=\"{1}\" x2=\"{2}\" y2=\"{1}\"/>\n", kLeft,
                     kTop + kPlotHeight, kLeft + kPlotWidth);
  svg += "</g>\n<g fill=\"#222\">\n";
  for (int i = 0; i <= 4; ++i) {
    double value = low + (high - low) * i / 4.0;
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"end\">{:.0f}</text>\n",
                       kLeft - 6, y(value) + 4, value);
    double tx = kLeft + kPlotWidth * i / 4.0;
    svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{:.4g}</text>\n", tx,
                       kTop + kPlotHeight + 18, xEnd * i / 4.0);
  }
  svg += fmt::format("<text x=\"{:.1f}\" y=\"{:.1f}\" text-anchor=\"middle\">{}</text>\n",
                     kLeft + kPlotWidth / 2, kHeight - 10, seconds ? "time (s)" : "frame");
  svg += fmt::format(
      "<text x=\"16\" y=\"{0:.1f}\" text-anchor=\"middle\" transform=\"rotate(-90 16 {0:.1f})\">"
      "raw value</text>\n",
      kTop + kPlotHeight / 2);
  svg += "</g>\n";

  size_t stride = std::max<size_t>(1, (frames.size() + options.maxPoints - 1) /
                                          std::max<size_t>(1, options.maxPoints));
  for (unsigned c = 0; c < kChannels; ++c) {
    svg += fmt::format("<polyline fill=\"none\" stroke=\"{}\" stroke-width=\"1\" points=\"",
                       kColours[c]);
    for (size_t i = 0; i < frames.size(); i += stride) {
      svg += fmt::format("{:.1f},{:.1f} ", x(i), y(frames[i][c]));
    }
    svg += "\"/>\n";
  }

  // Legend: one swatch and name per channel, right of the plot.
  for (unsigned c = 0; c < kChannels; ++c) {
    double ly = kTop + 8 + c * 18.0;
    double lx = kLeft + kPlotWidth + 16;
    svg += fmt::format(
        "<line x1=\"{:.1f}\" y1=\"{:.1f}\" x2=\"{:.1f}\" y2=\"{:.1f}\" stroke=\"{}\" "
        "stroke-width=\"3\"/><text x=\"{:.1f}\" y=\"{:.1f}\">{} {}</text>\n",
        lx, ly, lx + 18, ly, kColours[c], lx + 24, ly + 4, c, kChannelLayout[c].name);
  }
  svg += "</svg>\n";
  return svg;
}

void WritePlot(const std::filesystem::path& path, const std::string& svg) {
  WriteWholeFile(path, svg);
}

}  // namespace tarvik::tool
