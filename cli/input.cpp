#include "input.hpp"

namespace tallyfold::cli {

std::string display_name(std::string_view path) {
  return path == "-" ? std::string("(standard input)") : std::string(path);
}

}  // namespace tallyfold::cli
