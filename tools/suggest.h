// "Did you mean": the known name closest to a mistyped one.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tarvik::tool {

// The candidate at the smallest edit distance from `word` (insertions, deletions,
// substitutions and swaps of neighbours), if it is close: at most 2 edits and fewer than half
// the word's length. Exact matches return nullopt (nothing was mistyped).
std::optional<std::string> ClosestName(std::string_view word, std::span<const std::string> candidates);

}  // namespace tarvik::tool
