// The camt reading: any bytes either fail with an error at a line of the input or give
// statements whose diagnostics name lines of the input, whose exports work, and which
// read back the same after the camt writer wrote them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <tuple>

#include "fuzz_checks.hpp"
#include "camt/read_camt.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/iso20022.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::size_t kMaxInput = 1 << 17;

auto values_of(const DerivedFields& f) {
  return std::tie(f.purpose, f.counterparty, f.counter_iban, f.counter_account, f.counterparty_bic,
                  f.end_to_end_reference, f.mandate_reference, f.creditor_id, f.payment_information_id,
                  f.ultimate_debtor, f.ultimate_creditor, f.purpose_code, f.return_reason, f.posting_text,
                  f.counterparty_town, f.counterparty_address, f.structured_reference, f.reference_issuer);
}

bool same_balance(const Balance& a, const Balance& b) {
  return a.signed_amount() == b.signed_amount() && a.date == b.date && a.currency == b.currency &&
         a.intermediate == b.intermediate;
}

bool same_values(const Statement& a, const Statement& b) {
  if (a.transaction_reference != b.transaction_reference || a.account_identification != b.account_identification ||
      a.number != b.number || a.sequence != b.sequence || !same_balance(a.opening_balance, b.opening_balance) ||
      !same_balance(a.closing_balance, b.closing_balance) || a.transactions.size() != b.transactions.size()) {
    return false;
  }
  for (std::size_t i = 0; i < a.transactions.size(); ++i) {
    const Transaction& x = a.transactions[i];
    const Transaction& y = b.transactions[i];
    if (x.signed_amount() != y.signed_amount() || x.debit_credit != y.debit_credit || x.value_date != y.value_date ||
        x.entry_date != y.entry_date || x.bank_reference != y.bank_reference ||
        x.customer_reference != y.customer_reference || x.transaction_type != y.transaction_type ||
        x.extra_details != y.extra_details) {
      return false;
    }
    const DerivedFields f = fields_of(x);
    const DerivedFields g = fields_of(y);
    if (values_of(f) != values_of(g)) return false;
  }
  return true;
}

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
  // What the writer made of it is a fixed point: written and read once more, every
  // value of the model and every derived field stays as it is. (The ids the writer
  // makes, MsgId and NtryRef, hash the content, so they may change.)
  const auto rewritten = export_camt(std::span(&b, 1), CamtOptions{CamtVersion::V08, 0});
  require(rewritten.has_value());
  const auto again = read_camt(rewritten->xml);
  require(again.has_value() && again->statements.size() == 1);
  require(same_values(b, again->statements.front()));
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
