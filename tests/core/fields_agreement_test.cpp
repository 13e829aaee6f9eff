// Every output carries the same derived fields as fields_of: the CSV columns, the JSON
// fields, and the camt writer's party, account, references and remittance, for every
// transaction of the examples read both ways.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

std::string read_bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::string_view trimmed(std::string_view s) {
  const std::size_t first = s.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  return s.substr(first, s.find_last_not_of(" \t\r\n") - first + 1);
}

// The rows of a CSV text as fields, quotes undone (header and byte-order mark dropped).
std::vector<std::vector<std::string>> csv_rows(std::string_view csv) {
  std::vector<std::vector<std::string>> rows;
  std::vector<std::string> row(1);
  bool quoted = false;
  for (std::size_t i = csv.find('\n') + 1; i < csv.size(); ++i) {
    const char c = csv[i];
    if (quoted) {
      if (c == '"' && i + 1 < csv.size() && csv[i + 1] == '"') {
        row.back().push_back('"');
        ++i;
      } else if (c == '"') {
        quoted = false;
      } else {
        row.back().push_back(c);
      }
    } else if (c == '"') {
      quoted = true;
    } else if (c == ',') {
      row.emplace_back();
    } else if (c == '\n') {
      rows.push_back(std::move(row));
      row.assign(1, {});
    } else {
      row.back().push_back(c);
    }
  }
  return rows;
}

// Every value of `key` in a JSON text, in order (the escapes the writer uses undone;
// \u escapes only occur below U+0020).
std::vector<std::string> json_values(std::string_view json, std::string_view key) {
  std::vector<std::string> values;
  std::string marker = "\"";
  marker.append(key).append("\": \"");
  for (std::size_t at = json.find(marker); at != std::string_view::npos; at = json.find(marker, at)) {
    at += marker.size();
    std::string value;
    for (; json[at] != '"'; ++at) {
      if (json[at] != '\\') {
        value.push_back(json[at]);
        continue;
      }
      const char e = json[++at];
      if (e == 'u') {
        value.push_back(static_cast<char>(std::stoi(std::string(json.substr(at + 1, 4)), nullptr, 16)));
        at += 4;
      } else {
        value.push_back(e == 'n' ? '\n' : e == 't' ? '\t' : e == 'r' ? '\r' : e == 'b' ? '\b' : e == 'f' ? '\f' : e);
      }
    }
    values.push_back(std::move(value));
  }
  return values;
}

std::string xml_unescaped(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    bool replaced = false;
    for (const auto& [entity, c] : {std::pair{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}}) {
      if (s.substr(i).starts_with(entity)) {
        out.push_back(c);
        i += std::string_view(entity).size() - 1;
        replaced = true;
        break;
      }
    }
    if (!replaced) out.push_back(s[i]);
  }
  return out;
}

// The texts of every `element` inside `xml`, in order.
std::vector<std::string> xml_values(std::string_view xml, std::string_view element) {
  std::vector<std::string> values;
  std::string open = "<";
  open.append(element).append(">");
  std::string close = "</";
  close.append(element).append(">");
  for (std::size_t at = xml.find(open); at != std::string_view::npos; at = xml.find(open, at)) {
    at += open.size();
    const std::size_t end = xml.find(close, at);
    values.push_back(xml_unescaped(xml.substr(at, end - at)));
  }
  return values;
}

std::string joined(const std::vector<std::string>& pieces) {
  std::string out;
  for (const std::string& p : pieces) out += p;
  return out;
}

// What the camt writer must show of `f` in the entry `entry`: texts within its length
// limits as they are, longer ones cut.
void expect_camt_agrees(std::string_view entry, const DerivedFields& f) {
  const std::string_view purpose = trimmed(f.purpose);
  const std::string remittance = joined(xml_values(entry, "Ustrd"));
  if (purpose.size() <= 140) {
    EXPECT_EQ(remittance, purpose);
  } else {
    EXPECT_TRUE(remittance.size() <= purpose.size() && !remittance.empty()) << remittance;
  }
  const std::vector<std::string> names = xml_values(entry, "Nm");
  if (!trimmed(f.counterparty).empty() && trimmed(f.counterparty).size() <= 140) {
    ASSERT_FALSE(names.empty());
    EXPECT_EQ(names.front(), trimmed(f.counterparty));
  } else if (trimmed(f.counterparty).empty()) {
    EXPECT_TRUE(names.empty());
  }
  const std::vector<std::string> ibans = xml_values(entry, "IBAN");
  if (is_valid_iban(f.counter_iban)) {
    EXPECT_EQ(ibans, std::vector<std::string>{f.counter_iban});
  } else {
    EXPECT_TRUE(ibans.empty());
  }
  const std::vector<std::string> mandates = xml_values(entry, "MndtId");
  EXPECT_EQ(joined(mandates), trimmed(f.mandate_reference));
  if (!f.end_to_end_reference.empty()) {
    EXPECT_EQ(xml_values(entry, "EndToEndId"), std::vector<std::string>{f.end_to_end_reference});
  }
}

void expect_outputs_agree(const std::vector<Statement>& statements) {
  std::vector<DerivedFields> fields;
  for (const Statement& s : statements) {
    for (const Transaction& t : s.transactions) fields.push_back(fields_of(t));
  }
  ASSERT_FALSE(fields.empty());

  const auto rows = csv_rows(export_csv(statements).value());
  ASSERT_EQ(rows.size(), fields.size());
  const std::string json = export_json(statements, {.bank_fields = true}).value();
  const auto purposes = json_values(json, "purpose");
  const auto counterparties = json_values(json, "counterparty");
  const auto ibans = json_values(json, "counterIban");
  const auto bics = json_values(json, "counterpartyBic");
  const auto ends = json_values(json, "endToEndReference");
  const auto mandates = json_values(json, "mandateReference");
  const auto creditors = json_values(json, "creditorId");
  ASSERT_EQ(purposes.size(), fields.size());
  const std::string camt = export_camt(statements, CamtOptions{}).value().xml;
  const auto entries = xml_values(camt, "Ntry");
  ASSERT_EQ(entries.size(), fields.size());

  for (std::size_t i = 0; i < fields.size(); ++i) {
    SCOPED_TRACE("transaction " + std::to_string(i));
    const DerivedFields& f = fields[i];
    EXPECT_EQ(rows[i].at(8), f.counterparty);
    EXPECT_EQ(rows[i].at(9), f.counter_iban);
    EXPECT_EQ(rows[i].at(10), f.purpose);
    EXPECT_EQ(purposes[i], f.purpose);
    EXPECT_EQ(counterparties[i], f.counterparty);
    EXPECT_EQ(ibans[i], f.counter_iban);
    EXPECT_EQ(bics[i], f.counterparty_bic);
    EXPECT_EQ(ends[i], f.end_to_end_reference);
    EXPECT_EQ(mandates[i], f.mandate_reference);
    EXPECT_EQ(creditors[i], f.creditor_id);
    expect_camt_agrees(entries[i], f);
  }
}

class FieldsAgree : public testing::TestWithParam<const char*> {};

TEST_P(FieldsAgree, InEveryOutputOfBothReadings) {
  const std::string bytes = read_bytes(fs::path(TALLYFOLD_EXAMPLES_DIR) / GetParam());
  ASSERT_FALSE(bytes.empty());
  {
    SCOPED_TRACE("exact reading");
    auto parsed = parse_statements(bytes, select_chain("auto"));
    ASSERT_TRUE(parsed) << message(parsed.error());
    expect_outputs_agree(*parsed);
  }
  {
    SCOPED_TRACE("bank-file reading");
    auto file = read_bank_file(bytes, {});
    ASSERT_TRUE(file) << message(file.error());
    expect_outputs_agree(file->statements);
  }
}

INSTANTIATE_TEST_SUITE_P(Examples, FieldsAgree,
                         testing::Values("swift-structured.sta", "german-gvc.sta", "angular.sta", "prose.sta"));

// A decoder chain decides the rules, so the same statements read by either entry of the
// bank-file reading derive the same fields.
TEST(FieldsAgree, ParseBankStatementsMarksItsTransactionsForBankRules) {
  const std::string bytes = read_bytes(fs::path(TALLYFOLD_EXAMPLES_DIR) / "swift-structured.sta");
  std::vector<Diagnostic> diagnostics;
  auto parsed = parse_bank_statements(bytes, *select_bank_chain("auto"), diagnostics);
  ASSERT_TRUE(parsed);
  auto file = read_bank_file(bytes, {});
  ASSERT_TRUE(file);
  ASSERT_EQ(parsed->size(), file->statements.size());
  for (std::size_t s = 0; s < parsed->size(); ++s) {
    for (std::size_t i = 0; i < (*parsed)[s].transactions.size(); ++i) {
      const Transaction& t = (*parsed)[s].transactions[i];
      EXPECT_EQ(t.rules, FieldRules::Bank);
      EXPECT_EQ(fields_of(t).purpose, fields_of(file->statements[s].transactions[i]).purpose);
    }
  }
}

}  // namespace
}  // namespace tallyfold
