#include "parser/statement_line.hpp"

#include <bit>
#include <cstdint>
#include <cstring>

#include "util/ascii.hpp"

namespace tallyfold::detail {
namespace {

using ascii::is_alnum;
using ascii::is_digit;
using ascii::is_upper;
using ascii::to_upper;

// The value of digit `c`, above 9 for any other byte.
constexpr unsigned digit_value(char c) noexcept { return static_cast<unsigned>(c - '0'); }

std::size_t blanks_from(const char* s, std::size_t i, std::size_t n) noexcept {
  const std::size_t start = i;
  while (i < n && s[i] == ' ') ++i;
  return i - start;
}

// The references are read eight bytes a step. A word has a zero byte exactly when
// (w - 0x01..) & ~w & 0x80.. is not zero, and the lowest byte it marks is the first zero
// byte in a little-endian load (a borrow only runs on past a zero byte); elsewhere the
// bytes are read one by one. Every byte passed is ORed into `seen`, whose high bits then
// say whether the line is ASCII, so that no second walk asks it.
constexpr std::uint64_t kOnes = 0x0101010101010101u;
constexpr std::uint64_t kHighs = 0x8080808080808080u;
constexpr bool kWordSteps = std::endian::native == std::endian::little;

constexpr std::uint64_t zero_bytes(std::uint64_t w) noexcept { return (w - kOnes) & ~w & kHighs; }
constexpr std::uint64_t bytes_equal(std::uint64_t w, char c) noexcept {
  return zero_bytes(w ^ (kOnes * static_cast<unsigned char>(c)));
}

// The first byte at or after `i` that `marks` marks in a word read from it, or `n`.
// `marks` takes a word of bytes in line order and gives their high bits, and never
// marks a zero byte: the last step reads the line's last eight bytes shifted so that
// `i` comes first, with zeros after the end.
template <typename Marks>
[[gnu::always_inline]] inline std::size_t find_marked(const char* s, std::size_t i, std::size_t n, std::uint64_t& seen,
                                                      Marks marks) noexcept {
  if constexpr (kWordSteps) {
    if (n >= 8) {
      for (; i + 8 <= n; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, s + i, sizeof word);
        seen |= word;
        if (const std::uint64_t m = marks(word); m != 0) return i + static_cast<std::size_t>(std::countr_zero(m)) / 8;
      }
      if (i == n) return n;
      std::uint64_t word;
      std::memcpy(&word, s + n - 8, sizeof word);
      word >>= 8 * (i - (n - 8));
      seen |= word;
      const std::uint64_t m = marks(word);
      return m != 0 ? i + static_cast<std::size_t>(std::countr_zero(m)) / 8 : n;
    }
  }
  for (; i < n; ++i) {
    const auto byte = std::uint64_t{static_cast<unsigned char>(s[i])};
    seen |= byte;
    if ((marks(byte) & 0x80) != 0) return i;
  }
  return n;
}

// The pattern step by step, reading the digits' values as it passes them. No step has a
// second way to match that backtracking could find: an entry date is taken exactly when
// four digits follow the value date (the mark cannot start with a digit), a funds code
// exactly when a capital follows the mark (the amount cannot start with one), and the
// amount's digits end where the digits end (a separator or the type must follow them).
// The references are the possessive forms of the compiled pattern: everything up to the
// first "/" (with kSlashInReference, the first "//"), then nothing or "//" and a rest
// without carriage return or line feed. Inline, so that the exact form's tests of
// `allowed` fold away.
[[gnu::always_inline]] inline bool tokenise(std::string_view line, LineDeviations allowed, StatementLineTokens& out,
                                            bool to_line_feed = false) noexcept {
  const auto deviate = [&out, allowed](LineDeviation d) {
    out.deviations |= d;
    return (allowed & d) != 0;
  };
  const char* const s = line.data();
  const std::size_t n = line.size();
  const auto view = [s](std::size_t from, std::size_t to) { return std::string_view(s + from, to - from); };
  out.deviations = 0;
  if (n < 6) return false;
  unsigned date[6];
  for (std::size_t k = 0; k < 6; ++k) {
    date[k] = digit_value(s[k]);
    if (date[k] > 9) return false;
  }
  out.value_date = view(0, 6);
  out.value_year = static_cast<std::uint8_t>(date[0] * 10 + date[1]);
  out.value_month = static_cast<std::uint8_t>(date[2] * 10 + date[3]);
  out.value_day = static_cast<std::uint8_t>(date[4] * 10 + date[5]);
  std::size_t i = 6;
  if (n >= 10 && digit_value(s[6]) <= 9 && digit_value(s[7]) <= 9 && digit_value(s[8]) <= 9 &&
      digit_value(s[9]) <= 9) {
    out.entry_date = view(6, 10);
    out.entry_month = static_cast<std::uint8_t>(digit_value(s[6]) * 10 + digit_value(s[7]));
    out.entry_day = static_cast<std::uint8_t>(digit_value(s[8]) * 10 + digit_value(s[9]));
    i = 10;
  } else {
    out.entry_date.reset();
    out.entry_month = out.entry_day = 0;
    if (n >= 10 && view(6, 10) == "    ") {
      if (!deviate(kBlankEntryDate)) return false;
      i = 10;
    }
  }

  const std::size_t mark_start = i;
  if (i < n && to_upper(s[i]) == 'R' && i + 1 < n && (to_upper(s[i + 1]) == 'D' || to_upper(s[i + 1]) == 'C')) {
    i += 2;
  } else if (i < n && (to_upper(s[i]) == 'D' || to_upper(s[i]) == 'C')) {
    i += 1;
  } else {
    return false;
  }
  out.mark = view(mark_start, i);
  if ((!is_upper(s[mark_start]) || !is_upper(s[i - 1])) && !deviate(kLowerCaseMark)) return false;
  out.debit_credit = debit_credit_of(out.mark);

  const std::size_t blanks = blanks_from(s, i, n);
  if (blanks != 0) {
    if (!deviate(kBlankBeforeFundsCode)) return false;
    i += blanks;
    if (i == n || !is_upper(s[i])) return false;  // blanks before an amount are no funds code
  }
  if (i < n && is_upper(s[i])) {
    out.funds_code = view(i, i + 1);
    ++i;
  } else {
    out.funds_code.reset();
  }

  // Fifteen digits and two more fit 64 bits; a longer run is refused before its value counts.
  const std::size_t amount_start = i;
  std::uint64_t cents = 0;
  for (; i < n && digit_value(s[i]) <= 9; ++i) cents = cents * 10 + digit_value(s[i]);
  if (i == amount_start || i - amount_start > 15) return false;
  std::size_t fraction = 0;
  out.separator = 0;
  if (i < n && (s[i] == ',' || s[i] == '.')) {
    if (s[i] == '.' && !deviate(kAmountWithPoint)) return false;
    out.separator = s[i++];
    // Up to two fraction digits, written out: a loop's tests cost more than the digits.
    if (i < n && digit_value(s[i]) <= 9) {
      cents = cents * 10 + digit_value(s[i++]);
      fraction = 1;
      if (i < n && digit_value(s[i]) <= 9) {
        cents = cents * 10 + digit_value(s[i++]);
        fraction = 2;
        if (i < n && digit_value(s[i]) <= 9) return false;
      }
    }
  } else if (!deviate(kAmountWithoutComma)) {
    return false;
  }
  for (; fraction < 2; ++fraction) cents *= 10;
  out.amount_cents = cents;
  out.amount = view(amount_start, i);

  const std::size_t type_blanks = blanks_from(s, i, n);
  if (type_blanks != 0) {
    if (!deviate(kBlankBeforeType)) return false;
    i += type_blanks;
  }
  if (i == n || (s[i] == '/' && i + 1 < n && s[i + 1] == '/')) {
    if (!deviate(kNoType)) return false;
    out.transaction_type = view(i, i);
  } else {
    if (n - i < 4 || !is_upper(s[i])) return false;
    std::size_t length = 1;
    while (length < 4 && is_alnum(s[i + length])) ++length;
    for (std::size_t k = length; k < 4; ++k) {
      if (s[i + k] != ' ') return false;
    }
    if (length < 4) {
      if (!deviate(kPaddedType)) return false;
    } else if (s[i] != 'N' && s[i] != 'F' && !deviate(kTypeNotNorF)) {
      return false;
    }
    out.transaction_type = view(i, i + length);
    i += 4;
  }

  // With `to_line_feed` the line runs on past its first line feed, which ends it where
  // the references meet it: the pieces before them, in the exact form, hold none.
  std::uint64_t seen = 0;  // every byte before `i` is ASCII by its form
  const auto slashes = [to_line_feed](std::uint64_t w) {
    return bytes_equal(w, '/') | (to_line_feed ? bytes_equal(w, '\n') : 0);
  };
  std::size_t slash = find_marked(s, i, n, seen, slashes);
  std::size_t end = n;
  if (to_line_feed && slash < n && s[slash] == '\n') end = slash;
  while (slash < end && (slash + 1 == end || s[slash + 1] != '/')) {
    if (!deviate(kSlashInReference)) return false;
    slash = find_marked(s, slash + 1, n, seen, slashes);
  }
  out.customer_reference = view(i, slash);
  if (slash < end) {
    const auto breaks = [](std::uint64_t w) { return bytes_equal(w, '\r') | bytes_equal(w, '\n'); };
    end = find_marked(s, slash + 2, n, seen, breaks);
    if (end < n && !(to_line_feed && s[end] == '\n')) return false;
    out.bank_reference = view(slash + 2, end);
  } else {
    out.bank_reference.reset();
  }
  out.line_size = end;
  out.ascii = (seen & kHighs) == 0;
  return true;
}

}  // namespace

bool tokenise_statement_line(std::string_view line, LineDeviations allowed, StatementLineTokens& out) noexcept {
  return tokenise(line, allowed, out);
}

bool recognise_statement_line(std::string_view text, StatementLineTokens& out) noexcept {
  return tokenise(text, kExactForm, out, true) && out.ascii;
}

void read_token_values(StatementLineTokens& t) noexcept {
  const auto all_digits = [](std::string_view s) {
    for (const char c : s) {
      if (!is_digit(c)) return false;
    }
    return true;
  };
  const auto two_digits = [](std::string_view s, std::size_t at) {
    return static_cast<std::uint8_t>(digit_value(s[at]) * 10 + digit_value(s[at + 1]));
  };
  t.debit_credit = debit_credit_of(t.mark);
  t.value_year = t.value_month = t.value_day = 0;
  if (t.value_date.size() == 6 && all_digits(t.value_date)) {
    t.value_year = two_digits(t.value_date, 0);
    t.value_month = two_digits(t.value_date, 2);
    t.value_day = two_digits(t.value_date, 4);
  }
  t.entry_month = t.entry_day = 0;
  if (t.entry_date && t.entry_date->size() == 4 && all_digits(*t.entry_date)) {
    t.entry_month = two_digits(*t.entry_date, 0);
    t.entry_day = two_digits(*t.entry_date, 2);
  }
  t.amount_cents.reset();
  const std::size_t cut = t.separator != 0 ? t.amount.find(t.separator) : t.amount.size();
  const std::string_view integer = t.amount.substr(0, cut);
  const std::string_view fraction = cut < t.amount.size() ? t.amount.substr(cut + 1) : std::string_view();
  if (!integer.empty() && integer.size() <= 15 && all_digits(integer) && fraction.size() <= 2 && all_digits(fraction)) {
    std::uint64_t cents = 0;
    for (const char c : integer) cents = cents * 10 + digit_value(c);
    for (const char c : fraction) cents = cents * 10 + digit_value(c);
    for (std::size_t pad = fraction.size(); pad < 2; ++pad) cents *= 10;
    t.amount_cents = cents;
  }
}

}  // namespace tallyfold::detail
