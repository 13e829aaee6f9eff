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

#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// Parses a whole MT940 text into its statements (never empty on success), or returns
/// the first error. Never throws for bad input; the result keeps no pointer into `text`:
/// its texts lie in one buffer that the statements share (Statement::texts).
/// Thread-safe: keeps nothing between calls.
Result<std::vector<Statement>> parse_statements(std::string_view text, const DecoderChain& chain);

/// A six-byte YYMMDD date. Each part is two ASCII digits or "+" and a digit; the year
/// part may also be "-" and a digit. Year parts below 80 are 2000 + part, the others
/// 1900 + part. InvalidDate "(date field)" with the whole text otherwise.
Result<Date> parse_date(std::string_view text);
/// An amount with one decimal separator ("," or "."), leading zeros, optional sign and
/// underscores after the first digit; fractions shorter than two digits are padded to
/// scale 2. When that reading fails and the text holds "e"/"E", a scientific reading
/// ("1,5E3" is 1500) is tried. InvalidAmount "(amount field)" with the text as written
/// for anything else, including several separators and values that do not fit the
/// 96-bit mantissa or scale 28.
Result<Decimal> parse_amount(std::string_view text);
/// The content of a balance field: mark "C"/"D", YYMMDD date, three currency bytes, then
/// the amount. The currency is a view into `content`. InvalidFormat "balance" ("too short" below 11 bytes, "invalid D/C mark"),
/// or the date or amount error unchanged.
Result<Balance> parse_balance(std::string_view content);
/// The content of a :61: field (empty details, no structured details); its texts are
/// views into `content`. Its first line is
/// matched against the statement-line pattern; what follows the first line feed, trimmed,
/// is the supplementary details. InvalidFormat ":61:" with the first line when it does
/// not match, or the date or amount error unchanged (the date is read first).
Result<Transaction> parse_statement_line(std::string_view content);

}  // namespace tallyfold
