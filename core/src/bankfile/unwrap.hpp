// The unwrapping rules alone, without the notes and the line map of
// unwrap_statement_text (steps.hpp), which applies the same rules: what the tests
// compare the text of every way of unwrapping against.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold {

/// The text of unwrap_statement_text without its "@@" transport form: `text` with the
/// transport framing around MT940 fields taken away, line by line, and nothing else
/// changed. Linear in the length of `text`; accepts any byte sequence.
std::string unwrap_text(std::string_view text);

}  // namespace tallyfold
