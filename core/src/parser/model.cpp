#include "tallyfold/model.hpp"

#include <algorithm>
#include <charconv>
#include <chrono>

namespace tallyfold {
namespace {

constexpr uint128 pow10(int n) noexcept {
  uint128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

// Writes the decimal digits of `v` (at least one) backwards from `end`; returns the start.
char* write_digits(uint128 v, char* end) noexcept {
  do {
    *--end = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  } while (v != 0);
  return end;
}

// `v` * 10^`n`, or nullopt when it does not fit 128 bits.
std::optional<uint128> scale_up(uint128 v, int n) noexcept {
  for (int i = 0; i < n; ++i) {
    if (v > ~uint128{0} / 10) return std::nullopt;
    v *= 10;
  }
  return v;
}

}  // namespace

std::optional<Decimal> Decimal::from_parts(uint128 mantissa, int scale, bool negative) noexcept {
  if (mantissa > kMaxMantissa || scale < 0 || scale > kMaxScale) return std::nullopt;
  Decimal d;
  d.mantissa_ = mantissa;
  d.scale_ = static_cast<std::uint8_t>(scale);
  d.negative_ = negative;
  return d;
}

Decimal Decimal::negated() const noexcept {
  Decimal d = *this;
  d.negative_ = !negative_;
  return d;
}

void Decimal::append_to(std::string& out) const {
  // 96 bits hold at most 29 digits; with a scale of 28 a leading "0." is added.
  char buf[48];
  char* end = buf + sizeof buf;
  char* start = write_digits(mantissa_, end);
  const auto digits = static_cast<int>(end - start);
  if (negative_) out.push_back('-');
  if (scale_ == 0) {
    out.append(start, end);
    return;
  }
  if (digits <= scale_) {
    out.append("0.");
    out.append(static_cast<std::size_t>(scale_ - digits), '0');
    out.append(start, end);
    return;
  }
  out.append(start, end - scale_);
  out.push_back('.');
  out.append(end - scale_, end);
}

std::string Decimal::to_string() const {
  std::string s;
  append_to(s);
  return s;
}

std::optional<Decimal> Decimal::plus(const Decimal& other) const noexcept {
  const int scale = std::max<int>(scale_, other.scale_);
  const auto a = scale_up(mantissa_, scale - scale_);
  const auto b = scale_up(other.mantissa_, scale - other.scale_);
  if (!a || !b) return std::nullopt;
  uint128 m;
  bool negative;
  if (negative_ == other.negative_) {
    if (*a > ~uint128{0} - *b) return std::nullopt;
    m = *a + *b;
    negative = negative_;
  } else if (*a >= *b) {
    m = *a - *b;
    negative = m != 0 && negative_;
  } else {
    m = *b - *a;
    negative = other.negative_;
  }
  return from_parts(m, scale, negative);
}

bool operator==(const Decimal& a, const Decimal& b) noexcept {
  if (a.mantissa_ == 0 && b.mantissa_ == 0) return true;
  if (a.negative_ != b.negative_) return false;
  const int scale = std::max<int>(a.scale_, b.scale_);
  const auto x = scale_up(a.mantissa_, scale - a.scale_);
  const auto y = scale_up(b.mantissa_, scale - b.scale_);
  // A side that overflows 128 bits is larger than any 96-bit mantissa scaled up.
  return x && y && *x == *y;
}

double decimal_to_double(const Decimal& d) noexcept {
  // "-", up to 29 digits, "e-", up to two exponent digits. Reading digits and exponent
  // is the same correctly rounded conversion as reading the canonical text.
  char buf[40];
  char digits[32];
  char* dend = digits + sizeof digits;
  char* dstart = write_digits(d.mantissa(), dend);
  char* p = buf;
  if (d.negative()) *p++ = '-';
  for (char* q = dstart; q != dend; ++q) *p++ = *q;
  *p++ = 'e';
  *p++ = '-';
  p = std::to_chars(p, buf + sizeof buf, d.scale()).ptr;
  double value = 0;
  std::from_chars(buf, p, value);
  return value;
}

std::optional<Date> Date::from_ymd(std::int32_t year, unsigned month, unsigned day) noexcept {
  // std::chrono::year covers -32767..32767; statement dates are far inside it.
  if (year < -32767 || year > 32767 || month > 12 || day > 31) return std::nullopt;
  const std::chrono::year_month_day ymd{std::chrono::year{static_cast<int>(year)},
                                        std::chrono::month{month}, std::chrono::day{day}};
  if (!ymd.ok()) return std::nullopt;
  Date d;
  d.year_ = year;
  d.month_ = static_cast<std::uint8_t>(month);
  d.day_ = static_cast<std::uint8_t>(day);
  return d;
}

void Date::append_iso(std::string& out) const {
  char buf[16];
  char* p = buf;
  std::int32_t y = year_;
  if (y < 0) {
    *p++ = '-';
    y = -y;
  }
  if (y < 1000) *p++ = '0';
  if (y < 100) *p++ = '0';
  if (y < 10) *p++ = '0';
  p = std::to_chars(p, buf + sizeof buf, y).ptr;
  *p++ = '-';
  *p++ = static_cast<char>('0' + month_ / 10);
  *p++ = static_cast<char>('0' + month_ % 10);
  *p++ = '-';
  *p++ = static_cast<char>('0' + day_ / 10);
  *p++ = static_cast<char>('0' + day_ % 10);
  out.append(buf, p);
}

std::string Date::to_iso() const {
  std::string s;
  append_iso(s);
  return s;
}

std::string_view mark_text(DebitCreditMark m) noexcept {
  switch (m) {
    case DebitCreditMark::Debit: return "D";
    case DebitCreditMark::Credit: return "C";
    case DebitCreditMark::ReversalDebit: return "RD";
    case DebitCreditMark::ReversalCredit: return "RC";
  }
  return "";
}

DecodedDetails DecodedDetails::from_writes(std::vector<Entry> writes) {
  // Runs once per decoded transaction, so it works in place: decoders write a handful
  // of keys, which a stable insertion sort orders without the buffer that
  // std::stable_sort allocates. Equal keys stay in write order either way, so the last
  // of each run is the last write.
  // Byte order, as std::string's own, compared inline: keys are a few bytes long, where
  // a library call costs more than the comparison.
  const auto less = [](const Entry& a, const Entry& b) {
    const std::string& x = a.first;
    const std::string& y = b.first;
    const std::size_t n = std::min(x.size(), y.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (x[i] != y[i]) return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]);
    }
    return x.size() < y.size();
  };
  // The decoders write their keys in ascending order already: then there is nothing to
  // sort or merge.
  std::size_t ascending = 1;
  while (ascending < writes.size() && less(writes[ascending - 1], writes[ascending])) ++ascending;
  if (ascending >= writes.size()) {
    DecodedDetails d;
    d.entries_ = std::move(writes);
    return d;
  }
  if (writes.size() <= 16) {
    for (std::size_t i = 1; i < writes.size(); ++i) {
      if (!less(writes[i], writes[i - 1])) continue;
      Entry moving = std::move(writes[i]);
      std::size_t j = i;
      for (; j > 0 && less(moving, writes[j - 1]); --j) writes[j] = std::move(writes[j - 1]);
      writes[j] = std::move(moving);
    }
  } else {
    std::stable_sort(writes.begin(), writes.end(), less);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < writes.size(); ++i) {
    if (kept > 0 && writes[kept - 1].first == writes[i].first) {
      writes[kept - 1].second = std::move(writes[i].second);
    } else {
      if (kept != i) writes[kept] = std::move(writes[i]);
      ++kept;
    }
  }
  writes.erase(writes.begin() + static_cast<std::ptrdiff_t>(kept), writes.end());
  DecodedDetails d;
  d.entries_ = std::move(writes);
  return d;
}

const std::string* DecodedDetails::find(std::string_view key) const noexcept {
  auto it = std::lower_bound(entries_.begin(), entries_.end(), key,
                             [](const Entry& e, std::string_view k) { return e.first < k; });
  if (it == entries_.end() || it->first != key) return nullptr;
  return &it->second;
}

namespace {

// Length of the White_Space character that starts at `p` (at most `n` bytes), or 0.
std::size_t leading_space_length(const unsigned char* p, std::size_t n) noexcept {
  if (n == 0) return 0;
  const unsigned char c = p[0];
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
  if (n < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;             // U+1680
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;             // U+3000
  if (c != 0xE2) return 0;
  if (p[1] == 0x80) {
    const unsigned char t = p[2];
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF ? 3 : 0;
  }
  return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;                           // U+205F
}

// Length of the White_Space character that ends just before `end`, or 0.
std::size_t trailing_space_length(const unsigned char* begin, const unsigned char* end) noexcept {
  const auto n = static_cast<std::size_t>(end - begin);
  if (n >= 1 && leading_space_length(end - 1, 1) == 1) return 1;
  if (n >= 2 && leading_space_length(end - 2, 2) == 2) return 2;
  if (n >= 3 && leading_space_length(end - 3, 3) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  // Most texts start and end with an ASCII graphic character, which is neither white
  // space nor part of a character that is: nothing to trim, known in two compares.
  const auto graphic = [](char c) { return c > ' ' && c < 0x7F; };
  if (!text.empty() && graphic(text.front()) && graphic(text.back())) return text;
  auto b = reinterpret_cast<const unsigned char*>(text.data());
  auto e = b + text.size();
  while (b < e) {
    const std::size_t k = leading_space_length(b, static_cast<std::size_t>(e - b));
    if (k == 0) break;
    b += k;
  }
  while (b < e) {
    const std::size_t k = trailing_space_length(b, e);
    if (k == 0) break;
    e -= k;
  }
  return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

}  // namespace tallyfold
