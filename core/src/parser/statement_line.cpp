#include "parser/statement_line.hpp"

#include <cstdint>
#include <cstring>

#include "util/ascii.hpp"

namespace tallyfold::detail {
namespace {

using ascii::is_alnum;
using ascii::is_digit;
using ascii::is_upper;
using ascii::to_upper;

std::size_t digits_from(std::string_view line, std::size_t i) noexcept {
  const std::size_t start = i;
  while (i < line.size() && is_digit(line[i])) ++i;
  return i - start;
}

// Whether `text` holds a carriage return or a line feed, eight bytes a step: a word has
// a zero byte exactly when (w - 0x01..) & ~w & 0x80.. is not zero.
bool has_line_break(std::string_view text) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101u;
  constexpr std::uint64_t kHighs = 0x8080808080808080u;
  const auto zero_byte = [](std::uint64_t w) { return ((w - kOnes) & ~w & kHighs) != 0; };
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    if (zero_byte(word ^ (kOnes * '\r')) || zero_byte(word ^ (kOnes * '\n'))) return true;
  }
  for (; i < n; ++i) {
    if (p[i] == '\r' || p[i] == '\n') return true;
  }
  return false;
}

// The first "/" at or after `i`, or the line's size.
std::size_t slash_from(std::string_view line, std::size_t i) noexcept {
  if (i >= line.size()) return line.size();
  const void* at = std::memchr(line.data() + i, '/', line.size() - i);
  return at != nullptr ? static_cast<std::size_t>(static_cast<const char*>(at) - line.data()) : line.size();
}

std::size_t blanks_from(std::string_view line, std::size_t i) noexcept {
  const std::size_t start = i;
  while (i < line.size() && line[i] == ' ') ++i;
  return i - start;
}

}  // namespace

// The pattern step by step. No step has a second way to match that backtracking could
// find: an entry date is taken exactly when four digits follow the value date (the mark
// cannot start with a digit), a funds code exactly when a capital follows the mark (the
// amount cannot start with one), and the amount's digits end where the digits end (a
// separator or the type must follow them). The references are the possessive forms of
// the compiled pattern: everything up to the first "/" (with kSlashInReference, the
// first "//"), then nothing or "//" and a rest without carriage return or line feed.
bool tokenise_statement_line(std::string_view line, LineDeviations allowed, StatementLineTokens& out) noexcept {
  const auto deviate = [&out, allowed](LineDeviation d) {
    out.deviations |= d;
    return (allowed & d) != 0;
  };
  if (digits_from(line, 0) < 6) return false;
  out.value_date = line.substr(0, 6);
  std::size_t i = 6;
  if (digits_from(line, i) >= 4) {
    out.entry_date = line.substr(i, 4);
    i += 4;
  } else if (line.substr(i, 4) == "    ") {
    if (!deviate(kBlankEntryDate)) return false;
    i += 4;
  }

  const std::size_t mark_start = i;
  if (i < line.size() && to_upper(line[i]) == 'R' && i + 1 < line.size() &&
      (to_upper(line[i + 1]) == 'D' || to_upper(line[i + 1]) == 'C')) {
    i += 2;
  } else if (i < line.size() && (to_upper(line[i]) == 'D' || to_upper(line[i]) == 'C')) {
    i += 1;
  } else {
    return false;
  }
  out.mark = line.substr(mark_start, i - mark_start);
  if ((!is_upper(out.mark.front()) || !is_upper(out.mark.back())) && !deviate(kLowerCaseMark)) return false;

  const std::size_t blanks = blanks_from(line, i);
  if (blanks != 0) {
    if (!deviate(kBlankBeforeFundsCode)) return false;
    i += blanks;
    if (i == line.size() || !is_upper(line[i])) return false;  // blanks before an amount are no funds code
  }
  if (i < line.size() && is_upper(line[i])) {
    out.funds_code = line.substr(i, 1);
    ++i;
  }

  const std::size_t amount_start = i;
  const std::size_t integer = digits_from(line, i);
  if (integer == 0 || integer > 15) return false;
  out.amount_integer = line.substr(i, integer);
  i += integer;
  if (i < line.size() && (line[i] == ',' || line[i] == '.')) {
    if (line[i] == '.' && !deviate(kAmountWithPoint)) return false;
    out.separator = line[i++];
    const std::size_t fraction = digits_from(line, i);
    if (fraction > 2) return false;
    out.amount_fraction = line.substr(i, fraction);
    i += fraction;
  } else if (!deviate(kAmountWithoutComma)) {
    return false;
  }
  out.amount = line.substr(amount_start, i - amount_start);

  const std::size_t type_blanks = blanks_from(line, i);
  if (type_blanks != 0) {
    if (!deviate(kBlankBeforeType)) return false;
    i += type_blanks;
  }
  const std::string_view type = line.substr(i, 4);
  if (type.empty() || type.starts_with("//")) {
    if (!deviate(kNoType)) return false;
    out.transaction_type = type.substr(0, 0);
  } else {
    if (type.size() < 4 || !is_upper(type[0])) return false;
    std::size_t length = 1;
    while (length < 4 && is_alnum(type[length])) ++length;
    for (std::size_t k = length; k < 4; ++k) {
      if (type[k] != ' ') return false;
    }
    if (length < 4) {
      if (!deviate(kPaddedType)) return false;
    } else if (type[0] != 'N' && type[0] != 'F' && !deviate(kTypeNotNorF)) {
      return false;
    }
    out.transaction_type = type.substr(0, length);
    i += 4;
  }

  std::size_t slash = slash_from(line, i);
  while (slash < line.size() && (slash + 1 == line.size() || line[slash + 1] != '/')) {
    if (!deviate(kSlashInReference)) return false;
    slash = slash_from(line, slash + 1);
  }
  out.customer_reference = line.substr(i, slash - i);
  if (slash == line.size()) return true;
  const std::string_view bank_reference = line.substr(slash + 2);
  if (has_line_break(bank_reference)) return false;
  out.bank_reference = bank_reference;
  return true;
}

}  // namespace tallyfold::detail
