// Reading one input of the command: a file or standard input, as UTF-8 text.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tallyfold::cli {

/// What an input name stands for in messages: "(standard input)" for "-".
std::string display_name(std::string_view path);

/// An iconv character set name as the system knows it, or nullopt when iconv knows
/// neither `name` nor `name` without its hyphens, underscores and blanks ("latin-1").
std::optional<std::string> resolve_encoding(std::string_view name);

/// The whole input at `path` ("-" for standard input) as UTF-8 without a leading
/// byte-order mark. Without `encoding` the bytes must already be UTF-8; otherwise they
/// are converted from `encoding` (a name accepted by resolve_encoding). On failure
/// returns false and sets `error` to a one-line reason without the file name.
bool read_input(std::string_view path, const std::optional<std::string>& encoding,
                std::string& text, std::string& error);

/// Offset of the first byte that does not belong to a well-formed UTF-8 sequence
/// (no overlong forms, surrogates or values above U+10FFFF), or nullopt.
std::optional<std::size_t> find_invalid_utf8(std::string_view bytes) noexcept;

}  // namespace tallyfold::cli
