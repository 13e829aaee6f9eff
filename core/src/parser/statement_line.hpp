// The one tokeniser of :61: statement lines. The exact reading takes the line as its
// pattern writes it and allows no deviation; the bank-file reading allows the shapes
// banks write beside it, each a flag here, and says what it made of each one it met.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "tallyfold/model.hpp"

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

/// The pieces of one :61: line (cut at its first line feed), as views into it, and
/// what their digits write, read on the way so that nothing is read twice. The members
/// have no initialisers: every transaction's line fills one, and whoever fills it
/// writes each member (value-initialise one to compare it whole).
struct StatementLineTokens {
  std::string_view value_date;                // six ASCII digits
  std::optional<std::string_view> entry_date; // four ASCII digits
  std::string_view mark;                      // as written
  std::optional<std::string_view> funds_code; // one ASCII capital
  std::string_view amount;                    // integer digits, then separator and fraction digits
  char separator;                             // ',', '.' or 0 for none
  std::string_view transaction_type;          // without padding; empty for none
  std::string_view customer_reference;        // untrimmed
  std::optional<std::string_view> bank_reference;  // after "//", to the end
  LineDeviations deviations;                  // those the line holds

  DebitCreditMark debit_credit;  // the mark, of either case
  // The value date's two-digit year, month and day, and the entry date's month and day
  // (0 without one). Digits other than ASCII ones write no value: month 0, no date.
  std::uint8_t value_year;
  std::uint8_t value_month;
  std::uint8_t value_day;
  std::uint8_t entry_month;
  std::uint8_t entry_day;
  std::optional<std::uint64_t> amount_cents;  // in hundredths; none for other digits
  std::size_t line_size;  // the bytes of the line, up to its first line feed
  bool ascii;  // every byte of the line is ASCII
};

/// Splits `line` into its pieces, with "\d" read as an ASCII digit, allowing the
/// deviations in `allowed` and no others. With kExactForm this is the statement-line
/// pattern (line_pattern.hpp) for lines of ASCII bytes. False when the line has another
/// shape; `out` is then to be discarded. Linear in the length, no allocation.
bool tokenise_statement_line(std::string_view line, LineDeviations allowed, StatementLineTokens& out) noexcept;

/// tokenise_statement_line in the exact form for the first line of `text` (up to its
/// first line feed, found on the way), true only for a line of ASCII bytes: where the
/// tokeniser and the pattern are the same. False also for some ASCII lines followed by
/// other bytes, which are then to be tokenised cut.
bool recognise_statement_line(std::string_view text, StatementLineTokens& out) noexcept;

/// The mark's meaning, of either case; `mark` is "D", "C", "RD" or "RC" in any case.
constexpr DebitCreditMark debit_credit_of(std::string_view mark) noexcept {
  const bool debit = mark.back() == 'D' || mark.back() == 'd';
  if (mark.size() == 2) return debit ? DebitCreditMark::ReversalDebit : DebitCreditMark::ReversalCredit;
  return debit ? DebitCreditMark::Debit : DebitCreditMark::Credit;
}

/// Sets the values of `tokens` from its views, as the tokeniser reads them: for tokens
/// found another way (the pattern), whose digits may be other than ASCII.
void read_token_values(StatementLineTokens& tokens) noexcept;

}  // namespace tallyfold::detail
