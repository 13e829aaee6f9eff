// Derived transaction fields and the three exports of a parsed document. Exports read
// the statements only and give byte-identical text on every run.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// Purpose: the subfields 20..29 joined by one space, else "REMI", else "EREF", else
/// "detail", else empty; without a map, the details text.
std::string derive_purpose(const Transaction& t);
/// Counterparty: "32" (plus " " and "33" when present), else "27", else "NAME", else empty.
std::string derive_counterparty(const Transaction& t);
/// Counter IBAN: the first present of "31", "30", "IBAN", else empty.
std::string derive_counter_iban(const Transaction& t);

/// How CSV fields and amounts are separated, after the locale of the reading spreadsheet.
enum class CsvDialect {
  Standard,  // "," between fields, "." in amounts
  ExcelEu,   // ";" between fields, "," in amounts
};

/// The 13-column CSV with byte-order mark and header, one row per transaction. A field
/// holding the separator, a quote, CR or LF is quoted, its quotes doubled. Fails with an
/// `Other` error when a text is not valid UTF-8.
Result<std::string> export_csv(std::span<const Statement> statements,
                               CsvDialect dialect = CsvDialect::Standard);
/// The pretty-printed JSON array of statement objects (no trailing newline). Balances
/// are signed by their mark; ill-formed UTF-8 inside texts is written as U+FFFD.
Result<std::string> export_json(std::span<const Statement> statements);
/// One camt.053.001.06 document for all statements. Cannot fail. Amounts are written
/// unsigned with DBIT/CRDT, keeping every stored decimal and at least two.
std::string export_camt053(std::span<const Statement> statements);

/// Appends the JSON number text of a finite double (shortest round-trip digits).
void format_json_number(double x, std::string& out);
/// Appends `text` with & < > " ' replaced by their XML entities, in one left-to-right
/// pass. So that any XML parser can read the result, every character XML 1.0 forbids
/// (controls other than tab, LF and CR; U+FFFE; U+FFFF) and every ill-formed UTF-8
/// sequence is written as U+FFFD.
void xml_escape(std::string_view text, std::string& out);

}  // namespace tallyfold
