#include <algorithm>
#include <cstdint>
#include <string>

#include "parser/field_parsers.hpp"
#include "parser/line_pattern.hpp"
#include "parser/statement_line.hpp"
#include "tallyfold/parse.hpp"
#include "util/ascii.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

using ascii::is_ascii;
using ascii::is_digit;

// True when a character runs across the cut before byte `at`. A continuation byte after
// an ASCII byte belongs to no character (invalid UTF-8) and is carried as a byte.
bool splits_character(std::string_view s, std::size_t at) noexcept {
  return detail::is_continuation_byte(s[at]) && !is_ascii(s[at - 1]);
}

// A two-byte date part: two ASCII digits, "+" and a digit, or, for the year only, "-"
// and a digit (its negative).
std::optional<int> read_date_part(char first, char second, bool allow_negative) noexcept {
  if (!is_digit(second)) return std::nullopt;
  const int low = second - '0';
  if (is_digit(first)) return (first - '0') * 10 + low;
  if (first == '+') return low;
  if (first == '-' && allow_negative) return -low;
  return std::nullopt;
}

// Appends the ASCII digits of `s` to `mantissa`, skipping underscores; false on any
// other byte or once the mantissa outgrows 96 bits, so no amount is ever cut short.
bool read_digits(std::string_view s, uint128& mantissa, std::size_t& digits) noexcept {
  // Statement amounts have at most 17 digits: 64-bit steps while they cannot overflow.
  constexpr std::uint64_t kFast = (~std::uint64_t{0} - 9) / 10;
  for (const char c : s) {
    if (c == '_') continue;
    if (!is_digit(c)) return false;
    const auto d = static_cast<unsigned>(c - '0');
    if (mantissa <= kFast) {
      mantissa = static_cast<std::uint64_t>(mantissa) * 10 + d;
    } else {
      if (mantissa > (Decimal::kMaxMantissa - d) / 10) return false;
      mantissa = mantissa * 10 + d;
    }
    ++digits;
  }
  return true;
}

// An optional sign, then a digit, then digits and underscores.
bool read_integer(std::string_view s, uint128& mantissa, bool& negative) noexcept {
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    negative = s.front() == '-';
    s.remove_prefix(1);
  }
  if (s.empty() || !is_digit(s.front())) return false;
  std::size_t digits = 0;
  return read_digits(s, mantissa, digits);
}

// The plain reading of `integer` "." `fraction`, the fraction padded with zeros to at
// least two characters; the scale is the number of fraction digits.
std::optional<Decimal> read_plain(std::string_view integer, std::string_view fraction) noexcept {
  uint128 mantissa = 0;
  bool negative = false;
  std::size_t scale = 0;
  if (!read_integer(integer, mantissa, negative)) return std::nullopt;
  if (!read_digits(fraction, mantissa, scale)) return std::nullopt;
  for (std::size_t pad = fraction.size(); pad < 2; ++pad) {
    if (mantissa > Decimal::kMaxMantissa / 10) return std::nullopt;
    mantissa *= 10;
    ++scale;
  }
  if (scale > Decimal::kMaxScale) return std::nullopt;
  return Decimal::from_parts(mantissa, static_cast<int>(scale), negative);
}

// Mantissa (plain reading, point optional), "e" or "E", optionally signed exponent.
std::optional<Decimal> read_scientific(std::string_view text) noexcept {
  const std::size_t e = text.find_first_of("eE");
  if (e == std::string_view::npos) return std::nullopt;
  std::string_view mantissa_text = text.substr(0, e);
  std::string_view exponent_text = text.substr(e + 1);

  uint128 mantissa = 0;
  bool negative = false;
  std::size_t fraction_digits = 0;
  const std::size_t point = mantissa_text.find('.');
  if (!read_integer(mantissa_text.substr(0, point), mantissa, negative)) return std::nullopt;
  if (point != std::string_view::npos &&
      !read_digits(mantissa_text.substr(point + 1), mantissa, fraction_digits)) {
    return std::nullopt;
  }

  bool exponent_negative = false;
  if (!exponent_text.empty() && (exponent_text.front() == '+' || exponent_text.front() == '-')) {
    exponent_negative = exponent_text.front() == '-';
    exponent_text.remove_prefix(1);
  }
  if (exponent_text.empty()) return std::nullopt;
  // Anything beyond a few dozen is out of range either way; capping keeps the
  // arithmetic small and the scaling loop below short.
  constexpr long kExponentCap = 1000;
  long exponent = 0;
  for (const char c : exponent_text) {
    if (!is_digit(c)) return std::nullopt;
    if (exponent < kExponentCap) exponent = exponent * 10 + (c - '0');
  }
  if (exponent >= kExponentCap) return std::nullopt;
  long scale = static_cast<long>(fraction_digits) + (exponent_negative ? exponent : -exponent);
  for (; scale < 0; ++scale) {
    if (mantissa > Decimal::kMaxMantissa / 10) return std::nullopt;
    mantissa *= 10;
  }
  if (scale > Decimal::kMaxScale) return std::nullopt;
  return Decimal::from_parts(mantissa, static_cast<int>(scale), negative);
}

// The form nearly every amount has: ASCII digits, one separator, at most two fraction
// digits, nothing else, and few enough digits for 64 bits. Read straight to scale 2,
// which is what the general reading gives for it; nullopt sends anything else there.
std::optional<Decimal> read_common_amount(std::string_view text) noexcept {
  constexpr std::size_t kMaxDigits = 17;  // 10^17 * 100 still fits 64 bits
  std::uint64_t mantissa = 0;
  std::size_t i = 0;
  for (; i < text.size() && is_digit(text[i]); ++i) {
    mantissa = mantissa * 10 + static_cast<unsigned>(text[i] - '0');
  }
  if (i == 0 || i > kMaxDigits || i == text.size() || (text[i] != ',' && text[i] != '.')) {
    return std::nullopt;
  }
  const std::size_t fraction = text.size() - i - 1;
  if (fraction > 2) return std::nullopt;
  for (std::size_t k = i + 1; k < text.size(); ++k) {
    if (!is_digit(text[k])) return std::nullopt;
    mantissa = mantissa * 10 + static_cast<unsigned>(text[k] - '0');
  }
  for (std::size_t pad = fraction; pad < 2; ++pad) mantissa *= 10;
  return Decimal::from_parts(mantissa, 2, false);
}

// The date of six bytes as parse_date reads it, or nullopt where parse_date gives its
// error: the statement line reads one for every transaction, and a Result costs more
// than the reading.
std::optional<Date> read_date(std::string_view text) noexcept {
  if (text.size() != 6) return std::nullopt;
  const auto year_part = read_date_part(text[0], text[1], true);
  const auto month = read_date_part(text[2], text[3], false);
  const auto day = read_date_part(text[4], text[5], false);
  if (!year_part || !month || !day) return std::nullopt;
  return Date::from_ymd(detail::statement_year(*year_part), static_cast<unsigned>(*month),
                        static_cast<unsigned>(*day));
}

}  // namespace

Result<Date> parse_date(std::string_view text) {
  auto invalid = [text] { return InvalidDate{std::string(text), kDateField}; };
  const auto date = read_date(text);
  if (!date) return invalid();
  return *date;
}

Result<Decimal> parse_amount(std::string_view text) {
  if (auto common = read_common_amount(text)) return *common;
  auto invalid = [text] { return InvalidAmount{std::string(text), kAmountField}; };
  // "," counts as "."; more than one separator is ambiguous ("1.234,56"), never guessed.
  std::size_t separator = std::string_view::npos;
  bool has_exponent_letter = false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == ',' || c == '.') {
      if (separator != std::string_view::npos) return invalid();
      separator = i;
    } else if (c == 'e' || c == 'E') {
      has_exponent_letter = true;
    }
  }
  std::string_view integer = text.substr(0, separator);
  const std::string_view fraction =
      separator == std::string_view::npos ? std::string_view() : text.substr(separator + 1);
  std::size_t zeros = 0;
  while (zeros < integer.size() && integer[zeros] == '0') ++zeros;
  integer.remove_prefix(zeros);
  if (integer.empty()) integer = "0";

  if (auto plain = read_plain(integer, fraction)) return *plain;
  if (has_exponent_letter) {
    std::string joined;
    joined.reserve(integer.size() + fraction.size() + 3);
    joined.append(integer).push_back('.');
    joined.append(fraction);
    if (fraction.size() < 2) joined.append(2 - fraction.size(), '0');
    if (auto scientific = read_scientific(joined)) return *scientific;
  }
  return invalid();
}

Result<Balance> parse_balance(std::string_view content) {
  // 11 bytes is the shortest balance: mark, six-byte date, currency, one amount byte.
  if (content.size() < 11) return InvalidFormat{kBalanceField, std::string(content), kReasonTooShort};
  Balance balance;
  if (content[0] == 'C') {
    balance.debit_credit = DebitCreditMark::Credit;
  } else if (content[0] == 'D') {
    balance.debit_credit = DebitCreditMark::Debit;
  } else {
    return InvalidFormat{kBalanceField, std::string(content), kReasonInvalidMark};
  }
  // A character running across byte 7 is not a date: report it whole, never cut.
  if (splits_character(content, 7)) {
    std::size_t end = 7;
    while (end < 10 && detail::is_continuation_byte(content[end])) ++end;
    return InvalidDate{std::string(content.substr(1, end - 1)), kDateField};
  }
  auto date = parse_date(content.substr(1, 6));
  if (!date) return std::move(date).error();
  balance.date = *date;
  // A character running across byte 10 leaves no valid currency or amount: report the
  // amount from the start of that character.
  if (splits_character(content, 10)) {
    std::size_t start = 10;
    while (start > 7 && detail::is_continuation_byte(content[start])) --start;
    return InvalidAmount{std::string(content.substr(start)), kAmountField};
  }
  balance.currency = content.substr(7, 3);
  auto amount = parse_amount(content.substr(10));
  if (!amount) return std::move(amount).error();
  balance.amount = *amount;
  return balance;
}

// The line's pieces are read with their digits' values: nothing is read twice.
std::optional<ParseError> detail::read_statement_line(std::string_view content, Transaction& t) {
  detail::StatementLineTokens tokens;
  if (!detail::match_statement_line(content, tokens)) {
    return InvalidFormat{kStatementLineField, std::string(content.substr(0, content.find('\n'))), kReasonNoMatch};
  }

  const auto value_date = Date::from_ymd(detail::statement_year(tokens.value_year), tokens.value_month, tokens.value_day);
  if (!value_date) [[unlikely]] return parse_date(tokens.value_date).error();
  t.value_date = *value_date;
  if (tokens.entry_date) t.entry_date = detail::entry_date_near(t.value_date, tokens.entry_month, tokens.entry_day);

  t.debit_credit = tokens.debit_credit;
  if (!is_reversal(t.debit_credit) && tokens.funds_code) t.funds_code = tokens.funds_code->front();

  if (tokens.amount_cents) [[likely]] {
    // What parse_amount reads of the same digits: the value at scale 2.
    t.amount = *Decimal::from_parts(*tokens.amount_cents, 2, false);
  } else {
    auto amount = parse_amount(tokens.amount);
    if (!amount) return std::move(amount).error();
    t.amount = *amount;
  }

  t.transaction_type = tokens.transaction_type;
  t.customer_reference = trim_white_space(tokens.customer_reference);
  if (tokens.bank_reference) t.bank_reference.emplace(*tokens.bank_reference);
  if (tokens.line_size < content.size()) {
    const std::string_view extra = trim_white_space(content.substr(tokens.line_size + 1));
    if (!extra.empty()) t.extra_details.emplace(extra);
  }
  return std::nullopt;
}

Result<Transaction> parse_statement_line(std::string_view content) {
  Transaction t;
  if (auto error = detail::read_statement_line(content, t)) return std::move(*error);
  return t;
}

}  // namespace tallyfold
