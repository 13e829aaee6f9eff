// The three exports of a parsed document, with the derived fields of fields.hpp. Exports read
// the statements only and give byte-identical text on every run.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "tallyfold/fields.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"
#include "tallyfold/sink.hpp"

namespace tallyfold {

/// How CSV fields, amounts and rows are separated, after the spreadsheet that reads them.
enum class CsvDialect {
  Standard,  // "," between fields, "." in amounts, rows ended by LF
  Excel,     // "," between fields, "." in amounts, rows ended by CR LF
  ExcelEu,   // ";" between fields, "," in amounts, rows ended by CR LF
};

/// The forms of the CSV table; the defaults give the 13 columns of MT940.to_csv().
struct CsvOptions {
  CsvDialect dialect = CsvDialect::Standard;
  /// After the 13 columns the further derived fields (fields.hpp): "CounterAccount",
  /// "CounterpartyBIC", "EndToEndReference", "MandateReference", "CreditorId",
  /// "TransactionId" (transaction_id.hpp) and "StatementComplete" ("Y" or "N").
  bool bank_fields = false;
  /// Cells a spreadsheet cannot misread: every text trimmed of white space, and a text
  /// that then starts with "=", "+", "-", "@", a tab or a CR (which a spreadsheet would
  /// run as a formula) preceded by an apostrophe. Dates, amounts and flags are left as
  /// they are: they never start so, and an amount stays a number.
  bool safe_cells = false;
};

/// The CSV with byte-order mark and header, one row per transaction. A field holding
/// the separator, a quote, CR or LF is quoted, its quotes doubled. Fails with an
/// `Other` error when a text is not valid UTF-8.
Result<std::string> export_csv(std::span<const Statement> statements, const CsvOptions& options = {});

/// The forms of the JSON text; the defaults give MT940.to_json().
struct JsonOptions {
  /// The derived fields (fields.hpp) and the transaction's "transactionId" on every
  /// transaction, and the trailer balances as the statement has them: null for an
  /// absent :64: or :65:, every :65: listed. Without it, an absent :64: or :65: stands
  /// in as the closing balance.
  bool bank_fields = false;
  /// Amounts written with the digits they were written with (79,70 as 79.70), as JSON
  /// numbers that a reader can take exactly; without it, as the nearest binary64 value
  /// in its shortest form (79.7).
  bool exact_amounts = false;
};

/// The pretty-printed JSON array of statement objects (no trailing newline). Balances
/// are signed by their mark; ill-formed UTF-8 inside texts is written as U+FFFD.
Result<std::string> export_json(std::span<const Statement> statements, const JsonOptions& options = {});

/// One line of JSON (no line feed inside, a line feed at its end) for each transaction,
/// with its statement's fields ("transactionReference", "relatedReference",
/// "accountIdentification", "statement" for the number and "sequence", texts, empty
/// when absent, and "complete") before the transaction's members as export_json writes
/// them. Forms as for export_json.
Result<std::string> export_json_lines(std::span<const Statement> statements, const JsonOptions& options = {});
/// One camt.053.001.06 document for all statements. Cannot fail. Amounts are written
/// unsigned with DBIT/CRDT, keeping every stored decimal and at least two.
std::string export_camt053(std::span<const Statement> statements);

/// The same texts written to `sink` as they are made, in pieces of a transaction or a
/// few hundred kilobytes, for outputs too large to hold in memory. Each gives the bytes
/// written, or the export's error, or a Refusal when the sink refused bytes (what
/// it took stays taken). A CSV whose text is not valid UTF-8 fails after writing the
/// rows before the fault.
Result<std::size_t> write_csv(std::span<const Statement> statements, OutputSink& sink, const CsvOptions& options = {});
Result<std::size_t> write_json(std::span<const Statement> statements, OutputSink& sink, const JsonOptions& options = {});
Result<std::size_t> write_json_lines(std::span<const Statement> statements, OutputSink& sink,
                                     const JsonOptions& options = {});
Result<std::size_t> write_camt053(std::span<const Statement> statements, OutputSink& sink);

}  // namespace tallyfold
