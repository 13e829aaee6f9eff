// What a BIC is: the one check every reading and export of a BIC field asks.
#pragma once

#include <cstddef>
#include <string_view>

namespace tallyfold::detail {

/// Whether `text` is a BIC (ISO 9362): four letters for the bank, two for the country,
/// two letters or digits for the place, and optionally three letters or digits for the
/// branch; upper case and nothing else. A bank name or an account number written where
/// a bank meant its BIC fails here, so it is never passed on as one.
constexpr bool is_bic(std::string_view text) noexcept {
  if (text.size() != 8 && text.size() != 11) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    const bool letter = c >= 'A' && c <= 'Z';
    const bool digit = c >= '0' && c <= '9';
    if (i < 6 ? !letter : !(letter || digit)) return false;
  }
  return true;
}

}  // namespace tallyfold::detail
