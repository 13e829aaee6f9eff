// The statement-line pattern of :61: fields. Internal to the core; the only user of
// PCRE2 is line_pattern.cpp.
#pragma once

#include <optional>
#include <string_view>

#include "parser/statement_line.hpp"

namespace tallyfold::detail {

/// The capture groups of one matched statement line, as views into the matched line
/// (valid as long as the line is). An optional group that took no part is nullopt; one
/// that took part with no characters is an empty view. Equal when every group views the
/// same bytes of the same line.
struct StatementLineGroups {
  std::string_view value_date;                     // 1: six digits
  std::optional<std::string_view> entry_date;      // 2: four digits
  std::string_view mark;                           // 3: "RD", "RC", "D" or "C"
  std::optional<std::string_view> funds_code;      // 4: one ASCII capital
  std::string_view amount;                         // 5: digits, a comma, up to two digits
  std::string_view transaction_type;               // 6: "N"/"F" and three ASCII alnums
  std::string_view customer_reference;             // 7: no "/", untrimmed
  std::optional<std::string_view> bank_reference;  // 8: after "//", to the end

  friend bool operator==(const StatementLineGroups& a, const StatementLineGroups& b) noexcept;
};

/// Matches the first line of `text` (up to its first line feed) against
///   ^(\d{6})(\d{4})?(RD|RC|D|C)([A-Z])?(\d{1,15},\d{0,2})([NF][A-Za-z0-9]{3})([^/]*?)(?://([^\r\n]*))?$
/// anchored at both ends, with "\d" matching any Unicode decimal digit (Nd) and the
/// bracketed ranges ASCII only, and gives its groups as tokens (statement_line.hpp),
/// with the values of their digits and the line's size. False when the line does not
/// match (`out` is then to be discarded); a line holding invalid UTF-8 never matches.
///
/// A line of ASCII bytes, nearly every line, goes through the statement-line tokeniser
/// in its exact form; any other line through the pattern itself (PCRE2), compiled once
/// per process on first use (thread-safe). Matching uses per-thread scratch space and
/// takes no lock. Time is linear in the line's length and no backtracking memory grows
/// with it.
inline bool match_statement_line(std::string_view text, StatementLineTokens& out);

/// match_statement_line for the lines the tokeniser does not take at once.
bool match_statement_line_otherwise(std::string_view text, StatementLineTokens& out);

// Inline: every transaction's line is read here.
inline bool match_statement_line(std::string_view text, StatementLineTokens& out) {
  return recognise_statement_line(text, out) || match_statement_line_otherwise(text, out);
}

/// The same, as the pattern's groups.
std::optional<StatementLineGroups> match_statement_line(std::string_view text);

/// The same, always through the compiled pattern: what the recogniser must agree with.
std::optional<StatementLineGroups> match_statement_line_by_pattern(std::string_view line);

}  // namespace tallyfold::detail
