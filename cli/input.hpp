// Naming one input of the command: a file or standard input.
#pragma once

#include <string>
#include <string_view>

namespace tallyfold::cli {

/// What an input name stands for in messages: "(standard input)" for "-".
std::string display_name(std::string_view path);

}  // namespace tallyfold::cli
