// Internal entry points of the field parsers for the statement parser.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// parse_statement_line, filling `out` (a default-constructed transaction) in place so
/// that the record is not moved through a Result. On error `out` is partly filled and
/// must be discarded.
std::optional<ParseError> read_statement_line(std::string_view content, Transaction& out);

/// The year of a statement date's two-digit year part: 80 to 99 in the 1900s, the rest
/// in the 2000s.
constexpr std::int32_t statement_year(int part) noexcept { return part < 80 ? 2000 + part : 1900 + part; }

/// The entry date of a :61: line from its month and day, in the year that puts it
/// nearest `value_date`; nullopt when they are no date.
inline std::optional<Date> entry_date_near(const Date& value_date, unsigned month, unsigned day) noexcept {
  std::int32_t year = value_date.year();
  // The entry date is written without a year; it lies near the value date, so a month
  // far from the value date's across New Year belongs to the adjacent year.
  if (value_date.month() == 12 && month < 6) ++year;
  if (value_date.month() == 1 && month > 7) --year;
  return Date::from_ymd(year, month, day);
}

}  // namespace tallyfold::detail
