#include <algorithm>
#include <cstddef>
#include <iterator>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"

namespace tallyfold {

void LineMap::map(std::size_t line, std::size_t original_line) {
  // A line that the last run already implies adds nothing; files that need no rewriting
  // keep an empty map, and unwrapped ones one run per dropped stretch.
  const std::size_t implied = runs_.empty() ? line : runs_.back().second + (line - runs_.back().first);
  if (implied == original_line) return;
  if (!runs_.empty() && runs_.back().first == line) {
    runs_.back().second = original_line;
  } else {
    runs_.emplace_back(line, original_line);
  }
}

std::size_t LineMap::original_line(std::size_t line) const noexcept {
  auto after = std::upper_bound(runs_.begin(), runs_.end(), line,
                                [](std::size_t l, const auto& run) { return l < run.first; });
  if (after == runs_.begin()) return line;
  const auto& run = *std::prev(after);
  return run.second + (line - run.first);
}

}  // namespace tallyfold
