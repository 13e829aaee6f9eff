#include <string>

#include <gtest/gtest.h>

#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

// One line per outcome, so that a table row states its whole expectation: an error's
// kind and fields (its display text is pinned elsewhere), or the parsed value.
std::string show(const ParseError& e) {
  if (auto* d = std::get_if<InvalidDate>(&e)) return "date[" + d->value + "]" + std::string(d->field);
  if (auto* a = std::get_if<InvalidAmount>(&e)) return "amount[" + a->value + "]" + std::string(a->field);
  if (auto* f = std::get_if<InvalidFormat>(&e)) {
    return std::string(f->field) + "[" + f->value + "]" + std::string(f->reason);
  }
  return "other";
}
template <class T, class F>
std::string show(const Result<T>& r, F value) {
  return r ? value(*r) : show(r.error());
}

TEST(ParseDate, Table) {
  const struct { std::string_view text, out; } kRows[] = {
      {"230131", "2023-01-31"}, {"790101", "2079-01-01"}, {"800101", "1980-01-01"},
      {"000229", "2000-02-29"}, {"240229", "2024-02-29"}, {"+3+1+5", "2003-01-05"},
      {"-1+1+1", "1999-01-01"}, {"230229", "date[230229](date field)"},
      {"230230", "date[230230](date field)"}, {"231301", "date[231301](date field)"},
      {"230100", "date[230100](date field)"}, {"23-101", "date[23-101](date field)"},
      {"23013", "date[23013](date field)"},   {"2301311", "date[2301311](date field)"},
      {" 30131", "date[ 30131](date field)"}, {"2301\xD9\xA3", "date[2301\xD9\xA3](date field)"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(show(parse_date(row.text), [](const Date& d) { return d.to_iso(); }), row.out);
  }
}

TEST(ParseAmount, Table) {
  // `out` empty: InvalidAmount carrying the input as written.
  const struct { std::string_view text, out; } kRows[] = {
      {"1234,56", "1234.56"}, {"1234,5", "1234.50"}, {"0001,00", "1.00"}, {",", "0.00"},
      {"1,234", "1.234"},     {"1_000,00", "1000.00"}, {"1,0_5", "1.05"}, {"-0,00", "-0.00"},
      {"+5,1", "5.10"},       {"7", "7.00"},         {"1,5E3", "1500"},  {"1,5e-3", "0.0015"},
      {"1,25E+1", "12.5"},    {"792281625142643375935439503,35", "792281625142643375935439503.35"},
      {"12,3,4", ""},         {"1.234,56", ""},      {"_1,00", ""},      {"ABC", ""},
      {"12,30 ", ""},         {"1,5E", ""},          {"1E5", ""},        {"-,50", ""},
      {"792281625142643375935439503,36", ""},  // one past 96 bits: never a wrong integer
      {"340282366920938463463374607431768211461,00", ""},  // 2^128 + 5: wrapping reads 5.00
      {"1,00000000000000000000000000001", ""}, {"1,5E-30", ""}, {"\xD9\xA1,00", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const std::string out = row.out.empty() ? "amount[" + std::string(row.text) + "](amount field)"
                                            : std::string(row.out);
    EXPECT_EQ(show(parse_amount(row.text), [](const Decimal& d) { return d.to_string(); }), out);
  }
}

std::string show_balance(const Balance& b) {
  return std::string(mark_text(b.debit_credit)) + " " + b.date.to_iso() + " " + std::string(b.currency) + " " +
         b.amount.to_string();
}

TEST(ParseBalance, Table) {
  const struct { std::string_view content, out; } kRows[] = {
      {"C230131EUR1234,56", "C 2023-01-31 EUR 1234.56"},
      {"D230131EUR1234,56", "D 2023-01-31 EUR 1234.56"},
      {"C230131EUR1", "C 2023-01-31 EUR 1.00"},
      {"C230131\xE2\x82\xAC" "1,00", "C 2023-01-31 \xE2\x82\xAC 1.00"},  // euro sign as currency
      {"C230131\x80UR1,00", "C 2023-01-31 \x80UR 1.00"},                 // stray byte carried
      {"C230131EUR", "balance[C230131EUR]too short"},
      {"RC230131EUR1,00", "balance[RC230131EUR1,00]invalid D/C mark"},
      {"C230230EURxx", "date[230230](date field)"},  // the date is read before the amount
      {"C230131EUR12,30 ", "amount[12,30 ](amount field)"},
      {"C230131EUR1,00-}", "amount[1,00-}](amount field)"},
      // A character across a cut position is reported whole, never split.
      {"C23013\xC3\xA9UR1,00", "date[23013\xC3\xA9](date field)"},
      {"C230131EU\xE2\x82\xAC" "1,00", "amount[\xE2\x82\xAC" "1,00](amount field)"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    EXPECT_EQ(show(parse_balance(row.content), show_balance), row.out);
  }
}

std::string show_line(const Transaction& t) {
  EXPECT_TRUE(t.details.empty() && !t.structured_details);
  return t.value_date.to_iso() + " " + (t.entry_date ? t.entry_date->to_iso() : "-") + " " +
         std::string(mark_text(t.debit_credit)) + " " + (t.funds_code ? std::string(1, *t.funds_code) : "-") +
         " " + t.amount.to_string() + " " + std::string(t.transaction_type) + " [" +
         std::string(t.customer_reference) + "] " +
         (t.bank_reference ? "[" + std::string(*t.bank_reference) + "]" : "-") + " " +
         (t.extra_details ? "[" + std::string(*t.extra_details) + "]" : "-");
}

TEST(ParseStatementLine, Table) {
  constexpr std::string_view kNoMatch = "does not match expected format";
  const struct { std::string_view content, out; } kRows[] = {
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
      {"2301310\xD9\xA1" "31C1,00NTRF", "2023-01-31 - C - 1.00 NTRF [] - -"},  // non-ASCII entry date
      // Marks and funds codes.
      {"230131RCR1,00NTRFX", "2023-01-31 - RC - 1.00 NTRF [X] - -"},
      {"230131CR1,00NTRFX", "2023-01-31 - C R 1.00 NTRF [X] - -"},
      {"230131RDX1,00NTRFX", "2023-01-31 - RD - 1.00 NTRF [X] - -"},
      // References and supplementary details.
      {"230131C1,00NTRF//", "2023-01-31 - C - 1.00 NTRF [] [] -"},
      {"230131C1,00NTRF  R 1\xC2\xA0//B 1 ", "2023-01-31 - C - 1.00 NTRF [R 1] [B 1 ] -"},
      {"230131C1,00NTRFREF//B//C/", "2023-01-31 - C - 1.00 NTRF [REF] [B//C/] -"},
      {"230131C1,00NTRFX\n sup \n more \n", "2023-01-31 - C - 1.00 NTRF [X] - [sup \n more]"},
      {"230131C1,00NTRFX\n \t\n", "2023-01-31 - C - 1.00 NTRF [X] - -"},
      // Failures: the value is the first line only; the date is read before the amount.
      {"230131C1234NTRFREF", ":61:[230131C1234NTRFREF]"},
      {"230131C1,00NTRFA/B", ":61:[230131C1,00NTRFA/B]"},
      {"230131C1,00NTRFREF/\n//B", ":61:[230131C1,00NTRFREF/]"},
      {"230131C1,00NTRFREF//B\rC", ":61:[230131C1,00NTRFREF//B\rC]"},
      {"230131C1234567890123456,00NTRF", ":61:[230131C1234567890123456,00NTRF]"},
      {"230131C1,000NTRF", ":61:[230131C1,000NTRF]"},
      {"230131C1,00NTRFREF\xFF", ":61:[230131C1,00NTRFREF\xFF]"},  // invalid UTF-8
      {"", ":61:[]"},
      {"23013\xD9\xA1" "C1,00NTRF", "date[23013\xD9\xA1](date field)"},
      {"230131C\xD9\xA1,00NTRF", "amount[\xD9\xA1,00](amount field)"},
      {"230230C\xD9\xA1,00NTRF", "date[230230](date field)"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    std::string out(row.out);
    if (out.starts_with(":61:")) out += kNoMatch;
    EXPECT_EQ(show(parse_statement_line(row.content), show_line), out);
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
