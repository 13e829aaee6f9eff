// Where the long lines of a text are, as the unwrapping pass finds them on its way.
#pragma once

#include <cstddef>
#include <utility>
#include <vector>

namespace tallyfold::detail {

/// The lines of a text longer than SWIFT's :86: width (65 bytes), as [begin, end) byte
/// offsets of the text, the line feed that ends each at `end`, in order: the width of a
/// file's details lines is judged from these alone (details_line_width). The unwrapping
/// pass sees every line feed in its blocks and notes them for the first bytes of the
/// text it hands on, which spares the judgement a pass of its own.
struct LongLines {
  std::vector<std::pair<std::size_t, std::size_t>> lines;
  /// Bytes from the text's start that `lines` covers: every line of them longer than
  /// the width, that a line feed inside them ends, is in `lines`.
  std::size_t covered = 0;
};

}  // namespace tallyfold::detail
