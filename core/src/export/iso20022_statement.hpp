// One statement, interim report or notification of an ISO 20022 document.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tallyfold/iso20022.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::camt {

/// Why a statement cannot be written, or nothing.
using Refusal = std::optional<std::string>;

/// Appends the statement's element (Stmt, Rpt or Ntfctn) to `out`; on a refusal, what
/// was appended is to be dropped by the caller. `created` is the conversion time.
Refusal write_statement(const Statement& s, CamtMessage message, const CamtOptions& options,
                        std::string_view created, std::string& out);

}  // namespace tallyfold::camt
