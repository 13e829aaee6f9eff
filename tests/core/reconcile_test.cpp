#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/reconcile.hpp"

namespace tallyfold {
namespace {

using Mark = DebitCreditMark;

// "12.34" -> mantissa 1234, scale 2.
Decimal dec(std::string_view text) {
  uint128 mantissa = 0;
  int scale = -1;
  for (char c : text) {
    if (c == '.') {
      scale = 0;
      continue;
    }
    mantissa = mantissa * 10 + static_cast<unsigned>(c - '0');
    if (scale >= 0) ++scale;
  }
  return *Decimal::from_parts(mantissa, scale < 0 ? 0 : scale, false);
}

Balance balance(Mark mark, std::string_view amount, std::string_view currency = "EUR") {
  Balance b;
  b.debit_credit = mark;
  b.amount = dec(amount);
  b.currency = currency;
  return b;
}

Statement statement(std::string_view account, Balance opening,
                    std::vector<std::pair<Mark, std::string_view>> lines, Balance closing) {
  Statement s;
  s.account_identification = account;
  s.opening_balance = std::move(opening);
  s.closing_balance = std::move(closing);
  for (auto [mark, amount] : lines) {
    Transaction t;
    t.debit_credit = mark;
    t.amount = dec(amount);
    s.transactions.push_back(std::move(t));
  }
  return s;
}

TEST(Reconcile, OneStatement) {
  const struct {
    std::string_view name;
    Statement s;
    bool balanced;
    std::string_view computed;  // empty: not computable
    std::string_view difference;
  } kRows[] = {
      {"credits and debits",
       statement("A", balance(Mark::Credit, "100.00"), {{Mark::Credit, "20.50"}, {Mark::Debit, "0.50"}},
                 balance(Mark::Credit, "120.00")),
       true, "120.00", "0.00"},
      {"debit balances are negative",
       statement("A", balance(Mark::Debit, "10.00"), {{Mark::Credit, "25.00"}},
                 balance(Mark::Credit, "15.00")),
       true, "15.00", "0.00"},
      {"reversals take the other side",
       statement("A", balance(Mark::Credit, "10.00"),
                 {{Mark::ReversalCredit, "3.00"}, {Mark::ReversalDebit, "1.00"}},
                 balance(Mark::Credit, "8.00")),
       true, "8.00", "0.00"},
      {"a debit zero equals a credit zero",
       statement("A", balance(Mark::Debit, "0.00"), {}, balance(Mark::Credit, "0")), true, "-0.00",
       "0.00"},
      {"scales differ", statement("A", balance(Mark::Credit, "1.500"), {{Mark::Credit, "1.50"}},
                                  balance(Mark::Credit, "3.0")),
       true, "3.000", "0.000"},
      {"one cent short",
       statement("A", balance(Mark::Credit, "100.00"), {{Mark::Debit, "0.01"}},
                 balance(Mark::Credit, "100.00")),
       false, "99.99", "0.01"},
      {"currency differs",
       statement("A", balance(Mark::Credit, "1.00"), {}, balance(Mark::Credit, "1.00", "USD")),
       false, "1.00", "0.00"},
      {"sum out of range",
       statement("A", balance(Mark::Credit, "79228162514264337593543950335"), {{Mark::Credit, "1.00"}},
                 balance(Mark::Credit, "1.00")),
       false, "", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    StatementCheck check = check_statement(row.s);
    EXPECT_EQ(check.balanced, row.balanced);
    EXPECT_FALSE(check.continues_previous);
    EXPECT_EQ(check.computed_closing ? check.computed_closing->to_string() : "", row.computed);
    EXPECT_EQ(check.difference ? check.difference->to_string() : "", row.difference);
  }
}

TEST(Reconcile, ContinuityFollowsEachAccount) {
  const std::vector<Statement> statements = {
      statement("A", balance(Mark::Debit, "1.00"), {}, balance(Mark::Debit, "1.00")),
      statement("B", balance(Mark::Credit, "7.00"), {}, balance(Mark::Credit, "7.00")),
      statement("A", balance(Mark::Debit, "1.00"), {}, balance(Mark::Debit, "1.00")),
      statement("A", balance(Mark::Credit, "1.00"), {}, balance(Mark::Credit, "1.00")),
      statement("B", balance(Mark::Credit, "7.00", "USD"), {}, balance(Mark::Credit, "7.00", "USD")),
  };
  const std::vector<StatementCheck> checks = check_statements(statements);
  ASSERT_EQ(checks.size(), statements.size());
  const std::optional<bool> kExpected[] = {std::nullopt, std::nullopt, true, false, false};
  for (std::size_t i = 0; i < checks.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(checks[i].continues_previous, kExpected[i]);
  }
  EXPECT_FALSE(all_reconcile(checks));
  EXPECT_TRUE(all_reconcile(std::span(checks).first(3)));
}

TEST(Reconcile, InterimReportsArePassedOver) {
  Statement report = statement("A", Balance{}, {{Mark::Debit, "5.00"}}, Balance{});
  report.kind = StatementKind::InterimReport;
  const std::vector<Statement> statements = {
      statement("A", balance(Mark::Credit, "9.00"), {}, balance(Mark::Credit, "9.00")),
      report,
      statement("A", balance(Mark::Credit, "9.00"), {}, balance(Mark::Credit, "9.00")),
  };
  const std::vector<StatementCheck> checks = check_statements(statements);
  ASSERT_EQ(checks.size(), 3u);
  EXPECT_FALSE(checks[1].difference);
  EXPECT_FALSE(checks[1].continues_previous);
  EXPECT_EQ(checks[2].continues_previous, true);
}

}  // namespace
}  // namespace tallyfold
