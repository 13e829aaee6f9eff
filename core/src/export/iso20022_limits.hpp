// What the ISO 20022 schema types allow, and the fixed rules that bring a value
// within them: text lengths and characters, amounts, BICs, currencies, numbers.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "export/text_parts.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/model.hpp"
#include "util/ascii.hpp"

namespace tallyfold::camt {

// Max35Text, Max70Text, Max34Text, Max140Text, Max500Text; the 18 total digits of an amount and
// its 5 decimals, the 17 decimals of a sum.
inline constexpr std::size_t kMax35 = 35;
inline constexpr std::size_t kMax70 = 70;
inline constexpr std::size_t kMaxAddressLines = 7;  // AdrLine occurs at most seven times
inline constexpr std::size_t kMax34 = 34;
inline constexpr std::size_t kMax140 = 140;
inline constexpr std::size_t kMax500 = 500;
inline constexpr int kTotalDigits = 18;
inline constexpr int kAmountDecimals = 5;
inline constexpr int kSumDecimals = 17;

using ascii::is_digit;
using ascii::is_upper;
using ascii::is_upper_or_digit;

/// `text` as camt texts hold it: TAB, CR and LF become a blank, and every other
/// character XML 1.0 forbids, every ill-formed UTF-8 sequence and every U+FFFD
/// (a character the reading could not decode) becomes "?", the SWIFT character set's
/// own stand-in, so that no importer meets a replacement character.
std::string clean(std::string_view text);
/// The same, appended to `out`.
void clean_into(std::string_view text, std::string& out);

/// The byte length of the first `max` characters of a cleaned text.
std::size_t prefix_bytes(std::string_view cleaned, std::size_t max) noexcept;

/// Trimmed, cleaned and cut to `max` characters; empty when nothing is left.
std::string fit(std::string_view text, std::size_t max);

/// fit() of a text that is not empty, without a copy where it can, as fit() below.
std::string_view fit_present(std::string_view text, std::size_t max, std::string& scratch);

/// fit() without a copy where it can: `text` itself where fit() would give it back
/// unchanged, else what fit() gives, kept in `scratch`. Many of an entry's texts are
/// absent: each caller tells so by a branch of its own, which follows that text's
/// habits, rather than by one shared by every text in a call.
inline std::string_view fit(std::string_view text, std::size_t max, std::string& scratch) {
  if (text.empty()) return {};
  return fit_present(text, max, scratch);
}

/// Whether fit() leaves something of `text`: the first character that trimming leaves
/// is one that cleaning turns into no blank, and one character always fits.
inline bool fits_something(std::string_view text, std::size_t max) noexcept {
  return !text.empty() && max > 0 && !trim_white_space(text).empty();
}

/// Whether fit() gives `text` back unchanged because it is printable ASCII that starts
/// and ends with a graphic character and holds no more than `max` characters. False
/// says nothing: fit() may still keep such a text as it is.
inline bool fits_as_it_is(std::string_view text, std::size_t max) noexcept {
  return !text.empty() && text.size() <= max && ascii::is_graphic(text.front()) && ascii::is_graphic(text.back()) &&
         detail::printable_ascii(text);
}

/// An amount as the schema takes it: unsigned, at least `min_decimals` decimals, trailing
/// zeros beyond them dropped; nullopt when it needs more than `decimals` decimals or 18
/// digits. `scale`, when given, receives the number of decimals written.
std::optional<std::string> schema_amount(const Decimal& d, int decimals, int min_decimals = 2,
                                         int* scale = nullptr);

/// Three capital letters.
bool is_currency(std::string_view s) noexcept;

/// A BIC (detail::is_bic) that the version's pattern allows.
bool is_bic(std::string_view s, CamtVersion version) noexcept;

/// A :28C: number as the schema's Number: digits only, without leading zeros.
std::optional<std::string> sequence_number(std::string_view number);

}  // namespace tallyfold::camt
