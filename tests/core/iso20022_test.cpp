// The camt writer beyond what cases/camt-export/ pins document by document: texts the
// reading never gives, message ids across runs, one document per account, timestamps,
// and every real file against its schema.
#include "tallyfold/iso20022.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/transaction_id.hpp"
#include "export/iso20022_copy.hpp"
#include "export/iso20022_limits.hpp"
#include "export/iso20022_message.hpp"
#include "export/iso20022_xml.hpp"
#include "export/text_parts.hpp"
#include "support/shared_data.hpp"
#include "support/xml_schema.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

constexpr CamtVersion kVersions[] = {CamtVersion::V02, CamtVersion::V06, CamtVersion::V08};
constexpr std::int64_t kCreated = 1767225600;  // 2026-01-01T00:00:00Z

// What xmllint says against the document's schema: empty when it validates.
std::string schema_errors(const CamtDocument& document, CamtVersion version) {
  const std::string kind = document.message == CamtMessage::Report ? "052" : "053";
  return test::schema_errors(document.xml, "camt." + kind + ".001." + std::string(camt_version_name(version)));
}

struct Converted {
  CamtDocument document;
  std::string error;
};

// The bank-file reading of `text`, then one camt document, checked against its schema.
Converted convert(std::string_view text, CamtVersion version = CamtVersion::V08, std::int64_t created = kCreated) {
  auto file = read_bank_file(text, BankFileOptions{});
  if (!file) return {{}, "reading failed: " + message(file.error())};
  auto document = export_camt(file->statements, CamtOptions{version, created});
  if (!document) return {{}, message(document.error())};
  EXPECT_EQ(schema_errors(*document, version), "") << document->xml;
  return {std::move(*document), {}};
}

std::string statement(std::string_view account, std::string_view number, std::string_view lines,
                      std::string_view currency = "EUR") {
  std::string s = ":20:REF1\n:25:" + std::string(account) + "\n:28C:" + std::string(number) + "\n:60F:C240101" +
                  std::string(currency) + "100,00\n" + std::string(lines) + ":62F:C240102" + std::string(currency) +
                  "100,00\n";
  return s;
}

std::string strip_indent(std::string_view xml) {
  std::string out;
  bool line_start = true;
  for (const char c : xml) {
    if (line_start && c == ' ') continue;
    line_start = c == '\n';
    if (c != '\n') out.push_back(c);
  }
  return out;
}

bool holds(const Converted& c, std::string_view fragment) {
  return strip_indent(c.document.xml).find(fragment) != std::string::npos;
}

TEST(Camt, TextsAreCleaned) {
  // The reading takes control bytes out of files; statements built otherwise may hold them.
  auto file = read_bank_file(statement("NL69INGB0123456789", "1", ""), BankFileOptions{});
  ASSERT_TRUE(file);
  Statement s = file->statements[0];
  s.transaction_reference = "R\x01" "1\xEF\xBF\xBD<";
  const std::string long_text = std::string(498, 'y') + "\t\xC3\xA4" "zz";
  s.information_to_account_owner = long_text;
  for (const CamtVersion v : kVersions) {
    auto document = export_camt(std::span(&s, 1), CamtOptions{v, kCreated});
    ASSERT_TRUE(document);
    EXPECT_EQ(schema_errors(*document, v), "");
    const std::string xml = strip_indent(document->xml);
    EXPECT_NE(xml.find("<Id>R?1?&lt;</Id>"), std::string::npos) << xml;
    // Cut after 500 characters, not bytes, and never inside one.
    EXPECT_NE(xml.find("<AddtlStmtInf>" + std::string(498, 'y') + " \xC3\xA4</AddtlStmtInf>"), std::string::npos);
  }
}

// The word-at-a-time scans against a byte at a time: one odd byte at every position of
// texts around the word size, so that the last, overlapping word is tried too.
TEST(CamtText, PlainScansAgreeWithEachByte) {
  auto plain_byte = [](unsigned char c, bool xml) {
    if (c < 0x20 || c >= 0x7F) return false;
    return !xml || std::string_view("&<>\"'").find(static_cast<char>(c)) == std::string_view::npos;
  };
  const unsigned char kProbes[] = {0x00, 0x09, 0x1F, 0x20, '!', '"', '&', '\'', '<', '>', 'A', '~', 0x7F, 0x80, 0xC3, 0xFF};
  for (std::size_t size = 0; size <= 25; ++size) {
    for (std::size_t at = 0; at < std::max<std::size_t>(size, 1); ++at) {
      for (const unsigned char probe : kProbes) {
        std::string text(size, 'x');
        if (size > 0) text[at] = static_cast<char>(probe);
        const bool expected_plain = size == 0 || plain_byte(probe, false);
        const bool expected_xml = size == 0 || plain_byte(probe, true);
        SCOPED_TRACE(::testing::Message() << "size " << size << " at " << at << " byte " << int{probe});
        EXPECT_EQ(detail::printable_ascii(text), expected_plain);
        EXPECT_EQ(detail::xml_plain(text), expected_xml);
      }
    }
  }
}

// Texts for the element writer's copies: every size around the 4-, 8- and 16-byte loads,
// each with one odd piece (an escape, a control, UTF-8 whole, cut or ill-formed, a
// non-character) at every position, so that the overlapping last loads meet it too.
std::vector<std::string> copy_probes() {
  const std::string_view kOdd[] = {"",     "&",        "<",        ">",        "\"",         "'",    "\t",
                                   "\n",   "\r",       "\x01",     "\x1F",     "\x7F",       "~",    "\xC3\xBC",
                                   "\xC3",  "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xEF\xBF\xBE", "\xEF\xBF\xBD", "\xC0\xAF", "\xFF"};
  std::vector<std::string> texts;
  for (std::size_t size = 0; size <= 40; ++size) {
    for (std::size_t at = 0; at <= size; ++at) {
      for (const std::string_view odd : kOdd) {
        std::string text(size, 'x');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('A' + i % 26);
        text.insert(at, odd);
        texts.push_back(std::move(text));
      }
    }
  }
  return texts;
}

// The copies against the plain rules they stand for: copy_short as memcpy copies them,
// plain_bytes as xml_plain judges them, escaped as xml_escape writes them; none writes
// a byte past what it says it wrote.
TEST(CamtText, CopiesAgreeWithTheRules) {
  for (const std::string& text : copy_probes()) {
    SCOPED_TRACE(::testing::PrintToString(text));
    // The source alone in its allocation, so that a read past its end is seen by the
    // sanitizers; the target with a guard after the bytes it may write.
    const std::unique_ptr<char[]> source(new char[text.size() + 1]);
    std::memcpy(source.get(), text.data(), text.size());
    std::string target(camt::copy::escaped_room(text.size()) + 8, '#');
    EXPECT_EQ(detail::copy_short(target.data(), source.get(), text.size()), target.data() + text.size());
    EXPECT_EQ(target.substr(0, text.size()), text);
    EXPECT_EQ(target[text.size()], '#');

    target.assign(target.size(), '#');
    EXPECT_EQ(camt::copy::plain_bytes(target.data(), source.get(), text.size()), detail::xml_plain(text));
    EXPECT_EQ(target.substr(0, text.size()), text);
    EXPECT_EQ(target[text.size()], '#');

    std::string expected;
    detail::xml_escape(text, expected);
    target.assign(target.size(), '#');
    const char* end = camt::copy::escaped(target.data(), std::string_view(source.get(), text.size()));
    EXPECT_EQ(std::string_view(target.data(), static_cast<std::size_t>(end - target.data())), expected);
  }
}

// The element writer's lines against the same lines spelled out: every kind of element,
// at depths past the blanks written at once, over enough elements that the string grows
// many times, and with elements dropped again.
TEST(CamtXml, LinesAgreeWithTheirSpelling) {
  std::string out = "head\n";
  std::string expected = out;
  auto line = [&expected](int depth, std::string_view text) {
    expected.append(static_cast<std::size_t>(2 * depth), ' ');
    expected.append(text);
    expected.push_back('\n');
  };
  {
    camt::Xml x(out, 1);
    for (int round = 0; round < 400; ++round) {
      const int depth = 1 + round % 24;
      for (int d = 1; d < depth; ++d) x.open(camt::tag<"Lvl">);
      const camt::Xml::Mark mark = x.mark();
      x.open(camt::tag<"TtlCdtNtries">);
      x.value(camt::tag<"Cd">, std::string(static_cast<std::size_t>(round % 50), 'v'));
      x.back_to(mark);  // dropped: nothing of it stays
      const std::string value(static_cast<std::size_t>(round % 37), static_cast<char>('a' + round % 26));
      x.value(camt::tag<"Cd">, value);
      x.escaped(camt::tag<"Nm">, "a&b");
      x.text(camt::tag<"Ustrd">, value, 20);
      x.amount(camt::tag<"Amt">, "12.50", "EUR");
      x.date(camt::tag<"Dt">, *Date::from_ymd(round % 2 == 0 ? 2024 : 12, 3, 9));
      x.value(std::string_view("AddtlNtryInf"), "x");
      for (int d = depth - 1; d >= 1; --d) x.close(camt::tag<"Lvl">);
      const int inner = depth;
      for (int d = 1; d < depth; ++d) line(d, "<Lvl>");
      line(inner, "<Cd>" + value + "</Cd>");
      line(inner, "<Nm>a&amp;b</Nm>");
      if (!value.empty()) line(inner, "<Ustrd>" + value.substr(0, 20) + "</Ustrd>");
      line(inner, "<Amt Ccy=\"EUR\">12.50</Amt>");
      line(inner, round % 2 == 0 ? "<Dt>2024-03-09</Dt>" : "<Dt>0012-03-09</Dt>");
      line(inner, "<AddtlNtryInf>x</AddtlNtryInf>");
      for (int d = depth - 1; d >= 1; --d) line(d, "</Lvl>");
    }
  }
  EXPECT_EQ(out, expected);
}

// The element of a text by the plain rules, one after the other: trimmed, cleaned, cut
// to `max` characters, trimmed again, escaped; nothing when nothing is left.
std::string text_element_by_rules(std::string_view name, std::string_view text, std::size_t max) {
  std::string cleaned = camt::clean(trim_white_space(text));
  cleaned.resize(camt::prefix_bytes(cleaned, max));
  const std::string_view fitted = trim_white_space(cleaned);
  if (fitted.empty()) return "";
  std::string out = "  <" + std::string(name) + ">";
  detail::xml_escape(fitted, out);
  return out + "</" + std::string(name) + ">\n";
}

// Texts the writer's shortcut takes, and the near misses it must leave to the rules.
TEST(CamtText, ShortcutAgreesWithTheRules) {
  const struct {
    std::string_view text;
    std::size_t max;
    std::string_view element;
  } kRows[] = {
      {"ABC-123/45", 35, "  <Nm>ABC-123/45</Nm>\n"},
      {"exactly five", 12, "  <Nm>exactly five</Nm>\n"},
      {"one too many", 11, "  <Nm>one too man</Nm>\n"},
      {"cut before a blank", 4, "  <Nm>cut</Nm>\n"},
      {" leading", 35, "  <Nm>leading</Nm>\n"},
      {"trailing ", 35, "  <Nm>trailing</Nm>\n"},
      {"a&b <c> \"d\" 'e'", 35, "  <Nm>a&amp;b &lt;c&gt; &quot;d&quot; &apos;e&apos;</Nm>\n"},
      {"tab\there", 35, "  <Nm>tab here</Nm>\n"},
      {"del\x7F", 35, "  <Nm>del\x7F</Nm>\n"},
      {"M\xC3\xBCller", 5, "  <Nm>M\xC3\xBClle</Nm>\n"},
      {"M\xC3\xBCller", 6, "  <Nm>M\xC3\xBCller</Nm>\n"},
      {"a\xC3", 35, "  <Nm>a?</Nm>\n"},
      {"a\xC3" "b", 35, "  <Nm>a?b</Nm>\n"},
      {"   ", 35, ""},
      {"", 35, ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    std::string out;
    camt::Xml(out, 1).text(camt::tag<"Nm">, row.text, row.max);
    EXPECT_EQ(out, row.element);
    EXPECT_EQ(out, text_element_by_rules("Nm", row.text, row.max));
  }
  // Generated texts of plain and troublesome pieces, every width from none to more
  // than the text: fit() and the element writer against the rules spelled out.
  const std::string_view kPieces[] = {"a", "Z9", " ", "plain words", "  ", "&", "<", "'", "\t", "\n", "\x7F", "\x01", "\x0B", "\xC2\x85", "\xE2\x80\x80",
                                      "\xC3\xBC", "\xC2\x80", "\xC2\xA0", "\xDF\xBF", "\xC3", "\xC1\xBF", "\xEF\xBF\xBD", "\xFF", "/REF/"};
  std::mt19937 random(20261207);
  for (int round = 0; round < 4000; ++round) {
    std::string text;
    const int pieces = static_cast<int>(random() % 8);
    // Most rounds plain, as most texts are, so that the shortcut is taken often.
    const std::size_t choices = round % 2 == 0 ? 4 : std::size(kPieces);
    for (int i = 0; i < pieces; ++i) text.append(kPieces[random() % choices]);
    if (round % 4 == 0) text.append(kPieces[random() % 3]);
    for (std::size_t max = 0; max <= text.size() + 1; ++max) {
      SCOPED_TRACE(::testing::Message() << "'" << text << "' max " << max);
      std::string out;
      camt::Xml(out, 1).text(camt::tag<"Nm">, text, max);
      ASSERT_EQ(out, text_element_by_rules("Nm", text, max));
      std::string cleaned = camt::clean(trim_white_space(text));
      cleaned.resize(camt::prefix_bytes(cleaned, max));
      ASSERT_EQ(camt::fit(text, max), trim_white_space(cleaned));
      std::string scratch = "left over";
      ASSERT_EQ(camt::fit(text, max, scratch), trim_white_space(cleaned));
      ASSERT_EQ(camt::fits_something(text, max), !trim_white_space(cleaned).empty());
    }
  }
}

TEST(Camt, MessageIdFollowsTheStatementsNotTheTime) {
  const std::string a = statement("NL69INGB0123456789", "1", ":61:2401020102D1,00NTRFNONREF\n");
  const std::string b = statement("NL69INGB0123456789", "1", ":61:2401020102D2,00NTRFNONREF\n");
  const Converted first = convert(a);
  auto message_id = [](const Converted& c) {
    const std::size_t at = c.document.xml.find("<MsgId>");
    return c.document.xml.substr(at, c.document.xml.find("</MsgId>") - at);
  };
  const Converted later = convert(a, CamtVersion::V08, kCreated + 61);
  EXPECT_TRUE(holds(later, "<GrpHdr><MsgId>" + message_id(first).substr(7) + "</MsgId><CreDtTm>2026-01-01T00:01:01Z"));
  EXPECT_EQ(message_id(first), message_id(later));
  EXPECT_NE(message_id(first), message_id(convert(b)));
  EXPECT_NE(message_id(first), message_id(convert(a, CamtVersion::V06)));
}

// Entries' ids are made for several statements ahead of their entries: each entry
// still carries its own statement's id, past those groups' ends, with statements
// without entries and refused ones among them.
TEST(Camt, EntriesCarryTheirOwnStatementsIds) {
  const std::string refused = ":20:BAD\n:25:X\n:28C:1\n:60F:C240101EUR1,123456\n:62F:C240102EUR1,123456\n";
  std::string text;
  for (int i = 0; i < 41; ++i) {
    if (i == 15 || i == 16 || i == 33) {
      text += refused;
      continue;
    }
    std::string lines;
    for (int j = 0; j < i % 4; ++j) {
      lines += ":61:2401020102D" + std::to_string(i + 1) + "," + std::to_string(10 + j) + "NTRFNONREF\n";
    }
    text += statement("NL69INGB0123456789", std::to_string(i + 1), lines);
  }
  auto file = read_bank_file(text, BankFileOptions{});
  ASSERT_TRUE(file);
  std::vector<std::string> expected;
  for (const Statement& s : file->statements) {
    if (s.account_identification == "X") continue;
    for (const TransactionId& id : transaction_ids(s)) expected.emplace_back(id.text());
  }
  ASSERT_GT(expected.size(), 40u);
  auto document = export_camt(file->statements, CamtOptions{CamtVersion::V08, kCreated});
  ASSERT_TRUE(document);
  EXPECT_EQ(document->warnings.size(), 3u);
  std::vector<std::string> written;
  const std::string xml = strip_indent(document->xml);
  for (std::size_t at = xml.find("<NtryRef>"); at != std::string::npos; at = xml.find("<NtryRef>", at + 1)) {
    written.push_back(xml.substr(at + 9, xml.find("</NtryRef>", at) - at - 9));
  }
  EXPECT_EQ(written, expected);
}

TEST(Camt, OneDocumentPerAccount) {
  const std::string eur = statement("NL69INGB0123456789", "1", "");
  const std::string jpy = statement("1700.59.308JPY", "1", "", "JPY");
  const std::string bad = ":20:BAD\n:25:X\n:28C:1\n:60F:C240101EUR1,123456\n:62F:C240102EUR1,123456\n";
  auto file = read_bank_file(bad + eur + jpy + eur, BankFileOptions{});
  ASSERT_TRUE(file);
  auto documents = export_camt_per_account(file->statements, CamtOptions{CamtVersion::V08, kCreated});
  ASSERT_TRUE(documents);
  ASSERT_EQ(documents->size(), 2u);
  ASSERT_FALSE((*documents)[0].document.warnings.empty());
  EXPECT_EQ((*documents)[0].document.warnings[0].rfind("account 'X' left out of the camt documents: ", 0), 0u);
  EXPECT_FALSE(export_camt_per_account(std::span(file->statements).first(1), CamtOptions{}));
  EXPECT_EQ((*documents)[0].account, "NL69INGB0123456789");
  EXPECT_EQ((*documents)[1].account, "1700.59.308");
  const std::string first = strip_indent((*documents)[0].document.xml);
  EXPECT_NE(first.find("<Id>REF1-1</Id>"), std::string::npos);  // two statements, one :20:
  EXPECT_EQ(first.find("JPY"), std::string::npos);
  EXPECT_EQ(schema_errors((*documents)[1].document, CamtVersion::V08), "");
}

TEST(Camt, Timestamps) {
  const struct {
    std::string_view text;
    std::optional<std::int64_t> seconds;
  } kRows[] = {{"2026-01-01", 1767225600},
               {"2026-01-01T00:01:01Z", 1767225661},
               {"2026-01-01T01:00+01:00", 1767225600},
               {"2025-12-31T23:00:00-01:00", 1767225600},
               {"@1767225600", 1767225600},
               {"2026-02-30", std::nullopt},
               {"2026-01-01T24:00", std::nullopt},
               {"yesterday", std::nullopt},
               {"@", std::nullopt}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(parse_timestamp(row.text), row.seconds);
  }
}

// Every example and every corpus file the bank-file reading reads, in every version,
// each schema run once over all its documents.
std::size_t validate_every_readable_file(const fs::path& root) {
  std::map<std::string, std::vector<std::pair<std::string, std::string>>> by_schema;
  for (const auto& data : test::data_files(root)) {
    auto file = read_bank_file(test::read_bytes(data.path), BankFileOptions{});
    // Incomplete statements are left out of camt; a file of nothing else has none to write.
    if (!file || std::none_of(file->statements.begin(), file->statements.end(),
                              [](const Statement& s) { return s.complete; })) {
      continue;
    }
    for (const CamtVersion v : kVersions) {
      const std::string name = data.name + " version " + std::string(camt_version_name(v));
      auto document = export_camt(file->statements, CamtOptions{v, kCreated});
      EXPECT_TRUE(document) << name << ": " << message(document.error());
      if (!document) continue;
      const std::string kind = document->message == CamtMessage::Report ? "052" : "053";
      by_schema["camt." + kind + ".001." + std::string(camt_version_name(v))].emplace_back(name, document->xml);
    }
  }
  std::size_t validated = 0;
  for (const auto& [schema, documents] : by_schema) {
    for (const auto& [name, errors] : test::schema_errors(documents, schema)) ADD_FAILURE() << name << ": " << errors;
    validated += documents.size();
  }
  return validated;
}

TEST(Camt, EveryReadableFileValidates) {
  TALLYFOLD_REQUIRE_XMLLINT();
  EXPECT_GT(validate_every_readable_file(TALLYFOLD_EXAMPLES_DIR), 0u);
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  EXPECT_GT(validate_every_readable_file(corpus), 0u);
}

}  // namespace
}  // namespace tallyfold
