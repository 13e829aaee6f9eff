// Exact reconciliation of parsed statements: does every balance follow from the one
// before it and the transactions in between? Decimal arithmetic only, never binary
// floating point, so a result is either exactly right or reported as not computable.
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "tallyfold/model.hpp"

namespace tallyfold {

/// The checks of one statement. Balances are signed by their mark (Debit negative),
/// transactions by `Transaction::signed_amount`.
struct StatementCheck {
  /// Signed opening balance plus every signed transaction amount; nullopt when the exact
  /// sum does not fit a Decimal (96-bit mantissa, scale at most 28).
  std::optional<Decimal> computed_closing;
  /// Signed closing balance minus `computed_closing`; nullopt when either does not fit.
  std::optional<Decimal> difference;
  /// Opening and closing balance name the same currency.
  bool same_currency = false;
  /// `same_currency` and `computed_closing` equals the signed closing balance
  /// (numerically: scale and the sign of zero do not matter).
  bool balanced = false;
  /// For a statement preceded in the list by a statement of the same account
  /// (`account_identification` compared byte for byte): whether its signed opening
  /// balance equals the signed closing balance of the nearest such statement, in amount
  /// and currency. nullopt for the first statement of each account.
  std::optional<bool> continues_previous;
};

/// Checks one statement on its own; `continues_previous` stays nullopt.
StatementCheck check_statement(const Statement& statement) noexcept;

/// Checks every statement, in order, including the continuity between statements of the
/// same account. An interim report has no balances: its check stays empty (nothing
/// computed, not balanced) and the statements around it are compared with each other.
/// Linear in the number of statements and transactions.
std::vector<StatementCheck> check_statements(std::span<const Statement> statements);

/// True when every check holds: balanced, and continuous wherever continuity applies.
bool all_reconcile(std::span<const StatementCheck> checks) noexcept;

}  // namespace tallyfold
