// The exact reading with the line of its error, for the one entry point that names it.
#pragma once

#include <string_view>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"

namespace tallyfold {

/// parse_statements (parse.hpp): the same reading, the same statements and the same
/// error, with the line it arose on: the line of the failing field's tag, that of the
/// :20: of a statement that lacks a mandatory field, 0 for a text without statements.
/// Counting lines costs a little, so parse_statements leaves it out.
Result<std::vector<Statement>, LocatedError> parse_statements_located(std::string_view text,
                                                                     const DecoderChain& chain);

}  // namespace tallyfold
