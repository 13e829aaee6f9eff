// What each character set gives and what is refused is pinned by cases/decode/.
#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "support/shared_data.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

TEST(Charset, ResolvesEncodingNames) {
  EXPECT_TRUE(resolve_encoding("latin-1").has_value());
  EXPECT_EQ(resolve_encoding("UTF-8"), "UTF-8");
  EXPECT_EQ(resolve_encoding("no-such-charset"), std::nullopt);
  EXPECT_EQ(resolve_encoding(""), std::nullopt);
}

// `utf8` (code points below U+0800) in UTF-16 or UTF-32 of either byte order, with its mark.
std::string encode(std::string_view utf8, int width, bool big_endian) {
  std::string out;
  const auto put = [&](char32_t c) {
    for (int i = 0; i < width; ++i) {
      const int shift = 8 * (big_endian ? width - 1 - i : i);
      out.push_back(static_cast<char>((c >> shift) & 0xFF));
    }
  };
  put(0xFEFF);
  for (std::size_t i = 0; i < utf8.size(); ++i) {
    const auto b = static_cast<unsigned char>(utf8[i]);
    if (b < 0x80) {
      put(b);
    } else {
      put(static_cast<char32_t>(((b & 0x1F) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F)));
    }
  }
  return out;
}

std::string replaced(std::string text, std::string_view from, std::string_view to) {
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

// Windows exports and old Mac line ends: the same statements, and the same JSON.
TEST(Charset, ReadsUnicodeMarksAndEveryLineEndAlike) {
  const std::string kText =
      ":20:A\r\n:25:DE89370400440532013000\r\n:28C:1/1\r\n:60F:C240101EUR10,00\r\n"
      ":61:2401010101C5,00NTRFNONREF\r\n:86:\xC3\x9C" "berweisung M\xC3\xBCller\r\nund Sohn\r\n:62F:C240101EUR15,00\r\n";
  const auto original = read_bank_file(kText, {});
  ASSERT_TRUE(original) << message(original.error());
  const auto json = export_json(original->statements);
  ASSERT_TRUE(json);
  const struct { std::string_view name, charset; std::string bytes; } kRows[] = {
      {"UTF-16LE", "UTF-16LE", encode(kText, 2, false)},
      {"UTF-16BE", "UTF-16BE", encode(kText, 2, true)},
      {"UTF-32LE", "UTF-32LE", encode(kText, 4, false)},
      {"UTF-32BE", "UTF-32BE", encode(kText, 4, true)},
      {"carriage returns alone", "UTF-8", replaced(kText, "\r\n", "\r")},
      {"UTF-16 with carriage returns alone", "UTF-16LE", encode(replaced(kText, "\r\n", "\r"), 2, false)},
      {"mixed", "UTF-8", replaced(replaced(kText, "\r\n:6", "\n:6"), "\r\n:2", "\r:2")},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const auto file = read_bank_file(row.bytes, {});
    ASSERT_TRUE(file) << message(file.error());
    EXPECT_EQ(file->charset, row.charset);
    const auto again = export_json(file->statements);
    ASSERT_TRUE(again);
    EXPECT_EQ(*again, *json);
  }
}

// The real files that are not UTF-8, each with a word only the right reading gives.
TEST(Charset, ReadsTheCorpus) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  const std::map<std::string, std::pair<std::string_view, std::string_view>> kExpected = {
      {"generic-de/cmxl-iso8859-1.sta", {"windows-1252", "Müstermann"}},
      {"volksbank-de/myflow-transactions.sta", {"windows-1252", "Überweisung"}},
      // Hungarian without ő or ű reads the same in CP850 and CP852.
      {"raiffeisen-hu/wolph-raiffeisen-cmi.sta", {"CP850", "jóváírása"}},
  };
  std::size_t seen = 0;
  for (const auto& file : test::data_files(corpus)) {
    if (file.path.extension() != ".sta") continue;
    const std::string bytes = test::read_bytes(file.path);
    if (!find_invalid_utf8(bytes)) continue;
    SCOPED_TRACE(file.name);
    auto expected = kExpected.find(file.name);
    ASSERT_NE(expected, kExpected.end()) << "a file that is not UTF-8 and has no expected reading";
    std::vector<Diagnostic> diagnostics;
    auto decoded = decode_statement_bytes(bytes, std::nullopt, diagnostics);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->charset, expected->second.first);
    EXPECT_NE(decoded->text.find(expected->second.second), std::string::npos);
    ++seen;
  }
  EXPECT_EQ(seen, kExpected.size());
}

}  // namespace
}  // namespace tallyfold
