// The one tokeniser of :61: statement lines. The exact reading takes the line as its
// pattern writes it and allows no deviation; the bank-file reading allows the shapes
// banks write beside it, each a flag here, and says what it made of each one it met.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace tallyfold::detail {

/// A way of writing a :61: line that the exact form does not allow.
enum LineDeviation : std::uint16_t {
  kBlankEntryDate = 1 << 0,        // four blanks where the entry date would stand
  kLowerCaseMark = 1 << 1,         // "c", "rd", ...
  kBlankBeforeFundsCode = 1 << 2,  // blanks between the mark and the funds code
  kAmountWithoutComma = 1 << 3,    // "1250"
  kAmountWithPoint = 1 << 4,       // "1250.00"
  kBlankBeforeType = 1 << 5,       // blanks between the amount and the type code
  kNoType = 1 << 6,                // the references (or nothing) right after the amount
  kPaddedType = 1 << 7,            // a type code of one to three characters and blanks
  kTypeNotNorF = 1 << 8,           // a type code of four that starts with neither N nor F
  kSlashInReference = 1 << 9,      // a "/" inside the customer reference: only "//" ends it
};
using LineDeviations = std::uint16_t;
inline constexpr LineDeviations kExactForm = 0;
inline constexpr LineDeviations kEveryDeviation = (1 << 10) - 1;

/// The pieces of one :61: line (cut at its first line feed), as views into it.
struct StatementLineTokens {
  std::string_view value_date;                // six ASCII digits
  std::optional<std::string_view> entry_date; // four ASCII digits
  std::string_view mark;                      // as written
  std::optional<std::string_view> funds_code; // one ASCII capital
  std::string_view amount;                    // integer digits, separator, fraction digits
  std::string_view amount_integer;            // one to fifteen digits
  char separator = 0;                         // ',', '.' or 0 for none
  std::string_view amount_fraction;           // up to two digits
  std::string_view transaction_type;          // without padding; empty for none
  std::string_view customer_reference;        // untrimmed
  std::optional<std::string_view> bank_reference;  // after "//", to the end
  LineDeviations deviations = 0;              // those the line holds
};

/// Splits `line` into its pieces, with "\d" read as an ASCII digit, allowing the
/// deviations in `allowed` and no others. With kExactForm this is the statement-line
/// pattern (line_pattern.hpp) for lines of ASCII bytes. False when the line has another
/// shape; `out` is then to be discarded. Linear in the length, no allocation.
bool tokenise_statement_line(std::string_view line, LineDeviations allowed, StatementLineTokens& out) noexcept;

}  // namespace tallyfold::detail
