// The tool's version, printed by --version and recorded in its files.
#pragma once

namespace tarvik::tool {

inline constexpr const char* kToolVersion = "0.2.0";

}  // namespace tarvik::tool
