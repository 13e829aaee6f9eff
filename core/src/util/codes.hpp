// The shapes of the codes a statement carries: the one check every reading and export
// of a BIC or a currency field asks.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <string_view>

#include "util/ascii.hpp"

namespace tallyfold::detail {

/// Whether `text` is a BIC (ISO 9362): four letters for the bank, two for the country,
/// two letters or digits for the place, and optionally three letters or digits for the
/// branch; upper case and nothing else. A bank name or an account number written where
/// a bank meant its BIC fails here, so it is never passed on as one.
namespace bic_words {
inline constexpr std::uint64_t kOnes = 0x0101010101010101u;
inline constexpr std::uint64_t kHigh = 0x8080808080808080u;
/// The high bit of each byte of `w` within lo..hi (both under 0x80): no byte's sum or
/// difference reaches into the next one.
constexpr std::uint64_t within(std::uint64_t w, unsigned char lo, unsigned char hi) noexcept {
  const std::uint64_t at_least = (w | kHigh) - kOnes * lo;
  const std::uint64_t above = (w & ~kHigh) + kOnes * (0x7Fu - hi);
  return at_least & ~above & ~w & kHigh;
}
inline std::uint64_t load(const char* p) noexcept {
  std::uint64_t w;
  std::memcpy(&w, p, sizeof w);
  return w;
}
}  // namespace bic_words

constexpr bool is_bic(std::string_view text) noexcept {
  if (text.size() != 8 && text.size() != 11) return false;
  if (!std::is_constant_evaluated() && std::endian::native == std::endian::little) {
    // Eight bytes at a time, the last eight of eleven overlapping the first: asked of
    // every text a bank wrote where a BIC belongs, which is often no BIC at all.
    using namespace bic_words;
    const std::uint64_t w = load(text.data());
    const std::uint64_t letters = within(w, 'A', 'Z');
    const std::uint64_t either = letters | within(w, '0', '9');
    bool ok = (letters & 0x0000808080808080u) == 0x0000808080808080u &&
              (either & 0x8080000000000000u) == 0x8080000000000000u;
    if (text.size() == 11) {
      const std::uint64_t branch = load(text.data() + 3);
      ok = ok && ((within(branch, 'A', 'Z') | within(branch, '0', '9')) & 0x8080800000000000u) == 0x8080800000000000u;
    }
    return ok;
  }
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
