// The field parsers beyond what cases/fields/ pins value by value: references of
// megabytes.
#include <string>

#include <gtest/gtest.h>

#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

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
