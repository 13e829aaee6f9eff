// The camt reading: any bytes either fail with an error at a line of the input or give
// statements whose diagnostics name lines of the input, whose exports work, and which
// read back the same after the camt writer wrote them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "fuzz_checks.hpp"
#include "tallyfold/camt.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/iso20022.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::size_t kMaxInput = 1 << 17;

void check_round_trip(const Statement& s) {
  if (s.kind != StatementKind::Statement || !s.complete) return;
  const auto written = export_camt(std::span(&s, 1), CamtOptions{CamtVersion::V08, 0});
  if (!written) return;  // a statement camt cannot hold is refused, which is fine
  const auto back = read_camt(written->xml);
  require(back.has_value());
  require(back->statements.size() == 1);
  const Statement& b = back->statements.front();
  require(b.transactions.size() == s.transactions.size());
  require(b.opening_balance.signed_amount() == s.opening_balance.signed_amount());
  require(b.closing_balance.signed_amount() == s.closing_balance.signed_amount());
  require(b.closing_balance.date == s.closing_balance.date);
  for (std::size_t i = 0; i < s.transactions.size(); ++i) {
    require(b.transactions[i].signed_amount() == s.transactions[i].signed_amount());
    require(b.transactions[i].debit_credit == s.transactions[i].debit_credit);
    require(b.transactions[i].value_date == s.transactions[i].value_date);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view bytes = as_text(data, size);
  const std::size_t lines = static_cast<std::size_t>(std::count(bytes.begin(), bytes.end(), '\n')) + 1;
  const auto read = read_camt(bytes);
  if (!read) {
    require(read.error().line <= lines);
    require(!message(read.error()).empty());
    return 0;
  }
  require(!read->statements.empty());
  for (const Diagnostic& d : read->diagnostics) require(d.line <= lines && !d.message.empty());
  (void)export_json(read->statements);
  (void)export_csv(read->statements);
  for (const Statement& s : read->statements) {
    std::size_t payments = 0;
    for (const Transaction& t : s.transactions) {
      payments += t.transaction_details.size();
      require(t.transaction_details.size() != 1);
    }
    require(payments <= size);
    check_round_trip(s);
  }
  return 0;
}
