#include "export/iso20022_limits.hpp"

#include <cstdint>

#include "export/text_parts.hpp"
#include "util/codes.hpp"
#include "util/xml_text.hpp"

namespace tallyfold::camt {

std::string clean(std::string_view text) {
  std::string out;
  clean_into(text, out);
  return out;
}

void clean_into(std::string_view text, std::string& out) {
  out.reserve(out.size() + text.size());
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  while (p < end) {
    // Printable ASCII, most of every text, is copied a run at a time, found eight bytes
    // at a time.
    const auto* run = p;
    while (end - p >= 8) {
      const std::uint64_t w = detail::word::load(p);
      if (detail::word::any_non_ascii(w) | detail::word::any_below(w, 0x20)) break;
      p += 8;
    }
    while (p < end && *p >= 0x20 && *p < 0x80) ++p;
    if (p != run) out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(p - run));
    if (p == end) break;
    const detail::XmlStep step = detail::xml_step(p, static_cast<std::size_t>(end - p));
    const unsigned char c = *p;
    // Line breaks and tabs would break the lines of a text an importer shows.
    const bool allowed = step.allowed && c >= 0x20 && !detail::is_replacement_character(p, step.length);
    if (allowed) {
      out.append(reinterpret_cast<const char*>(p), step.length);
    } else {
      out.push_back(c == '\t' || c == '\n' || c == '\r' ? ' ' : '?');
    }
    p += step.length;
  }
}

std::size_t prefix_bytes(std::string_view cleaned, std::size_t max) noexcept {
  // No more bytes than `max` are no more characters either: nothing to count.
  if (cleaned.size() <= max) return cleaned.size();
  return detail::character_prefix(cleaned, max);
}

namespace {

// The characters of `text` when cleaning keeps every byte of it as it is: printable
// ASCII and well-formed two-byte characters (U+0080 to U+07FF, every one of which XML
// allows) only; SIZE_MAX otherwise.
std::size_t kept_characters(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t characters = 0;
  for (std::size_t i = 0; i < n; ++characters) {
    const unsigned char c = p[i];
    if (c >= 0x20 && c < 0x7F) {
      ++i;
    } else if (c >= 0xC2 && c <= 0xDF && i + 1 < n && (p[i + 1] & 0xC0) == 0x80) {
      i += 2;
    } else {
      return SIZE_MAX;
    }
  }
  return characters;
}

}  // namespace

std::string_view fit_present(std::string_view text, std::size_t max, std::string& scratch) {
  // Most texts are printable ASCII with nothing to trim and fit their width, which the
  // rules below would copy unchanged: one scan says so. Names and the like beyond ASCII
  // mostly hold two-byte characters, which cleaning keeps as they are too.
  if (fits_as_it_is(text, max)) return text;
  if (text.empty()) return {};  // front() and back() below need a byte
  if (ascii::is_graphic(text.front()) && ascii::is_graphic(text.back()) && kept_characters(text) <= max) {
    return text;
  }
  scratch.clear();
  clean_into(trim_white_space(text), scratch);
  scratch.resize(prefix_bytes(scratch, max));
  return trim_white_space(scratch);
}

std::string fit(std::string_view text, std::size_t max) {
  std::string scratch;
  const std::string_view fitted = fit(text, max, scratch);
  if (fitted.data() == scratch.data() && fitted.size() == scratch.size()) return scratch;  // no second copy
  return std::string(fitted);
}

std::optional<std::string> schema_amount(const Decimal& d, int decimals, int min_decimals, int* written_scale) {
  uint128 mantissa = d.mantissa();
  int scale = d.scale();
  while (scale > min_decimals && mantissa % 10 == 0) {
    mantissa /= 10;
    --scale;
  }
  if (scale > decimals) return std::nullopt;
  for (; scale < min_decimals; ++scale) mantissa *= 10;  // 96 bits times 10^5 still fits 128
  if (written_scale) *written_scale = scale;
  char digits[40];
  int n = 0;
  // 128-bit division is a library call per digit; what fits 64 bits, nearly every
  // amount, is divided as 64 bits.
  while (mantissa > ~std::uint64_t{0}) {
    digits[n++] = static_cast<char>('0' + static_cast<int>(mantissa % 10));
    mantissa /= 10;
  }
  auto low = static_cast<std::uint64_t>(mantissa);
  do {
    digits[n++] = static_cast<char>('0' + static_cast<int>(low % 10));
    low /= 10;
  } while (low != 0);
  while (n <= scale) digits[n++] = '0';  // at least one integer digit
  // Leading zeros are no digits of the value; the fraction's are.
  int significant = n;
  while (significant > scale && digits[significant - 1] == '0') --significant;
  if (significant > kTotalDigits) return std::nullopt;
  char text[48];
  char* t = text;
  for (int i = n - 1; i >= 0; --i) {
    if (i == scale - 1 && scale > 0) *t++ = '.';
    *t++ = digits[i];
  }
  return std::string(text, t);
}

bool is_currency(std::string_view s) noexcept {
  return detail::is_currency_code(s);
}

bool is_bic(std::string_view s, CamtVersion version) noexcept {
  if (!detail::is_bic(s)) return false;
  // .08 takes every BIC; the older versions' pattern, [A-Z]{6}[A-Z2-9][A-NP-Z0-9]...,
  // leaves out the places that mark test and passive BICs.
  return version == CamtVersion::V08 || (s[6] != '0' && s[6] != '1' && s[7] != 'O');
}

std::optional<std::string> sequence_number(std::string_view number) {
  number = trim_white_space(number);
  if (number.empty()) return std::nullopt;
  for (const char c : number) {
    if (!is_digit(c)) return std::nullopt;
  }
  while (number.size() > 1 && number.front() == '0') number.remove_prefix(1);
  if (number.size() > static_cast<std::size_t>(kTotalDigits)) return std::nullopt;
  return std::string(number);
}

}  // namespace tallyfold::camt
