// The Arrow stream's own arithmetic: decimals at scale 5 and date32 days, read back from
// the buffers as a consumer would. What the columns hold otherwise is cross-checked
// against the Python attributes by tests/python/test_arrow.py.
#include "tallyfold/arrow.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace tallyfold {
namespace {

constexpr int kAmountColumn = 7;
constexpr int kValueDateColumn = 4;

Statement one_statement(const std::vector<Transaction>& transactions) {
  Statement s;
  s.transaction_reference = "REF";
  s.account_identification = "ACC";
  s.number = "1";
  s.opening_balance.currency = "EUR";
  s.closing_balance.currency = "EUR";
  s.transactions.assign(transactions.begin(), transactions.end());
  return s;
}

Transaction credit(Decimal amount, Date value_date = *Date::from_ymd(2024, 1, 31)) {
  Transaction t;
  t.value_date = value_date;
  t.amount = amount;
  t.transaction_type = "NTRF";
  return t;
}

// Reads the only batch of the transactions table; `error` receives what get_next says.
struct Read {
  ArrowArray batch{};
  int status = 0;
  std::string error;
  ~Read() {
    if (batch.release) batch.release(&batch);
  }
};

void read(std::vector<Transaction> transactions, Read& out) {
  auto statements = std::make_shared<const std::vector<Statement>>(std::vector{one_statement(transactions)});
  ArrowArrayStream stream{};
  export_arrow_stream(statements, ArrowTable::Transactions, stream);
  out.status = stream.get_next(&stream, &out.batch);
  if (out.status != 0) out.error = stream.get_last_error(&stream);
  stream.release(&stream);
}

uint128 decimal_at(const ArrowArray& batch, int row) {
  const auto* bytes = static_cast<const unsigned char*>(batch.children[kAmountColumn]->buffers[1]) + 16 * row;
  std::uint64_t low = 0;
  std::uint64_t high = 0;
  std::memcpy(&low, bytes, 8);
  std::memcpy(&high, bytes + 8, 8);
  return uint128{high} << 64 | low;
}

struct DecimalCase {
  const char* name;
  uint128 mantissa;
  int scale;
  bool negative;
  uint128 expected;  // two's complement at scale 5
};

class ArrowDecimal : public testing::TestWithParam<DecimalCase> {};

TEST_P(ArrowDecimal, IsTheExactValueAtScaleFive) {
  const DecimalCase& c = GetParam();
  Read r;
  read({credit(*Decimal::from_parts(c.mantissa, c.scale, c.negative))}, r);
  ASSERT_EQ(r.status, 0) << r.error;
  EXPECT_TRUE(decimal_at(r.batch, 0) == c.expected);
}

constexpr uint128 kMax = Decimal::kMaxMantissa;

INSTANTIATE_TEST_SUITE_P(
    Amounts, ArrowDecimal,
    testing::Values(DecimalCase{"cents", 1234, 2, false, 1234000},
                    DecimalCase{"whole", 7, 0, false, 700000},
                    DecimalCase{"negative", 1234, 2, true, ~uint128{1234000} + 1},
                    DecimalCase{"negative_zero", 0, 2, true, 0},
                    DecimalCase{"five_decimals", 123456, 5, false, 123456},
                    DecimalCase{"zeros_beyond_five", 1234500, 7, false, 12345},
                    DecimalCase{"largest", kMax, 0, true, ~(kMax * 100000) + 1}),
    [](const testing::TestParamInfo<DecimalCase>& param_info) { return std::string(param_info.param.name); });

TEST(ArrowStream, RefusesDigitsBeyondTheFifthDecimalInsteadOfRounding) {
  Read r;
  read({credit(*Decimal::from_parts(1234567, 6, false))}, r);
  EXPECT_EQ(r.status, EINVAL);
  EXPECT_EQ(r.error, "amount 1.234567 has more than 5 decimals, which the table's decimal128(38, 5) cannot hold");
}

TEST(ArrowStream, DatesCountDaysFromTheEpoch) {
  const std::vector<std::pair<Date, std::int32_t>> cases = {
      {*Date::from_ymd(1970, 1, 1), 0},       {*Date::from_ymd(1969, 12, 31), -1},
      {*Date::from_ymd(2000, 3, 1), 11017},   {*Date::from_ymd(1900, 2, 28), -25509},
      {*Date::from_ymd(2024, 2, 29), 19782},  {*Date::from_ymd(2079, 12, 31), 40176},
  };
  std::vector<Transaction> transactions;
  for (const auto& [date, days] : cases) transactions.push_back(credit(*Decimal::from_parts(1, 2, false), date));
  Read r;
  read(transactions, r);
  ASSERT_EQ(r.status, 0) << r.error;
  const auto* values = static_cast<const std::int32_t*>(r.batch.children[kValueDateColumn]->buffers[1]);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(values[i], cases[i].second) << cases[i].first.to_iso();
}

TEST(ArrowStream, EndsWithAReleasedArrayAndAnEmptyDocumentHasNoBatch) {
  auto statements = std::make_shared<const std::vector<Statement>>(std::vector{one_statement({})});
  ArrowArrayStream stream{};
  export_arrow_stream(statements, ArrowTable::Transactions, stream);
  ArrowSchema schema{};
  ASSERT_EQ(stream.get_schema(&stream, &schema), 0);
  EXPECT_STREQ(schema.format, "+s");
  EXPECT_EQ(schema.n_children, 24);
  schema.release(&schema);
  ArrowArray batch{};
  batch.release = reinterpret_cast<void (*)(ArrowArray*)>(1);  // must be overwritten
  ASSERT_EQ(stream.get_next(&stream, &batch), 0);
  EXPECT_EQ(batch.release, nullptr);
  stream.release(&stream);
  EXPECT_EQ(stream.release, nullptr);
}

}  // namespace
}  // namespace tallyfold
