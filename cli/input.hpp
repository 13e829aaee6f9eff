// Reading one input of the command: a file or standard input.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "tallyfold/bankfile.hpp"

namespace tallyfold::cli {

/// What an input name stands for in messages: "(standard input)" for "-".
std::string display_name(std::string_view path);

using tallyfold::find_invalid_utf8;
using tallyfold::resolve_encoding;

/// The bytes of the input at `path` ("-" for standard input), unconverted. On failure
/// returns false and sets `error` to a one-line reason without the file name.
bool read_bytes(std::string_view path, std::string& bytes, std::string& error);

/// The whole input at `path` ("-" for standard input) as UTF-8 without a leading
/// byte-order mark. Without `encoding` the bytes must already be UTF-8; otherwise they
/// are converted from `encoding` (a name accepted by resolve_encoding). On failure
/// returns false and sets `error` to a one-line reason without the file name.
bool read_input(std::string_view path, const std::optional<std::string>& encoding,
                std::string& text, std::string& error);

}  // namespace tallyfold::cli
