// Text as a front end shows it or matches it, by the same ASCII classes the readings
// use, so that the command and the module never judge a byte by rules of their own.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold {

/// Appends `text` to `out` with every control byte (below 0x20, and DEL), which could
/// steer a terminal, shown as "?"; every other byte, UTF-8 included, as it is.
void append_printable(std::string_view text, std::string& out);

/// `text` with the ASCII capitals made small and every other byte kept: for names
/// matched without regard to case, the same on every machine whatever its locale.
std::string ascii_lower(std::string_view text);

/// The name of the file beside `stem` that holds one account's document:
/// "STEM.ACCOUNT.xml", the account kept where it is made of letters, digits, "-", "_"
/// and single dots, and every other byte "_", so that an account never names a folder
/// or a hidden file.
std::string account_file_name(std::string_view stem, std::string_view account);

}  // namespace tallyfold
