// Where a field starts: the one rule that the statement machine, the unwrapper, the
// charset detection and the details-width measure share, so that none of them splits a
// text into fields where another would not.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallyfold::detail {

/// The length of the tag that opens `line` (":20:", ":28C:"), both colons counted, or 0
/// when `line` is no tag line. A tag line starts with ":" and holds a second ":"; what
/// lies between is not checked here, since each reading decides which tags it knows.
constexpr std::size_t tag_length(std::string_view line) noexcept {
  if (line.size() < 2 || line.front() != ':') return 0;
  // The second colon ends a tag of a few characters: a loop finds it sooner than a call.
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == ':') return i + 1;
  }
  return 0;
}

}  // namespace tallyfold::detail
