// Text helpers shared by the bank-layout decoders of the bank-file reading.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/model.hpp"
#include "util/utf8.hpp"
#include "model/details_map.hpp"

namespace tallyfold::detail {

/// `text` without its CR and LF bytes: a :86: field's lines, and the :86: fields of one
/// transaction, continue one another, and banks break them wherever a line is full, in
/// the middle of a value. Without line breaks the view is `text` itself; otherwise the
/// joined text is written into `scratch`, which the view then points into.
inline std::string_view without_line_breaks(std::string_view text, std::string& scratch) {
  // Two vectorised searches: nearly every text has no line break at all.
  if (text.empty() || (std::memchr(text.data(), '\n', text.size()) == nullptr &&
                       std::memchr(text.data(), '\r', text.size()) == nullptr)) {
    return text;
  }
  const auto is_break = [](char c) { return c == '\n' || c == '\r'; };
  auto it = std::find_if(text.begin(), text.end(), is_break);
  scratch.assign(text.begin(), it);
  for (; it != text.end(); ++it) {
    if (!is_break(*it)) scratch.push_back(*it);
  }
  return scratch;
}

/// Whether `rest` opens a segment of the slash layout: a code that layout knows, then
/// "/". A writer of that layout keeps such text out of a place where it would be read
/// as a segment of its own.
bool opens_slash_segment(std::string_view rest) noexcept;

}  // namespace tallyfold::detail
