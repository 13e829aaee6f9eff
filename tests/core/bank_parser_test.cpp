#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

const Decoder* const kDetailOnly[] = {&unstructured_decoder()};
const DecoderChain kChain(kDetailOnly);

struct Reading {
  Result<std::vector<Statement>, LocatedError> statements;
  std::vector<Diagnostic> diagnostics;
};

Reading read(std::string_view text) {
  std::vector<Diagnostic> diagnostics;
  auto statements = parse_bank_statements(text, kChain, diagnostics);
  return Reading{std::move(statements), std::move(diagnostics)};
}

// "line severity message" per diagnostic, joined by " | ".
std::string show(const std::vector<Diagnostic>& diagnostics) {
  std::string out;
  for (const auto& d : diagnostics) {
    if (!out.empty()) out += " | ";
    out += std::to_string(d.line) + (d.severity == Severity::Note ? " note " : " warning ") + d.message;
  }
  return out;
}

std::string show(const LocatedError& e) { return std::to_string(e.line) + ": " + message(e.error); }

std::string show(const Balance& b) {
  return std::string(mark_text(b.debit_credit)) + " " + b.date.to_iso() + " " + std::string(b.currency) + " " +
         b.amount.to_string();
}

std::string show(const Transaction& t) {
  const auto s = [](std::string_view v) { return std::string(v); };
  return t.value_date.to_iso() + " " + (t.entry_date ? t.entry_date->to_iso() : "-") + " " +
         s(mark_text(t.debit_credit)) + " " + (t.funds_code ? std::string(1, *t.funds_code) : "-") + " " +
         t.amount.to_string() + " " + s(t.transaction_type) + " [" + s(t.customer_reference) + "] " +
         (t.bank_reference ? "[" + s(*t.bank_reference) + "]" : "-") + " " +
         (t.extra_details ? "[" + s(*t.extra_details) + "]" : "-");
}

// Every field of a statement, so that two readings compare as text.
std::string show(const Statement& s) {
  const auto str = [](std::string_view v) { return std::string(v); };
  std::string out = str(s.transaction_reference) + "|" + str(s.related_reference.value_or("-")) + "|" +
                    str(s.account_identification) + "|" + str(s.number) + "|" + str(s.sequence.value_or("-")) +
                    "|" + show(s.opening_balance) + "|" + show(s.closing_balance) + "|" +
                    (s.closing_available_balance ? show(*s.closing_available_balance) : "-") + "|" +
                    (s.forward_available_balance ? show(*s.forward_available_balance) : "-") + "|" +
                    str(s.information_to_account_owner.value_or("-"));
  for (const auto& t : s.transactions) {
    out += "\n  " + show(t) + " {" + std::string(t.details) + "}";
    if (t.structured_details) {
      for (const auto [key, value] : *t.structured_details) out.append(" ").append(key).append("=").append(value);
    }
  }
  return out;
}

std::string show(const std::vector<Statement>& statements) {
  std::string out;
  for (const auto& s : statements) out += show(s) + "\n";
  return out;
}

// A statement whose :61: (line 5) or balances are the fields under test.
std::string with_line(std::string_view content) {
  return ":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:" + std::string(content) + "\n:62F:C230131EUR1,00\n";
}

TEST(BankParser, StatementLines) {
  // `out` is the transaction, or "error: " and the located error; `notes` all at line 5.
  const struct { std::string content, out, notes; } kRows[] = {
      {"230131C1,00NTRFA/B//C", "2023-01-31 - C - 1.00 NTRF [A/B] [C] -",
       "customer reference with a single '/' read as 'A/B'"},
      {"0203170320CM5000,00S05168790452", "2002-03-17 2002-03-20 C M 5000.00 S051 [68790452] - -",
       "transaction type 'S051' read as written"},
      {"1412051205RC15,67IDXXREF", "2014-12-05 2014-12-05 RC - 15.67 IDXX [REF] - -",
       "transaction type 'IDXX' read as written"},
      {"100722D25,03NOV NONREF", "2010-07-22 - D - 25.03 NOV [NONREF] - -",
       "transaction type 'NOV ' padded with blanks read as 'NOV'"},
      {"1710111011DF2402,00S   X", "2017-10-11 2017-10-11 D F 2402.00 S [X] - -",
       "transaction type 'S   ' padded with blanks read as 'S'"},
      {"2006080608D12,35 NRTIKREF+//2016", "2020-06-08 2020-06-08 D - 12.35 NRTI [KREF+] [2016] -",
       "blank before the transaction type skipped"},
      {"230131C R1,00NTRFX", "2023-01-31 - C R 1.00 NTRF [X] - -", "blank before the funds code skipped"},
      {"240312    DD212,39NMSCNONREF//", "2024-03-12 - D D 212.39 NMSC [NONREF] [] -",
       "four blanks in place of the entry date read as no entry date"},
      {"1205120514d1,01N946NONREF", "2012-05-12 2012-05-14 D - 1.01 N946 [NONREF] - -",
       "lower-case mark 'd' read as 'D'"},
      {"230131rcR1,00NTRFX", "2023-01-31 - RC - 1.00 NTRF [X] - -", "lower-case mark 'rc' read as 'RC'"},
      {"1407290729C500NTRFX", "2014-07-29 2014-07-29 C - 500.00 NTRF [X] - -",
       "amount without a decimal comma '500' read as 500.00"},
      {"230131C000000001000.12NTRFX", "2023-01-31 - C - 1000.12 NTRF [X] - -",
       "amount with a decimal point read as 1000.12"},
      {"230131D00000000079734.NMSCX", "2023-01-31 - D - 79734.00 NMSC [X] - -",
       "amount with a decimal point read as 79734.00"},
      {"1602300301DR6,00N024NONREF", "2016-02-29 2016-03-01 D R 6.00 N024 [NONREF] - -",
       "value date 160230 read as 2016-02-29"},
      {"230231C1,00NTRFX", "2023-02-28 - C - 1.00 NTRF [X] - -", "value date 230231 read as 2023-02-28"},
      {"021131C1,00NTRFX", "2002-11-30 - C - 1.00 NTRF [X] - -", "value date 021131 read as 2002-11-30"},
      // The exact pattern accepts these; the reference is re-read.
      {"110527D000000001213,28N0440121470966      W.P. Jansen ",
       "2011-05-27 - D - 1213.28 N044 [0121470966] - [W.P. Jansen]",
       "customer reference padded to 16 characters read as '0121470966'; 'W.P. Jansen' kept as supplementary details"},
      {"110527D1,00N044NONREF          A B//X\nmore", "2011-05-27 - D - 1.00 N044 [NONREF] [X] [A B\nmore]",
       "customer reference padded to 16 characters read as 'NONREF'; 'A B' kept as supplementary details"},
      {"121028C250,00N6990156750961      B.V. /FREEMLE",
       "2012-10-28 - C - 250.00 N699 [0156750961] - [B.V. /FREEMLE]",
       "customer reference padded to 16 characters read as '0156750961'; 'B.V. /FREEMLE' kept as supplementary "
       "details"},
      {"030109C000000000300.00NMSCNONREF", "2003-01-09 - C - 300.00 NMSC [NONREF] - -",
       "amount with a decimal point read as 300.00"},
      // Longer than 16 characters but no padding: as the exact reading has it.
      {"230131C1,00NTRFABCDEFGHIJKLMN  PQ", "2023-01-31 - C - 1.00 NTRF [ABCDEFGHIJKLMN] - [PQ]",
       "customer reference padded to 16 characters read as 'ABCDEFGHIJKLMN'; 'PQ' kept as supplementary details"},
      {"230131C1,00NTRFABCDEFGHIJKLMNO PQ", "2023-01-31 - C - 1.00 NTRF [ABCDEFGHIJKLMNO PQ] - -", ""},
      {"230131C1,00NTRF ABCDEFGHIJKLM  PQ", "2023-01-31 - C - 1.00 NTRF [ABCDEFGHIJKLM  PQ] - -", ""},
      {"230131C1,00NTRFABCDEFGHIJKLMN   PQ", "2023-01-31 - C - 1.00 NTRF [ABCDEFGHIJKLMN   PQ] - -", ""},
      // No type code: the references follow the amount, or the reference stands where it
      // would be.
      {"2011301130CN220000,00//19239782213", "2020-11-30 2020-11-30 C N 220000.00  [] [19239782213] -",
       "no transaction type: read with none"},
      {"1601300301DR6,00NONREF", "2016-01-30 2016-03-01 D R 6.00  [NONREF] - -",
       "'NONREF' after the amount read as the customer reference, not as type code 'NONR'"},
      {"230131C1,00NOREF//B", "2023-01-31 - C - 1.00  [NOREF] [B] -",
       "'NOREF' after the amount read as the customer reference, not as type code 'NORE'"},
      {"230131C1,00NONRXEF", "2023-01-31 - C - 1.00 NONR [XEF] - -", ""},
      // Beyond repair: left out, with its details, and the rest of the statement kept.
      {"230132C1,00NTRFX", "left out", "'230132C1,00NTRFX' cannot be read (no valid date): left out with its details"},
      {"231301C1,00NTRFX", "left out", "'231301C1,00NTRFX' cannot be read (no valid date): left out with its details"},
      {"230131X1,00NTRFX", "left out",
       "'230131X1,00NTRFX' cannot be read (does not match expected format): left out with its details"},
      {"230131C1,000NTRFX", "left out",
       "'230131C1,000NTRFX' cannot be read (does not match expected format): left out with its details"},
      {"230131C1,00NO VX", "left out",
       "'230131C1,00NO VX' cannot be read (does not match expected format): left out with its details"},
      {"230131C R,00NTRFX", "left out",
       "'230131C R,00NTRFX' cannot be read (does not match expected format): left out with its details"},
      {"230131C1,00N", "left out",
       "'230131C1,00N' cannot be read (does not match expected format): left out with its details"},
      {"230131C1,00NTRF//A\rB", "left out",
       "'230131C1,00NTRF//A\rB' cannot be read (does not match expected format): left out with its details"},
      {"230131C" + std::string(200, '9') + ",00NTRFX", "left out",
       "'230131C" + std::string(73, '9') + "\xE2\x80\xA6' cannot be read (does not match expected format): left out "
       "with its details"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const Reading r = read(with_line(row.content) + ":86:its details\n");
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    const Statement& s = r.statements->at(0);
    if (row.out == "left out") {
      EXPECT_TRUE(s.transactions.empty());
      EXPECT_EQ(show(r.diagnostics), "5 warning :61: " + row.notes);
      continue;
    }
    ASSERT_EQ(s.transactions.size(), 1u);
    EXPECT_EQ(show(s.transactions[0]), row.out);
    EXPECT_EQ(show(r.diagnostics), row.notes.empty() ? "" : "5 note :61: " + row.notes);
  }
}

TEST(BankParser, Balances) {
  const struct { std::string_view text, out, diagnostics; } kRows[] = {
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00  \n:62F:C230131EUR1,00\n", "C 2023-01-01 EUR 1.00 / C 2023-01-31 EUR 1.00",
       "4 note :60F: blanks after the amount skipped"},
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C021131EUR1,00\n", "C 2023-01-01 EUR 1.00 / C 2002-11-30 EUR 1.00",
       "5 note :62F: date 021131 read as 2002-11-30"},
      {":20:R\n:25:A\n:28C:1\n:60F:C230101DEM1,00\n:62M:C020315105000,00 \n", "C 2023-01-01 DEM 1.00 / C 2002-03-15 DEM 105000.00",
       "5 note :62M: blanks after the amount skipped | "
       "5 warning :62M: currency '105' is not a currency code: read 105000,00 as the amount in DEM"},
      // An opening balance takes the currency that ends the account, or the closing balance's.
      {":20:R\n:25:NL12BANK0001 EUR\n:28C:1\n:60F:C230101105,00\n:62F:C230131EUR1,00\n", "C 2023-01-01 EUR 105.00 / C 2023-01-31 EUR 1.00",
       "4 warning :60F: currency '105' is not a currency code: read 105,00 as the amount in EUR"},
      {":20:R\n:25:A\n:28C:1\n:60M:C2301011234,00\n:62F:C230131USD1,00\n", "C 2023-01-01 USD 1234.00 / C 2023-01-31 USD 1.00",
       "4 warning :60M: currency '123' is not a currency code: read 1234,00 as the amount in USD"},
      {":20:R\n:25:A\n:28C:1\n:60F:C2301011234,00\n:62F:C230131E1,00\n", "C 2023-01-01  1234.00 / C 2023-01-31 E1, 0.00",
       "4 warning :60F: currency '123' is not a currency code: read 1234,00 as the amount; the statement names no currency"},
      // A file cut inside its last amount ("16297,50").
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230131EUR1,00\n:65:C230201EUR16297\n",
       "C 2023-01-01 EUR 1.00 / C 2023-01-31 EUR 1.00",
       "6 note :65: amount without a decimal comma '16297' read as 16297.00"},
      // Beyond repair: left out, and a statement without its balance is incomplete.
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230132EUR1,00\n", "C 2023-01-01 EUR 1.00 / none",
       "1 warning statement 'R' kept incomplete: no closing balance (:62F:) before the text ends | "
       "5 warning :62F: balance 'C230132EUR1,00' cannot be read (no valid date): left out"},
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00 x\n:62F:C230131EUR1,00\n", "none / C 2023-01-31 EUR 1.00",
       "1 warning statement 'R' kept incomplete: no opening balance (:60F:) | "
       "4 warning :60F: balance 'C230101EUR1,00 x' cannot be read (no valid amount): left out"},
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230131EUR1,00\n:64:XX\n",
       "C 2023-01-01 EUR 1.00 / C 2023-01-31 EUR 1.00",
       "6 warning :64: balance 'XX' cannot be read (too short): left out"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    const Statement& s = r.statements->at(0);
    const std::string out = (s.opening_balance_given ? show(s.opening_balance) : "none") + " / " +
                            (s.closing_balance_given ? show(s.closing_balance) : "none");
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(show(r.diagnostics), row.diagnostics);
  }
}

constexpr std::string_view kGood = ":25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:62F:C230131EUR2,00\n";

std::string good(std::string_view reference) { return ":20:" + std::string(reference) + "\n" + std::string(kGood); }

TEST(BankParser, IncompleteStatementsAreKept) {
  // Each statement as its reference, "?" when incomplete, and its number of transactions.
  const struct { std::string text; std::string_view kept, diagnostics; } kRows[] = {
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n" + good("B") + good("C"), "A?1 B1 C1",
       "1 warning statement 'A' kept incomplete: no closing balance (:62F:) before the next statement"},
      {good("A") + ":20:B\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230131EUR2,00\n" + good("C"), "A1 B?0 C1",
       "7 warning statement 'B' kept incomplete: no account (:25:)"},
      {good("A") + ":20:B\n:25:A\n:60F:C230101EUR1,00\n:62F:C230131EUR2,00\n", "A1 B?0",
       "7 warning statement 'B' kept incomplete: no statement number (:28C:)"},
      // Without its opening balance a statement still reads its lines and details.
      {good("A") + ":20:B\n:25:A\n:28C:1\n:61:230102C1,00NTRFX\n:86:d\n:62F:C230131EUR2,00\n", "A1 B?1",
       "7 warning statement 'B' kept incomplete: no opening balance (:60F:)"},
      // What is said about its fields stands: the fields are kept.
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102c1,00NTRFX\n:25:C\n", "A1 B?1",
       "7 warning statement 'B' kept incomplete: no closing balance (:62F:) before the text ends | "
       "11 note :61: lower-case mark 'c' read as 'C' | "
       "12 warning :25: after the opening balance of statement 'B' left out"},
      {good("A") + ":20:", "A1 ?0",
       "7 warning statement '' kept incomplete: no account (:25:), no statement number (:28C:), no opening balance "
       "(:60F:), no closing balance (:62F:) before the text ends"},
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:61:2301", "A?1",
       "1 warning statement 'A' kept incomplete: no closing balance (:62F:) before the text ends | "
       "6 warning :61: '2301' cannot be read (does not match expected format): left out with its details"},
      {"junk\n:25:A\n", "error: 0: Input contains no MT940 data", ""},
      {"", "error: 0: Input contains no MT940 data", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    std::string kept;
    if (r.statements) {
      for (const auto& s : *r.statements) {
        kept += (kept.empty() ? "" : " ") + std::string(s.transaction_reference) + (s.complete ? "" : "?") +
                std::to_string(s.transactions.size());
      }
    } else {
      kept = "error: " + show(r.statements.error());
    }
    EXPECT_EQ(kept, row.kept);
    EXPECT_EQ(show(r.diagnostics), row.diagnostics);
  }
}

// :86: fields before the first :61: are the statement's, as banks that list the
// account's IBAN and owner there mean them; after a :61: left out they went with it.
TEST(BankParser, DetailsBeforeTheFirstLineAreInformation) {
  const Reading r = read(":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:86:IBAN DK5000400440116243\n:86:OWNER A/S\n"
                         ":61:230102C1,00NTRFX\n:86:d\n:61:2301\n:86:of the lost line\n:62F:C230131EUR2,00\n:86:end\n");
  ASSERT_TRUE(r.statements) << show(r.statements.error());
  EXPECT_EQ(r.statements->at(0).information_to_account_owner.value_or("-"),
            "IBAN DK5000400440116243\nOWNER A/S\nend");
  EXPECT_EQ(show(r.diagnostics),
            "9 warning :61: '2301' cannot be read (does not match expected format): left out with its details");
}

// Continued :86: lines, from real files: a line that ends before the width the file
// fills its lines to was broken between words; a full one inside a word.
TEST(BankParser, DetailsLinesJoinAsTheBankBrokeThem) {
  const struct { std::string details, joined; } kRows[] = {
      {"SEPA ACCEPTGIROBETALING          IBAN: NL86INGB0002445588\nBIC: INGBNL2A                    NAAM: BELASTINGDIENST",
       "SEPA ACCEPTGIROBETALING          IBAN: NL86INGB0002445588 BIC: INGBNL2A                    NAAM: "
       "BELASTINGDIENST"},
      {"/CNTP/NL21RABO0999999999/RABONL2U/G-AAAAA N.V./3000AA WESTBEE\nN Nederland//EREF/NOTPROVIDED//RE\nMI/USTD//X/",
       "/CNTP/NL21RABO0999999999/RABONL2U/G-AAAAA N.V./3000AA WESTBEEN Nederland//EREF/NOTPROVIDED//REMI/USTD//X/"},
      {"/BENM//Beneficiary name\nBeneficiary name\n/REMI/USTD//\nTOTAAL 1 POSTEN/",
       "/BENM//Beneficiary name Beneficiary name/REMI/USTD//TOTAAL 1 POSTEN/"},
      {"REMIT:Costs to MT940 Parsing. \nThis is Somuchfun.", "REMIT:Costs to MT940 Parsing. This is Somuchfun."},
      // German subfields keep their widths.
      {"166?00GUTSCHRIFT?100004772?20EREF+SCP 100\n?21SVWZ+D 8\n03020001", "166?00GUTSCHRIFT?100004772?20EREF+SCP 100?21SVWZ+D 803020001"},
      // A line kept from opening like a tag.
      {"/REMI/USTD//Uberweisung mit VR-Networld ERE\nF: JS12345 IBAN: DE14740618130000033626/",
       "/REMI/USTD//Uberweisung mit VR-Networld EREF: JS12345 IBAN: DE14740618130000033626/"},
      // A file that fills its lines to 70 characters; 65 is not full there.
      {std::string(66, 'A') + "\n" + std::string(70, 'B') + "\n" + std::string(65, 'C') + "\nD",
       std::string(66, 'A') + std::string(70, 'B') + std::string(65, 'C') + " D"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.details);
    const Reading r = read(":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230131C1,00NTRFX\n:86:" + row.details +
                           "\n:62F:C230131EUR2,00\n");
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    EXPECT_EQ(r.statements->at(0).transactions.at(0).details, row.joined);
  }
}

// The real lines of an MT942 report whose last entry's details stand before its totals.
TEST(BankParser, LastEntryOfAReportKeepsItsDetails) {
  const Reading r = read(":20:CGNGHKLI0290980\n:25:GJB0291077111\n:28C:03917/00001\n:34F:EURD0,\n:34F:EURC0,\n"
                         ":13D:1610301730+0000\n:61:1610301031D0,42MCI0NONREF//055001022000001\nYAY MT942 CHG\n"
                         ":86:REMIT:Costs to MT940 Parsing. \nThis is Somuchfun.\n:90D:1EUR0,42\n");
  ASSERT_TRUE(r.statements) << show(r.statements.error());
  const Statement& report = r.statements->at(0);
  EXPECT_TRUE(report.complete);
  ASSERT_EQ(report.transactions.size(), 1u);
  EXPECT_EQ(report.transactions[0].details, "REMIT:Costs to MT940 Parsing. This is Somuchfun.");
  EXPECT_EQ(show(r.diagnostics), "7 note :61: transaction type 'MCI0' read as written");
}

// A tag line after a stray blank or control byte is still a tag line, not :86: text.
TEST(BankParser, TagLineAfterStrayBytes) {
  for (const std::string_view lead : {" ", "  ", "\x01", "\t"}) {
    SCOPED_TRACE(int(lead.front()));
    const Reading r = read(":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:one\n" +
                           std::string(lead) + ":61:230102C1,00NTRFY\n:86:two\n:62F:C230131EUR3,00\n");
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    ASSERT_EQ(r.statements->at(0).transactions.size(), 2u);
    EXPECT_EQ(r.statements->at(0).transactions[0].details, "one");
    EXPECT_EQ(show(r.diagnostics), "7 note tag line led by blanks or control bytes read as a tag line");
  }
}

TEST(BankParser, SkippedTagsAreReported) {
  const struct { std::string text; std::string_view diagnostics; } kRows[] = {
      {good("A") + ":61:230103C1,00NTRFY\n:86:lost\n",
       "7 warning :61: after the closing balance of statement 'A' left out"},
      {":61:230103C1,00NTRFY\n" + good("A"), "1 warning :61: before the first statement (:20:) left out"},
      {":20:A\n:25:first\n:25:B\n:28C:1\n:28C:2\n:60F:C230101EUR1,00\n:60F:C230101EUR9,00\n:62F:C230131EUR1,00\n"
       ":62F:C230131EUR9,00\n",
       "3 warning :25: given twice in statement 'A'; the second value is kept | "
       "5 warning :28C: given twice in statement 'A'; the second value is kept | "
       "7 warning :60F: given twice in statement 'A'; the first value is kept | "
       "9 warning :62F: given twice in statement 'A'; the first value is kept"},
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:25:late\n:64:C230131EUR1,00\n:62F:C230131EUR1,00\n",
       "5 warning :25: after the opening balance of statement 'A' left out | "
       "6 warning :64: before the closing balance of statement 'A' left out"},
      // A statement that reached its lines without an opening balance has none to repeat.
      {":20:A\n:25:A\n:28C:1\n:61:230102C1,00NTRFX\n:28C:2\n:60F:C230101EUR1,00\n:62F:C230131EUR1,00\n",
       "1 warning statement 'A' kept incomplete: no opening balance (:60F:) | "
       "5 warning :28C: after the statement lines of statement 'A' left out | "
       "6 warning :60F: after the statement lines of statement 'A' left out"},
      // Details text that looks like a tag stays in the details; ":NS:" is known; elsewhere
      // such a line is left out with what continues it.
      {":20:A\n:25:A\n:28C:1\n:NS:22x\n:12:x\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:a\n:12:11 b\nc\n"
       ":62F:C230131EUR2,00\n",
       "5 note :12: is not a statement tag: the line is left out with the lines that continue it | "
       "9 note :12: is not a statement tag: the line is kept as :86: text"},
      // MT942 fields are named by the kind of what they stand in.
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:90C:1EUR1,00\n:62F:C230131EUR2,00\n",
       "6 warning :90C: in statement 'A' left out: only MT942 reports have it"},
      {":20:R\n:25:A\n:28C:1\n:34F:EURC0,\n:61:230102C1,00NTRFX\n:90C:1EUR1,00\n:61:230102C1,00NTRFY\n:34F:EURD0,\n",
       "7 warning :61: after the entry totals of interim report 'R' left out | "
       "8 warning :34F: out of place in interim report 'R' left out"},
      // The usual envelope and header lines before the first statement say nothing.
      {":940:\n" + good("A") + ":86:owner\n", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    EXPECT_EQ(show(r.diagnostics), row.diagnostics);
  }
  const auto repeated = read(kRows[2].text);
  EXPECT_EQ(show(repeated.statements->at(0)).substr(0, 61),
            "A|-|B|2|-|C 2023-01-01 EUR 1.00|C 2023-01-31 EUR 1.00|-|-|-");
}

// Where the exact reading accepts a text, this one gives the same statements.
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
    auto exact = parse_statements(text, kChain);
    ASSERT_TRUE(exact) << message(exact.error());
    const Reading r = read(text);
    ASSERT_TRUE(r.statements) << show(r.statements.error());
    EXPECT_EQ(show(*r.statements), show(*exact));
  }
}

// The chain decides the rules: the parser's statements derive their fields as the file
// reading's do.
TEST(BankParser, MarksItsTransactionsForBankRules) {
  const std::string text =
      ":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:/REMI/USTD//Rent/\n:62F:C230131EUR2,00\n";
  std::vector<Diagnostic> diagnostics;
  auto parsed = parse_bank_statements(text, *select_bank_chain("auto"), diagnostics);
  ASSERT_TRUE(parsed) << show(parsed.error());
  auto file = read_bank_file(text, {});
  ASSERT_TRUE(file) << message(file.error());
  const Transaction& t = parsed->at(0).transactions.at(0);
  EXPECT_EQ(t.rules, FieldRules::Bank);
  EXPECT_EQ(fields_of(t).purpose, "Rent");
  EXPECT_EQ(fields_of(file->statements.at(0).transactions.at(0)).purpose, "Rent");
}

}  // namespace
}  // namespace tallyfold
