#include <string>
#include <utility>
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

// What a statement file can hold is checked by cases/reconcile/; no file holds a sum
// beyond what a Decimal holds.
TEST(Reconcile, SumOutOfRange) {
  const StatementCheck check = check_statement(
      statement("A", balance(Mark::Credit, "79228162514264337593543950335"), {{Mark::Credit, "1.00"}},
                balance(Mark::Credit, "1.00")));
  EXPECT_FALSE(check.balanced);
  EXPECT_TRUE(check.same_currency);
  EXPECT_FALSE(check.computed_closing);
  EXPECT_FALSE(check.difference);
}

}  // namespace
}  // namespace tallyfold
