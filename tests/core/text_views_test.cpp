// Decoding and unwrapping read texts in blocks of 64 bytes and skip what needs no look;
// these tests move every byte of interest across the block boundaries and check that
// nothing depends on where they fall.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "bankfile/block_scan.hpp"
#include "bankfile/steps.hpp"
#include "bankfile/text_views.hpp"
#include "bankfile/tolerant_fields.hpp"
#include "tallyfold/bankfile.hpp"
#include "bankfile/unwrap.hpp"
#include "util/utf8.hpp"
#include "support/xorshift.hpp"

namespace tallyfold {
namespace {

constexpr std::size_t kShifts = 140;  // more than two blocks

// Every test runs with the widest kernel the processor has, then with SSE2 alone, then
// with the plain C++ kernel that builds without SSE2 use.
class TextViews : public ::testing::TestWithParam<detail::ScanKernel> {
 protected:
  void SetUp() override {
    if (!detail::scan_kernel_available(GetParam())) GTEST_SKIP() << "kernel not built here";
    detail::force_scan_kernel(GetParam());
  }
  void TearDown() override { detail::force_scan_kernel(detail::ScanKernel::Widest); }
};

INSTANTIATE_TEST_SUITE_P(Scans, TextViews,
                         ::testing::Values(detail::ScanKernel::Widest, detail::ScanKernel::Sse2,
                                           detail::ScanKernel::Scalar),
                         [](const ::testing::TestParamInfo<detail::ScanKernel>& scan) {
                           switch (scan.param) {
                             case detail::ScanKernel::Sse2: return "Sse2";
                             case detail::ScanKernel::Scalar: return "Scalar";
                             default: return "Widest";
                           }
                         });

// The kernels themselves, over the same bytes: random blocks drawn from the bytes each
// mask is about (and every other byte value), so that every bit of every mask is both
// set and clear somewhere, including the two bytes needs_look reads past a block. The
// rare bytes thin out from round to round, so that whole batches also go without them.
TEST(BlockScanKernels, AgreeWithThePlainKernelOnEveryMask) {
  std::vector<detail::BlockScanner> kernels{detail::block_scanner()};
#if defined(TALLYFOLD_SSE2_SCAN)
  kernels.push_back(detail::scan_blocks_sse2);
#endif
  constexpr std::string_view kCommon = "\n{-:126 aZ*+;=z}";
  constexpr std::string_view kRare{"\r@\x01\x02\x03\x1a\0\x0b\x7f\x80\xc3\xff", 12};
  test::XorShift next(0x9E3779B97F4A7C15u);
  for (int round = 0; round < 400; ++round) {
    const std::size_t count = 1 + next() % detail::Blocks::kMax;
    const unsigned sparseness = static_cast<unsigned>(round) % 14;
    std::string bytes(64 * count + 2, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i) {
      const std::uint64_t r = next();
      if (sparseness == 0 && r % 4 == 0) {
        bytes[i] = static_cast<char>(r >> 8);
      } else if ((r >> 8) % (std::uint64_t{1} << sparseness) == 0) {
        bytes[i] = kRare[(r >> 24) % kRare.size()];
        // Mostly whole two-byte letters, as Latin text has them.
        if (bytes[i] == '\xc3' && i + 1 < bytes.size() && r % 8 != 0) bytes[++i] = static_cast<char>(0x80 | (r >> 40) % 64);
      } else {
        bytes[i] = kCommon[(r >> 24) % kCommon.size()];
      }
    }
    // Some batches without braces, so that the brace flag is clear too.
    if (round % 5 == 4) std::replace(bytes.begin(), bytes.end(), '{', 'a');
    // Some with every line ended by a carriage return and a line feed, as many files
    // are: many carriage returns, none of them alone.
    if (round % 7 == 3) {
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (bytes[i] == '\r' && (i + 1 == bytes.size() || bytes[i + 1] != '\n')) bytes[i] = 'a';
        if (bytes[i] == '\n' && i > 0 && bytes[i - 1] != '\r' && bytes[i - 1] != '\n') bytes[i - 1] = '\r';
      }
    }
    detail::Blocks expected;
    detail::scan_blocks_scalar(bytes.data(), count, expected);
    for (const detail::BlockScanner kernel : kernels) {
      detail::Blocks got;
      // As after a batch with carriage returns or without: a kernel may tell them its
      // own way after one, and must give the same answer.
      got.returns_ahead = round % 2 == 0;
      kernel(bytes.data(), count, got);
      ASSERT_EQ(got.special, expected.special) << "round " << round;
      ASSERT_EQ(got.stops, expected.stops) << "round " << round;
      ASSERT_EQ(got.with_high, expected.with_high) << "round " << round;
      ASSERT_EQ(got.nul, expected.nul) << "round " << round;
      ASSERT_EQ(got.brace, expected.brace) << "round " << round;
      ASSERT_EQ(got.lone_carriage_return, expected.lone_carriage_return) << "round " << round;
      for (std::size_t k = 0; k < count; ++k) {
        ASSERT_EQ(got.feeds[k], expected.feeds[k]) << "round " << round << " block " << k;
        ASSERT_EQ(got.looks[k], expected.looks[k]) << "round " << round << " block " << k;
        if (((expected.with_high >> k) & 1) != 0) {
          ASSERT_EQ(got.high[k], expected.high[k]) << "round " << round << " block " << k;
        }
        ASSERT_EQ(got.before[k + 1], expected.before[k + 1]) << "round " << round << " block " << k;
      }
    }
  }
}

// A line before the first field stays as it is, so it moves the rest of the text
// without changing what unwrapping makes of it.
std::string shifted(std::size_t shift, std::string_view text) {
  return std::string(shift, 'X') + "\n" + std::string(text);
}

std::vector<std::size_t> original_lines(const LineMap& map, std::size_t count) {
  std::vector<std::size_t> lines;
  for (std::size_t i = 1; i <= count; ++i) lines.push_back(map.original_line(i));
  return lines;
}

std::size_t count_lines(std::string_view text) {
  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

// Two statements in envelopes, with lines that unwrapping changes or must look at
// inside their transactions: control bytes, an "@@" line, non-ASCII letters, a ":28:".
const std::string kStatements =
    "{1:F01BANKDEFFAXXX0000000000}{2:O940BANKDEFFXXXXN}{4:\n"
    ":20:FIRST\n:25:DE00123\n:28:1/1\n:60F:C200101EUR100,00\n"
    ":61:2001010101C1,00NTRFNONREF\n:86:Gr\xC3\xBC\xC3\x9F" "e an J\xC3\xBCrgen M\xC3\xBCller, \xE2\x82\xAC 1\n"
    ":61:2001010101C2,00NTRFNONREF\n:86:control\x01 bytes\x03 in\x1a details\n"
    ":61:2001010101C3,00NTRFNONREF\n:86:mail an info@example.com\n"
    ":61:2001010101D1,00NTRFNONREF@@:86:at form\n"
    "-\nwrapped details line\n:62F:C200101EUR105,00\n-}\n"
    "{1:F01BANKDEFFAXXX0000000000}{2:O940BANKDEFFXXXXN}{4:\r\n"
    ":20:SECOND\r\n:25:DE00123\r\n:28C:2/1\r\n:60F:C200101EUR105,00\r\n"
    ":61:2001010101C1,00NTRFNONREF\r\n:86:\xF0\x9F\x92\xB6 four bytes\r\n"
    ":62F:C200101EUR106,00\r\n-}\r\nTRAILER\r\n";

const std::string kUnwrapped =
    ":20:FIRST\n:25:DE00123\n:28C:1/1\n:60F:C200101EUR100,00\n"
    ":61:2001010101C1,00NTRFNONREF\n:86:Gr\xC3\xBC\xC3\x9F" "e an J\xC3\xBCrgen M\xC3\xBCller, \xE2\x82\xAC 1\n"
    ":61:2001010101C2,00NTRFNONREF\n:86:control bytes in details\n"
    ":61:2001010101C3,00NTRFNONREF\n:86:mail an info@example.com\n"
    ":61:2001010101D1,00NTRFNONREF\n:86:at form\n"
    "-\nwrapped details line\n:62F:C200101EUR105,00\n"
    ":20:SECOND\r\n:25:DE00123\r\n:28C:2/1\r\n:60F:C200101EUR105,00\r\n"
    ":61:2001010101C1,00NTRFNONREF\r\n:86:\xF0\x9F\x92\xB6 four bytes\r\n"
    ":62F:C200101EUR106,00\r\n";

TEST_P(TextViews, UnwrapsAlikeWhereverTheBlocksFall) {
  std::vector<Diagnostic> base_diagnostics;
  const UnwrappedText base = unwrap_statement_text(kStatements, base_diagnostics);
  ASSERT_EQ(base.text, kUnwrapped);
  ASSERT_FALSE(base_diagnostics.empty());
  const std::size_t lines = count_lines(base.text);
  const std::vector<std::size_t> base_lines = original_lines(base.lines, lines);
  // Without a line map there is no "@@" form.
  const std::string plain = unwrap_text(kStatements);
  ASSERT_NE(plain.find("NONREF@@:86:at form\n"), std::string::npos);

  for (std::size_t shift = 0; shift < kShifts; ++shift) {
    SCOPED_TRACE(shift);
    const std::string text = shifted(shift, kStatements);
    const std::string expected = shifted(shift, kUnwrapped);
    EXPECT_EQ(unwrap_text(text), shifted(shift, plain));

    std::vector<Diagnostic> diagnostics;
    const UnwrappedText unwrapped = unwrap_statement_text(text, diagnostics);
    EXPECT_EQ(unwrapped.text, expected);
    std::vector<std::size_t> expected_lines{1};
    for (std::size_t line : base_lines) expected_lines.push_back(line + 1);
    EXPECT_EQ(original_lines(unwrapped.lines, lines + 1), expected_lines);
    ASSERT_EQ(diagnostics.size(), base_diagnostics.size());
    for (std::size_t i = 0; i < diagnostics.size(); ++i) {
      EXPECT_EQ(diagnostics[i].message, base_diagnostics[i].message);
      // The summary stays at line 1; everything else moves down by the added line.
      EXPECT_EQ(diagnostics[i].line, base_diagnostics[i].line + (i == 0 ? 0 : 1));
    }
  }
}

// Between the balances most lines are passed without a look; these are the lines that
// must still be found there, and the lines that look like them but change nothing,
// each moved across the block boundaries. Short rows lie in the last bytes, which get
// no block scan.
TEST_P(TextViews, FindsTheLinesToChangeBetweenTheBalancesWhereverTheBlocksFall) {
  const std::string kPairs = [] {
    std::string letters;
    for (int i = 0; i < 40; ++i) letters += "\xC3\xBC";
    return letters;
  }();
  const struct {
    std::string_view name;
    std::string text;
    std::string expected;
  } kRows[] = {
      {"first bytes classed with the marks", ":60F:C1\n:61:1\n+a\n}b\n*c\n;d\n=e\nzf\n:21:X\n:61:2\n:62F:C1\n",
       ":60F:C1\n:61:1\n+a\n}b\n*c\n;d\n=e\nzf\n:21:X\n:61:2\n:62F:C1\n"},
      {"end of envelope and old tag among the transactions",
       ":60F:C1\n:61:1\n:86:a\n-}{1:F01X}{4:\n:28:2/1\n:61:2\n:62F:C1\nABNANL2A\n:20:B\n",
       ":60F:C1\n:61:1\n:86:a\n:28C:2/1\n:61:2\n:62F:C1\n:20:B\n"},
      {"a dash kept, a balance ending the transactions", ":60M:C1\n:61:1\n-\n:64:C1\n940 00\n:20:B\n",
       ":60M:C1\n:61:1\n-\n:64:C1\n:20:B\n"},
      {"letters beyond ASCII across the blocks", ":60F:C1\n:86:" + kPairs + "\xE2\x82\xAC\n:62F:C1\nX\n",
       ":60F:C1\n:86:" + kPairs + "\xE2\x82\xAC\n:62F:C1\n"},
      {"no line feed at the end", ":60F:C1\n:61:1\n:62F:C1", ":60F:C1\n:61:1\n:62F:C1"},
  };
  for (const auto& row : kRows) {
    for (std::size_t shift = 0; shift < kShifts; ++shift) {
      SCOPED_TRACE(::testing::Message() << row.name << ", shifted by " << shift);
      // A line of its own before the fields, so that the first one starts anywhere.
      const std::string text = std::string(shift, 'X') + "\n" + row.text;
      EXPECT_EQ(unwrap_text(text), std::string(shift, 'X') + "\n" + row.expected);
      std::string storage;
      LineMap lines;
      std::vector<Diagnostic> diagnostics;
      bool lone_carriage_return = true;
      const auto one_pass = detail::unwrap_utf8_view(text, storage, lines, diagnostics, lone_carriage_return);
      ASSERT_TRUE(one_pass.has_value());
      EXPECT_FALSE(lone_carriage_return);
      EXPECT_EQ(*one_pass, std::string(shift, 'X') + "\n" + row.expected);
    }
  }
}

TEST_P(TextViews, KeepsTheInputWhenOnlyItsEndsAreFraming) {
  const std::string text = "{1:F01X}{2:O940}{4:\n" + std::string(kUnwrapped.substr(0, 200)) + "\n-}\n";
  std::string storage;
  LineMap lines;
  std::vector<Diagnostic> diagnostics;
  const std::string_view view = detail::unwrap_statement_view(text, storage, lines, diagnostics);
  EXPECT_TRUE(storage.empty());
  EXPECT_EQ(view.data(), text.data() + text.find('\n') + 1);
  EXPECT_EQ(view, std::string(kUnwrapped.substr(0, 200)) + "\n");
}

// The one pass of the bank-file reading gives what the two steps give, and leaves the
// bytes to them exactly when decoding would not take them as they are.
TEST_P(TextViews, OnePassAgreesWithTheTwoSteps) {
  const struct {
    std::string_view name;
    std::string bytes;
  } kRows[] = {
      {"statements in envelopes", kStatements},
      {"byte-order mark", "\xEF\xBB\xBF" + kStatements},
      {"PDF header", "%PDF-1.4\n" + kStatements},
      {"NUL byte", kStatements + std::string(1, '\0') + "\n"},
      {"NUL byte among the transactions", ":60F:C1\n:86:a" + std::string(1, '\0') + "b\n" + kUnwrapped},
      {"windows-1252 letter", kStatements + ":86:M\xFCller\n"},
      {"stray continuation byte", ":60F:C1\n:86:a\x80" "b\n" + kUnwrapped},
      {"sequence cut off at the end", kStatements + ":86:\xE2\x82"},
      {"overlong form", ":60F:C1\n:86:\xC0\xAF\n" + kStatements},
      {"carriage return alone among the transactions", ":60F:C1\n:86:a\rb\n" + kUnwrapped},
      {"carriage return alone at the end", kStatements + "\r"},
      {"carriage return alone, not UTF-8", ":60F:C1\n:86:a\x80\rb\n" + kUnwrapped},
  };
  for (const auto& row : kRows) {
    for (std::size_t shift = 0; shift < kShifts; ++shift) {
      SCOPED_TRACE(::testing::Message() << row.name << ", shifted by " << shift);
      const std::string bytes = row.bytes.starts_with("\xEF\xBB\xBF") || row.bytes.starts_with("%PDF")
                                    ? row.bytes.substr(0, 3) + shifted(shift, row.bytes.substr(3))
                                    : shifted(shift, row.bytes);

      std::string storage;
      LineMap lines;
      std::vector<Diagnostic> diagnostics;
      bool lone_carriage_return = true;
      const auto one_pass = detail::unwrap_utf8_view(bytes, storage, lines, diagnostics, lone_carriage_return);

      std::string decoded_storage, charset, unwrapped_storage;
      LineMap step_lines;
      std::vector<Diagnostic> step_diagnostics;
      const auto decoded =
          detail::decode_statement_view(bytes, std::nullopt, decoded_storage, charset, step_diagnostics);
      ASSERT_TRUE(decoded);
      const bool taken_as_is = charset == "UTF-8" && !bytes.starts_with("%PDF") &&
                               decoded->find('\0') == std::string_view::npos;
      EXPECT_EQ(lone_carriage_return, taken_as_is && detail::has_lone_carriage_return(bytes));
      ASSERT_EQ(one_pass.has_value(), taken_as_is && !lone_carriage_return);
      if (!one_pass) {
        EXPECT_TRUE(storage.empty());
        EXPECT_TRUE(diagnostics.empty());
        EXPECT_EQ(lines.original_line(5), 5u);
        continue;
      }
      const std::string_view steps =
          detail::unwrap_statement_view(*decoded, unwrapped_storage, step_lines, step_diagnostics);
      EXPECT_EQ(*one_pass, steps);
      EXPECT_EQ(diagnostics, step_diagnostics);
      const std::size_t count = count_lines(steps);
      EXPECT_EQ(original_lines(lines, count), original_lines(step_lines, count));
    }
  }
}

// The one pass notes the lines longer than SWIFT's :86: width of the text it hands on,
// where that is a piece of its input: the same lines as one reading the text line by
// line finds, and the same width judged from them. Texts of random lines, some with
// header lines or envelopes before them, framing inside them or a first field after an
// envelope on its line, some longer than the bytes noted.
TEST_P(TextViews, NotesTheLongLinesOfTheTextItHandsOn) {
  const auto long_lines_of = [](std::string_view text) {
    std::vector<std::pair<std::size_t, std::size_t>> lines;
    for (std::size_t start = 0, feed; (feed = text.find('\n', start)) != std::string_view::npos; start = feed + 1) {
      if (feed - start > detail::kSwiftDetailsWidth) lines.emplace_back(start, feed);
    }
    return lines;
  };
  // Lines that unwrapping keeps, a statement's end and the next one's start among them.
  const std::string kLines[] = {":61:2001010101C1,00NTRFNONREF", ":86:", "x", "-", "\xC3\xBC",
                                ":62F:C200101EUR1,00\n:20:X\n:25:B\n:28C:1\n:60F:C200101EUR1,00\n:61:2001010101C1,00NTRFNONREF"};
  test::XorShift next(0x2545F4914F6CDD1Du);
  std::size_t handed_on = 0;
  for (int round = 0; round < 120; ++round) {
    SCOPED_TRACE(round);
    std::string text;
    switch (round % 6) {
      case 1: text = "ABNANL2A\n940 00\n"; break;
      case 2: text = "{1:F01X}{2:O940X}{4:\n"; break;
      case 3: text = "{1:F01X}{4::20:" + std::string(next() % 80, 'y') + "\n"; break;
      case 4: text = std::string((std::size_t{1} << 18) + next() % 20000, 'z') + "\n"; break;
      default: break;
    }
    text += ":20:A\n:25:B\n:28C:1\n:60F:C200101EUR1,00\n:61:2001010101C1,00NTRFNONREF\n";
    const std::size_t count = 50 + next() % 400;
    for (std::size_t i = 0; i < count; ++i) {
      std::string line = kLines[next() % std::size(kLines)];
      if (line == "x") line = std::string(40 + next() % 200, 'x');
      if (line == ":86:") line += std::string(next() % 120, 'd');
      if (round % 6 == 5 && i == count / 2) line = "-}{1:F01X}{4:";
      text += line;
      text += next() % 8 == 0 ? "\r\n" : "\n";
    }
    std::string storage;
    LineMap lines;
    std::vector<Diagnostic> diagnostics;
    bool lone_carriage_return = true;
    detail::LongLines long_lines;
    long_lines.covered = 1;  // the pass starts it afresh
    const auto view = detail::unwrap_utf8_view(text, storage, lines, diagnostics, lone_carriage_return, &long_lines);
    ASSERT_TRUE(view.has_value());
    EXPECT_EQ(detail::details_line_width(*view, long_lines), detail::details_line_width(*view));
    if (long_lines.covered == 0) continue;
    EXPECT_TRUE(storage.empty());
    std::vector<std::pair<std::size_t, std::size_t>> expected;
    for (const auto& line : long_lines_of(*view)) {
      if (line.second < long_lines.covered) expected.push_back(line);
    }
    EXPECT_EQ(long_lines.lines, expected);
    handed_on += long_lines.covered >= std::min(view->size(), std::size_t{1} << 18);
  }
  EXPECT_GT(handed_on, 40u);
}

// The one pass tells a text that holds no '{' anywhere, which spares the search for
// envelope headers a pass of its own: a brace in the blocks or in the last bytes, moved
// across the block boundaries, is always seen.
TEST_P(TextViews, TellsATextWithoutBracesWhereverTheBlocksFall) {
  const struct {
    std::string_view name;
    std::string text;
    bool brace;
  } kRows[] = {
      {"none", kUnwrapped, false},
      {"envelopes", kStatements, true},
      {"inside details", ":60F:C1\n:86:a{b\n" + kUnwrapped, true},
      {"in the last bytes", kUnwrapped + ":86:x{", true},
      {"the last byte", kUnwrapped + "{", true},
  };
  for (const auto& row : kRows) {
    for (std::size_t shift = 0; shift < kShifts; ++shift) {
      SCOPED_TRACE(::testing::Message() << row.name << ", shifted by " << shift);
      const std::string text = shifted(shift, row.text);
      std::string storage;
      LineMap lines;
      std::vector<Diagnostic> diagnostics;
      bool lone_carriage_return = false;
      bool may_hold_brace = !row.brace;
      const auto view =
          detail::unwrap_utf8_view(text, storage, lines, diagnostics, lone_carriage_return, nullptr, &may_hold_brace);
      ASSERT_TRUE(view.has_value());
      EXPECT_EQ(may_hold_brace, row.brace);
    }
  }
}

TEST(FindInvalidUtf8, FindsTheFirstByteOutsideUtf8WhereverTheBlocksFall) {
  const struct {
    std::string_view name;
    std::string bytes;
    std::optional<std::size_t> expected;
  } kRows[] = {
      {"letters of every length", "\xC3\xBC \xE2\x82\xAC \xF0\x9F\x92\xB6 \xF4\x8F\xBF\xBF", std::nullopt},
      {"stray continuation byte", "ab\x80", 2},
      {"lead byte without its continuation", "\xC3" "a", 0},
      {"surrogate", "ab\xED\xA0\x80", 2},
      {"sequence cut off at the end", "\xE2\x82\xAC\xF0\x9F\x92", 3},
      {"invalid byte after letters", "\xC3\xBC\xC3\xBC\xFF", 4},
      {"overlong two-byte form", "a\xC0\x80", 1},
      {"overlong three-byte form", "\xE0\x80\xAF", 0},
      {"above U+10FFFF", "\xF4\x90\x80\x80", 0},
      {"ASCII in place of a continuation byte", "\xE2\x82x", 0},
  };
  for (const auto& row : kRows) {
    for (std::size_t shift = 0; shift < kShifts; ++shift) {
      SCOPED_TRACE(::testing::Message() << row.name << ", shifted by " << shift);
      const std::string bytes = std::string(shift, 'a') + row.bytes;
      const std::optional<std::size_t> expected =
          row.expected ? std::optional<std::size_t>(*row.expected + shift) : std::nullopt;
      EXPECT_EQ(find_invalid_utf8(bytes), expected);
      // Followed by more than a block of ASCII, the answer is the same.
      EXPECT_EQ(find_invalid_utf8(bytes + std::string(100, 'z')),
                row.name == "sequence cut off at the end" ? std::optional<std::size_t>(shift + 3) : expected);
    }
  }
}

}  // namespace
}  // namespace tallyfold
