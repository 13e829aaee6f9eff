#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

TEST(ParseDate, Table) {
  // `iso` empty: InvalidDate carrying the whole input.
  const struct { std::string_view text, iso; } kRows[] = {
      {"230131", "2023-01-31"}, {"790101", "2079-01-01"}, {"800101", "1980-01-01"},
      {"000229", "2000-02-29"}, {"240229", "2024-02-29"}, {"230229", ""},
      {"230230", ""},           {"231301", ""},           {"230100", ""},
      {"+3+1+5", "2003-01-05"}, {"-1+1+1", "1999-01-01"}, {"23-101", ""},
      {"23013", ""},            {"2301311", ""},          {"2301+a", ""},
      {" 30131", ""},           {"2301\xD9\xA3", ""},  // ARABIC-INDIC DIGIT THREE
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const auto r = parse_date(row.text);
    if (row.iso.empty()) {
      ASSERT_FALSE(r);
      const auto& e = std::get<InvalidDate>(r.error());
      EXPECT_EQ(e.value, row.text);
      EXPECT_EQ(e.field, kDateField);
    } else {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->to_iso(), row.iso);
    }
  }
}

TEST(ParseAmount, Table) {
  // `out` empty: InvalidAmount carrying the input as written.
  const struct { std::string_view text, out; } kRows[] = {
      {"1234,56", "1234.56"}, {"1234,5", "1234.50"}, {"0001,00", "1.00"}, {",", "0.00"},
      {"12,30", "12.30"},     {"1,234", "1.234"},    {"1_000,00", "1000.00"},
      {"1,0_5", "1.05"},      {"-0,00", "-0.00"},    {"+5,1", "5.10"},  {"7", "7.00"},
      {"1,5E3", "1500"},      {"1,5e-3", "0.0015"},  {"1,25E+1", "12.5"},
      {"792281625142643375935439503,35", "792281625142643375935439503.35"},  // 2^96 - 1
      {"12,3,4", ""},         {"1.234,56", ""},      {"_1,00", ""},       {"ABC", ""},
      {"12,30 ", ""},         {"1,5E", ""},          {"1E5", ""},         {"-,50", ""},
      {"792281625142643375935439503,36", ""},  // one past 96 bits: never a wrong integer
      {"1,00000000000000000000000000001", ""},  // 29 fraction digits
      {"1,5E-30", ""},        {"\xD9\xA1,00", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const auto r = parse_amount(row.text);
    if (row.out.empty()) {
      ASSERT_FALSE(r);
      const auto& e = std::get<InvalidAmount>(r.error());
      EXPECT_EQ(e.value, row.text);
      EXPECT_EQ(e.field, kAmountField);
    } else {
      ASSERT_TRUE(r);
      EXPECT_EQ(r->to_string(), row.out);
    }
  }
}

TEST(ParseBalance, Table) {
  enum Kind { Ok, Format, Date, Amount };
  // For errors, `detail` is the error's value; for balances "mark date currency amount".
  const struct { std::string_view content; Kind kind; std::string_view detail, reason; } kRows[] = {
      {"C230131EUR1234,56", Ok, "C 2023-01-31 EUR 1234.56", ""},
      {"D230131EUR1234,56", Ok, "D 2023-01-31 EUR 1234.56", ""},
      {"C230131EUR1", Ok, "C 2023-01-31 EUR 1.00", ""},
      {"D230131EUR0,", Ok, "D 2023-01-31 EUR 0.00", ""},
      {"C230131\xE2\x82\xAC" "1,00", Ok, "C 2023-01-31 \xE2\x82\xAC 1.00", ""},  // euro sign
      {"C230131\x80UR1,00", Ok, "C 2023-01-31 \x80UR 1.00", ""},  // stray byte carried
      {"C230131EUR", Format, "C230131EUR", kReasonTooShort},
      {"RC230131EUR1,00", Format, "RC230131EUR1,00", kReasonInvalidMark},
      {"c230131EUR1,00", Format, "c230131EUR1,00", kReasonInvalidMark},
      {"C230230EUR1,00", Date, "230230", ""},
      {"C230230EURxx", Date, "230230", ""},  // the date is read before the amount
      {"C230131EUR12,30 ", Amount, "12,30 ", ""},
      {"C230131EUR1,00-}", Amount, "1,00-}", ""},
      // A character across a cut is reported whole, never split.
      {"C23013\xC3\xA9UR1,00", Date, "23013\xC3\xA9", ""},
      {"C230131EU\xE2\x82\xAC" "1,00", Amount, "\xE2\x82\xAC" "1,00", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const auto r = parse_balance(row.content);
    switch (row.kind) {
      case Ok: {
        ASSERT_TRUE(r);
        std::string got(mark_text(r->debit_credit));
        got += " " + r->date.to_iso() + " " + r->currency + " " + r->amount.to_string();
        EXPECT_EQ(got, row.detail);
        break;
      }
      case Format: {
        ASSERT_FALSE(r);
        const auto& e = std::get<InvalidFormat>(r.error());
        EXPECT_EQ(e.field, kBalanceField);
        EXPECT_EQ(e.value, row.detail);
        EXPECT_EQ(e.reason, row.reason);
        break;
      }
      case Date:
        ASSERT_FALSE(r);
        EXPECT_EQ(std::get<InvalidDate>(r.error()).value, row.detail);
        break;
      case Amount:
        ASSERT_FALSE(r);
        EXPECT_EQ(std::get<InvalidAmount>(r.error()).value, row.detail);
        break;
    }
  }
}

std::string describe(const Transaction& t) {
  std::string s = t.value_date.to_iso() + " " + (t.entry_date ? t.entry_date->to_iso() : "-") + " " +
                  std::string(mark_text(t.debit_credit)) + " " +
                  (t.funds_code ? std::string(1, *t.funds_code) : "-") + " " + t.amount.to_string() +
                  " " + t.transaction_type + " [" + t.customer_reference + "] " +
                  (t.bank_reference ? "[" + *t.bank_reference + "]" : "-") + " " +
                  (t.extra_details ? "[" + *t.extra_details + "]" : "-");
  return s;
}

TEST(ParseStatementLine, Matches) {
  const struct { std::string_view content, expected; } kRows[] = {
      {"2301310131C1234,56NTRFNONREF//B123", "2023-01-31 2023-01-31 C - 1234.56 NTRF [NONREF] [B123] -"},
      {"230131C0,NTRF", "2023-01-31 - C - 0.00 NTRF [] - -"},
      {"230131C1,5FMSC", "2023-01-31 - C - 1.50 FMSC [] - -"},
      // Entry date: across New Year in both directions, and the month boundaries.
      {"2312280102D5,NMSCX", "2023-12-28 2024-01-02 D - 5.00 NMSC [X] - -"},
      {"2312280531D5,NMSCX", "2023-12-28 2024-05-31 D - 5.00 NMSC [X] - -"},
      {"2312280601D5,NMSCX", "2023-12-28 2023-06-01 D - 5.00 NMSC [X] - -"},
      {"2401021231D5,NMSCX", "2024-01-02 2023-12-31 D - 5.00 NMSC [X] - -"},
      {"2401020801D5,NMSCX", "2024-01-02 2023-08-01 D - 5.00 NMSC [X] - -"},
      {"2401020731D5,NMSCX", "2024-01-02 2024-07-31 D - 5.00 NMSC [X] - -"},
      {"2401020229D5,NMSCX", "2024-01-02 2024-02-29 D - 5.00 NMSC [X] - -"},
      {"2302280229D5,NMSCX", "2023-02-28 - D - 5.00 NMSC [X] - -"},
      {"2302280230D5,NMSCX", "2023-02-28 - D - 5.00 NMSC [X] - -"},
      {"2301310\xD9\xA1" "31C1,00NTRF", "2023-01-31 - C - 1.00 NTRF [] - -"},  // non-ASCII entry date
      // Marks and funds codes.
      {"230131RCR1,00NTRFX", "2023-01-31 - RC - 1.00 NTRF [X] - -"},
      {"230131CR1,00NTRFX", "2023-01-31 - C R 1.00 NTRF [X] - -"},
      {"230131RD1,00NTRFX", "2023-01-31 - RD - 1.00 NTRF [X] - -"},
      {"230131RDX1,00NTRFX", "2023-01-31 - RD - 1.00 NTRF [X] - -"},
      // References.
      {"230131C1,00NTRF//", "2023-01-31 - C - 1.00 NTRF [] [] -"},
      {"230131C1,00NTRF  R 1\xC2\xA0//B 1 ", "2023-01-31 - C - 1.00 NTRF [R 1] [B 1 ] -"},
      {"230131C1,00NTRFREF//B//C/", "2023-01-31 - C - 1.00 NTRF [REF] [B//C/] -"},
      {"230131C1,00NTRFCAF\xC3\x89//B", "2023-01-31 - C - 1.00 NTRF [CAF\xC3\x89] [B] -"},
      // Supplementary details: everything after the first line feed, trimmed.
      {"230131C1,00NTRFX\n sup \n more \n", "2023-01-31 - C - 1.00 NTRF [X] - [sup \n more]"},
      {"230131C1,00NTRFX\n \t\n", "2023-01-31 - C - 1.00 NTRF [X] - -"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const auto r = parse_statement_line(row.content);
    ASSERT_TRUE(r) << message(r.error());
    EXPECT_EQ(describe(*r), row.expected);
    EXPECT_TRUE(r->details.empty());
    EXPECT_FALSE(r->structured_details);
  }
}

TEST(ParseStatementLine, Errors) {
  enum Kind { Format, Date, Amount };
  const struct { std::string_view content; Kind kind; std::string_view value; } kRows[] = {
      {"230131C1234NTRFREF", Format, "230131C1234NTRFREF"},
      {"230131C1,00NTRFA/B", Format, "230131C1,00NTRFA/B"},
      {"230131C1,00NTRFREF/\n//B", Format, "230131C1,00NTRFREF/"},
      {"230131C1,00NTRFREF//B\rC", Format, "230131C1,00NTRFREF//B\rC"},
      {"230131C1,00XTRFREF", Format, "230131C1,00XTRFREF"},
      {"230131X1,00NTRF", Format, "230131X1,00NTRF"},
      {"230131C1234567890123456,00NTRF", Format, "230131C1234567890123456,00NTRF"},
      {"230131C1,000NTRF", Format, "230131C1,000NTRF"},
      {"230131C1,00NTRFREF\xFF", Format, "230131C1,00NTRFREF\xFF"},  // invalid UTF-8
      {"", Format, ""},
      {"230230C1,00NTRF", Date, "230230"},
      {"23013\xD9\xA1" "C1,00NTRF", Date, "23013\xD9\xA1"},
      {"230131C\xD9\xA1,00NTRF", Amount, "\xD9\xA1,00"},
      {"230230C\xD9\xA1,00NTRF", Date, "230230"},  // the date is read first
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const auto r = parse_statement_line(row.content);
    ASSERT_FALSE(r);
    switch (row.kind) {
      case Format: {
        const auto& e = std::get<InvalidFormat>(r.error());
        EXPECT_EQ(e.field, kStatementLineField);
        EXPECT_EQ(e.reason, kReasonNoMatch);
        EXPECT_EQ(e.value, row.value);
        break;
      }
      case Date:
        EXPECT_EQ(std::get<InvalidDate>(r.error()).value, row.value);
        break;
      case Amount:
        EXPECT_EQ(std::get<InvalidAmount>(r.error()).value, row.value);
        break;
    }
  }
}

TEST(ParseStatementLine, LongReferencesMatchWithoutBacktrackingLimits) {
  const std::string big(4 << 20, 'x');
  const auto customer = parse_statement_line("230131C1,00NTRF" + big);
  ASSERT_TRUE(customer);
  EXPECT_EQ(customer->customer_reference.size(), big.size());
  const auto bank = parse_statement_line("230131C1,00NTRFREF//" + big);
  ASSERT_TRUE(bank);
  EXPECT_EQ(bank->bank_reference->size(), big.size());
  EXPECT_FALSE(parse_statement_line("230131C1,00NTRF" + big + "/x" + big));
  // Rescanning the bank reference after every character would exhaust the match limit.
  const auto cr = parse_statement_line("230131C1,00NTRF" + big + "//" + big + "\r");
  ASSERT_FALSE(cr);
  EXPECT_TRUE(std::holds_alternative<InvalidFormat>(cr.error()));
}

}  // namespace
}  // namespace tallyfold
