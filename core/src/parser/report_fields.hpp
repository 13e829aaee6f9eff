// Readers of the fields only MT942 interim reports have: :34F:, :13D: (and the older
// :13:), :90D: and :90C:. Each returns nullopt for content it cannot read; texts in the
// records are views into `content`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tallyfold/model.hpp"
#include "tallyfold/parse.hpp"
#include "util/ascii.hpp"

namespace tallyfold::detail {


// "12,", ",00" (no integer digit, as some banks write a zero) and the like.
inline std::optional<Decimal> read_report_amount(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.empty() || (!ascii::is_digit(text.front()) && text.front() != ',')) return std::nullopt;
  for (const char c : text) {
    if (!ascii::is_digit(c) && c != ',') return std::nullopt;
  }
  auto amount = parse_amount(text.front() == ',' ? "0" + std::string(text) : std::string(text));
  if (!amount || amount->negative()) return std::nullopt;
  return *amount;
}

/// :34F: currency, an optional D or C (none: the limit holds for both sides), amount;
/// blanks after the currency are tolerated.
inline std::optional<FloorLimit> read_floor_limit(std::string_view content) {
  if (content.size() < 4) return std::nullopt;
  FloorLimit limit;
  limit.currency = content.substr(0, 3);
  if (!ascii::is_upper(limit.currency[0]) || !ascii::is_upper(limit.currency[1]) || !ascii::is_upper(limit.currency[2])) {
    return std::nullopt;
  }
  std::string_view rest = content.substr(3);
  while (!rest.empty() && rest.front() == ' ') rest.remove_prefix(1);
  if (!rest.empty() && (rest.front() == 'D' || rest.front() == 'C')) {
    limit.debit_credit = rest.front() == 'D' ? DebitCreditMark::Debit : DebitCreditMark::Credit;
    rest.remove_prefix(1);
  }
  const auto amount = read_report_amount(rest);
  if (!amount) return std::nullopt;
  limit.amount = *amount;
  return limit;
}

/// :13D: YYMMDDhhmm and a +hhmm or -hhmm offset from UTC; with `offset` false, the
/// older :13: form without one.
inline std::optional<ReportTime> read_report_time(std::string_view content, bool offset) {
  while (!content.empty() && content.back() == ' ') content.remove_suffix(1);
  if (content.size() != (offset ? 15u : 10u)) return std::nullopt;
  for (std::size_t i = 0; i < content.size(); ++i) {
    if (i == 10) {
      if (content[i] != '+' && content[i] != '-') return std::nullopt;
    } else if (!ascii::is_digit(content[i])) {
      return std::nullopt;
    }
  }
  auto two = [&](std::size_t at) { return (content[at] - '0') * 10 + (content[at + 1] - '0'); };
  auto date = parse_date(content.substr(0, 6));
  if (!date || two(6) > 23 || two(8) > 59) return std::nullopt;
  ReportTime t;
  t.date = *date;
  t.hour = static_cast<std::uint8_t>(two(6));
  t.minute = static_cast<std::uint8_t>(two(8));
  if (offset) {
    if (two(11) > 23 || two(13) > 59) return std::nullopt;
    const int minutes = two(11) * 60 + two(13);
    t.utc_offset_minutes = static_cast<std::int16_t>(content[10] == '-' ? -minutes : minutes);
  }
  return t;
}

/// :90D:/:90C: number of entries (up to five digits; a missing number reads as none),
/// currency, sum.
inline std::optional<EntryTotal> read_entry_total(std::string_view content) {
  std::size_t digits = 0;
  while (digits < content.size() && ascii::is_digit(content[digits])) ++digits;
  if (digits > 5 || content.size() < digits + 4) return std::nullopt;
  EntryTotal total;
  for (std::size_t i = 0; i < digits; ++i) total.count = total.count * 10 + static_cast<unsigned>(content[i] - '0');
  total.currency = content.substr(digits, 3);
  for (const char c : total.currency) {
    if (!ascii::is_upper(c)) return std::nullopt;
  }
  const auto sum = read_report_amount(content.substr(digits + 3));
  if (!sum) return std::nullopt;
  total.sum = *sum;
  return total;
}

}  // namespace tallyfold::detail
