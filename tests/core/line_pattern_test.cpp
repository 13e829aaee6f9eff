#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "parser/line_pattern.hpp"
#include "parser/statement_line.hpp"

namespace tallyfold::detail {
namespace {

// The recogniser must give what the compiled pattern gives on the first line, group for
// group, on the lines where its reading of the pattern could go wrong; the statement-line fuzzer
// checks the same property on arbitrary input.
TEST(StatementLine, RecogniserAgreesWithThePattern) {
  const struct {
    std::string_view line;
    bool matches;
  } kRows[] = {
      {"2301010102CR1234,56NTRFNONREF//BANK1", true},
      {"230101D1,NMSCREF", true},
      {"230101C1,NMSC", true},                       // empty customer reference
      {"230101RD12,3FCHGa b c//", true},             // empty bank reference
      {"230101C1,NTRFREF//a//b/c", true},            // slashes inside the bank reference
      {"230101C1,NTRF  REF \r x", true},             // carriage return in the customer reference
      {"230101RC1,00NTRFX", true},
      {"230101CR1,00NTRFX", true},                   // funds code R, not a reversal
      {"230101DD1,00NTRFX", true},
      {"2301010101D1,00NTRFX", true},
      {"230101010D1,00NTRFX", false},                // three digits are no entry date
      {"23010101011D1,00NTRFX", false},
      {"230101C123456789012345,NTRFX", true},        // fifteen integer digits
      {"230101C1234567890123456,NTRFX", false},      // sixteen
      {"230101C1,123NTRFX", false},
      {"230101C,12NTRFX", false},
      {"230101C1.00NTRFX", false},
      {"230101C1,00XTRFX", false},
      {"230101C1,00NTR-X", false},
      {"230101C1,00NTRFREF/x", false},               // a single slash
      {"230101C1,00NTRFREF//b\rx", false},           // carriage return in the bank reference
      {"230101C1,00NTRFREF//b\r", false},
      {"230101C1,00NTRFREF//1234567\r9", false},    // a break at the end of a word of eight
      {"230101C1,00NTRFREF//12345678\r", false},    // a break after the last word
      {"230101C1,00NTRFREF//12345678abcdef\n", true},  // a line feed ends the line
      {"230101C1,00NTRFREF//B\r\nx", false},
      {"230101C1,00NTRFREF//B\n\xc3\xa9", true},     // other bytes only after the line
      {"230101C1,00NTRF\n//B", true},
      {"230101C1,00NTRFA/\n/B", false},
      {"230101C1,00NTRFA//\n", true},
      {"230101C1,00\nNTRF", false},
      {"2301010102\nC1,00NTRF", false},
      {"230101C1,00NTRFREF//12345678abcdefgh", true},
      {"230101C1,00NTRFREFERENCE-LONGER-THAN//x\xc3\xa9", true},  // non-ASCII past the first words
      {"23010AC1,00NTRFX", false},
      {"230101X1,00NTRFX", false},
      {"230101R1,00NTRFX", false},
      {"230101C1,00NTR", false},                     // shorter than any match
      {"230101\xd9\xa1\xd9\xa2\xd9\xa3\xd9\xa4" "C1,NTRFREF", true},  // Arabic-Indic digits: the pattern's
      {"230101C1,NTRF\xc3\xa9t\xc3\xa9", true},
      {"230101C1,NTRFREF//\xff", false},             // invalid UTF-8 never matches
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.line));
    const std::string_view line = row.line.substr(0, row.line.find('\n'));
    const auto recognised = match_statement_line(row.line);
    EXPECT_EQ(recognised.has_value(), row.matches);
    EXPECT_TRUE(recognised == match_statement_line_by_pattern(line));
    StatementLineTokens tokens{};
    if (match_statement_line(row.line, tokens)) {
      EXPECT_EQ(tokens.line_size, line.size());
    }
  }
}

// What the digits write, read on the way by the tokeniser or after the pattern from its
// groups. Month 0 is no date; other digits than ASCII ones give no amount.
TEST(StatementLine, DigitsAreReadWithTheLine) {
  const struct {
    std::string_view line;
    int year, month, day, entry_month, entry_day;
    std::optional<std::uint64_t> cents;
    DebitCreditMark mark;
  } kRows[] = {
      {"2301310102RD1234,56NTRFX", 23, 1, 31, 1, 2, 123456, DebitCreditMark::ReversalDebit},
      {"991231C1,NTRF", 99, 12, 31, 0, 0, 100, DebitCreditMark::Credit},
      {"000000RC1,5NTRF", 0, 0, 0, 0, 0, 150, DebitCreditMark::ReversalCredit},
      {"230101D123456789012345,01NTRF", 23, 1, 1, 0, 0, 12345678901234501, DebitCreditMark::Debit},
      {"230101\xd9\xa1\xd9\xa2\xd9\xa3\xd9\xa4" "C1,NTRFREF", 23, 1, 1, 0, 0, 100, DebitCreditMark::Credit},
      {"2301\xd9\xa1" "1C1,NTRF", 0, 0, 0, 0, 0, 100, DebitCreditMark::Credit},
      {"230101C\xd9\xa1,NTRF", 23, 1, 1, 0, 0, std::nullopt, DebitCreditMark::Credit},
      {"2301010102C0,NTRF\xc3\xa9", 23, 1, 1, 1, 2, 0, DebitCreditMark::Credit},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.line));
    StatementLineTokens t{};
    ASSERT_TRUE(match_statement_line(row.line, t));
    EXPECT_EQ((std::array<int, 5>{t.value_year, t.value_month, t.value_day, t.entry_month, t.entry_day}),
              (std::array<int, 5>{row.year, row.month, row.day, row.entry_month, row.entry_day}));
    EXPECT_EQ(t.amount_cents, row.cents);
    EXPECT_EQ(t.debit_credit, row.mark);
  }
}

// Each deviation the bank-file reading allows, alone in a line: the exact form refuses
// the line, the deviation alone admits it and is the one reported, and every other
// deviation together does not stand in for it.
TEST(StatementLine, EachDeviationIsItsOwnAllowance) {
  const struct {
    std::string_view line;
    LineDeviation deviation;
  } kRows[] = {
      {"230101    C1,00NTRFX", kBlankEntryDate},
      {"230101c1,00NTRFX", kLowerCaseMark},
      {"230101Rd1,00NTRFX", kLowerCaseMark},
      {"230101C A1,00NTRFX", kBlankBeforeFundsCode},
      {"230101C100NTRFX", kAmountWithoutComma},
      {"230101C1.00NTRFX", kAmountWithPoint},
      {"230101C1,00 NTRFX", kBlankBeforeType},
      {"230101C1,00//BANK", kNoType},
      {"230101C1,00", kNoType},
      {"230101C1,00NO  X", kPaddedType},
      {"230101C1,00XTRFX", kTypeNotNorF},
      {"230101C1,00NTRFA/B//C", kSlashInReference},
      {"230101C1,00NTRFA/", kSlashInReference},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.line));
    StatementLineTokens tokens;
    EXPECT_FALSE(tokenise_statement_line(row.line, kExactForm, tokens));
    tokens = {};
    ASSERT_TRUE(tokenise_statement_line(row.line, row.deviation, tokens));
    EXPECT_EQ(tokens.deviations, row.deviation);
    tokens = {};
    EXPECT_FALSE(tokenise_statement_line(row.line, static_cast<LineDeviations>(kEveryDeviation & ~row.deviation), tokens));
  }
}

}  // namespace
}  // namespace tallyfold::detail
