// The way in of the command line: a file as a bank delivers it, unwrapped, parsed with
// the chain of a resolver, exported, and reconciled in exact decimal arithmetic.
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "document_checks.hpp"
#include "tallyfold/reconcile.hpp"
#include "tallyfold/unwrap.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::array<std::string_view, 4> kResolvers{"auto", "swift", "gvc", "angular"};

// Same reasoning as the document target: bigger inputs only slow the search.
constexpr std::size_t kMaxInput = 1 << 18;

bool is_zero(const Decimal& d) { return d.mantissa() == 0; }

void check_sum(const Decimal& a, const Decimal& b) {
  const auto sum = a.plus(b);
  const auto other_way = b.plus(a);
  require(sum.has_value() == other_way.has_value());
  if (!sum) return;
  require(*sum == *other_way);
  // Exact arithmetic: taking b away again gives a back whenever that fits.
  if (const auto back = sum->plus(b.negated())) require(*back == a);
}

void check_reconciliation(const std::vector<Statement>& statements) {
  const auto checks = check_statements(statements);
  require(checks.size() == statements.size());
  for (std::size_t i = 0; i < checks.size(); ++i) {
    const StatementCheck& c = checks[i];
    const Statement& s = statements[i];
    require(c.same_currency == (s.opening_balance.currency == s.closing_balance.currency));
    if (c.balanced) require(c.same_currency && c.computed_closing && c.difference);
    if (c.computed_closing && c.difference) {
      require(c.balanced == (c.same_currency && is_zero(*c.difference)));
    }
    bool earlier_same_account = false;
    for (std::size_t k = 0; k < i && !earlier_same_account; ++k) {
      earlier_same_account = statements[k].account_identification == s.account_identification;
    }
    require(c.continues_previous.has_value() == earlier_same_account);
    if (!s.transactions.empty()) {
      check_sum(s.opening_balance.signed_amount(), s.transactions.front().signed_amount());
    }
  }
  bool all = true;
  for (const StatementCheck& c : checks) all = all && c.balanced && c.continues_previous != false;
  require(all_reconcile(checks) == all);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > kMaxInput) return 0;
  const std::string_view text = as_text(data, size);
  const std::string unwrapped = unwrap_text(text);
  // Unwrapping removes ASCII framing and whole lines, so UTF-8 stays UTF-8, and the
  // only bytes it adds are the "C" of each renamed ":28:".
  if (is_valid_utf8(text)) require(is_valid_utf8(unwrapped));
  std::size_t renames = 0;
  for (auto at = text.find(":28:"); at != std::string_view::npos; at = text.find(":28:", at + 1)) {
    ++renames;
  }
  require(unwrapped.size() <= text.size() + renames);
  const std::string_view resolver = size ? kResolvers[data[0] % kResolvers.size()] : "auto";
  if (const auto statements = parse_and_check(unwrapped, resolver)) {
    check_reconciliation(*statements);
  }
  return 0;
}
