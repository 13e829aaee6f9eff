#include "tallyfold/reconcile.hpp"

#include "reconcile_text.hpp"

#include <string_view>
#include <unordered_map>

namespace tallyfold {

void append_mismatch(std::string& text, const Statement& s, const StatementCheck& check,
                     std::string_view items) {
  text += "does not reconcile: ";
  if (!check.same_currency) {
    text += "opening balance in ";
    text += s.opening_balance.currency;
    text += ", closing balance in ";
    text += s.closing_balance.currency;
  } else if (!check.computed_closing) {
    text += "the sum of its ";
    text += items;
    text += " is out of range";
  } else {
    text += "opening balance and ";
    text += items;
    text += " give ";
    check.computed_closing->append_to(text);
    text += ", closing balance ";
    s.closing_balance.signed_amount().append_to(text);
  }
}

StatementCheck check_statement(const Statement& statement) noexcept {
  StatementCheck check;
  std::optional<Decimal> sum = statement.opening_balance.signed_amount();
  const TransactionList& transactions = statement.transactions;
  for (std::size_t i = 0; i < transactions.size(); ++i) {
    sum = sum->plus(transactions.signed_amount(i));
    if (!sum) break;
  }
  const Decimal closing = statement.closing_balance.signed_amount();
  check.computed_closing = sum;
  if (sum) check.difference = closing.plus(sum->negated());
  check.same_currency = statement.opening_balance.currency == statement.closing_balance.currency;
  check.balanced = check.same_currency && sum && *sum == closing;
  return check;
}

std::vector<StatementCheck> check_statements(std::span<const Statement> statements) {
  std::vector<StatementCheck> checks;
  checks.reserve(statements.size());
  // Files may interleave several accounts; each continues only its own previous statement.
  std::unordered_map<std::string_view, const Balance*> last_closing;
  for (const Statement& statement : statements) {
    if (statement.kind != StatementKind::Statement) {
      // A report or notification need not hold every entry: nothing to check, and
      // nothing for the next statement to continue.
      checks.emplace_back();
      continue;
    }
    if (!statement.opening_balance_given || !statement.closing_balance_given) {
      // An incomplete statement cannot be checked; the next one can follow its closing
      // balance only when it has one.
      if (statement.closing_balance_given) {
        last_closing[statement.account_identification] = &statement.closing_balance;
      } else {
        last_closing.erase(statement.account_identification);
      }
      checks.emplace_back();
      continue;
    }
    StatementCheck check = check_statement(statement);
    auto [it, inserted] =
        last_closing.try_emplace(statement.account_identification, &statement.closing_balance);
    if (!inserted) {
      const Balance& previous = *it->second;
      check.continues_previous =
          previous.currency == statement.opening_balance.currency &&
          previous.signed_amount() == statement.opening_balance.signed_amount();
      it->second = &statement.closing_balance;
    }
    checks.push_back(std::move(check));
  }
  return checks;
}

bool all_reconcile(std::span<const StatementCheck> checks) noexcept {
  for (const StatementCheck& check : checks) {
    if (!check.balanced || check.continues_previous == false) return false;
  }
  return true;
}

}  // namespace tallyfold
