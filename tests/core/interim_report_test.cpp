// MT942 interim reports as camt.052 and CSV.
#include <gtest/gtest.h>

#include <string>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kReport =
    ":20:REP1\n:25:NL69INGB0123456789\n:28C:7/1\n:34F:EURD100,00\n:34F:EURC200,\n:13D:2401021530+0100\n"
    ":61:2401020102D10,00NTRFNONREF\n:86:first\n:61:2401020102C5,50NTRFE2E-1\n"
    ":90D:1EUR10,00\n:90C:1EUR5,50\n:86:report text\n";

// Its fields in the reading and the JSON are pinned by cases/bank/interim_reports.sta,
// its camt.052 by cases/camt-export/entries.sta.
TEST(InterimReport, CsvCarriesItsOwnFields) {
  auto file = read_bank_file(kReport, BankFileOptions{});
  ASSERT_TRUE(file);
  auto csv = export_csv(file->statements);
  ASSERT_TRUE(csv);
  EXPECT_NE(csv->find("\n7,NL69INGB0123456789,EUR,2024-01-02"), std::string::npos) << *csv;
}

}  // namespace
}  // namespace tallyfold
