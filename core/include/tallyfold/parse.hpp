// Statement parsing: the whole text, and the field parsers it uses.
//
// Input is a byte string that should be UTF-8; it is not validated up front. Invalid
// UTF-8 never crashes, hangs or over-reads: it is carried through into texts and error
// values as the bytes it is, and never counts as a digit or as white space. In the
// first line of a :61: field it makes the line fail to match ("does not match expected
// format"). A multi-byte character is never split at a fixed cut position of a field:
// a balance whose date or currency cut falls inside one reports that character whole
// in its date or amount error, and an entry date is read only when it is four ASCII
// digits.
#pragma once

#include <string_view>
#include <vector>

#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// Parses a whole MT940 text into its statements (never empty on success), or returns
/// the first error. Never throws for bad input; the result keeps no pointer into `text`.
/// Thread-safe: keeps nothing between calls.
Result<std::vector<Statement>> parse_statements(std::string_view text, const DecoderChain& chain);

/// A six-byte YYMMDD date; InvalidDate "(date field)" otherwise.
Result<Date> parse_date(std::string_view text);
/// An amount with a decimal comma; InvalidAmount "(amount field)" otherwise.
Result<Decimal> parse_amount(std::string_view text);
/// The content of a balance field; InvalidFormat "balance" or a date/amount error.
Result<Balance> parse_balance(std::string_view content);
/// The content of a :61: field (empty details, no structured details); InvalidFormat
/// ":61:" or a date/amount error.
Result<Transaction> parse_statement_line(std::string_view content);

}  // namespace tallyfold
