// The JSON description written beside each data file (FILE.json, by nlohmann-json, valid
// whatever the file's name), and carried by an HDF5 file as attributes: the data's shape and
// type, the start time, the tool, the board, the signal sources, the rates, the words with
// their meaning, kind and scale, the gain, and the gaps.
#pragma once

#include <chrono>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "data_files.h"

namespace tarvik::tool {

// ISO 8601 in UTC with milliseconds, e.g. "2026-12-09T13:43:16.123Z".
std::string UtcTimestamp(std::chrono::system_clock::time_point when);

// The description of a data file, and its text.
nlohmann::ordered_json SidecarDocument(DataFormat format, const std::filesystem::path& dataFile,
                                       const AcquisitionHeader& header,
                                       const AcquisitionResult& result);
std::string SidecarJson(DataFormat format, const std::filesystem::path& dataFile,
                        const AcquisitionHeader& header, const AcquisitionResult& result);
// Writes FILE.json beside the data file; throws OutputError.
void WriteSidecar(const std::filesystem::path& dataFile, const std::string& json);

}  // namespace tarvik::tool
