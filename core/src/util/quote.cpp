#include <string>
#include <string_view>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/text.hpp"
#include "util/ascii.hpp"
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

void append_printable(std::string_view text, std::string& out) {
  for (const char c : text) out.push_back(ascii::is_control(c) ? '?' : c);
}

std::string ascii_lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = ascii::to_lower(c);
  return out;
}

std::string account_file_name(std::string_view stem, std::string_view account) {
  std::string name(stem);
  name.push_back('.');
  for (const char c : account) {
    const bool plain = ascii::is_alnum(c) || c == '-' || c == '_' || (c == '.' && name.back() != '.');
    name.push_back(plain ? c : '_');
  }
  name.append(".xml");
  return name;
}

}  // namespace tallyfold
