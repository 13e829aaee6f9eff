#include "tallyfold/iso20022.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "tallyfold/bankfile.hpp"
#include "support/shared_data.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

constexpr CamtVersion kVersions[] = {CamtVersion::V02, CamtVersion::V06, CamtVersion::V08};
constexpr std::int64_t kCreated = 1767225600;  // 2026-01-01T00:00:00Z

bool have_xmllint() { return std::system("command -v xmllint >/dev/null 2>&1") == 0; }

fs::path scratch_dir() {
  const fs::path dir = fs::temp_directory_path() / ("tallyfold-camt-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  return dir;
}

std::string read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

fs::path schema_for(bool report, CamtVersion version) {
  return fs::path(TALLYFOLD_SCHEMA_DIR) /
         ("camt." + std::string(report ? "052" : "053") + ".001." + std::string(camt_version_name(version)) + ".xsd");
}

// What xmllint says against the document's schema: empty when it validates (or when no
// xmllint is installed, which the corpus test reports by skipping).
std::string schema_errors(const CamtDocument& document, CamtVersion version) {
  static const bool available = have_xmllint();
  if (!available) return {};
  static int counter = 0;
  const fs::path dir = scratch_dir();
  const fs::path file = dir / ("doc" + std::to_string(++counter) + ".xml");
  const fs::path log = dir / "xmllint.log";
  std::ofstream(file, std::ios::binary) << document.xml;
  const std::string command = "xmllint --noout --schema '" + schema_for(document.message == CamtMessage::Report, version).string() + "' '" +
                              file.string() + "' >'" + log.string() + "' 2>&1";
  const int status = std::system(command.c_str());
  std::string errors = status == 0 ? std::string() : read_file(log);
  fs::remove(file);
  return errors;
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

TEST(Camt, AccountIdentification) {
  const struct {
    std::string_view account;
    std::string_view expected;
  } kRows[] = {
      {"NL69INGB0123456789", "<Id><IBAN>NL69INGB0123456789</IBAN></Id><Ccy>EUR</Ccy>"},
      {"NL69INGB0123456789EUR", "<Id><IBAN>NL69INGB0123456789</IBAN></Id>"},
      {"NL50RABO0156750961 EUR", "<Id><IBAN>NL50RABO0156750961</IBAN></Id>"},
      {"NL69 INGB 0123 4567 89", "<Id><IBAN>NL69INGB0123456789</IBAN></Id>"},
      // The currency after it is not the statement's: not taken apart.
      {"NL69INGB0123456789USD", "<Othr><Id>NL69INGB0123456789USD</Id></Othr>"},
      {"NL68INGB0123456789", "<Othr><Id>NL68INGB0123456789</Id></Othr>"},
      {"45050050/76198810", "<Othr><Id>45050050/76198810</Id></Othr>"},
      {"12345678901234567890123456789012345", "<Othr><Id>1234567890123456789012345678901234</Id></Othr>"},
      {"A&B", "<Othr><Id>A&amp;B</Id></Othr>"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.account);
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(statement(row.account, "1", ""), v);
      ASSERT_EQ(c.error, "");
      EXPECT_TRUE(holds(c, row.expected)) << c.document.xml;
    }
  }
}

TEST(Camt, ServicerFromTheEnvelope) {
  const std::string body = statement("NL69INGB0123456789", "1", "");
  const std::string wrapped = "{1:F01CUSTNL2AXXXX0000000000}{2:O9401200240102INGBNL2AXXXX00000000002401021200N}{4:\n" +
                              body + "-}\n";
  for (const CamtVersion v : kVersions) {
    const std::string bic = v == CamtVersion::V02 ? "BIC" : "BICFI";
    EXPECT_TRUE(holds(convert(wrapped, v), "<Ccy>EUR</Ccy><Svcr><FinInstnId><" + bic + ">INGBNL2AXXX</" + bic + ">"));
    EXPECT_FALSE(holds(convert(body, v), "<Svcr>"));
  }
}

TEST(Camt, SequenceNumbers) {
  const struct {
    std::string_view number;
    std::string_view expected;  // empty: none written
  } kRows[] = {{"00012/1", "<ElctrncSeqNb>12</ElctrncSeqNb><LglSeqNb>12</LglSeqNb>"},
               {"0", "<ElctrncSeqNb>0</ElctrncSeqNb>"},
               {"A1/2", ""},
               {"1234567890123456789", ""}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.number);
    const Converted c = convert(statement("NL69INGB0123456789", row.number, ""), CamtVersion::V02);
    ASSERT_EQ(c.error, "");
    if (row.expected.empty()) {
      EXPECT_FALSE(holds(c, "SeqNb>"));
    } else {
      EXPECT_TRUE(holds(c, row.expected)) << c.document.xml;
    }
  }
}

TEST(Camt, Balances) {
  const std::string text =
      ":20:REF1\n:25:NL69INGB0123456789\n:28C:5/2\n:60M:D240101USD10,5\n"
      ":61:2401020102C20,50NTRFNONREF\n:62M:C240102USD10,00\n:64:C240102USD9,\n:65:C240103USD8,\n"
      ":65:C240104USD7,\n";
  for (const CamtVersion v : kVersions) {
    const Converted c = convert(text, v);
    ASSERT_EQ(c.error, "");
    for (const std::string_view fragment :
         {"<Cd>PRCD</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">10.50</Amt><CdtDbtInd>DBIT</CdtDbtInd><Dt><Dt>2024-01-01</Dt>",
          "<Cd>ITBD</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">10.00</Amt><CdtDbtInd>CRDT</CdtDbtInd>",
          "<Cd>CLAV</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">9.00</Amt>", "<Cd>FWAV</Cd>",
          "<Amt Ccy=\"USD\">20.50</Amt><CdtDbtInd>CRDT</CdtDbtInd>"}) {
      EXPECT_TRUE(holds(c, fragment)) << fragment << "\n" << c.document.xml;
    }
    EXPECT_EQ(c.document.xml.find("EUR"), std::string::npos);
    const std::string xml = strip_indent(c.document.xml);
    const std::size_t first = xml.find("<Cd>FWAV</Cd>");
    EXPECT_NE(xml.find("<Cd>FWAV</Cd>", first + 1), std::string::npos);  // one per :65:
  }
}

TEST(Camt, EntryMarksAndStatus) {
  const struct {
    std::string_view line;
    std::string_view indicator;
    bool reversal;
  } kRows[] = {{"D1,00", "DBIT", false},
               {"C1,00", "CRDT", false},
               {"RD1,00", "CRDT", true},
               {"RC1,00", "DBIT", true}};
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.line);
    const std::string lines = ":61:2401020102" + std::string(row.line) + "NTRFREF1//BANKREF7\n";
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(statement("NL69INGB0123456789", "1", lines), v);
      ASSERT_EQ(c.error, "");
      const std::string amount = "<Amt Ccy=\"EUR\">1.00</Amt><CdtDbtInd>" + std::string(row.indicator) + "</CdtDbtInd>";
      EXPECT_TRUE(holds(c, "</NtryRef>" + amount));
      EXPECT_EQ(holds(c, "<RvslInd>true</RvslInd>"), row.reversal);
      EXPECT_TRUE(holds(c, v == CamtVersion::V08 ? "<Sts><Cd>BOOK</Cd></Sts>" : "<Sts>BOOK</Sts>"));
      EXPECT_TRUE(holds(c, "<BookgDt><Dt>2024-01-02</Dt></BookgDt><ValDt><Dt>2024-01-02</Dt></ValDt>"
                           "<AcctSvcrRef>BANKREF7</AcctSvcrRef><BkTxCd><Prtry><Cd>NTRF</Cd><Issr>SWIFT</Issr>"));
      EXPECT_TRUE(holds(c, "<Refs><AcctSvcrRef>BANKREF7</AcctSvcrRef><EndToEndId>REF1</EndToEndId></Refs>"));
      // The transaction's own amount where the version has (or needs) it.
      EXPECT_EQ(holds(c, "</Refs>" + amount), v != CamtVersion::V02);
    }
  }
}

TEST(Camt, PartiesAndReferencesFromTheDetails) {
  const std::string lines =
      ":61:2401020102D1,00N005NONREF\n:86:105?00SEPA LASTSCHRIFT?20EREF+E2E-1?21MREF+M-1?22CRED+DE98ZZZ09999999999"
      "?23SVWZ+Beitrag?30NOLADE21KIE?31DE16512301000009876543?32Nordsee AG\n";
  for (const CamtVersion v : kVersions) {
    const Converted c = convert(statement("NL69INGB0123456789", "1", lines), v);
    ASSERT_EQ(c.error, "");
    const std::string pty = v == CamtVersion::V08 ? "<Pty>" : "";
    const std::string bic = v == CamtVersion::V02 ? "BIC" : "BICFI";
    for (const std::string& fragment :
         {std::string("<Refs><EndToEndId>E2E-1</EndToEndId><MndtId>M-1</MndtId></Refs>"),
          "<RltdPties><Cdtr>" + pty + "<Nm>Nordsee AG</Nm><Id><PrvtId><Othr><Id>DE98ZZZ09999999999</Id>"
          "<SchmeNm><Prtry>SEPA</Prtry></SchmeNm></Othr></PrvtId></Id>",
          std::string("<CdtrAcct><Id><IBAN>DE16512301000009876543</IBAN></Id></CdtrAcct></RltdPties>"),
          "<RltdAgts><CdtrAgt><FinInstnId><" + bic + ">NOLADE21KIE</" + bic + ">",
          std::string("<Ustrd>Beitrag</Ustrd>"), std::string("<AddtlNtryInf>GVC 105</AddtlNtryInf>")}) {
      EXPECT_TRUE(holds(c, fragment)) << fragment << "\n" << c.document.xml;
    }
  }
}

// An account that is no IBAN (a German account number in ?31, an IBAN whose check digits
// fail) is written as the bank wrote it, under Othr, never as an IBAN.
TEST(Camt, CounterAccountsThatAreNoIbanAreOther) {
  for (const std::string_view account : {"0009876543", "DE17512301000009876543"}) {
    const std::string lines = ":61:2401020102C1,00N051NONREF\n:86:166?00GUTSCHRIFT?20SVWZ+Miete?30NOLADE21KIE?31" +
                              std::string(account) + "?32Nordsee AG\n";
    const Converted c = convert(statement("NL69INGB0123456789", "1", lines));
    ASSERT_EQ(c.error, "") << account;
    EXPECT_TRUE(holds(c, "<DbtrAcct><Id><Othr><Id>" + std::string(account) + "</Id></Othr></Id></DbtrAcct>"))
        << c.document.xml;
    EXPECT_FALSE(holds(c, "<IBAN>" + std::string(account))) << c.document.xml;
  }
}

TEST(Camt, TextsAreCutSplitAndCleaned) {
  const std::string lines = ":61:2401020102D1,00NTRFNONREF\n:86:" + std::string(300, 'x') + "\n";
  for (const CamtVersion v : kVersions) {
    const Converted c = convert(statement("NL69INGB0123456789", "1", lines), v);
    ASSERT_EQ(c.error, "");
    EXPECT_FALSE(holds(c, "EndToEndId"));  // NONREF is no reference
    EXPECT_TRUE(holds(c, "<RmtInf><Ustrd>" + std::string(140, 'x') + "</Ustrd><Ustrd>" + std::string(140, 'x') +
                             "</Ustrd><Ustrd>" + std::string(20, 'x') + "</Ustrd></RmtInf>"))
        << c.document.xml;
  }
  // The reading takes control bytes out of files; statements built otherwise may hold them.
  auto file = read_bank_file(statement("NL69INGB0123456789", "1", ""), BankFileOptions{});
  ASSERT_TRUE(file);
  Statement s = file->statements[0];
  s.transaction_reference = "R\x01" "1<";
  const std::string long_text = std::string(499, 'y') + "\xC3\xA4" "zz";
  s.information_to_account_owner = long_text;
  for (const CamtVersion v : kVersions) {
    auto document = export_camt(std::span(&s, 1), CamtOptions{v, kCreated});
    ASSERT_TRUE(document);
    EXPECT_EQ(schema_errors(*document, v), "");
    const std::string xml = strip_indent(document->xml);
    EXPECT_NE(xml.find("<Id>R\xEF\xBF\xBD" "1&lt;</Id>"), std::string::npos) << xml;
    // Cut after 500 characters, not bytes, and never inside one.
    EXPECT_NE(xml.find("<AddtlStmtInf>" + std::string(499, 'y') + "\xC3\xA4</AddtlStmtInf>"), std::string::npos);
  }
}

TEST(Camt, SameInputSameBytesOtherInputOtherId) {
  const std::string a = statement("NL69INGB0123456789", "1", ":61:2401020102D1,00NTRFNONREF\n");
  const std::string b = statement("NL69INGB0123456789", "1", ":61:2401020102D2,00NTRFNONREF\n");
  const Converted first = convert(a);
  EXPECT_EQ(first.document.xml, convert(a).document.xml);
  auto message_id = [](const Converted& c) {
    const std::size_t at = c.document.xml.find("<MsgId>");
    return c.document.xml.substr(at, c.document.xml.find("</MsgId>") - at);
  };
  EXPECT_NE(message_id(first), message_id(convert(b)));
  EXPECT_NE(message_id(first), message_id(convert(a, CamtVersion::V06)));
  const Converted later = convert(a, CamtVersion::V08, kCreated + 61);
  EXPECT_TRUE(holds(later, "<CreDtTm>2026-01-01T00:01:01Z</CreDtTm>"));
  EXPECT_NE(message_id(first), message_id(later));
}

TEST(Camt, StatementsThatCannotBeValidAreLeftOut) {
  // Six decimals that are not zeros: no camt amount holds them.
  const std::string bad = ":20:BAD\n:25:X\n:28C:1\n:60F:C240101EUR1,123456\n:62F:C240102EUR1,123456\n";
  const std::string good = statement("NL69INGB0123456789", "1", "");
  const Converted both = convert(bad + good);
  ASSERT_EQ(both.error, "");
  ASSERT_EQ(both.document.warnings.size(), 1u);
  EXPECT_NE(both.document.warnings[0].find("statement 'BAD' left out"), std::string::npos);
  EXPECT_FALSE(holds(both, "<Id>BAD</Id>"));
  EXPECT_NE(convert(bad).error.find("nothing can be written"), std::string::npos);
  // Zeros past the fifth decimal are no digits of the value.
  const std::string zeros = ":20:Z\n:25:X\n:28C:1\n:60F:C240101EUR1,1000000\n:62F:C240102EUR1,1000000\n";
  EXPECT_TRUE(holds(convert(zeros), "<Amt Ccy=\"EUR\">1.10</Amt>"));
}

TEST(Camt, MixedKindsAreRefused) {
  auto file = read_bank_file(statement("NL69INGB0123456789", "1", ""), BankFileOptions{});
  ASSERT_TRUE(file);
  std::vector<Statement> statements{file->statements[0], file->statements[0]};
  statements[1].kind = StatementKind::InterimReport;
  auto document = export_camt(statements, CamtOptions{});
  ASSERT_FALSE(document);
  EXPECT_NE(message(document.error()).find("mixes"), std::string::npos);
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

// Every example and every corpus file the bank-file reading reads, in every version.
std::size_t validate_every_readable_file(const fs::path& root) {
  std::size_t validated = 0;
  for (const auto& data : test::data_files(root)) {
    auto file = read_bank_file(read_file(data.path), BankFileOptions{});
    // Incomplete statements are left out of camt; a file of nothing else has none to write.
    if (!file || std::none_of(file->statements.begin(), file->statements.end(),
                              [](const Statement& s) { return s.complete; })) {
      continue;
    }
    for (const CamtVersion v : kVersions) {
      SCOPED_TRACE(data.name + " version " + std::string(camt_version_name(v)));
      auto document = export_camt(file->statements, CamtOptions{v, kCreated});
      EXPECT_TRUE(document) << message(document.error());
      if (!document) continue;
      EXPECT_EQ(schema_errors(*document, v), "");
      ++validated;
    }
  }
  return validated;
}

TEST(Camt, EveryReadableFileValidates) {
  if (!have_xmllint()) GTEST_SKIP() << "xmllint is not installed (Debian: libxml2-utils)";
  EXPECT_GT(validate_every_readable_file(TALLYFOLD_EXAMPLES_DIR), 0u);
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  EXPECT_GT(validate_every_readable_file(corpus), 0u);
}

}  // namespace
}  // namespace tallyfold
