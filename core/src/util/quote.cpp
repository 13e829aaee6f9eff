#include <string>
#include <string_view>

#include "tallyfold/bankfile.hpp"

namespace tallyfold {

std::string quote_value(std::string_view value) {
  // About a terminal line's worth: enough to recognise the value, never a flood.
  constexpr std::size_t kCharacters = 80;
  std::size_t end = 0;
  std::size_t characters = 0;
  while (end < value.size() && characters < kCharacters) {
    ++end;
    while (end < value.size() && (static_cast<unsigned char>(value[end]) & 0xC0) == 0x80) ++end;
    ++characters;
  }
  std::string out;
  out.reserve(end + 5);
  out.push_back('\'');
  out.append(value.substr(0, end));
  if (end < value.size()) out.append("\xE2\x80\xA6");
  out.push_back('\'');
  return out;
}

}  // namespace tallyfold
