// Unwrapping of statement files as banks deliver them, before they are parsed.
//
// The parser reads bare MT940 fields only; real files carry transport framing around
// them. This step is separate from parsing so that a caller who has bare text (the
// Python class, `--strict`) parses exactly what it was given.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold {

/// Returns `text` with the transport framing around MT940 fields taken away, line by
/// line, and nothing else changed:
///   - the control bytes SOH (0x01), ETX (0x03) and SUB (0x1A, a DOS end-of-file mark)
///     are removed wherever they stand;
///   - SWIFT envelope blocks at the start of a line are removed: "{1:...}", "{2:...}",
///     "{3:...}", "{5:...}" (nested braces included) and the opening "{4:", as is a
///     leading "-}" that closes block 4; a line left empty by this is dropped, and text
///     after "{4:" on the same line is kept as a line of its own;
///   - separator lines, a lone "-" or "-XXX" (white space around it allowed), are
///     dropped together with every non-tag line after them up to the next tag line
///     (a tag line starts with ":" and holds a second ":"); between an opening balance
///     (":60F:", ":60M:") and the next closing balance (":62F:", ":62M:") or ":20:"
///     such a line is details text wrapped onto a line of its own and stays;
///   - non-tag lines that follow a balance field (":60F:", ":60M:", ":62F:", ":62M:",
///     ":64:", ":65:"), which never continues on a second line, are dropped: bank
///     header lines such as "ABNANL2A", "940" or "0000 01INGBNL2AXXXX00001", blank
///     lines and any prose that stands between statements;
///   - the older tag ":28:" at the start of a line becomes ":28C:".
/// Kept lines keep their bytes and their own line end. Linear in the length of `text`;
/// accepts any byte sequence. unwrap_statement_text (bankfile.hpp) applies the same rules
/// and also says what it took away and where each line came from.
std::string unwrap_text(std::string_view text);

}  // namespace tallyfold
