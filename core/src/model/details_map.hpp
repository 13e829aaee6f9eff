// The one map writer: a details map from the writes a decoder made, behind every
// decoder of both readings and DecodedDetails::from_view_writes.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <new>
#include <span>
#include <string_view>
#include <vector>

#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// An array of `maps` in `into`, aligned for the pointers they hold: what
/// Transaction::transaction_details views. The maps' own texts must lie in `into` already.
inline std::span<const DecodedDetails> place_maps(std::span<const DecodedDetails> maps, TextBuffer& into) {
  constexpr std::size_t align = alignof(DecodedDetails);
  char* raw = into.extend(maps.size() * sizeof(DecodedDetails) + align - 1);
  const std::size_t offset = (align - reinterpret_cast<std::uintptr_t>(raw) % align) % align;
  auto* first = reinterpret_cast<DecodedDetails*>(raw + offset);
  for (std::size_t i = 0; i < maps.size(); ++i) new (first + i) DecodedDetails(maps[i]);
  into.close();
  return {first, maps.size()};
}

/// Byte order, the order a map keeps its keys in, compared inline: keys are a few
/// bytes, where a library call costs more than the comparison.
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

/// The map of `entries`, whose keys ascend strictly, written into `into` after
/// `source`: values that are runs of it are kept as positions, everything else is
/// copied; the map is stamped with `layout`.
inline DecodedDetails write_sorted_map(std::span<const DecodedDetails::EntryView> entries, std::string_view source,
                                       TextBuffer& into, Layout layout) {
  std::size_t bytes = 0;
  for (const auto& [key, value] : entries) bytes += key.size() + value.size();
  DecodedDetails::Builder map(into, source, entries.size(), bytes);
  for (const auto& [key, value] : entries) {
    map.add_key(key);
    map.append_value(value);
  }
  return std::move(map).finish(layout);
}

/// The map of `writes` in write order (the last write of a key wins), as
/// write_sorted_map writes it; `writes` is sorted and merged in place. Linear for writes
/// in ascending key order, as most decoders make them, else linear-logarithmic.
inline DecodedDetails write_map(std::vector<DecodedDetails::EntryView>& writes, std::string_view source,
                                TextBuffer& into, Layout layout) {
  const auto less = [](const auto& a, const auto& b) { return key_less(a.first, b.first); };
  std::size_t ascending = writes.empty() ? 0 : 1;
  while (ascending < writes.size() && less(writes[ascending - 1], writes[ascending])) ++ascending;
  if (ascending < writes.size()) {
    // Stable: of equal keys the last write stays last. A map holds a handful of
    // entries, where insertion costs less than a merge sort's buffer.
    if (writes.size() > 32) {
      std::stable_sort(writes.begin(), writes.end(), less);
    } else {
      for (std::size_t i = ascending; i < writes.size(); ++i) {
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
  }
  return write_sorted_map(writes, source, into, layout);
}

}  // namespace tallyfold::detail
