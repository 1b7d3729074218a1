// tarvik acquire: the run itself. Opens the board, starts the card, takes what arrives into
// the file (and the plot) until the frames asked for are there, a signal stops it or the file
// cannot be written, keeps the progress line up to date, and stops the card.
#pragma once

#include <optional>
#include <string>

#include "acquire_settings.h"
#include "data_files.h"
#include "machine_host.h"
#include "plot_columns.h"

namespace tarvik::tool {

struct RunOutcome {
  AcquisitionResult result;
  std::optional<PlotColumns> plot;
  std::string writeError;  // the file could not be written: what the system said
};

// Throws tarvik::Error for the device, std::runtime_error when no data arrives.
RunOutcome RunAcquisition(const AcquireOptions& options, const AcquireSettings& settings,
                          MachineHost& host, FrameWriter& writer);

}  // namespace tarvik::tool
