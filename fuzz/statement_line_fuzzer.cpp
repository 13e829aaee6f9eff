// The statement-line recogniser against the compiled pattern it stands in for: on every
// input, cut at its first line feed as the parser cuts a :61: field, both give the same
// verdict and the same groups, byte for byte and position for position.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fuzz_checks.hpp"
#include "parser/line_pattern.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace tallyfold;
  std::string_view line = fuzz::as_text(data, size);
  line = line.substr(0, line.find('\n'));
  fuzz::require(detail::match_statement_line(line) == detail::match_statement_line_by_pattern(line));
  return 0;
}
