#include <string>
#include <string_view>

#include "tallyfold/bankfile.hpp"
#include "util/quote.hpp"
#include "util/utf8.hpp"

namespace tallyfold {

std::string quote_value(std::string_view value) {
  // About a terminal line's worth: enough to recognise the value, never a flood.
  constexpr std::size_t kCharacters = 80;
  const std::size_t end = detail::character_prefix(value, kCharacters);
  std::string out;
  out.reserve(end + 5);
  out.push_back('\'');
  out.append(value.substr(0, end));
  if (end < value.size()) out.append("\xE2\x80\xA6");
  out.push_back('\'');
  return out;
}

}  // namespace tallyfold
