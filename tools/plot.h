// The plot of an acquisition: one panel per selected word, each with its own axis fitted to
// its data and unit, the run's time along a shared axis (seconds when the frame rate is
// known), every pixel column drawn from the smallest to the largest value of its frames, and
// lost frames marked where they were lost. Written as SVG, or as PNG where the build has a
// rasteriser.
#pragma once

#include <filesystem>
#include <optional>
#include <string>

#include "plot_columns.h"

namespace tarvik::tool {

struct PlotOptions {
  double framesPerSecond = 0;  // x in seconds when known; otherwise in frames
  std::string title = "tarvik acquisition";
};

std::string PlotSvg(const PlotColumns& columns, const PlotOptions& options);

enum class PlotFormat { Svg, Png };
// From the file's extension (.svg or .png, any case); nothing for others.
std::optional<PlotFormat> PlotFormatFor(const std::filesystem::path& path);

// Whether this build can write PNG (it needs librsvg and cairo).
bool PngPlotsSupported();
// The SVG rasterised at its own size; throws std::runtime_error when it cannot.
std::string SvgToPng(const std::string& svg);

// Writes the plot in the format its extension names.
void WritePlot(const std::filesystem::path& path, const PlotColumns& columns,
               const PlotOptions& options);

}  // namespace tarvik::tool
