// One statement, interim report or notification of an ISO 20022 document.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/iso20022.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold::camt {

class TrailingHash;

/// Why a statement cannot be written, or nothing.
using LeftOut = std::optional<std::string>;

/// Appends the statement's element (Stmt, Rpt or Ntfctn), identified by `id` (unique in
/// its document, at most 35 characters), to `out`, and what it writes unlike the bank
/// gave it to `warnings`; on a refusal both are to be dropped by the caller. `entry_ids`
/// are transaction_ids(s). `trailing`, where given, takes its steps as the elements are
/// written.
LeftOut write_statement(const Statement& s, CamtMessage message, const CamtOptions& options, std::string_view id,
                        std::span<const TransactionId> entry_ids, std::vector<std::string>& warnings,
                        std::string& out, TrailingHash* trailing = nullptr);

}  // namespace tallyfold::camt
