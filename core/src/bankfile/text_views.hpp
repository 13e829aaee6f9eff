// The first two steps of the bank-file reading without needless copies of the text.
//
// A delivered file is usually UTF-8 already and needs at most its framing taken off
// the ends; read_bank_file then parses the caller's bytes where they are. Each function
// returns a view either into its input or into `storage`, which it fills only when the
// text had to change in the middle. The steps of steps.hpp are these plus a copy.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"

namespace tallyfold::detail {

/// The error of input that holds no statement file at all (holds_no_statement).
inline constexpr std::string_view kNotStatementFile = "not a statement file";
/// The errors of files of other formats, which hold no statement either.
inline constexpr std::string_view kZipArchive = "a ZIP archive: unpack it first";
inline constexpr std::string_view kGzipFile = "a gzip file: unpack it first";
inline constexpr std::string_view kPdfDocument =
    "a PDF document, not a statement file: download the statement as MT940 from the bank instead";

/// The name of the Unicode encoding whose byte-order mark starts `bytes` ("UTF-16LE",
/// "UTF-16BE", "UTF-32LE", "UTF-32BE"), or nullopt.
std::optional<std::string_view> unicode_encoding(std::string_view bytes) noexcept;

/// What a file of a format that is no statement file is, and what to do with it ("a ZIP
/// archive: unpack it first"), told from its first bytes; nullopt for anything else.
std::optional<std::string_view> other_format(std::string_view bytes) noexcept;

/// Whether `text` holds a carriage return that no line feed follows.
bool has_lone_carriage_return(std::string_view text) noexcept;

/// `text` with every carriage return that no line feed follows made a line feed, into
/// `storage`, and a note at line 1 that says so.
std::string_view with_line_feeds(std::string_view text, std::string& storage, std::vector<Diagnostic>& diagnostics);

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

/// Both steps at once for bytes that need no conversion, in one pass over them: what
/// unwrap_statement_view makes of decode_statement_view's text when that is `bytes` less
/// a byte-order mark, read as "UTF-8". Nullopt, with `storage`, `lines` and
/// `diagnostics` as they were, when the bytes are not UTF-8, hold a NUL byte or start
/// like a PDF file: the steps one after the other then decide. Nullopt as well, with
/// `lone_carriage_return` set, when UTF-8 bytes hold a carriage return that no line feed
/// follows: the pass that finds the line feeds finds those too, and with_line_feeds is
/// then to go first. With `long_lines`, the long lines of the text returned, as far as
/// the pass could note them (none when the text is `storage`). With `may_hold_brace`,
/// false when the text is returned and `bytes` hold no '{', true otherwise.
std::optional<std::string_view> unwrap_utf8_view(std::string_view bytes, std::string& storage, LineMap& lines,
                                                 std::vector<Diagnostic>& diagnostics, bool& lone_carriage_return,
                                                 LongLines* long_lines = nullptr, bool* may_hold_brace = nullptr);


}  // namespace tallyfold::detail
