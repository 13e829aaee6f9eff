// Field readers of the bank-file reading, for the shapes banks write beside the exact
// ones. Each is tried only after the exact parser has rejected a field, and says what it
// repaired; the re-readings are checks on a record the exact parser accepted.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bankfile/long_lines.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "util/ascii.hpp"

namespace tallyfold::detail {

/// One repair of one field, not yet placed on a line.
struct Repair {
  Severity severity = Severity::Note;
  std::string message;
  std::string kind;  // as Diagnostic::kind
};

/// A six-byte YYMMDD date of ASCII digits whose day lies after the end of its month but
/// is at most 31 (30 February, 31 November): the month's last day. nullopt otherwise.
std::optional<Date> read_date_past_month_end(std::string_view text) noexcept;

/// The content of a :61: field read with the deviations listed for parse_bank_statements
/// (a "/" inside the customer reference, type codes outside N/F or padded with blanks,
/// blanks before the funds code or the type code or in place of the entry date, a
/// lower-case mark, an amount without a decimal comma or with a decimal point, a value
/// date past the end of its month), plus the re-reading of a padded customer reference.
/// Fills `out` (default-constructed; to be discarded on failure) with views into
/// `content`, or into `texts` for a text it rewrites, and adds one note per kind of
/// repair; false when the line has none of these shapes. Linear in the length.
bool read_statement_line_tolerantly(std::string_view content, Transaction& out, TextBuffer& texts,
                                    std::vector<Repair>& repairs);

/// The content of a balance field with blanks after its amount or a date past the end
/// of its month; `tag` (":60F:", ...) starts each note. nullopt when neither helps.
std::optional<Balance> read_balance_tolerantly(std::string_view tag, std::string_view content,
                                               std::vector<Repair>& repairs);

/// Re-reads a customer reference that the exact parser took whole but that is a
/// 16-character field padded with blanks and followed by more text: the reference
/// becomes the first 16 characters, trimmed, and the rest leads the supplementary
/// details, written to `texts`. `content` is the field the record was read from. Cheap
/// when it does not apply.
void reread_padded_reference(std::string_view content, Transaction& t, TextBuffer& texts,
                             std::vector<Repair>& repairs);

/// Re-reads a line the exact parser took as type code "NONR" or "NORE" followed by a
/// customer reference "EF..." or "F...": banks that write no type code put the
/// reference "NONREF" or "NOREF" right after the amount. The type becomes empty.
inline void reread_reference_as_type(Transaction& t, std::vector<Repair>& repairs) {
  const std::string_view type = t.transaction_type;
  if (type.size() != 4 || type[0] != 'N' || type[1] != 'O') [[likely]] return;
  const std::string_view tail = type == "NONR" ? "EF" : type == "NORE" ? "F" : "";
  const std::string_view reference = t.customer_reference;
  if (tail.empty() || !reference.starts_with(tail) || type.data() + 4 != reference.data()) return;
  t.customer_reference = std::string_view(type.data(), 4 + reference.size());
  t.transaction_type = type.substr(0, 0);
  std::string written(type);
  written += tail;
  repairs.push_back(Repair{Severity::Note, ":61: '" + written + "' after the amount read as the customer reference, not as "
                                           "type code '" + std::string(type) + "'",
                           ":61: NONREF or NOREF after the amount read as the reference, with no type code"});
}

/// The width of SWIFT's :86: lines, in characters.
inline constexpr std::size_t kSwiftDetailsWidth = 65;

/// The width a file fills its :86: lines to, in characters: kSwiftDetailsWidth, or the
/// longest that at least two lines followed by more of their text have where that is
/// wider. Judged from the first 256 KiB.
std::size_t details_line_width(std::string_view text) noexcept;

/// The same, where `long_lines` holds the long lines of `text`: as far as it covers the
/// judged bytes, they are not looked for again.
std::size_t details_line_width(std::string_view text, const LongLines& long_lines) noexcept;

/// Whether a balance read from `content` took digits for its currency, as in
/// "C020315105000,00": the first of the three currency bytes is an ASCII digit.
inline bool currency_holds_digits(std::string_view content) noexcept {
  return content.size() > 7 && ascii::is_digit(content[7]);
}

/// The amount of such a balance read from where its currency should start, or nullopt.
std::optional<Decimal> read_amount_without_currency(std::string_view content) noexcept;

}  // namespace tallyfold::detail
