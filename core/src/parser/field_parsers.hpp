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

}  // namespace tallyfold::detail
