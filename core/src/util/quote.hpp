// Field values quoted in messages.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold {

/// `value` in single quotes, cut after about 80 characters with "…" (never inside a
/// UTF-8 sequence), for quoting a field's value in a message: one long line must not
/// flood a terminal.
std::string quote_value(std::string_view value);

}  // namespace tallyfold
