// The checks of a whole parse: the error, or the statements and all three exports of
// them. Shared by the targets that reach the parser from a document.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "tallyfold/arrow.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold::fuzz {

inline void check_texts_utf8(const Statement& s) {
  auto ok = [](std::string_view t) { require(is_valid_utf8(t)); };
  ok(s.transaction_reference);
  ok(s.account_identification);
  ok(s.number);
  ok(s.opening_balance.currency);
  ok(s.closing_balance.currency);
  if (s.related_reference) ok(*s.related_reference);
  if (s.sequence) ok(*s.sequence);
  if (s.information_to_account_owner) ok(*s.information_to_account_owner);
  for (const Transaction& t : s.transactions) {
    ok(t.transaction_type);
    ok(t.customer_reference);
    ok(t.details);
    if (t.bank_reference) ok(*t.bank_reference);
    if (t.extra_details) ok(*t.extra_details);
    if (t.structured_details) {
      for (const auto& [key, value] : *t.structured_details) {
        ok(key);
        ok(value);
      }
    }
    const DerivedFields fields = fields_of(t);
    ok(fields.purpose);
    ok(fields.counterparty);
    ok(fields.counter_iban);
  }
}

// Every utf8 column (and child) of `array` holds well-formed UTF-8 between offsets that
// never fall.
inline void check_arrow_texts(const ArrowSchema& schema, const ArrowArray& array) {
  require(schema.n_children == array.n_children);
  for (int64_t i = 0; i < array.n_children; ++i) check_arrow_texts(*schema.children[i], *array.children[i]);
  if (std::string_view(schema.format) != "u") return;
  const auto* offsets = static_cast<const std::int32_t*>(array.buffers[1]);
  const auto* chars = static_cast<const char*>(array.buffers[2]);
  require(offsets[0] == 0);
  for (int64_t row = 0; row < array.length; ++row) {
    require(offsets[row] <= offsets[row + 1]);
    require(is_valid_utf8(std::string_view(chars + offsets[row], static_cast<std::size_t>(offsets[row + 1] - offsets[row]))));
  }
}

/// Reads both Arrow tables of `statements` to the end: a row per transaction and per
/// statement, only well-formed UTF-8, or for an amount the table cannot hold exactly,
/// an error saying so.
inline void check_arrow(const std::vector<Statement>& statements) {
  auto shared = std::make_shared<const std::vector<Statement>>(statements);
  std::size_t transactions = 0;
  for (const Statement& s : statements) transactions += s.transactions.size();
  for (const auto [table, expected] : {std::pair{ArrowTable::Transactions, transactions},
                                       std::pair{ArrowTable::Statements, statements.size()}}) {
    ArrowArrayStream stream{};
    export_arrow_stream(shared, table, stream);
    ArrowSchema schema{};
    require(stream.get_schema(&stream, &schema) == 0);
    std::size_t rows = 0;
    for (;;) {
      ArrowArray batch{};
      const int status = stream.get_next(&stream, &batch);
      if (status != 0) {
        const std::string_view error = stream.get_last_error(&stream);
        require(error.find(" has more than 5 decimals") != std::string_view::npos);
        rows = expected;
        break;
      }
      if (batch.release == nullptr) break;
      require(batch.length > 0);
      rows += static_cast<std::size_t>(batch.length);
      check_arrow_texts(schema, batch);
      batch.release(&batch);
    }
    require(rows == expected);
    schema.release(&schema);
    stream.release(&stream);
  }
}

/// Parses `text` with the chain of `resolver` and checks the outcome: an error of a
/// known shape, or statements whose exports are well formed and repeatable.
inline std::optional<std::vector<Statement>> parse_and_check(std::string_view text,
                                                             std::string_view resolver) {
  const bool utf8 = is_valid_utf8(text);

  auto parsed = parse_statements(text, select_chain(resolver));
  if (!parsed) {
    check_parse_error(parsed.error(), utf8);
    return std::nullopt;
  }
  const auto& statements = *parsed;
  require(!statements.empty());
  std::size_t transactions = 0;
  for (const Statement& s : statements) {
    require(!s.account_identification.empty() && !s.number.empty());
    for (const Transaction& t : s.transactions) {
      require(t.amount.scale() == 2 && !t.amount.negative());
      require(t.transaction_type.size() == 4);
      // A details text never comes without the map decoded from it.
      require(t.details.empty() || t.structured_details.has_value());
      if (t.structured_details) require(!t.structured_details->empty());
    }
    transactions += s.transactions.size();
    if (utf8) check_texts_utf8(s);
  }

  auto csv = export_csv(statements);
  auto json = export_json(statements);
  // Parser output always exports; only bytes that are not UTF-8 may stop the CSV.
  require(json.has_value());
  require(csv.has_value() || !utf8);
  check_json(*json, statements.size(), transactions);
  if (csv) {
    check_csv(*csv, transactions);
    auto again = export_csv(statements);
    require(again && *again == *csv);
  } else {
    require(std::holds_alternative<EncodingError>(csv.error()));
  }
  auto json_again = export_json(statements);
  require(json_again && *json_again == *json);

  const std::string camt = export_camt053(statements);
  check_xml(camt, statements.size(), transactions, utf8);
  require(export_camt053(statements) == camt);
  if (utf8) require(is_valid_utf8(*json) && is_valid_utf8(camt) && csv && is_valid_utf8(*csv));
  check_arrow(statements);
  return std::move(parsed).value();
}

/// The bank-file forms of the exports: one id per transaction, distinct within its
/// statement; one CSV row and one JSON line per transaction, and no CSV row that a
/// spreadsheet would run as a formula. `utf8`: every text of the statements is UTF-8.
inline void check_bank_forms(const std::vector<Statement>& statements, bool utf8) {
  std::size_t transactions = 0;
  for (const Statement& s : statements) {
    const std::vector<TransactionId> ids = transaction_ids(s);
    require(ids.size() == s.transactions.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
      for (const char c : ids[i].hex) require((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
      for (std::size_t j = 0; j < i; ++j) require(!(ids[i] == ids[j]));
    }
    transactions += ids.size();
  }
  check_arrow(statements);
  const auto lines = export_json_lines(statements, {.bank_fields = true, .exact_amounts = true});
  require(lines.has_value());
  std::size_t newlines = 0;
  for (const char c : *lines) newlines += c == '\n';
  require(newlines == transactions);
  require(export_json(statements, {.bank_fields = true, .exact_amounts = true}).has_value());

  const auto csv = export_csv(statements, {CsvDialect::Excel, true, true});
  if (!csv) {
    require(!utf8);
    return;
  }
  // Rows end with CR LF; inside quotes a CR LF can only be data, so count outside them.
  std::size_t rows = 0;
  bool quoted = false;
  bool cell_start = true;
  const std::string_view text(*csv);
  for (std::size_t i = 3; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') quoted = !quoted;
    if (!quoted && cell_start) {
      // A cell never starts a formula, bare or quoted: a guard apostrophe comes first,
      // and only an amount may start with a minus sign, followed by a digit.
      const char first = c == '"' && i + 1 < text.size() ? text[i + 1] : c;
      if (first == '=' || first == '+' || first == '@' || first == '\t') fail();
      if (first == '-') require(i + 1 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '9');
    }
    cell_start = !quoted && (c == ',' || c == '\n');
    if (!quoted && c == '\n') {
      require(text[i - 1] == '\r');
      ++rows;
    }
  }
  require(!quoted && rows == transactions + 1);
}

}  // namespace tallyfold::fuzz
