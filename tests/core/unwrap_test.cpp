#include <cstddef>
#include <filesystem>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"
#include "support/shared_data.hpp"
#include "bankfile/unwrap.hpp"

namespace tallyfold {

void PrintTo(const Diagnostic& d, std::ostream* os) {
  *os << d.line << ": " << (d.severity == Severity::Note ? "note" : "warning") << ": " << d.message;
}

namespace {

TEST(Unwrap, RemovesFramingAndNothingElse) {
  const struct {
    std::string_view name;
    std::string input;
    std::string expected;
  } kRows[] = {
      {"envelope on one line, trailer followed by the next envelope",
       "{1:F01BANKNL2AXXXX0000000000}{2:O940BANKNL2AXXXXN}{3:}{4:\n:20:A\n:62F:C200101EUR1,00\n"
       "-}{5:}{1:F01BANKNL2AXXXX0000000000}{2:O940BANKNL2AXXXXN}{4:\n:20:B\n"
       "-}{5:{MAC:ABCDEF}{CHK:123}}\n",
       ":20:A\n:62F:C200101EUR1,00\n:20:B\n"},
      {"envelope blocks on lines of their own",
       "{1:D02AASDISLNETAXXXX}\r\n{2:E623XN}\r\n{4:\r\n:20:A\r\n-}\r\n", ":20:A\r\n"},
      {"text after the opening of block 4 stays", "{1:X}{4::20:A\n", ":20:A\n"},
      {"framing pieces in any order on one line", "-}{4:{CHK:1}-}{5:}\n:20:A\n", ":20:A\n"},
      {"an unclosed block swallows its line", "{1:F01BANK\n:20:A\n", ":20:A\n"},
      {"lone dash separators, line ends kept", ":62F:C1\r\n-\r\n:20:B\r\n- \n",
       ":62F:C1\r\n:20:B\r\n"},
      {"bank header lines and prose between statements",
       ":62F:C200101EUR1,00\n-\nABNANL2A\n940\nABNANL2A\n\n2. Second example\n:20:B\n",
       ":62F:C200101EUR1,00\n:20:B\n"},
      {"header lines after a separator that follows statement-level details",
       ":62F:C1\n:86:/SUM/1/0\n-XXX\n0000 01INGBNL2AXXXX00002\n940 00\n:20:B\n"
       ":62F:C1\n:86:/OSDR/X\n-\nABNANL2A\n940\n:20:C\n",
       ":62F:C1\n:86:/SUM/1/0\n:20:B\n:62F:C1\n:86:/OSDR/X\n:20:C\n"},
      {"every balance tag ends its field",
       ":60F:C1\nx\n:60M:C1\nx\n:62M:C1\nx\n:64:C1\nx\n:65:C1\nx\n:62F:C1\nx",
       ":60F:C1\n:60M:C1\n:62M:C1\n:64:C1\n:65:C1\n:62F:C1\n"},
      {"header lines before the first field are left to the parser",
       "0000 01INGBNL2AXXXX00001\n940 00\n:20:A\n", "0000 01INGBNL2AXXXX00001\n940 00\n:20:A\n"},
      {"a lone dash inside transaction details stays",
       ":60F:C1\n:61:2001010101C1,00NTRF\n:86:/MARF/MND\n-\nEV01\n:62F:C1\n-\n",
       ":60F:C1\n:61:2001010101C1,00NTRF\n:86:/MARF/MND\n-\nEV01\n:62F:C1\n"},
      {"continuations of other fields stay", ":61:2001010101C1,00NTRF\nsecond\n:86:a\n-b\nc\n",
       ":61:2001010101C1,00NTRF\nsecond\n:86:a\n-b\nc\n"},
      {"statement-level details after the closing balance stay",
       ":62F:C1\n:86:info\nmore\n", ":62F:C1\n:86:info\nmore\n"},
      {"braces in details are not envelopes", ":86:x\n{text}\n{1234:y}\n",
       ":86:x\n{text}\n{1234:y}\n"},
      {"control bytes", "\x01:20:A\x03\n:62F:C1\x1a", ":20:A\n:62F:C1"},
      {"DOS end-of-file byte on its own line", ":62F:C1\r\n\x1a", ":62F:C1\r\n"},
      {"older statement number tag", ":28:1/1\n:28C:2\n :28:x\n", ":28C:1/1\n:28C:2\n :28:x\n"},
      {"'@@' is left to the bank-file reading", "@@:20:A@@:25:B", "@@:20:A@@:25:B"},
      {"empty", "", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string once = unwrap_text(row.input);
    EXPECT_EQ(once, row.expected);
    EXPECT_EQ(unwrap_text(once), once) << "unwrapping twice changes the text";
  }
}

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

TEST(UnwrapStatementText, MapsLinesAndReportsWhatItRemoved) {
  constexpr auto kNote = Severity::Note;
  constexpr auto kWarning = Severity::Warning;
  const std::string kUnclosed = "SWIFT envelope opened here is not closed: the file may be truncated";
  const struct {
    std::string_view name;
    std::string input;
    std::string expected;
    std::vector<std::size_t> original_lines;  // one per line of `expected`
    std::vector<Diagnostic> diagnostics;
  } kRows[] = {
      {"bare text", ":20:A\n:25:B\n:62F:C1\n", ":20:A\n:25:B\n:62F:C1\n", {1, 2, 3}, {}},
      {"envelopes with and without a basic header",
       "{1:F01X}\n{2:O940X}{4:\n:20:A\n:62F:C1\n-}{5:}\n{4::20:B\n:62F:C1\n-}\n",
       ":20:A\n:62F:C1\n:20:B\n:62F:C1\n",
       {3, 4, 6, 7},
       {{1, kNote, "unwrapped 2 SWIFT envelopes"}}},
      {"every other kind, counted once each",
       "{4:\n:20:A\n:28:1\n:62F:C1\n-\nABNANL2A\n\n940 00\nNext statement:\n:20:B\x1a\n-}\n",
       ":20:A\n:28C:1\n:62F:C1\n:20:B\n",
       {2, 3, 4, 10},
       {{1, kNote,
         "unwrapped 1 SWIFT envelope, 1 '-' line, 2 bank header lines, 1 line between statements, "
         "1 control byte, 1 ':28:' tag read as ':28C:'"}}},
      {"'@@' for line breaks, all lines from the one line of the file",
       "@@:20:A@@:25:B@@:86:x?20y@@?21z\r\n:62F:C1\n",
       ":20:A\n:25:B\n:86:x?20y\n?21z\r\n:62F:C1\n",
       {1, 1, 1, 1, 2},
       {{1, kNote, "unwrapped 4 '@@' line breaks"}}},
      {"'@@' in details without a tag after it stays", ":86:mail@@example\n:86:a@@:2x\n",
       ":86:mail@@example\n:86:a@@:2x\n", {1, 2}, {}},
      {"envelopes not closed before the next one or the end",
       "{1:X}{4:\n:20:A\n{1:X}{4:\n:20:B\n-}\n{4:\n:20:C\n",
       ":20:A\n:20:B\n:20:C\n",
       {2, 4, 7},
       {{1, kNote, "unwrapped 3 SWIFT envelopes"}, {1, kWarning, kUnclosed}, {6, kWarning, kUnclosed}}},
      {"a field set aside between statements is named",
       ":62F:C1\n  :61:200101C1,00NTRF\n :86:" + std::string(35, 'x') + "\xc3\xa9x\n:20:B\n",
       ":62F:C1\n:20:B\n",
       {1, 4},
       {{1, kNote, "unwrapped 2 lines between statements"},
        {2, kWarning, "line between statements set aside although it holds a field: ':61:200101C1,00NTRF'"},
        {3, kWarning,
         "line between statements set aside although it holds a field: ':86:" + std::string(35, 'x') +
             "'"}}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<Diagnostic> diagnostics;
    UnwrappedText once = unwrap_statement_text(row.input, diagnostics);
    EXPECT_EQ(once.text, row.expected);
    EXPECT_EQ(diagnostics, row.diagnostics);
    std::vector<std::size_t> original_lines;
    for (std::size_t i = 1; i <= split_lines(once.text).size(); ++i) {
      original_lines.push_back(once.lines.original_line(i));
    }
    EXPECT_EQ(original_lines, row.original_lines);

    std::vector<Diagnostic> again;
    EXPECT_EQ(unwrap_statement_text(once.text, again).text, once.text) << "unwrapping twice changes the text";
    EXPECT_TRUE(again.empty()) << again.front().message;
  }
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
