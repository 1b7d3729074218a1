// HDF5 output: a chunked, extendible 2-D dataset "frames" (frames x selected words) grown as
// frames arrive, "time" beside it with the time column, and the run's description as
// attributes of the file's root group.
#pragma once

#include <filesystem>
#include <memory>

#include "data_files.h"

namespace tarvik::tool {

// Throws std::runtime_error when the file cannot be created, or when the tool was built
// without libhdf5.
std::unique_ptr<FrameWriter> OpenHdf5Writer(const std::filesystem::path& path,
                                            const AcquisitionHeader& header);

}  // namespace tarvik::tool
