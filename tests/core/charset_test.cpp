#include <filesystem>
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "support/shared_data.hpp"

namespace tallyfold {
namespace {

TEST(Charset, ResolvesEncodingNames) {
  EXPECT_TRUE(resolve_encoding("latin-1").has_value());
  EXPECT_EQ(resolve_encoding("UTF-8"), "UTF-8");
  EXPECT_EQ(resolve_encoding("no-such-charset"), std::nullopt);
  EXPECT_EQ(resolve_encoding(""), std::nullopt);
}

TEST(Charset, DetectsTheCharacterSet) {
  const struct {
    std::string_view name;
    std::string bytes;
    std::string_view charset;
    std::string_view text;
    std::size_t note_line = 1;  // where the note on the character set stands
  } kRows[] = {
      {"UTF-8 stays as it is", ":86:Gr\xC3\xBC\xC3\x9F" "e\n", "UTF-8", ":86:Grüße\n"},
      {"UTF-8 byte-order mark", "\xEF\xBB\xBF:20:A\n", "UTF-8", ":20:A\n"},
      {"byte-order mark before other bytes", "\xEF\xBB\xBF" "M\xFCller", "windows-1252", "Müller"},
      {"German in windows-1252", ":86:Gr\xFC\xDF" "e an J\xFCrgen M\xFCller, \xDC" "BERWEISUNG",
       "windows-1252", ":86:Grüße an Jürgen Müller, ÜBERWEISUNG"},
      {"windows-1252 punctuation", "\x84Miete\x93 500 \x80 \x96 Zahlung", "windows-1252",
       "„Miete“ 500 € – Zahlung"},
      {"Polish capitals in windows-1250", "SP\xD3\xA3KA Z O.O. ZA\xA3O\xAF" "ENIE RACHUNKU",
       "windows-1250", "SPÓŁKA Z O.O. ZAŁOŻENIE RACHUNKU"},
      {"Polish small letters in windows-1250", "op\xB3" "ata za prowadzenie rachunku, \x9Crodk\xF3w",
       "windows-1250", "opłata za prowadzenie rachunku, środków"},
      {"Polish in ISO-8859-2", "Uznanie kwot\xB1, op\xB3" "ata, nale\xBFno\xB6" "ci", "ISO-8859-2",
       "Uznanie kwotą, opłata, należności"},
      {"German in CP850", "Geb\x81hr f\x81r \x9A" "berweisung, STRA\xE1" "E", "CP850",
       "Gebühr für Überweisung, STRAßE"},
      {"CP850 under a line of box drawing", std::string(10, '\xCD') + "\nGeb\x81hr f\x81r \x9A" "berweisung",
       "CP850", "══════════\nGebühr für Überweisung"},
      {"Polish in CP852", "WP\x9D" "ATA GOT\xE0WKI, SP\xE0\x9DKA", "CP852", "WPŁATA GOTÓWKI, SPÓŁKA"},
      {"Hungarian in CP852", "h\xFBs\x82gpont, er\x8B" "forr\xA0s", "CP852", "hűségpont, erőforrás"},
      {"noted at the first line that is not UTF-8", ":20:A\n:25:B\n:86:M\xFCller\n", "windows-1252",
       ":20:A\n:25:B\n:86:Müller\n", 3},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<Diagnostic> diagnostics;
    auto decoded = decode_statement_bytes(row.bytes, std::nullopt, diagnostics);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->charset, row.charset);
    EXPECT_EQ(decoded->text, row.text);
    const std::vector<Diagnostic> note{{row.note_line, Severity::Note, "not UTF-8; read as " + std::string(row.charset)}};
    EXPECT_EQ(diagnostics, row.charset == "UTF-8" ? std::vector<Diagnostic>{} : note);
  }
}

TEST(Charset, RefusesBinaryInputWithoutTagLines) {
  const struct {
    std::string_view name;
    std::string bytes;
    std::string_view refusal;  // empty: read
  } kRows[] = {
      {"NUL bytes", std::string("\x07\x04\0\0\x14\0", 6), "not a statement file"},
      {"ZIP archive", std::string("PK\x03\x04\0\0\x14\0", 8), "a ZIP archive: unpack it first"},
      {"ZIP archive with a tag line", std::string("PK\x03\x04\n:20:A\n", 12), "a ZIP archive: unpack it first"},
      {"gzip file", std::string("\x1F\x8B\x08\0", 4), "a gzip file: unpack it first"},
      {"PDF header", "%PDF-1.4\n%\xE2\xE3\xCF\xD3\n1 0 obj\n",
       "a PDF document, not a statement file: download the statement as MT940 from the bank instead"},
      {"NUL bytes and bytes that are not UTF-8", std::string("\xFE:\0" "2\0", 5), "not a statement file"},
      {"NUL inside a statement", std::string(":20:A\n:86:x\0y\n", 14), ""},
      {"a colon at the start of a line is not a tag line", std::string(":x\0", 3), "not a statement file"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<Diagnostic> diagnostics;
    auto decoded = decode_statement_bytes(row.bytes, std::nullopt, diagnostics);
    ASSERT_EQ(!decoded, !row.refusal.empty());
    if (!decoded) {
      EXPECT_EQ(decoded.error().line, 0u);
      EXPECT_EQ(message(decoded.error().error), row.refusal);
      EXPECT_TRUE(holds_no_statement(decoded.error().error));
    }
  }
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

TEST(Charset, ConvertsFromANamedEncoding) {
  const struct {
    std::string_view name;
    std::string bytes;
    std::string encoding;
    std::string_view text_or_error;
    std::size_t error_line;  // 0: converts
  } kRows[] = {
      {"latin-1", "M\xFCller", *resolve_encoding("latin-1"), "Müller", 0},
      {"a named encoding wins over detection", "SP\xD3\xA3KA", "ISO-8859-1", "SPÓ£KA", 0},
      {"no binary check", std::string("a\0b", 3), "ISO-8859-1", std::string_view("a\0b", 3), 0},
      {"byte-order mark after conversion", "\xEF\xBB\xBF:20:A", "UTF-8", ":20:A", 0},
      {"UTF-16", std::string("\xFF\xFE:\0" "2\0" "0\0" ":\0", 10), "UTF-16", ":20:", 0},
      {"invalid byte, line counted", ":20:A\n:86:\xFF\n", "UTF-8", "not valid UTF-8 at byte 10", 2},
      {"code point above U+10FFFF", ":20:A\n\xF4\x90\x80\x80", "UTF-8", "not valid UTF-8 at byte 6", 2},
      {"character cut off", ":20:A\xC3", "UTF-8", "incomplete UTF-8 character at the end of the input", 1},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<Diagnostic> diagnostics;
    auto decoded = decode_statement_bytes(row.bytes, row.encoding, diagnostics);
    EXPECT_TRUE(diagnostics.empty());
    if (row.error_line == 0) {
      ASSERT_TRUE(decoded) << message(decoded.error().error);
      EXPECT_EQ(decoded->text, row.text_or_error);
      EXPECT_EQ(decoded->charset, row.encoding);
    } else {
      ASSERT_FALSE(decoded);
      EXPECT_EQ(message(decoded.error().error), row.text_or_error);
      EXPECT_EQ(decoded.error().line, row.error_line);
    }
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
