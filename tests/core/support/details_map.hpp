// Details maps written by hand for tests, in the order a decoder would write them.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "tallyfold/model.hpp"

namespace tallyfold::test {

/// The map of `writes` (a key written again replaces the earlier value), copied into
/// `into`, as DecodedDetails::from_view_writes builds it.
inline DecodedDetails details_map(const std::vector<std::pair<std::string, std::string>>& writes, TextBuffer& into,
                                  Layout layout = Layout::None) {
  std::vector<DecodedDetails::EntryView> views(writes.begin(), writes.end());
  return DecodedDetails::from_view_writes(views, into, layout);
}

}  // namespace tallyfold::test
