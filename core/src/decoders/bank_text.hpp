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

/// Byte order of two short keys.
inline bool key_less(std::string_view x, std::string_view y) noexcept {
  const std::size_t n = x.size() < y.size() ? x.size() : y.size();
  for (std::size_t i = 0; i < n; ++i) {
    if (x[i] != y[i]) return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]);
  }
  return x.size() < y.size();
}

inline bool same_key(std::string_view x, std::string_view y) noexcept {
  if (x.size() != y.size()) return false;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (x[i] != y[i]) return false;
  }
  return true;
}

/// The map of `writes` (the last write of a key wins) written into `into` after
/// `source`, the text they were decoded from: values that are runs of it are kept as
/// positions, everything else is copied; the map is stamped with `layout`.
/// Linear-logarithmic in the number of writes.
inline DecodedDetails write_map(std::vector<DecodedDetails::EntryView>& writes, std::string_view source,
                                TextBuffer& into, Layout layout) {
  // Stable: of equal keys the last write stays last. A map holds a handful of entries,
  // where insertion costs less than a merge sort's buffer. Keys are a few bytes: compared
  // inline, where a library call per comparison cost more than the bytes.
  const auto less = [](const auto& a, const auto& b) { return key_less(a.first, b.first); };
  if (writes.size() > 32) {
    std::stable_sort(writes.begin(), writes.end(), less);
  } else {
    for (std::size_t i = 1; i < writes.size(); ++i) {
      const auto moving = writes[i];
      std::size_t j = i;
      for (; j > 0 && less(moving, writes[j - 1]); --j) writes[j] = writes[j - 1];
      writes[j] = moving;
    }
  }
  std::size_t unique = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (unique > 0 && same_key(writes[unique - 1].first, writes[i].first)) {
      writes[unique - 1].second = writes[i].second;
    } else {
      writes[unique++] = writes[i];
    }
  }
  writes.resize(unique);
  std::size_t bytes = 0;
  for (const auto& [key, value] : writes) bytes += key.size() + value.size();
  DecodedDetails::Builder map(into, source, writes.size(), bytes);
  for (const auto& [key, value] : writes) {
    map.add_key(key);
    map.append_value(value);
  }
  return std::move(map).finish(layout);
}

/// Whether `rest` opens a segment of the slash layout: a code that layout knows, then
/// "/". A writer of that layout keeps such text out of a place where it would be read
/// as a segment of its own.
bool opens_slash_segment(std::string_view rest) noexcept;

}  // namespace tallyfold::detail
