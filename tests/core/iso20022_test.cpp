#include "tallyfold/iso20022.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <string>

#include "tallyfold/bankfile.hpp"
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

// The texts of every `element` in the document, in order.
std::vector<std::string> texts_of(const Converted& c, const std::string& element) {
  std::vector<std::string> texts;
  const std::string open = "<" + element + ">";
  for (std::size_t at = 0; (at = c.document.xml.find(open, at)) != std::string::npos;) {
    at += open.size();
    texts.push_back(c.document.xml.substr(at, c.document.xml.find("</" + element + ">", at) - at));
  }
  return texts;
}

// `fragment` with "{BIC}" as the version names the BIC element.
std::string for_version(std::string fragment, CamtVersion v) {
  const std::string bic = v == CamtVersion::V02 ? "BIC" : "BICFI";
  for (std::size_t at; (at = fragment.find("{BIC}")) != std::string::npos;) fragment.replace(at, 5, bic);
  return fragment;
}

TEST(Camt, AccountAloneWithItsServicerAndCurrency) {
  const struct {
    std::string_view account;
    std::string_view currency;
    std::string_view expected;
  } kRows[] = {
      {"NL69INGB0123456789", "EUR", "<Id><IBAN>NL69INGB0123456789</IBAN></Id><Ccy>EUR</Ccy></Acct>"},
      {"NL69INGB0123456789EUR", "EUR", "<Id><IBAN>NL69INGB0123456789</IBAN></Id>"},
      {"NL50RABO0156750961 EUR", "EUR", "<Id><IBAN>NL50RABO0156750961</IBAN></Id>"},
      {"NL69 INGB 0123 4567 89", "EUR", "<Id><IBAN>NL69INGB0123456789</IBAN></Id>"},
      {"NL69INGB0123456789USD", "EUR", "<Id><IBAN>NL69INGB0123456789</IBAN></Id>"},
      {"INGBNL2A/NL69INGB0123456789", "EUR",
       "<IBAN>NL69INGB0123456789</IBAN></Id><Ccy>EUR</Ccy><Svcr><FinInstnId><{BIC}>INGBNL2A</{BIC}>"},
      {"NL68INGB0123456789", "EUR", "<Othr><Id>NL68INGB0123456789</Id></Othr>"},
      {"DABADKKK/1234567890", "DKK",
       "<Othr><Id>1234567890</Id></Othr></Id><Ccy>DKK</Ccy><Svcr><FinInstnId><{BIC}>DABADKKK</{BIC}>"},
      {"50880050/0194787400888", "EUR",
       "<Othr><Id>0194787400888</Id></Othr></Id><Ccy>EUR</Ccy><Svcr><FinInstnId><ClrSysMmbId><ClrSysId><Cd>DEBLZ</Cd>"
       "</ClrSysId><MmbId>50880050</MmbId></ClrSysMmbId></FinInstnId></Svcr>"},
      {"1700.59.308JPY", "JPY", "<Othr><Id>1700.59.308</Id></Othr></Id><Ccy>JPY</Ccy></Acct>"},
      {"1291.99.348EUR", "EUR", "<Othr><Id>1291.99.348</Id></Othr>"},
      {"0012/345678/HUF", "HUF", "<Othr><Id>345678</Id></Othr></Id><Ccy>HUF</Ccy><Svcr><FinInstnId><ClrSysMmbId>"
                                 "<MmbId>0012</MmbId></ClrSysMmbId>"},
      {"Nordbank/123", "EUR", "<Svcr><FinInstnId><Nm>Nordbank</Nm></FinInstnId></Svcr>"},
      {"12345678901234567890123456789012345", "EUR", "<Othr><Id>1234567890123456789012345678901234</Id></Othr>"},
      {"A&B", "EUR", "<Othr><Id>A&amp;B</Id></Othr>"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.account);
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(statement(row.account, "1", "", row.currency), v);
      ASSERT_EQ(c.error, "");
      EXPECT_TRUE(holds(c, for_version(std::string(row.expected), v))) << c.document.xml;
    }
  }
}

// The envelope's sender is the servicer where :25: names none, and the time it sent the
// message is the statement's own time; an interim report's :13D: with its zone comes first.
TEST(Camt, ServicerAndTimeFromTheEnvelope) {
  const std::string body = statement("NL69INGB0123456789", "1", "");
  const std::string report = ":20:REP\n:25:NL69INGB0123456789\n:28C:1\n:34F:EURD1,\n:13D:2401031015+0100\n"
                             ":61:2401020102D1,00NTRFNONREF\n";
  const auto wrapped = [](std::string_view header, std::string_view text) {
    return "{1:F01CUSTNL2AXXXX0000000000}{2:" + std::string(header) + "}{4:\n" + std::string(text) + "-}\n";
  };
  const struct {
    std::string text;
    std::string_view servicer;  // empty: no Svcr
    std::string_view created;
  } kRows[] = {
      {wrapped("O9401532240102INGBNL2AXXXX00000000002401021600N", body), "INGBNL2AXXX", "2024-01-02T15:32:00Z"},
      {wrapped("O9402400240102INGBNL2AXXXX00000000002401021600N", body), "INGBNL2AXXX", "2024-01-02T23:59:59Z"},
      {wrapped("O9401532240230INGBNL2AXXXX00000000002401021600N", body), "INGBNL2AXXX", "2024-01-02T23:59:59Z"},
      {wrapped("O94000000000000000000000000000000000000000N", body), "", "2024-01-02T23:59:59Z"},
      {wrapped("O940ASNBNL21XXXXN", body), "", "2024-01-02T23:59:59Z"},
      {body, "", "2024-01-02T23:59:59Z"},
      {wrapped("O9420830240103INGBNL2AXXXX00000000002401030900N", report), "INGBNL2AXXX", "2024-01-03T10:15:00+01:00"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(row.text, v);
      ASSERT_EQ(c.error, "");
      EXPECT_TRUE(holds(c, "<CreDtTm>" + std::string(row.created) + "</CreDtTm><FrToDt>")) << c.document.xml;
      if (row.servicer.empty()) {
        EXPECT_FALSE(holds(c, "<Svcr>"));
      } else {
        EXPECT_TRUE(holds(c, for_version("<Svcr><FinInstnId><{BIC}>" + std::string(row.servicer) + "</{BIC}>", v)));
      }
    }
  }
}

// Number, page and dates of a statement: what :28C: and the balances say, never the
// time of conversion, and nothing where they say nothing.
TEST(Camt, StatementNumberPageAndDates) {
  const struct {
    std::string_view number;
    std::string_view closing;  // :62F: or :62M:
    std::string_view expected_02;
    std::string_view expected_08;  // the same in .06
  } kRows[] = {
      {"00215/00129", ":62F:", "<Id>REF1</Id><ElctrncSeqNb>215</ElctrncSeqNb><LglSeqNb>215</LglSeqNb><CreDtTm>",
       "<Id>REF1</Id><StmtPgntn><PgNb>129</PgNb><LastPgInd>true</LastPgInd></StmtPgntn><ElctrncSeqNb>215</ElctrncSeqNb>"},
      {"7/2", ":62M:", "<LglSeqNb>7</LglSeqNb>", "<PgNb>2</PgNb><LastPgInd>false</LastPgInd>"},
      {"0", ":62F:", "<Id>REF1</Id><CreDtTm>", "<Id>REF1</Id><CreDtTm>"},
      {"A1/2", ":62F:", "<Id>REF1</Id><CreDtTm>", "<LastPgInd>true</LastPgInd></StmtPgntn><CreDtTm>"},
      {"1234567890123456789", ":62F:", "<Id>REF1</Id><CreDtTm>", "<Id>REF1</Id><CreDtTm>"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.number);
    const std::string text = ":20:REF1\n:25:NL69INGB0123456789\n:28C:" + std::string(row.number) +
                             "\n:60F:C240101EUR1,00\n" + std::string(row.closing) + "C240103EUR1,00\n";
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(text, v);
      ASSERT_EQ(c.error, "");
      EXPECT_TRUE(holds(c, v == CamtVersion::V02 ? row.expected_02 : row.expected_08)) << c.document.xml;
      EXPECT_TRUE(holds(c, "<CreDtTm>2024-01-03T23:59:59Z</CreDtTm><FrToDt><FrDtTm>2024-01-01T00:00:00Z</FrDtTm>"
                           "<ToDtTm>2024-01-03T23:59:59Z</ToDtTm></FrToDt><Acct>"));
    }
  }
}

TEST(Camt, StatementIdsAreUniqueInTheirDocument) {
  const std::string a = statement("NL69INGB0123456789", "3996/1", "");
  const std::string b = statement("NL69INGB0123456789", "3996/2", "");
  const std::string c = statement("NL69INGB0123456789", "3996/2", "");
  const std::string other = ":20:OTHER\n:25:X\n:28C:1\n:60F:C240101EUR1,\n:62F:C240102EUR1,\n";
  const Converted doc = convert(a + b + c + other);
  ASSERT_EQ(doc.error, "");
  for (const std::string_view id : {"<Id>REF1-3996-1</Id>", "<Id>REF1-3996-2</Id>", "<Id>REF1-3996-2-2</Id>",
                                    "<Id>OTHER</Id>"}) {
    EXPECT_TRUE(holds(doc, id)) << id << "\n" << doc.document.xml;
  }
  // Cut to leave room for the number, never longer than 35 characters.
  const std::string long_ref = std::string(40, 'R');
  const std::string twice = ":20:" + long_ref + "\n:25:X\n:28C:12/3\n:60F:C240101EUR1,\n:62F:C240102EUR1,\n";
  EXPECT_TRUE(holds(convert(twice + twice), "<Id>" + std::string(30, 'R') + "-12-3</Id>"));
}

TEST(Camt, BalancesAndAmountsInTheMinorUnitsOfTheirCurrency) {
  const struct {
    std::string_view text;
    std::vector<std::string_view> fragments;
    std::size_t warnings;
  } kRows[] = {
      {":20:R\n:25:X\n:28C:5/2\n:60M:D240101USD10,5\n:61:2401020102C20,50NTRFNONREF\n:62M:C240102USD10,00\n"
       ":64:C240102USD9,\n:65:C240103USD8,\n:65:C240104USD7,\n",
       {"<Cd>ITBD</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">10.50</Amt><CdtDbtInd>DBIT</CdtDbtInd><Dt><Dt>2024-01-01</Dt>",
        "<Cd>ITBD</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">10.00</Amt><CdtDbtInd>CRDT</CdtDbtInd><Dt><Dt>2024-01-02</Dt>",
        "<Cd>CLAV</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">9.00</Amt>",
        "<Cd>FWAV</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">8.00</Amt>",
        "<Cd>FWAV</Cd></CdOrPrtry></Tp><Amt Ccy=\"USD\">7.00</Amt>",
        "<Amt Ccy=\"USD\">20.50</Amt><CdtDbtInd>CRDT</CdtDbtInd>"},
       0},
      {":20:R\n:25:X\n:28C:1\n:60F:C240101JPY115351,00\n:61:2401020102D1,NMSCNONREF\n:62F:C240102JPY115350,\n",
       {"<Cd>OPBD</Cd></CdOrPrtry></Tp><Amt Ccy=\"JPY\">115351</Amt>",
        "<Cd>CLBD</Cd></CdOrPrtry></Tp><Amt Ccy=\"JPY\">115350</Amt>", "<Amt Ccy=\"JPY\">1</Amt>"},
       0},
      {":20:R\n:25:X\n:28C:1\n:60F:C240101BHD1,5\n:62F:C240102BHD1,25\n",
       {"<Amt Ccy=\"BHD\">1.500</Amt>", "<Amt Ccy=\"BHD\">1.250</Amt>"}, 0},
      // Decimals the currency has not: written as they are, and said.
      {":20:R\n:25:X\n:28C:1\n:60F:C240101JPY1,5\n:62F:C240102JPY1,5\n", {"<Amt Ccy=\"JPY\">1.5</Amt>"}, 2},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(row.text, v);
      ASSERT_EQ(c.error, "");
      for (const std::string_view fragment : row.fragments) EXPECT_TRUE(holds(c, fragment)) << fragment << "\n" << c.document.xml;
      ASSERT_EQ(c.document.warnings.size(), row.warnings);
      if (row.warnings > 0) {
        EXPECT_EQ(c.document.warnings[0], "statement 'R': 1.50 JPY has more decimals than JPY's 0; written unrounded");
      }
    }
  }
}

TEST(Camt, EntryMarksStatusAndReferences) {
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
                           "<AcctSvcrRef>BANKREF7</AcctSvcrRef><BkTxCd>"));
      // The owner's reference is no end-to-end reference.
      EXPECT_TRUE(holds(c, v == CamtVersion::V02
                               ? "<Refs><AcctSvcrRef>BANKREF7</AcctSvcrRef><InstrId>REF1</InstrId></Refs>"
                               : "<Refs><AcctSvcrRef>BANKREF7</AcctSvcrRef><InstrId>REF1</InstrId>"
                                 "<AcctOwnrTxId>REF1</AcctOwnrTxId></Refs>" + amount));
    }
  }
}

TEST(Camt, DetailsMappedElementByElement) {
  const struct {
    std::string_view lines;
    std::vector<std::string_view> present;  // in every version; "{BIC}" and "{PTY}" as the version names them
    std::vector<std::string_view> absent;
  } kRows[] = {
      // German SEPA direct debit: references, creditor, codes, posting text.
      {":61:2401020102D1,00N005NONREF//NONREF\n:86:105?00SEPA LASTSCHRIFT?109310?20EREF+E2E-1?21MREF+M-1"
       "?22CRED+DE98ZZZ09999999999?23KREF+K-7?24SVWZ+Beitrag?30NOLADE21KIE?31DE16512301000009876543?32Nordsee AG\n",
       {"<BkTxCd><Domn><Cd>PMNT</Cd><Fmly><Cd>IDDT</Cd><SubFmlyCd>ESDD</SubFmlyCd></Fmly></Domn>"
        "<Prtry><Cd>N005+105+9310</Cd><Issr>DK</Issr></Prtry></BkTxCd>",
        "<Refs><PmtInfId>K-7</PmtInfId><EndToEndId>E2E-1</EndToEndId><MndtId>M-1</MndtId></Refs>",
        "<RltdPties><Cdtr>{PTY}<Nm>Nordsee AG</Nm><Id><PrvtId><Othr><Id>DE98ZZZ09999999999</Id>"
        "<SchmeNm><Prtry>SEPA</Prtry></SchmeNm></Othr></PrvtId></Id>",
        "<CdtrAcct><Id><IBAN>DE16512301000009876543</IBAN></Id></CdtrAcct></RltdPties>",
        "<RltdAgts><CdtrAgt><FinInstnId><{BIC}>NOLADE21KIE</{BIC}>", "<RmtInf><Ustrd>Beitrag</Ustrd></RmtInf>",
        "<AddtlNtryInf>SEPA LASTSCHRIFT</AddtlNtryInf>"},
       {"AcctSvcrRef", "InstrId", "NONREF"}},
      // A returned direct debit: the German return key, which no published mapping makes ISO.
      {":61:2401020102D1,00NRTINONREF\n:86:109?00RETOURE?20SVWZ+Miete?34901\n",
       {"<SubFmlyCd>UPDD</SubFmlyCd>", "<RtrInf><Rsn><Prtry>901</Prtry></Rsn></RtrInf>"}, {}},
      // Another code extension is no return reason. An account that is no IBAN (a German
      // account number, an IBAN whose check digits fail) is written as the bank wrote it.
      {":61:2401020102C1,00N051NONREF\n:86:166?00GUTSCHRIFT?20SVWZ+Miete?34997?30NOLADE21KIE?310009876543"
       "?32Nordsee AG\n",
       {"<Domn><Cd>PMNT</Cd><Fmly><Cd>RCDT</Cd><SubFmlyCd>ESCT</SubFmlyCd>", "<Prtry><Cd>N051+166</Cd>",
        "<DbtrAcct><Id><Othr><Id>0009876543</Id></Othr></Id></DbtrAcct>"},
       {"RtrInf", "<IBAN>"}},
      {":61:2401020102C1,00N051NONREF\n:86:166?00GUTSCHRIFT?31DE17512301000009876543?32Nordsee AG\n",
       {"<DbtrAcct><Id><Othr><Id>DE17512301000009876543</Id></Othr></Id></DbtrAcct>"}, {"<IBAN>"}},
      // Slash segments: return reason, purpose, ultimate parties, structured reference, town.
      {":61:2401020102C1,00NTRFNONREF\n:86:/RTRN/MS03//PURP/SALA//ULTD/Ultimo Debit//ULTC/Ultimo Credit"
       "//CNTP/NL69INGB0123456789/INGBNL2A/Jan Jansen/Utrecht//REMI/STRD/CUR/1234567890123456/\n",
       {"<BkTxCd><Domn><Cd>PMNT</Cd><Fmly><Cd>RCDT</Cd><SubFmlyCd>OTHR</SubFmlyCd></Fmly></Domn>"
        "<Prtry><Cd>NTRF</Cd><Issr>SWIFT</Issr></Prtry></BkTxCd>",
        "<Dbtr>{PTY}<Nm>Jan Jansen</Nm><PstlAdr><TwnNm>Utrecht</TwnNm></PstlAdr>",
        "<UltmtDbtr>{PTY}<Nm>Ultimo Debit</Nm>", "<UltmtCdtr>{PTY}<Nm>Ultimo Credit</Nm>",
        "<Purp><Cd>SALA</Cd></Purp><RmtInf><Strd><CdtrRefInf><Tp><CdOrPrtry><Cd>SCOR</Cd></CdOrPrtry><Issr>CUR</Issr>"
        "</Tp><Ref>1234567890123456</Ref></CdtrRefInf></Strd></RmtInf><RtrInf><Rsn><Cd>MS03</Cd></Rsn></RtrInf>"},
       {"Ustrd"}},
      // Postal addresses: the single-slash layout as Dutch banks write it, the address cut
      // over lines by the bank; slash segments with a town as well.
      {":61:2401020102C1,00NTRFNONREF\n:86:/EREF/1407220203722001/ORDP//NAME/COMPANY B V/ADDR/STATIONSSTRAA\n"
       "T 79 3811 MH AMERSFOORT NL/REMI/Invoice 7\n",
       {"<Dbtr>{PTY}<Nm>COMPANY B V</Nm><PstlAdr><AdrLine>STATIONSSTRAAT 79 3811 MH AMERSFOORT NL</AdrLine>"
        "</PstlAdr>"},
       {"TwnNm"}},
      {":61:2401020102D1,00NTRFNONREF\n:86:/ADDR/Domplein 29 3512 JE//CNTP/NL69INGB0123456789/INGBNL2A/Jan Jansen/"
       "Utrecht//REMI/USTD//Huur/\n",
       {"<Cdtr>{PTY}<Nm>Jan Jansen</Nm><PstlAdr><TwnNm>Utrecht</TwnNm><AdrLine>Domplein 29 3512 JE</AdrLine>"
        "</PstlAdr>",
        "<Ustrd>Huur</Ustrd>"},
       {}},
      // An address without a name is no party.
      {":61:2401020102D1,00NTRFNONREF\n:86:/ADDR/Domplein 29//REMI/USTD//Huur/\n", {"<Ustrd>Huur</Ustrd>"},
       {"PstlAdr", "Cdtr"}},
      // An ISO 11649 reference in the text is written as a reference too; an unknown type
      // falls back to the documented domain.
      {":61:2401020102D1,00NXYZNONREF\n:86:Factuur RF18539007547034 dank\n",
       {"<Domn><Cd>XTND</Cd><Fmly><Cd>NTAV</Cd><SubFmlyCd>NTAV</SubFmlyCd></Fmly></Domn><Prtry><Cd>NXYZ</Cd>",
        "<RmtInf><Ustrd>Factuur RF18539007547034 dank</Ustrd><Strd><CdtrRefInf><Tp><CdOrPrtry><Cd>SCOR</Cd>"
        "</CdOrPrtry><Issr>ISO</Issr></Tp><Ref>RF18539007547034</Ref>"},
       {}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.lines);
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(statement("NL69INGB0123456789", "1", row.lines), v);
      ASSERT_EQ(c.error, "");
      for (const std::string_view fragment : row.present) {
        std::string f = for_version(std::string(fragment), v);
        for (std::size_t at; (at = f.find("{PTY}")) != std::string::npos;) f.replace(at, 5, v == CamtVersion::V08 ? "<Pty>" : "");
        EXPECT_TRUE(holds(c, f)) << f << "\n" << c.document.xml;
      }
      const std::string xml = strip_indent(c.document.xml);
      const std::string entry = xml.substr(xml.find("<Ntry>"));
      for (const std::string_view fragment : row.absent) EXPECT_EQ(entry.find(fragment), std::string::npos) << fragment;
    }
  }
}

// The purpose in pieces of at most 140 characters split at a blank, which readers put
// back: joined with one blank, the pieces are the purpose again.
TEST(Camt, RemittanceSplitsAtBlanksOnly) {
  const std::string words = "BETALINGSKENM.: 1234567890098876 " + std::string(100, 'w') + " " + std::string(30, 'v') +
                            " end";
  const std::string long_word = std::string(300, 'x');
  for (const std::string& purpose : {words, long_word, std::string("one") + "\t" + "two"}) {
    const std::string lines = ":61:2401020102D1,00NTRFNONREF\n:86:" + purpose + "\n";
    const Converted c = convert(statement("NL69INGB0123456789", "1", lines));
    ASSERT_EQ(c.error, "");
    const std::vector<std::string> pieces = texts_of(c, "Ustrd");
    // A word longer than 140 characters is the one thing split without a blank.
    std::string joined;
    for (const std::string& piece : pieces) {
      EXPECT_LE(piece.size(), 140u);
      if (!joined.empty() && purpose != long_word) joined += ' ';
      joined += piece;
    }
    std::string expected = purpose;
    std::replace(expected.begin(), expected.end(), '\t', ' ');
    EXPECT_EQ(joined, expected);
    if (purpose == words) {
      EXPECT_EQ(pieces.size(), 2u);
    }
    if (purpose == long_word) {
      EXPECT_EQ(pieces.size(), 3u);
    }
  }
}

// An address in lines of at most 70 characters split at blanks, at most seven of them;
// what is left beyond them is named in a warning.
TEST(Camt, AddressLinesSplitAtBlanks) {
  std::string seven_lines(70, 'a');
  for (char c = 'b'; c < 'h'; ++c) seven_lines += " " + std::string(70, c);
  const struct {
    std::string address;
    std::size_t lines;
    bool warned;
  } kRows[] = {
      {std::string(60, 'a') + " " + std::string(20, 'b'), 2, false},
      {std::string(70, 'a') + " b", 2, false},
      {std::string(75, 'a'), 2, false},
      {seven_lines + " Rest of it", 7, true},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.address);
    const std::string lines = ":61:2401020102C1,00NTRFNONREF\n:86:/CNTP/NL69INGB0123456789/INGBNL2A/Jan/Utrecht//ADDR/" +
                              row.address + "//REMI/USTD//x/\n";
    for (const CamtVersion v : kVersions) {
      const Converted c = convert(statement("NL69INGB0123456789", "1", lines), v);
      ASSERT_EQ(c.error, "");
      const std::vector<std::string> pieces = texts_of(c, "AdrLine");
      ASSERT_EQ(pieces.size(), row.lines) << c.document.xml;
      std::string joined;
      for (const std::string& piece : pieces) {
        EXPECT_LE(piece.size(), 70u);
        if (!joined.empty() && row.address.find(' ') != std::string::npos) joined += ' ';
        joined += piece;
      }
      EXPECT_EQ(row.warned, !c.document.warnings.empty());
      if (row.warned) {
        EXPECT_NE(c.document.warnings[0].find("'Rest of it' left out"), std::string::npos) << c.document.warnings[0];
        EXPECT_EQ(joined + " Rest of it", row.address);
      } else {
        EXPECT_EQ(joined, row.address);
      }
    }
  }
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

// Pre-noted items are pending only in an interim report; a statement's entries are booked.
TEST(Camt, PendingEntriesOfInterimReports) {
  const std::string report = ":20:REP\n:25:NL69INGB0123456789\n:28C:1\n:34F:EURD1,\n:61:2401020102D1,00NTRFNONREF\n";
  const std::string booked = statement("NL69INGB0123456789", "1", ":61:2401020102D1,00NTRFNONREF\n");
  for (const CamtVersion v : kVersions) {
    const std::string pending = v == CamtVersion::V08 ? "<Sts><Cd>PDNG</Cd></Sts>" : "<Sts>PDNG</Sts>";
    for (const auto& [text, expected] : {std::pair{report, true}, std::pair{booked, false}}) {
      auto file = read_bank_file(text, BankFileOptions{});
      ASSERT_TRUE(file);
      auto document = export_camt(file->statements, CamtOptions{v, kCreated, CamtEntryStatus::Pending});
      ASSERT_TRUE(document);
      EXPECT_EQ(strip_indent(document->xml).find(pending) != std::string::npos, expected) << document->xml;
      EXPECT_EQ(schema_errors(*document, v), "");
    }
  }
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
