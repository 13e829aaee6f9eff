// The form every written MT940/MT942 text must have, whatever it was written from.
#pragma once

#include <cstddef>
#include <string_view>

#include <gtest/gtest.h>

namespace tallyfold::test {

// Every line within SWIFT's width and character set, no :86: over six lines.
inline void expect_swift_form(std::string_view text) {
  std::size_t details_lines = 0;
  bool in_details = false;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = text.find('\n', at);
    const std::string_view line = text.substr(at, end - at);
    at = end == std::string_view::npos ? text.size() : end + 1;
    EXPECT_LE(line.size(), 65u) << line;
    for (const char c : line) {
      EXPECT_NE(std::string_view("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789/-?:().,'+ ").find(c),
                std::string_view::npos)
          << "'" << c << "' in " << line;
    }
    const bool tag = line.starts_with(':') && line.find(':', 1) != std::string_view::npos;
    if (tag) {
      in_details = line.starts_with(":86:");
      details_lines = 0;
    }
    if (in_details) {
      EXPECT_LE(++details_lines, 6u) << line;
    }
  }
}

}  // namespace tallyfold::test
