// What unwrapping removes, says and maps is pinned by cases/unwrap/.
#include <cstddef>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"
#include "support/shared_data.hpp"
#include "bankfile/unwrap.hpp"
#include "bankfile/steering_tag.hpp"

namespace tallyfold {

namespace {

TEST(Unwrap, DeepNestingAndStrayBytesStayLinear) {
  std::string nested = "{1:" + std::string(200000, '{') + "\n:20:A\n";
  EXPECT_EQ(unwrap_text(nested), ":20:A\n");
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  std::string text = ":62F:C1\n" + every_byte + every_byte;
  EXPECT_EQ(unwrap_text(text), ":62F:C1\n");
  std::vector<Diagnostic> diagnostics;
  EXPECT_EQ(unwrap_statement_text(nested, diagnostics).text, ":20:A\n");
  EXPECT_EQ(unwrap_statement_text(text, diagnostics).text, ":62F:C1\n");
}

TEST(LineMap, FindsTheRunHoldingALine) {
  const struct {
    std::string_view name;
    std::vector<std::pair<std::size_t, std::size_t>> runs;
    std::vector<std::pair<std::size_t, std::size_t>> lookups;  // (text line, file line)
  } kRows[] = {
      {"identity", {}, {{1, 1}, {7, 7}}},
      {"lines before the first run are the file's own", {{3, 7}}, {{1, 1}, {2, 2}, {3, 7}, {9, 13}}},
      {"each run continues to the next; implied ones change nothing",
       {{1, 1}, {2, 2}, {3, 5}, {4, 6}, {6, 10}, {7, 10}},
       {{2, 2}, {3, 5}, {4, 6}, {5, 7}, {6, 10}, {7, 10}, {8, 11}}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    LineMap map;
    for (auto [line, original] : row.runs) map.map(line, original);
    for (auto [line, original] : row.lookups) EXPECT_EQ(map.original_line(line), original) << line;
  }
}

// The tag that steers unwrapping, read without a branch, against the rule read test by
// test: on every line of up to six bytes drawn from the bytes the tags are made of.
TEST(SteeringTag, AgreesWithTheRuleReadTestByTest) {
  using detail::SteeringTag;
  const auto by_tests = [](std::string_view line) {
    if (line.size() < 4) return SteeringTag::Other;
    const char a = line[1], b = line[2], c = line[3];
    if (a == '2' && c == ':') return b == '0' ? SteeringTag::Statement : b == '8' ? SteeringTag::OldStatementNumber : SteeringTag::Other;
    if (a != '6') return SteeringTag::Other;
    if ((b == '4' || b == '5') && c == ':') return SteeringTag::OtherBalance;
    if ((b == '0' || b == '2') && (c == 'F' || c == 'M') && line.size() >= 5 && line[4] == ':') {
      return b == '0' ? SteeringTag::OpeningBalance : SteeringTag::ClosingBalance;
    }
    return SteeringTag::Other;
  };
  const struct {
    std::string_view line;
    SteeringTag tag;
  } kRows[] = {
      {":20:X", SteeringTag::Statement},       {":28:1", SteeringTag::OldStatementNumber},
      {":28C:1", SteeringTag::Other},          {":60F:C", SteeringTag::OpeningBalance},
      {":60M:C", SteeringTag::OpeningBalance}, {":62F:C", SteeringTag::ClosingBalance},
      {":62M:", SteeringTag::ClosingBalance},  {":62M", SteeringTag::Other},
      {":64:C", SteeringTag::OtherBalance},    {":65:", SteeringTag::OtherBalance},
      {":61:2", SteeringTag::Other},           {":86:x", SteeringTag::Other},
      {":60X:", SteeringTag::Other},           {":20", SteeringTag::Other},
  };
  for (const auto& row : kRows) EXPECT_EQ(detail::classify_tag(row.line), row.tag) << row.line;
  constexpr std::string_view kBytes = ":0245689FMC";
  std::string line = ":";
  const auto all = [&](auto&& self, std::size_t length) -> void {
    ASSERT_EQ(detail::classify_tag(line), by_tests(line)) << line;
    if (length == 6) return;
    for (const char c : kBytes) {
      line.push_back(c);
      self(self, length + 1);
      line.pop_back();
    }
  };
  all(all, 1);
}

std::vector<std::string_view> split_lines(std::string_view text) {
  std::vector<std::string_view> lines;
  while (!text.empty()) {
    std::size_t lf = text.find('\n');
    std::string_view line = text.substr(0, lf);
    while (line.ends_with('\r')) line.remove_suffix(1);
    lines.push_back(line);
    text.remove_prefix(lf == std::string_view::npos ? text.size() : lf + 1);
  }
  return lines;
}

// Every line of the unwrapped text stands, unchanged but for removed bytes, in the line
// of the file it is mapped to.
TEST(UnwrapStatementText, MapsEveryLineOfTheCorpusToItsOrigin) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t files = 0;
  for (const auto& file : test::data_files(corpus)) {
    if (file.path.extension() != ".sta") continue;
    SCOPED_TRACE(file.name);
    ++files;
    const std::string text = test::read_bytes(file.path);
    std::vector<Diagnostic> diagnostics;
    UnwrappedText unwrapped = unwrap_statement_text(text, diagnostics);

    std::string without_control;
    for (char c : text) {
      if (c != '\x01' && c != '\x03' && c != '\x1a') without_control.push_back(c);
    }
    const std::vector<std::string_view> file_lines = split_lines(without_control);
    const std::vector<std::string_view> lines = split_lines(unwrapped.text);
    std::size_t previous = 1;
    for (std::size_t i = 1; i <= lines.size(); ++i) {
      std::string_view line = lines[i - 1];
      const std::size_t original = unwrapped.lines.original_line(i);
      ASSERT_GE(original, previous) << "line " << i;
      ASSERT_LE(original, file_lines.size()) << "line " << i;
      previous = original;
      std::string_view file_line = file_lines[original - 1];
      std::string older_tag;
      if (line.starts_with(":28C:") && file_line.find(line) == std::string_view::npos) {
        older_tag = ":28:" + std::string(line.substr(5));
        line = older_tag;
      }
      EXPECT_NE(file_line.find(line), std::string_view::npos) << "line " << i << " '" << line << "' mapped to " << original;
    }
    for (const Diagnostic& d : diagnostics) EXPECT_LE(d.line, file_lines.size()) << d.message;
  }
  EXPECT_GT(files, 0u);
}

}  // namespace
}  // namespace tallyfold
