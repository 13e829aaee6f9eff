// The notes of the bank-file reading on statements whose balances do not follow from
// their transactions.
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"

namespace tallyfold {
namespace {

std::string statement(std::string_view opening, const std::vector<std::string_view>& amounts,
                      std::string_view closing) {
  std::string text = ":20:A\n:25:ACCOUNT\n:28C:1/1\n:60F:";
  text += opening;
  text += '\n';
  for (std::string_view amount : amounts) {
    text += ":61:2001010101";
    text += amount;
    text += "NTRFNONREF\n";
  }
  text += ":62F:";
  text += closing;
  text += '\n';
  return text;
}

TEST(BankFileNotes, SaySoWhenTheBalancesDoNotReconcile) {
  const struct {
    std::string_view name;
    std::string_view opening;
    std::vector<std::string_view> amounts;
    std::string_view closing;
    std::string_view note;  // empty: none
  } kRows[] = {
      {"reconciles", "C200101EUR100,00", {"C1,50", "D0,50"}, "C200101EUR101,00", ""},
      {"no transactions", "D200101EUR7,25", {}, "D200101EUR7,25", ""},
      {"balances written without decimals", "C200101EUR100,", {"C1,50", "D0,50"}, "C200101EUR101,", ""},
      {"balances with three decimals", "C200101EUR100,125", {"C1,50", "D0,50"}, "C200101EUR101,125", ""},
      {"from credit to debit", "C200101EUR1,00", {"D3,00"}, "D200101EUR2,00", ""},
      {"a zero closing balance marked debit", "C200101EUR1,00", {"D1,00"}, "D200101EUR0,00", ""},
      {"off by a cent", "C200101EUR100,00", {"C1,50", "D0,50"}, "C200101EUR101,01",
       "statement 'A' does not reconcile: opening balance and transactions give 101.00, closing balance 101.01"},
      {"off by a tenth of a cent", "C200101EUR100,125", {"C1,00"}, "C200101EUR101,124",
       "statement 'A' does not reconcile: opening balance and transactions give 101.125, closing balance 101.124"},
      {"debit closing balance that does not follow", "C200101EUR1,00", {"D3,00"}, "D200101EUR2,01",
       "statement 'A' does not reconcile: opening balance and transactions give -2.00, closing balance -2.01"},
      {"the mark of the closing balance", "C200101EUR1,00", {"C1,00"}, "D200101EUR2,00",
       "statement 'A' does not reconcile: opening balance and transactions give 2.00, closing balance -2.00"},
      {"currencies differ", "C200101EUR100,00", {"C1,00"}, "C200101USD101,00",
       "statement 'A' does not reconcile: opening balance in EUR, closing balance in USD"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const auto file = read_bank_file(statement(row.opening, row.amounts, row.closing), {});
    ASSERT_TRUE(file) << message(file.error());
    std::vector<Diagnostic> expected;
    if (!row.note.empty()) expected.push_back({1, Severity::Note, std::string(row.note)});  // at its :20:
    EXPECT_EQ(file->diagnostics, expected);
  }
}

// Diagnostics of one kind are said once: a note with its first lines, a warning about
// what was left out with every line.
TEST(BankFileNotes, OneKindIsSaidOnce) {
  std::string text = ":20:A\n:25:ACCOUNT\n:28C:1/1\n:60F:C200101EUR0,00\n";
  for (int i = 0; i < 5; ++i) text += ":61:2001010101C1,00NOV NONREF\n";
  for (int i = 0; i < 4; ++i) text += ":61:2001320101C1,00NTRFNONREF\n";
  text += ":61:2001010101C1.00NTRFNONREF\n:62F:C200101EUR7,00\n";
  text += ":20:B\n:25:ACCOUNT\n:28C:2/1\n:60F:C200101EUR6,00\n:62F:C200101EUR7,00\n";
  const auto file = read_bank_file(text, {});
  ASSERT_TRUE(file) << message(file.error());
  std::vector<std::string> said;
  for (const Diagnostic& d : file->diagnostics) {
    said.push_back(std::to_string(d.line) + " " + std::string(severity_text(d.severity)) + ": " + d.message);
  }
  EXPECT_EQ(said, (std::vector<std::string>{
                      "1 note: 2 statements that do not reconcile (lines 1, 16)",
                      "5 note: 5 :61: type codes padded with blanks read trimmed (lines 5, 6, 7, …)",
                      "10 warning: 4 :61: lines that cannot be read left out with their details (lines 10, 11, 12, 13)",
                      "14 note: :61: amount with a decimal point read as 1.00",
                  }));
}

}  // namespace
}  // namespace tallyfold
