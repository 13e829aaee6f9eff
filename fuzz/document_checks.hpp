// The checks of a whole parse: the error, or the statements and all three exports of
// them. Shared by the targets that reach the parser from a document.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz_checks.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/parse.hpp"

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
    ok(derive_purpose(t));
    ok(derive_counterparty(t));
    ok(derive_counter_iban(t));
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
    const std::string text_of_error = message(csv.error());
    require(starts_with(text_of_error, "Parse error: CSV "));
  }
  auto json_again = export_json(statements);
  require(json_again && *json_again == *json);

  const std::string camt = export_camt053(statements);
  check_xml(camt, statements.size(), transactions, utf8);
  require(export_camt053(statements) == camt);
  if (utf8) require(is_valid_utf8(*json) && is_valid_utf8(camt) && csv && is_valid_utf8(*csv));
  return std::move(parsed).value();
}

}  // namespace tallyfold::fuzz
