// The words of a reconciliation note, shared by every reading that reports one.
#pragma once

#include <string>
#include <string_view>

#include "tallyfold/reconcile.hpp"

namespace tallyfold {

/// Appends why `statement` does not reconcile, as "does not reconcile: …", naming its
/// entries `items` ("transactions" for MT, "entries" for camt).
void append_mismatch(std::string& text, const Statement& statement, const StatementCheck& check,
                     std::string_view items);

}  // namespace tallyfold
