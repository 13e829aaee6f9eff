// MT942 interim reports in the bank-file reading, and as camt.052.
#include <gtest/gtest.h>

#include <string>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kReport =
    ":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:34F:EURC200,\n:13D:2401021530+0100\n"
    ":61:2401020102D10,00NTRFNONREF\n:86:first\n:61:2401020102C5,50NTRFE2E-1\n"
    ":90D:1EUR10,00\n:90C:1EUR5,50\n:86:report text\n";

TEST(InterimReport, FieldsAreRead) {
  std::vector<Diagnostic> diagnostics;
  auto read = parse_bank_statements(kReport, select_chain("auto"), diagnostics);
  ASSERT_TRUE(read) << message(read.error());
  const Statement& s = read->front();
  EXPECT_EQ(s.kind, StatementKind::InterimReport);
  ASSERT_EQ(s.floor_limits.size(), 2u);
  EXPECT_EQ(s.floor_limits[0].debit_credit, DebitCreditMark::Debit);
  EXPECT_EQ(s.floor_limits[1].amount.to_string(), "200.00");
  ASSERT_TRUE(s.reported_at);
  EXPECT_EQ(s.reported_at->date.to_iso(), "2024-01-02");
  EXPECT_EQ(s.reported_at->hour, 15);
  EXPECT_EQ(s.reported_at->utc_offset_minutes, 60);
  ASSERT_TRUE(s.debit_total && s.credit_total);
  EXPECT_EQ(s.credit_total->count, 1u);
  EXPECT_EQ(s.credit_total->sum.to_string(), "5.50");
  ASSERT_EQ(s.transactions.size(), 2u);
  EXPECT_EQ(s.transactions[0].details, "first");
  EXPECT_EQ(s.information_to_account_owner, "report text");
  EXPECT_TRUE(diagnostics.empty()) << diagnostics.front().message;
}

TEST(InterimReport, Deviations) {
  const struct {
    std::string_view name;
    std::string text;
    std::string_view warning;  // empty: none
  } kRows[] = {
      {"totals that do not match", std::string(kReport).replace(std::string(kReport).find(":90D:1EUR10"), 11, ":90D:2EUR10"),
       ":90D: of interim report 'REP1' says 2 entries of 10.00, the report has 1 of 10.00"},
      {"older :13: without offset and totals without a count",
       ":20:R\n:25:A\n:28C:0\n:34F:EUR 99,99\n:13:1604202255\n:61:160421D0,02NMSCKREF+\n:90D:1EUR,02\n:90C:EUR,00\n", ""},
      {"no totals at all", ":20:R\n:25:A\n:28C:0\n:34F:USD123,\n:13D:0001032359+0500\n:61:0312091209D880,FTRFX\n", ""},
      {"unreadable floor limit", ":20:R\n:25:A\n:28C:0\n:34F:12\n:13D:0001032359+0500\n:61:0312091209D880,FTRFX\n",
       ":34F: '12' cannot be read: left out"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<Diagnostic> diagnostics;
    auto read = parse_bank_statements(row.text, select_chain("auto"), diagnostics);
    ASSERT_TRUE(read) << message(read.error());
    EXPECT_EQ(read->front().kind, StatementKind::InterimReport);
    EXPECT_FALSE(read->front().transactions.empty());
    std::string warnings;
    for (const Diagnostic& d : diagnostics) {
      if (d.severity == Severity::Warning) warnings += d.message;
    }
    EXPECT_EQ(warnings, row.warning);
  }
}

TEST(InterimReport, BecomesCamt052) {
  auto file = read_bank_file(kReport, BankFileOptions{});
  ASSERT_TRUE(file);
  EXPECT_TRUE(file->diagnostics.empty());  // nothing to reconcile
  auto document = export_camt(file->statements, CamtOptions{CamtVersion::V02, 0});
  ASSERT_TRUE(document);
  EXPECT_TRUE(document->message == CamtMessage::Report);
  const std::string& xml = document->xml;
  for (const std::string_view fragment :
       {"camt.052.001.02", "<BkToCstmrAcctRpt>", "<Rpt>", "<CreDtTm>2024-01-02T15:30:00+01:00</CreDtTm>",
        "<TtlCdtNtries>\n          <NbOfNtries>1</NbOfNtries>\n          <Sum>5.50</Sum>",
        "<AddtlRptInf>report text</AddtlRptInf>"}) {
    EXPECT_NE(xml.find(fragment), std::string::npos) << fragment << "\n" << xml;
  }
  EXPECT_EQ(xml.find("<Bal>"), std::string::npos);

  // One camt document holds statements or reports, never both.
  const std::string mixed = std::string(kReport) + ":20:S\n:25:A\n:28C:1\n:60F:C240101EUR1,\n:62F:C240102EUR1,\n";
  auto both = read_bank_file(mixed, BankFileOptions{});
  ASSERT_TRUE(both);
  ASSERT_EQ(both->statements.size(), 2u);
  EXPECT_FALSE(export_camt(both->statements, CamtOptions{}));
}

TEST(InterimReport, JsonAndCsvCarryItsOwnFields) {
  auto file = read_bank_file(kReport, BankFileOptions{});
  ASSERT_TRUE(file);
  auto json = export_json(file->statements);
  ASSERT_TRUE(json);
  for (const std::string_view fragment :
       {"\"statementDate\": \"2024-01-02\",\n    \"openingBalanceDate\": null,", "\"currency\": \"EUR\",\n    \"openingBalance\": null,",
        "\"kind\": \"interimReport\"", "\"mark\": \"D\",\n        \"amount\": 100.0",
        "\"reportedAt\": \"2024-01-02T15:30:00+01:00\"", "\"debitEntries\": {\n      \"count\": 1,\n      \"amount\": 10.0"}) {
    EXPECT_NE(json->find(fragment), std::string::npos) << fragment << "\n" << *json;
  }
  auto csv = export_csv(file->statements);
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->find("\n7,NL69INGB0123456789,EUR,2024-01-02"), std::string::npos) << *csv;
}

}  // namespace
}  // namespace tallyfold
