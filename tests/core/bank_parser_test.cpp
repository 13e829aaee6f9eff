// The bank-file parser beside the exact one. What it repairs and reports, field by field,
// is pinned by the case tables under cases/bank/.
#include <algorithm>
#include <map>
#include <random>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bankfile/steps.hpp"
#include "bankfile/tolerant_fields.hpp"
#include "decoders/bank/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/parse.hpp"
#include "tallyfold/reconcile.hpp"
#include "util/tag_line.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

const Decoder* const kDetailOnly[] = {&unstructured_decoder()};
const DecoderChain kChain(kDetailOnly);

std::string with_line(std::string_view content) {
  return ":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:" + std::string(content) + "\n:62F:C230131EUR1,00\n";
}

std::string good(std::string_view reference) {
  return ":20:" + std::string(reference) +
         "\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:62F:C230131EUR2,00\n";
}

// Where the exact reading accepts a text, this one gives the same statements.
// The bank-file reading of a text the exact reading accepts gives every field of the
// model as the exact one does, trailer balances as given; derived fields follow the rules
// each reading stamps, so they stay out.
void expect_read_as_exactly(const std::string& text) {
  const JsonOptions every_field{.bank_fields = false, .exact_amounts = true};
  auto exact = parse_statements(text, kChain);
  ASSERT_TRUE(exact) << message(exact.error());
  std::vector<Diagnostic> diagnostics;
  auto bank = parse_bank_statements(text, kChain, diagnostics);
  ASSERT_TRUE(bank) << message(bank.error());
  EXPECT_EQ(export_json(*bank, every_field).value(), export_json(*exact, every_field).value());
}

TEST(BankParser, AgreesWithTheExactReading) {
  const std::string kTexts[] = {
      good("A") + good("B"),
      ":20:STMT-1\n:21:REL\n:25:DE001/42\n:28C:00012/003\n:60M:D230101EUR1_000,5\n"
      ":61:2301020102C12,NTRFREF//BANK\n:86:first\n:61:230103DR3,45NCHG\nsupplementary\n"
      ":62M:C230131EUR0,\n:64:C230131EUR2,\n:65:C230201EUR3,\n:65:C230202EUR4,\n:86:owner\n",
      ":61:junk before any statement\n:20:R\n"
      ":25:A\n:28C:1\n:XYZ:unknown\n:60F:C230101EUR1,\n"
      ":25:late\n:64:not a balance\n:60F:not a balance\n"
      ":61:230102C1,NTRFX\n:62F:C230101EUR1,\n:61:not read\n:62F:not read\n::odd\n",
      ":20:R\n:25:first\n:25:second\n:28C:1/2\n:28C:3\n:60F:C230101EUR1,\n"
      ":61:230102C1,NTRFX\n:86:line one\n:86:\n:86:line three\n:61:230102C1,NTRFY\n:86:alone\n"
      ":62F:C230101EUR1,\n:65:C230101EUR1,\n:65:C230102EUR2,\n:86:info\n:86:more\n",
      ":20:R\r\n:25:A\r\n:28C:1\r\n:60F:C230101EUR1,00\r\n:61:230102C1,00NTRFX\r\nsup\r\n:86:one\r\n two\r\n"
      ":62F:C230131EUR90,00",
      with_line("230131C1,00NTRF  R 1\xC2\xA0//B 1 "),
      with_line("230131C1,00NTRFREF//B//C/"),
      with_line("2312280531D5,NMSCX"),
  };
  for (const auto& text : kTexts) {
    SCOPED_TRACE(text);
    expect_read_as_exactly(text);
  }
}

// Statements of `counts[i]` transactions each, their lines and details drawn from
// `details` by a fixed seed: some lines with supplementary details on a second line, some
// transactions with no details or with two :86: fields.
std::vector<std::string> statements_of(std::span<const std::size_t> counts, std::span<const std::string_view> details) {
  std::mt19937 random(7);
  std::vector<std::string> statements;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    std::string s = ":20:S" + std::to_string(i) + "\n:25:DE001/42\n:28C:" + std::to_string(i + 1) +
                    "\n:60F:C230101EUR1,00\n";
    for (std::size_t k = 0; k < counts[i]; ++k) {
      const auto draw = static_cast<std::uint32_t>(random());
      s += ":61:2301" + std::to_string(10 + k % 19) + (draw & 1 ? "D" : "C") + std::to_string(k + 1) + ",5" +
           "NTRFREF" + std::to_string(k) + (draw & 2 ? "//BANK" + std::to_string(i) : "") + "\n";
      if (draw & 4) s += "supplementary " + std::to_string(k) + "\n";
      if ((draw & 24) != 0) s += ":86:" + std::string(details[(draw >> 8) % details.size()]) + "\n";
      if ((draw & 24) == 24) s += ":86:" + std::string(details[(draw >> 16) % details.size()]) + "\n";
    }
    s += ":62F:C230131EUR2,00\n";
    if (i % 3 == 0) s += ":64:C230131EUR2,00\n:86:owner " + std::to_string(i) + "\n";
    statements.push_back(std::move(s));
  }
  return statements;
}

std::string joined(std::span<const std::string> statements) {
  std::string text;
  for (const std::string& s : statements) text += s;
  return text;
}

// The bank-file reading decodes the details of many statements in a row once their lines
// are read; the exact reading decodes each transaction's as its lines end. Over runs of
// statements longer and shorter than one such row, and one statement longer than a row
// by itself, and statements whose transactions do not all wait until their end, both
// give the same statements.
TEST(BankParser, AgreesWithTheExactReadingOverManyStatements) {
  const std::string_view kDetails[] = {"plain words", "", "/EREF/E1//REMI/USTD//Rent/", "/TRTP/X"};
  const std::size_t kCounts[][6] = {
      {0, 1, 2, 3, 0, 5},       {40, 70, 0, 100, 30, 90},   {300, 1, 0, 260, 2, 255},
      {256, 256, 1, 0, 0, 513}, {2100, 3, 0, 1500, 1, 1}, {1, 1023, 1024, 1025, 2048, 0}};
  for (const auto& counts : kCounts) {
    const std::string text = joined(statements_of(counts, kDetails));
    SCOPED_TRACE(text.substr(0, 200));
    expect_read_as_exactly(text);
  }
}

// With every bank layout, each transaction's map is the chain's decoding of its details
// text, and a statement reads the same within a file as alone, wherever the file's row of
// waiting details ends. Among the statements, one lacks its closing balance, one holds a
// line that cannot be read.
TEST(BankParser, DecodesEachStatementAsAlone) {
  const DecoderChain chain = *select_bank_chain("auto");
  const std::string_view kDetails[] = {
      "166?00GUTSCHRIFT?20EREF+SCP 100?21SVWZ+D 8?3012345678?31DE001?32NAME",
      "/EREF/E1//CNTP/NL21RABO0999999999/RABONL2U/G-AAAAA N.V./3000AA//REMI/USTD//Rent/",
      "/TRTP/SEPA/IBAN/DE001/BIC/XBIC/NAME/N N/REMI/text",
      "<00PRZELEW<20TYTUL<27NAZWA",
      "SEPA IDEAL IBAN: NL70ABNA0888888888 BIC: ABNANL2A NAAM: NS GROEP",
      "PRZELEW Z RACH.: 12 1020 OD: JAN TYT.: CZYNSZ",
      "plain prose words",
      "166?00X?20AB\nCD?21EF",
  };
  const std::size_t kCounts[] = {3, 0, 120, 1, 200, 7, 300, 2, 60, 1100, 4};
  std::vector<std::string> statements = statements_of(kCounts, kDetails);
  statements[3] = ":20:LACKS\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:" +
                  std::string(kDetails[0]) + "\n";
  statements[5].insert(statements[5].find(":61:", statements[5].find(":61:") + 1), ":61:not a line\n:86:gone\n");
  const std::string text = joined(statements);
  std::vector<Diagnostic> diagnostics;
  auto whole = parse_bank_statements(text, chain, diagnostics);
  ASSERT_TRUE(whole) << message(whole.error());
  ASSERT_EQ(whole->size(), statements.size());
  const JsonOptions every_field{.bank_fields = false, .exact_amounts = true};
  TextBuffer scratch;
  for (std::size_t i = 0; i < statements.size(); ++i) {
    SCOPED_TRACE(statements[i].substr(0, 200));
    std::vector<Diagnostic> alone_diagnostics;
    auto alone = parse_bank_statements(statements[i], chain, alone_diagnostics);
    ASSERT_TRUE(alone) << message(alone.error());
    EXPECT_EQ(export_json(std::span(&whole->at(i), 1), every_field).value(), export_json(*alone, every_field).value());
    for (const Transaction& t : whole->at(i).transactions) {
      if (t.details.empty()) continue;
      ASSERT_TRUE(t.structured_details);
      const DecodedDetails direct = decode_details(chain, t.details, scratch);
      EXPECT_EQ(*t.structured_details, direct) << t.details;
      EXPECT_EQ(t.structured_details->layout(), direct.layout()) << t.details;
    }
  }
}

// The chain decides the rules: the parser's statements derive their fields as the file
// reading's do.
TEST(BankParser, MarksItsTransactionsForBankRules) {
  const std::string text =
      ":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:/REMI/USTD//Rent/\n:62F:C230131EUR2,00\n";
  std::vector<Diagnostic> diagnostics;
  auto parsed = parse_bank_statements(text, *select_bank_chain("auto"), diagnostics);
  ASSERT_TRUE(parsed) << message(parsed.error());
  const Transaction& t = parsed->at(0).transactions.at(0);
  EXPECT_EQ(t.rules, FieldRules::Bank);
  EXPECT_EQ(fields_of(t).purpose, "Rent");
}

// A :61: that follows a transaction's :86: is settled before the tag is classified; on
// random statements of lines, details of one or more fields and lines, supplementary
// details, balances and the owner's information, the statements are still those the
// exact reading, which classifies every tag, gives.
TEST(BankParser, ReadsLinesAfterDetailsAsTheExactReadingDoes) {
  const std::string kDetails[] = {"166?00GUTSCHRIFT?20EREF+X", "/REMI/USTD//Rent/", "plain words", "x", ""};
  // Lines the bank reading joins without a blank, as the exact one joins every line.
  const std::string kMore[] = {"?21SVWZ+Y", " more text", "", " /NAME/X"};
  std::mt19937 random(11);
  const auto pick = [&random](const auto& list) { return list[random() % std::size(list)]; };
  for (int round = 0; round < 400; ++round) {
    std::string text;
    for (int statement = 0, statements = 1 + static_cast<int>(random() % 3); statement < statements; ++statement) {
      text += ":20:S" + std::to_string(statement) + "\n:25:A\n:28C:1\n";
      text += random() % 4 == 0 ? ":60M:C230101EUR1,00\n" : ":60F:C230101EUR1,00\n";
      for (int line = 0, lines = static_cast<int>(random() % 5); line < lines; ++line) {
        text += ":61:230102" + std::string(random() % 2 == 0 ? "C" : "D") + "1,00NTRFREF" + std::to_string(line) +
                (random() % 3 == 0 ? "//B\nsupplementary\n" : "\n");
        for (int field = 0, fields = static_cast<int>(random() % 3); field < fields; ++field) {
          text += ":86:" + pick(kDetails) + "\n";
          for (int more = 0, lines_more = static_cast<int>(random() % 3); more < lines_more; ++more) {
            text += pick(kMore) + "\n";
          }
        }
      }
      text += random() % 4 == 0 ? ":62M:C230131EUR1,00\n" : ":62F:C230131EUR1,00\n";
      if (random() % 3 == 0) text += ":64:C230131EUR1,00\n";
      if (random() % 3 == 0) text += ":86:" + pick(kDetails) + "\n" + pick(kMore) + "\n";
    }
    SCOPED_TRACE(text);
    expect_read_as_exactly(text);
  }
}

// A :61: field's further lines broken by a line feed alone are read where they stand in
// the text, others joined as the exact reading joins every one: whichever way each break
// is written, the lines read as the exact reading reads them.
TEST(BankParser, ReadsStatementLinesOfSeveralLinesAsTheExactReadingDoes) {
  const std::string_view kBreaks[][3] = {
      {"\n", "", ""},         {"\r\n", "", ""},        {"\n", "\n", ""},     {"\r\n", "\n", ""},
      {"\n", "\r\n", ""},     {"\n", "\n", "\r\n"},    {"\r\r\n", "\n", ""}, {"\n", "\n", "\n"},
  };
  const std::string_view kLines[] = {"supplementary", "", "  padded  ", "more//B"};
  for (const auto& breaks : kBreaks) {
    std::string text = ":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n";
    for (std::size_t k = 0; k < std::size(kLines); ++k) {
      text += ":61:230102C1,00NTRFREF" + std::to_string(k) + (k % 2 == 0 ? "//BANK" : "");
      for (std::size_t b = 0; b < std::size(breaks) && !breaks[b].empty(); ++b) {
        text += std::string(breaks[b]) + std::string(kLines[(k + b) % std::size(kLines)]);
      }
      text += k == 3 ? "\n:86:details\n" : "\n";
    }
    text += ":62F:C230131EUR5,00\n";
    SCOPED_TRACE(text);
    expect_read_as_exactly(text);
  }
}

// Whether a kept statement surely reconciles is told from the amounts' mantissas as it is
// kept; on random statements of credits, debits and reversals that balance or miss by a
// cent, it is true exactly where the full check balances.
TEST(BankParser, TellsAsTheFullCheckWhetherAStatementReconciles) {
  const char* const kMarks[] = {"C", "D", "RC", "RD"};
  const auto side = [](long long cents) { return std::string(cents < 0 ? "D" : "C"); };
  const auto amount = [](long long cents) {
    cents = cents < 0 ? -cents : cents;
    return std::to_string(cents / 100) + "," + (cents % 100 < 10 ? "0" : "") + std::to_string(cents % 100);
  };
  std::mt19937 random(5);
  for (int round = 0; round < 300; ++round) {
    long long sum = static_cast<long long>(random() % 100000) - 50000;
    std::string text = ":20:R\n:25:A\n:28C:1\n:60F:" + side(sum) + "230101EUR" + amount(sum) + "\n";
    for (int line = 0, lines = static_cast<int>(random() % 12); line < lines; ++line) {
      const std::string mark = kMarks[random() % 4];
      const long long cents = static_cast<long long>(random() % 1000000);
      sum += (mark == "C" || mark == "RD") ? cents : -cents;
      text += ":61:230102" + mark + amount(cents) + "NTRFX\n";
    }
    const bool off = random() % 3 == 0;
    if (off) sum += 1;
    text += ":62F:" + side(sum) + "230131EUR" + amount(sum) + "\n";
    SCOPED_TRACE(text);
    std::vector<Diagnostic> diagnostics;
    std::vector<KeptStatement> kept;
    auto parsed = parse_bank_statements(text, kChain, diagnostics, &kept);
    ASSERT_TRUE(parsed) << message(parsed.error());
    ASSERT_EQ(kept.size(), 1u);
    const bool balanced = check_statement(parsed->at(0)).balanced;
    EXPECT_EQ(balanced, !off);
    EXPECT_EQ(kept[0].surely_reconciles, balanced);
  }
}

// A :86: field's lines are joined by one rule whether the field is a transaction's
// details, a second :86: of the same transaction or the owner's information; the first
// goes into the texts line by line, the last is joined before it is kept.
TEST(BankParser, JoinsDetailsLinesAlikeWhereverTheyStand) {
  const std::string_view kFields[] = {
      "REMIT:Costs to MT940 Parsing. \nThis is Somuchfun.",
      "word\nword\n\nword",
      "166?00GUTSCHRIFT?20EREF+SCP 100\n?21SVWZ+D 8\n03020001",
      "/REMI/USTD//Uberweisung mit VR-Networld ERE\nF: JS12345 IBAN: DE14740618130000033626/",
      "/CNTP/NL21RABO0999999999/RABONL2U/G-AAAAA N.V./3000AA WESTBEE\nN Nederland//EREF/NOTPROVIDED//RE\nMI/USTD//X/",
      " /BENM//Name\nName\n/REMI/USTD//",
      "AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA\nB\n:99:text-like",
      "Jörg Müller Jörg Müller Jörg Müller Jörg Müller Jörg Müller Jörg M\nüller",
      "\nstarts on the next line",
  };
  const auto read = [](const std::string& text) {
    std::vector<Diagnostic> diagnostics;
    auto parsed = parse_bank_statements(text, kChain, diagnostics);
    EXPECT_TRUE(parsed) << message(parsed.error());
    return parsed ? std::move(parsed->at(0)) : Statement{};
  };
  const std::string head = ":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n";
  const std::string tail = ":62F:C230131EUR2,00\n";
  for (const std::string_view field : kFields) {
    SCOPED_TRACE(field);
    const std::string details(read(head + ":86:" + std::string(field) + "\n" + tail).transactions.at(0).details);
    EXPECT_EQ(read(head + ":86:first\n:86:" + std::string(field) + "\n" + tail).transactions.at(0).details,
              "first\n" + details);
    // A field of German subfields before it says nothing of how this one joins.
    EXPECT_EQ(read(head + ":86:166?00X\nY\n:86:" + std::string(field) + "\n" + tail).transactions.at(0).details,
              "166?00XY\n" + details);
    EXPECT_EQ(read(head + tail + ":86:" + std::string(field) + "\n").information_to_account_owner, details);
  }
}

// The width a file's :86: lines are broken at: the longest that two lines followed by
// more of their field's text have, in characters, never under 65.
TEST(BankParser, JudgesTheWidthOfDetailsLines) {
  const std::string a70(70, 'A');
  const std::string u70 = std::string(68, 'A') + "\xC3\xBC\xC3\xBC";  // 70 characters, 72 bytes
  const auto twice = [](const std::string& field) { return field + field; };
  const struct {
    std::string_view name;
    std::string text;
    std::size_t width;
  } kRows[] = {
      {"empty", "", 65},
      {"one broken line", ":86:" + a70 + "\nmore\n", 65},
      {"two broken lines", twice(":86:" + a70 + "\nmore\n"), 74},
      {"continuation lines broken", twice(":86:x\n" + a70 + "\nmore\n"), 70},
      {"carriage returns", twice(":86:x\r\n" + a70 + "\r\nmore\r\n"), 70},
      {"counted in characters", twice(":86:x\n" + u70 + "\nmore"), 70},
      {"followed by a tag line", twice(":86:x\n" + a70 + "\n:99:y\n"), 65},
      {"in another field", twice(":61:x\n" + a70 + "\nmore\n"), 65},
      {"too long to judge", twice(":86:x\n" + std::string(300, 'A') + "\nmore\n"), 65},
      {"beyond the first 256 KiB", std::string(1 << 18, '\n') + twice(":86:x\n" + a70 + "\nmore\n"), 65},
      {"last line followed by none", ":86:" + a70 + "\nmore\n:86:" + a70 + "\n", 65},
      {"next line beyond the first 256 KiB",
       ":86:" + a70 + "\nmore\n" + std::string((1 << 18) - 155, '\n') + ":86:" + a70 + "\nmore\n", 65},
      {"next line cut at 256 KiB",
       ":86:" + a70 + "\nmore\n" + std::string((1 << 18) - 156, '\n') + ":86:" + a70 + "\nmore\n", 74},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(detail::details_line_width(row.text), row.width) << row.name;
  }
}

// The judgement looks only at lines longer than a block's first line feed shows: on
// texts of random lines, short and long, tags and text, with and without carriage
// returns, some of them ending across the first 256 KiB, it agrees with the rule read
// one line at a time.
TEST(BankParser, JudgesTheWidthAsLineByLine) {
  const auto by_lines = [](std::string_view text) {
    text = text.substr(0, std::size_t{1} << 18);
    std::map<std::size_t, int> broken;
    bool in_details = false;
    std::size_t open_length = 0;
    for (std::size_t start = 0; start < text.size();) {
      const std::size_t feed = std::min(text.find('\n', start), text.size());
      std::string_view line = text.substr(start, feed - start);
      start = feed + 1;
      while (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      if (detail::tag_length(line) != 0) {
        in_details = line.starts_with(":86:");
      } else if (in_details) {
        ++broken[open_length];
      }
      if (in_details) open_length = detail::character_count(line);
    }
    for (std::size_t length = 255; length > 65; --length) {
      if (broken[length] >= 2) return length;
    }
    return std::size_t{65};
  };
  const std::string kPieces[] = {":86:", ":61:", ":20:", ":8", ":", "\xC3\xBC", "x", "\r", "\n", "\n", "\n"};
  std::mt19937 random(7);
  for (int round = 0; round < 400; ++round) {
    std::string text;
    // Every fourth text starts with short lines that end just before 256 KiB, so that
    // its random lines meet the end of the judged bytes.
    if (round % 4 == 3) {
      text = std::string((std::size_t{1} << 18) - 2000 + random() % 64, 'y');
      for (std::size_t i = 40; i < text.size(); i += 40 + random() % 20) text[i] = '\n';
    }
    const std::size_t pieces = random() % 400;
    for (std::size_t i = 0; i < pieces; ++i) {
      const std::string& piece = kPieces[random() % std::size(kPieces)];
      // Runs of one letter make the long lines whose widths are judged, a few longer
      // than a block or than the judgement counts.
      const std::size_t run = random() % 8 == 0 ? 60 + random() % 260 : 60 + random() % 16;
      text += piece == "x" ? std::string(run, 'x') : piece;
    }
    SCOPED_TRACE(text.substr(text.size() - std::min<std::size_t>(text.size(), 30000)));
    EXPECT_EQ(detail::details_line_width(text), by_lines(text));
  }
}

}  // namespace
}  // namespace tallyfold
