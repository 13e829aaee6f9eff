// The shapes of the codes a statement carries: the one check every reading and export
// of a BIC or a currency field asks.
#pragma once

#include <cstddef>
#include <string_view>

#include "util/ascii.hpp"

namespace tallyfold::detail {

/// Whether `text` is a BIC (ISO 9362): four letters for the bank, two for the country,
/// two letters or digits for the place, and optionally three letters or digits for the
/// branch; upper case and nothing else. A bank name or an account number written where
/// a bank meant its BIC fails here, so it is never passed on as one.
constexpr bool is_bic(std::string_view text) noexcept {
  if (text.size() != 8 && text.size() != 11) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (i < 6 ? !ascii::is_upper(c) : !ascii::is_upper_or_digit(c)) return false;
  }
  return true;
}

/// Whether `text` has the shape of an ISO 4217 currency code: three capital letters.
/// Whether the code is assigned is not asked; an unknown code is still written back
/// as it was read.
constexpr bool is_currency_code(std::string_view text) noexcept {
  return text.size() == 3 && ascii::is_upper(text[0]) && ascii::is_upper(text[1]) && ascii::is_upper(text[2]);
}

}  // namespace tallyfold::detail
