// The first two steps of the bank-file reading without needless copies of the text.
//
// A delivered file is usually UTF-8 already and needs at most its framing taken off
// the ends; read_bank_file then parses the caller's bytes where they are. Each function
// returns a view either into its input or into `storage`, which it fills only when the
// text had to change in the middle. The public steps (bankfile.hpp) are these plus a copy.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "tallyfold/bankfile.hpp"

namespace tallyfold::detail {

/// decode_statement_bytes: the text is `bytes` without its byte-order mark, or `storage`
/// when it had to be converted. `charset` receives the character set's name.
Result<std::string_view, LocatedError> decode_statement_view(std::string_view bytes,
                                                              const std::optional<std::string>& encoding,
                                                              std::string& storage, std::string& charset,
                                                              std::vector<Diagnostic>& diagnostics);

/// unwrap_statement_text: the text is a piece of `text` when the framing stood only
/// before and after it, else `storage`. `lines` must be empty.
std::string_view unwrap_statement_view(std::string_view text, std::string& storage, LineMap& lines,
                                       std::vector<Diagnostic>& diagnostics);

}  // namespace tallyfold::detail
