// The camt reading: refusals, the rules of the mapping on small documents, every file
// of the camt corpus pinned, and the round trip MT940 -> camt -> model over the MT
// corpus.
//
// After a deliberate change, rewrite the corpus table with
//   TALLYFOLD_REGENERATE=1 build/dev/tests/core/camt_reading_test
// and say in the commit why the rows changed.
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <tuple>

#include <gtest/gtest.h>

#include "support/shared_data.hpp"
#include "tallyfold/bank_details.hpp"
#include "tallyfold/camt.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/iso20022.hpp"
#include "tallyfold/read.hpp"
#include "tallyfold/reconcile.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

using test::read_bytes;

std::string wrap(std::string_view version, std::string_view statement) {
  return "<?xml version=\"1.0\"?>\n<Document xmlns=\"urn:iso:std:iso:20022:tech:xsd:camt.053.001." +
         std::string(version) + "\">\n<BkToCstmrStmt><GrpHdr><MsgId>M</MsgId><CreDtTm>2024-01-31T10:00:00</CreDtTm></GrpHdr>\n" +
         std::string(statement) + "</BkToCstmrStmt></Document>\n";
}

std::string balance(std::string_view code, std::string_view amount, std::string_view mark = "CRDT",
                    std::string_view date = "2024-01-31") {
  return "<Bal><Tp><CdOrPrtry><Cd>" + std::string(code) + "</Cd></CdOrPrtry></Tp><Amt Ccy=\"EUR\">" +
         std::string(amount) + "</Amt><CdtDbtInd>" + std::string(mark) + "</CdtDbtInd><Dt><Dt>" +
         std::string(date) + "</Dt></Dt></Bal>";
}

constexpr std::string_view kAccount = "<Id>S1</Id><Acct><Id><IBAN>DE89370400440532013000</IBAN></Id><Ccy>EUR</Ccy></Acct>";

struct Refusal {
  const char* name;
  std::string document;
  const char* message;  // a part of the error's text
  std::size_t line;
};

class Refused : public testing::TestWithParam<Refusal> {};

TEST_P(Refused, WithItsReasonAndLine) {
  const auto read = read_camt(GetParam().document);
  ASSERT_FALSE(read) << GetParam().name;
  EXPECT_NE(message(read.error()).find(GetParam().message), std::string::npos) << message(read.error());
  EXPECT_EQ(read.error().line, GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Camt, Refused,
    testing::Values(
        Refusal{"external_entity",
                "<?xml version=\"1.0\"?>\n<!DOCTYPE d [<!ENTITY x SYSTEM \"file:///etc/passwd\">]>\n"
                "<Document><BkToCstmrStmt><Stmt><Id>&x;</Id></Stmt></BkToCstmrStmt></Document>",
                "DOCTYPE", 2},
        Refusal{"billion_laughs",
                "<?xml version=\"1.0\"?>\n<!DOCTYPE lolz [\n<!ENTITY lol \"lol\">\n"
                "<!ENTITY lol2 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">\n"
                "<!ENTITY lol3 \"&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;\">]>\n"
                "<Document><BkToCstmrStmt><Stmt><Id>&lol3;</Id></Stmt></BkToCstmrStmt></Document>",
                "DOCTYPE", 2},
        Refusal{"parameter_entity",
                "<!DOCTYPE d [<!ENTITY % p SYSTEM \"http://example.invalid/x.dtd\"> %p;]>\n<Document/>",
                "DOCTYPE", 1},
        Refusal{"not_well_formed", "<Document>\n<BkToCstmrStmt>\n</Document>", "not well-formed XML", 3},
        Refusal{"empty_document", "<Document xmlns=\"urn:iso:std:iso:20022:tech:xsd:camt.053.001.02\"/>",
                "empty camt Document", 1},
        Refusal{"other_xml", "<html>\n<body/></html>", "no camt statement, report or notification", 1},
        Refusal{"message_without_statement", wrap("02", ""), "camt.053 message without any Stmt", 3}),
    [](const auto& info) { return std::string(info.param.name); });

// Which balances become the opening and closing ones, and which are intermediate.
struct BalanceCase {
  const char* name;
  std::string balances;
  const char* opening;  // signed amount, or "" for none
  const char* closing;
  bool opening_intermediate;
  bool closing_intermediate;
};

class Balances : public testing::TestWithParam<BalanceCase> {};

TEST_P(Balances, AreChosenByType) {
  const BalanceCase& c = GetParam();
  const auto read = read_camt(wrap("08", "<Stmt>" + std::string(kAccount) + c.balances + "</Stmt>"));
  ASSERT_TRUE(read) << message(read.error());
  const Statement& s = read->statements.at(0);
  EXPECT_EQ(s.opening_balance_given ? s.opening_balance.signed_amount().to_string() : "", c.opening);
  EXPECT_EQ(s.closing_balance_given ? s.closing_balance.signed_amount().to_string() : "", c.closing);
  EXPECT_EQ(s.opening_balance.intermediate, c.opening_intermediate);
  EXPECT_EQ(s.closing_balance.intermediate, c.closing_intermediate);
  EXPECT_EQ(s.complete, *c.opening && *c.closing);
}

INSTANTIATE_TEST_SUITE_P(
    Camt, Balances,
    testing::Values(
        BalanceCase{"booked", balance("CLBD", "2.00") + balance("OPBD", "1.00", "DBIT"), "-1.00", "2.00", false, false},
        BalanceCase{"previous_closing", balance("PRCD", "1.00") + balance("CLBD", "1.00"), "1.00", "1.00", false, false},
        BalanceCase{"two_interim", balance("ITBD", "1") + balance("ITBD", "2") + balance("ITBD", "3"), "1", "3", true, true},
        BalanceCase{"lone_interim", balance("ITBD", "5.5"), "", "5.5", false, true},
        BalanceCase{"interim_then_closing", balance("ITBD", "1") + balance("CLBD", "2"), "1", "2", true, false},
        BalanceCase{"available_only", balance("CLAV", "1") + balance("FWAV", "2"), "", "", false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Camt, EntryMapsToTheModelAndTheDerivedFields) {
  const std::string entry =
      "<Ntry><NtryRef>7</NtryRef><Amt Ccy=\"EUR\">12.50</Amt><CdtDbtInd>CRDT</CdtDbtInd><RvslInd>true</RvslInd>"
      "<Sts><Cd>BOOK</Cd></Sts><BookgDt><DtTm>2024-01-30T23:00:00+01:00</DtTm></BookgDt><ValDt><Dt>2024-01-31</Dt></ValDt>"
      "<AcctSvcrRef>BANK1</AcctSvcrRef><BkTxCd><Prtry><Cd>NTRF+166</Cd><Issr>DK</Issr></Prtry></BkTxCd>"
      "<NtryDtls><TxDtls><Refs><InstrId>OWN1</InstrId><EndToEndId>E2E</EndToEndId><MndtId>M1</MndtId></Refs>"
      "<RltdPties><Dbtr><Pty><Nm>Payer</Nm></Pty></Dbtr><DbtrAcct><Id><IBAN>DE89370400440532013000</IBAN></Id></DbtrAcct>"
      "<Cdtr><Pty><Id><PrvtId><Othr><Id>DE98ZZZ09999999999</Id><SchmeNm><Prtry>SEPA</Prtry></SchmeNm></Othr></PrvtId></Id></Pty></Cdtr></RltdPties>"
      "<RltdAgts><DbtrAgt><FinInstnId><BICFI>COBADEFFXXX</BICFI></FinInstnId></DbtrAgt></RltdAgts>"
      "<RmtInf><Ustrd>first half</Ustrd><Ustrd>second half</Ustrd></RmtInf><RtrInf><Rsn><Cd>AC04</Cd></Rsn></RtrInf>"
      "</TxDtls></NtryDtls><AddtlNtryInf>GUTSCHRIFT</AddtlNtryInf></Ntry>";
  const auto read = read_camt(wrap("08", "<Stmt>" + std::string(kAccount) + entry + "</Stmt>"));
  ASSERT_TRUE(read) << message(read.error());
  const Transaction& t = read->statements.at(0).transactions.at(0);
  EXPECT_EQ(t.debit_credit, DebitCreditMark::ReversalDebit);  // a reversal booked as a credit
  EXPECT_EQ(t.signed_amount().to_string(), "12.50");
  EXPECT_EQ(t.entry_date->to_iso(), "2024-01-30");
  EXPECT_EQ(t.value_date.to_iso(), "2024-01-31");
  EXPECT_EQ(t.bank_reference, "BANK1");
  EXPECT_EQ(t.customer_reference, "OWN1");
  EXPECT_EQ(t.transaction_type, "NTRF");
  EXPECT_EQ(t.extra_details, "GUTSCHRIFT");
  const DerivedFields f = fields_of(t);
  EXPECT_EQ(f.purpose, "first half second half");
  EXPECT_EQ(f.counterparty, "Payer");
  EXPECT_EQ(f.counter_iban, "DE89370400440532013000");
  EXPECT_EQ(f.counterparty_bic, "COBADEFFXXX");
  EXPECT_EQ(f.end_to_end_reference, "E2E");
  EXPECT_EQ(f.mandate_reference, "M1");
  EXPECT_EQ(f.creditor_id, "DE98ZZZ09999999999");
  const DecodedDetails& map = *t.structured_details;
  EXPECT_EQ(map.find("RTRN"), "AC04");
  EXPECT_EQ(map.find("Sts/Cd"), "BOOK");
  EXPECT_EQ(map.find("BookgDt/DtTm"), "2024-01-30T23:00:00+01:00");
  EXPECT_EQ(map.find("NtryRef"), "7");
  EXPECT_TRUE(t.transaction_details.empty());
}

TEST(Camt, BatchKeepsEveryPaymentInOrderAndNamesRepeatsApart) {
  std::string payments;
  for (const char* name : {"A", "B", "C"}) {
    payments += "<TxDtls><Amt Ccy=\"EUR\">1.00</Amt><CdtDbtInd>CRDT</CdtDbtInd><RltdPties><Dbtr><Nm>" +
                std::string(name) + "</Nm></Dbtr></RltdPties><Chrgs><Rcrd><Amt Ccy=\"EUR\">0.1</Amt></Rcrd>"
                "<Rcrd><Amt Ccy=\"EUR\">0.2</Amt></Rcrd></Chrgs></TxDtls>";
  }
  const std::string entry = "<Ntry><Amt Ccy=\"EUR\">3.00</Amt><CdtDbtInd>CRDT</CdtDbtInd><BookgDt><Dt>2024-01-31</Dt></BookgDt>"
                            "<NtryDtls><Btch><NbOfTxs>3</NbOfTxs></Btch>" + payments + "</NtryDtls></Ntry>";
  const auto read = read_camt(wrap("02", "<Stmt>" + std::string(kAccount) + entry + "</Stmt>"));
  ASSERT_TRUE(read) << message(read.error());
  const Transaction& t = read->statements.at(0).transactions.at(0);
  ASSERT_EQ(t.transaction_details.size(), 3u);
  EXPECT_EQ(t.transaction_details[0].find("CNTP/NAME"), "A");
  EXPECT_EQ(t.transaction_details[2].find("CNTP/NAME"), "C");
  EXPECT_EQ(t.transaction_details[1].find("Chrgs/Rcrd[2]/Amt"), "0.2");
  EXPECT_EQ(t.structured_details->find("NtryDtls/Btch/NbOfTxs"), "3");
  EXPECT_EQ(t.value_date.to_iso(), "2024-01-31");  // no ValDt: the booking date
}

TEST(Camt, VersionsWrappersAndNamespaces) {
  struct Case {
    std::string document;
    const char* format;
    const char* first_diagnostic;  // "" for none
  };
  const std::string stmt = "<Stmt>" + std::string(kAccount) + balance("OPBD", "1") + balance("CLBD", "1") + "</Stmt>";
  const Case cases[] = {
      {wrap("12", stmt), "camt.053.001.12", ""},
      {"<Envelope><AppHdr xmlns=\"urn:iso:std:iso:20022:tech:xsd:head.001.001.02\"><BizMsgIdr>B</BizMsgIdr></AppHdr>"
       "<c:Document xmlns:c=\"urn:iso:std:iso:20022:tech:xsd:camt.053.001.04\"><c:BkToCstmrStmt>" + stmt +
           "</c:BkToCstmrStmt></c:Document></Envelope>",
       "camt.053.001.04", "document root is <Envelope>"},
      {"<Document><BkToCstmrStmt>" + stmt + "</BkToCstmrStmt></Document>", "camt.053", "without a namespace"},
      {"<Document xmlns=\"urn:iso:std:iso:20022:tech:xsd:camt\"><BkToCstmrStmt>" + stmt + "</BkToCstmrStmt></Document>",
       "camt.053", "names no camt.053 version"},
      {"<Document xmlns=\"urn:iso:std:iso:20022:tech:xsd:camt.053.001.99\"><BkToCstmrStmt>" + stmt +
           "</BkToCstmrStmt></Document>",
       "camt.053", "names no camt.053 version"},
  };
  for (const Case& c : cases) {
    const auto read = read_camt(c.document);
    ASSERT_TRUE(read) << message(read.error());
    EXPECT_EQ(read->source_format, c.format);
    const std::string first = read->diagnostics.empty() ? "" : read->diagnostics.front().message;
    EXPECT_NE(first.find(c.first_diagnostic), std::string::npos) << first;
  }
}

// The single entry point tells camt from MT940 by the content, whatever the file is
// called; the exact reading reads MT940 alone.
TEST(Camt, IsDetectedByItsContentThroughTheEntryPoint) {
  const std::string stmt = "<Stmt>" + std::string(kAccount) + balance("OPBD", "1") + balance("CLBD", "1") + "</Stmt>";
  const std::string mt = ":20:R\n:25:A\n:28C:1\n:60F:C240131EUR1,00\n:62F:C240131EUR1,00\n";
  std::string utf16 = "\xFF\xFE";
  for (const char c : wrap("08", stmt).substr(std::string_view("<?xml version=\"1.0\"?>").size())) {
    utf16 += c;
    utf16 += '\0';
  }
  struct Case {
    const char* name;
    std::string bytes;
    bool strict;
    SourceFormat format;
    const char* source_format;  // "" for an error
  };
  const Case cases[] = {
      {"declaration", wrap("08", stmt), false, SourceFormat::Camt, "camt.053.001.08"},
      {"bom_and_blanks", "\xEF\xBB\xBF \r\n\t" + wrap("02", stmt), false, SourceFormat::Camt, "camt.053.001.02"},
      {"utf16", utf16, false, SourceFormat::Camt, "camt.053.001.08"},
      {"mt940", mt, false, SourceFormat::Mt940, "MT940"},
      {"mt940_exactly", mt, true, SourceFormat::Mt940, "MT940"},
      {"xml_exactly", wrap("08", stmt), true, SourceFormat::Mt940, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    if (!c.strict) EXPECT_EQ(detect_format(c.bytes), c.format);
    ReadOptions options;
    options.strict = c.strict;
    const auto read = read_statement_file(c.bytes, options);
    if (*c.source_format == '\0') {
      EXPECT_FALSE(read);
      continue;
    }
    ASSERT_TRUE(read) << message(read.error().error);
    EXPECT_EQ(read->format, c.format);
    EXPECT_EQ(read->source_format, c.source_format);
    EXPECT_EQ(read->statements.size(), 1u);
  }
}

// One row per file: what a user sees of it, and a digest of its JSON so that any value
// that changes shows up.
std::string describe(const std::string& bytes) {
  const auto read = read_camt(bytes);
  std::ostringstream row;
  if (!read) {
    row << "error at line " << read.error().line << ": " << message(read.error());
    return row.str();
  }
  row << read->source_format;
  const auto checks = check_statements(read->statements);
  for (std::size_t i = 0; i < read->statements.size(); ++i) {
    const Statement& s = read->statements[i];
    std::size_t payments = 0;
    for (const Transaction& t : s.transactions) payments += t.transaction_details.size();
    row << " | " << (s.kind == StatementKind::Statement ? "statement" : s.kind == StatementKind::InterimReport ? "report" : "notification")
        << (s.complete ? "" : " incomplete") << ", " << s.transactions.size() << " entries, " << payments
        << " batch details, opening " << (s.opening_balance_given ? s.opening_balance.signed_amount().to_string() : "-")
        << ", closing " << (s.closing_balance_given ? s.closing_balance.signed_amount().to_string() : "-") << ' '
        << statement_currency(s) << (s.complete && checks[i].balanced ? ", balanced" : "");
  }
  std::size_t notes = 0;
  std::size_t warnings = 0;
  for (const Diagnostic& d : read->diagnostics) ++(d.severity == Severity::Note ? notes : warnings);
  const auto json = export_json(read->statements);
  std::uint64_t digest = 1469598103934665603ULL;
  for (const char c : json ? *json : std::string("unwritable")) digest = (digest ^ static_cast<unsigned char>(c)) * 1099511628211ULL;
  row << " | " << notes << " notes, " << warnings << " warnings | json " << std::hex << digest;
  return row.str();
}

TEST(CamtCorpus, EveryFileReadsAsPinned) {
  TALLYFOLD_SHARED_DATA(corpus, "camt-corpus");
  const fs::path table = fs::path(TALLYFOLD_GOLDEN_DIR) / "corpus_camt_reading.tsv";
  std::map<std::string, std::string> rows;
  for (const test::DataFile& file : test::data_files(corpus)) rows[file.name] = describe(read_bytes(file.path));
  if (std::getenv("TALLYFOLD_REGENERATE") != nullptr) {
    std::ofstream out(table, std::ios::binary);
    for (const auto& [name, row] : rows) out << name << '\t' << row << '\n';
    GTEST_SKIP() << "rewrote " << table;
  }
  std::map<std::string, std::string> pinned;
  std::istringstream lines(read_bytes(table));
  for (std::string line; std::getline(lines, line);) {
    const auto tab = line.find('\t');
    if (tab != std::string::npos) pinned[line.substr(0, tab)] = line.substr(tab + 1);
  }
  EXPECT_EQ(rows.size(), pinned.size());
  for (const auto& [name, row] : rows) EXPECT_EQ(pinned[name], row) << name;
}

std::string without_blanks(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != ' ') out += c;
  }
  return out;
}

// A text as camt can hold it: the writer splits long texts at blanks, writes a TAB as a
// blank and U+FFFD as "?", and leaves out soft hyphens, which importers stumble on.
std::string as_camt_holds(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text.substr(i).starts_with("\xEF\xBF\xBD")) {
      out += '?';
      i += 2;
    } else if (text.substr(i).starts_with("\xC2\xAD")) {
      i += 1;
    } else if (text[i] != ' ' && text[i] != '\t') {
      out += text[i];
    }
  }
  return out;
}

// A SWIFT transaction type as the :61: line names it ("NTRF", "FCHK"); banks write other
// codes there as well, which camt has no place for.
bool is_swift_type(std::string_view type) {
  return type.size() == 4 && (type[0] == 'N' || type[0] == 'F') &&
         std::all_of(type.begin() + 1, type.end(), [](char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); });
}

// MT940 -> camt -> model keeps what camt can hold (docs/formats.md lists what it cannot).
void expect_same(const Statement& mt, const Statement& camt, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_NE(without_blanks(mt.account_identification).find(without_blanks(camt.account_identification)), std::string::npos);
  EXPECT_EQ(mt.opening_balance_given, camt.opening_balance_given);
  EXPECT_EQ(mt.closing_balance_given, camt.closing_balance_given);
  if (mt.kind == StatementKind::Statement) {
    for (const auto& [a, b] : {std::pair{&mt.opening_balance, &camt.opening_balance}, {&mt.closing_balance, &camt.closing_balance}}) {
      EXPECT_EQ(a->signed_amount(), b->signed_amount());
      EXPECT_EQ(a->date, b->date);
    }
    EXPECT_EQ(mt.closing_balance.intermediate, camt.closing_balance.intermediate);
  }
  EXPECT_EQ(mt.closing_available_balance.has_value(), camt.closing_available_balance.has_value());
  EXPECT_EQ(mt.forward_balances.size(), camt.forward_balances.size());
  ASSERT_EQ(mt.transactions.size(), camt.transactions.size());
  for (std::size_t i = 0; i < mt.transactions.size(); ++i) {
    const Transaction& a = mt.transactions[i];
    const Transaction& b = camt.transactions[i];
    SCOPED_TRACE("transaction " + std::to_string(i + 1));
    EXPECT_EQ(a.signed_amount(), b.signed_amount());
    EXPECT_EQ(a.debit_credit, b.debit_credit);
    EXPECT_EQ(a.value_date, b.value_date);
    EXPECT_EQ(a.entry_date.value_or(a.value_date), b.entry_date.value_or(b.value_date));
    const std::string_view bank = a.bank_reference.value_or("");
    if (bank.size() <= 35 && bank != "NONREF" && bank != "NOREF") EXPECT_EQ(bank, b.bank_reference.value_or(""));
    const DerivedFields fa = fields_of(a);
    const DerivedFields fb = fields_of(b);
    EXPECT_EQ(as_camt_holds(fa.purpose), as_camt_holds(fb.purpose));
    if (fa.counterparty.size() <= 140) EXPECT_EQ(trim_white_space(fa.counterparty), fb.counterparty);
    EXPECT_EQ(fa.counter_iban, fb.counter_iban);
    if (!fa.end_to_end_reference.empty() && fa.end_to_end_reference.size() <= 35) {
      EXPECT_EQ(fa.end_to_end_reference, fb.end_to_end_reference);
    }
    if (fa.mandate_reference.size() <= 35) EXPECT_EQ(fa.mandate_reference, fb.mandate_reference);
    for (const auto& [name, x, y] : {std::tuple{"counter_account", &fa.counter_account, &fb.counter_account},
                                     {"counterparty_bic", &fa.counterparty_bic, &fb.counterparty_bic},
                                     {"creditor_id", &fa.creditor_id, &fb.creditor_id},
                                     {"payment_information_id", &fa.payment_information_id, &fb.payment_information_id},
                                     {"ultimate_debtor", &fa.ultimate_debtor, &fb.ultimate_debtor},
                                     {"ultimate_creditor", &fa.ultimate_creditor, &fb.ultimate_creditor},
                                     {"purpose_code", &fa.purpose_code, &fb.purpose_code},
                                     {"counterparty_town", &fa.counterparty_town, &fb.counterparty_town},
                                     {"counterparty_address", &fa.counterparty_address, &fb.counterparty_address},
                                     {"structured_reference", &fa.structured_reference, &fb.structured_reference},
                                     {"reference_issuer", &fa.reference_issuer, &fb.reference_issuer}}) {
      EXPECT_EQ(*x, *y) << "FIELD " << name;
    }
    // The German return key (?34) of a returned entry is a return reason in camt.
    if (!fa.return_reason.empty() || fb.return_reason.empty()) {
      EXPECT_EQ(fa.return_reason, fb.return_reason) << "FIELD return_reason";
    } else {
      ASSERT_TRUE(a.structured_details);
      EXPECT_EQ(a.structured_details->find("34"), fb.return_reason) << "FIELD return_reason";
    }
    if (!a.customer_reference.empty() && a.customer_reference != "NONREF") {
      EXPECT_EQ(a.customer_reference, b.customer_reference) << "FIELD customer_reference";
    }
    if (is_swift_type(a.transaction_type)) EXPECT_EQ(a.transaction_type, b.transaction_type) << "FIELD transaction_type";
  }
}

TEST(CamtRoundTrip, MtCorpusThroughCamtGivesTheSameStatements) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t compared = 0;
  for (const test::DataFile& data : test::data_files(corpus)) {
    const auto file = read_bank_file(read_bytes(data.path), {});
    if (!file) continue;
    for (std::size_t i = 0; i < file->statements.size(); ++i) {
      const Statement& mt = file->statements[i];
      // One document per statement, so that a statement the writer leaves out is told apart.
      for (const CamtVersion version : {CamtVersion::V02, CamtVersion::V08}) {
        const auto written = export_camt(std::span(&mt, 1), CamtOptions{version, 0});
        if (!written) continue;
        const auto read = read_camt(written->xml);
        const std::string where = data.name + " #" + std::to_string(i + 1) + " v" +
                                  std::string(camt_version_name(version));
        ASSERT_TRUE(read) << where << ": " << message(read.error());
        ASSERT_EQ(read->statements.size(), 1u) << where;
        const Statement& back = read->statements.front();
        EXPECT_EQ(back.kind, mt.kind) << where;
        expect_same(mt, back, where);
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 100u);
}

}  // namespace
}  // namespace tallyfold
