// Internal entry points of the field parsers for the statement parser.
#pragma once

#include <optional>
#include <string_view>

#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// parse_statement_line, filling `out` (a default-constructed transaction) in place so
/// that the record is not moved through a Result. On error `out` is partly filled and
/// must be discarded.
std::optional<ParseError> read_statement_line(std::string_view content, Transaction& out);

/// The entry date of a :61: line from its four bytes MMDD (exactly four), in the year
/// that puts it nearest `value_date`; nullopt when the bytes are not a date.
std::optional<Date> entry_date_near(const Date& value_date, std::string_view mmdd) noexcept;

}  // namespace tallyfold::detail
