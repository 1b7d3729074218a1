// A plot of the acquired channels over time as a self-contained SVG: one polyline per channel
// on a shared axis of raw 16-bit values, with axes, tick labels and a legend.
#pragma once

#include <cstddef>
#include <filesystem>
#include <span>
#include <string>

#include "frame_layout.h"

namespace tarvik::tool {

struct PlotOptions {
  double framesPerSecond = 0;  // x in seconds when known; otherwise in frames
  size_t maxPoints = 1000;     // per polyline; longer runs are thinned evenly
  std::string title = "tarvik acquisition";
};

std::string PlotSvg(std::span<const FrameWords> frames, const PlotOptions& options);
void WritePlot(const std::filesystem::path& path, const std::string& svg);

}  // namespace tarvik::tool
