// MT942 interim reports as camt.052 and CSV.
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

// Its fields in the reading and the JSON are pinned by cases/bank/interim_reports.sta.
TEST(InterimReport, CsvCarriesItsOwnFields) {
  auto file = read_bank_file(kReport, BankFileOptions{});
  ASSERT_TRUE(file);
  auto csv = export_csv(file->statements);
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->find("\n7,NL69INGB0123456789,EUR,2024-01-02"), std::string::npos) << *csv;
}

}  // namespace
}  // namespace tallyfold
