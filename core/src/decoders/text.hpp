// Small text helpers shared by the decoders.
#pragma once

#include <string_view>

#include "tallyfold/model.hpp"
#include "util/ascii.hpp"

namespace tallyfold::detail {

/// trim_white_space, answering without a scan for text that starts and ends with an
/// ASCII graphic character: such a byte is never white space nor part of a character
/// that is, and most decoded values look like that.
inline std::string_view trimmed(std::string_view text) noexcept {
  if (!text.empty() && ascii::is_graphic(text.front()) && ascii::is_graphic(text.back())) return text;
  return trim_white_space(text);
}

}  // namespace tallyfold::detail
