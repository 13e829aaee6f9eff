#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"
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
  const struct { std::string_view content, out, notes; } kRows[] = {
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
      // Beyond repair: the exact error, at the field's line.
      {"230132C1,00NTRFX", "error: 5: Invalid date '230132' in tag (date field)", ""},
      {"231301C1,00NTRFX", "error: 5: Invalid date '231301' in tag (date field)", ""},
      {"230131X1,00NTRFX", "error: 5: Invalid format in tag :61:: '230131X1,00NTRFX': does not match expected format", ""},
      {"230131C1,000NTRFX",
       "error: 5: Invalid format in tag :61:: '230131C1,000NTRFX': does not match expected format", ""},
      {"230131C1,00NO VX", "error: 5: Invalid format in tag :61:: '230131C1,00NO VX': does not match expected format", ""},
      {"230131C R,00NTRFX",
       "error: 5: Invalid format in tag :61:: '230131C R,00NTRFX': does not match expected format", ""},
      {"230131C1,00N", "error: 5: Invalid format in tag :61:: '230131C1,00N': does not match expected format", ""},
      {"230131C1,00NTRF//A\rB",
       "error: 5: Invalid format in tag :61:: '230131C1,00NTRF//A\rB': does not match expected format", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const Reading r = read(with_line(row.content));
    if (!r.statements) {
      EXPECT_EQ("error: " + show(r.statements.error()), row.out);
      EXPECT_EQ(show(r.diagnostics), "");
      continue;
    }
    ASSERT_EQ(r.statements->at(0).transactions.size(), 1u);
    EXPECT_EQ(show(r.statements->at(0).transactions[0]), row.out);
    EXPECT_EQ(show(r.diagnostics), row.notes.empty() ? "" : "5 note :61: " + std::string(row.notes));
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
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230132EUR1,00\n", "error: 5: Invalid date '230132' in tag (date field)",
       ""},
      {":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230131EUR1,00 x\n",
       "error: 5: Invalid amount '1,00 x' in tag (amount field)", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    const std::string out = r.statements ? show(r.statements->at(0).opening_balance) + " / " +
                                               show(r.statements->at(0).closing_balance)
                                         : "error: " + show(r.statements.error());
    EXPECT_EQ(out, row.out);
    EXPECT_EQ(show(r.diagnostics), row.diagnostics);
  }
}

constexpr std::string_view kGood = ":25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:62F:C230131EUR2,00\n";

std::string good(std::string_view reference) { return ":20:" + std::string(reference) + "\n" + std::string(kGood); }

TEST(BankParser, IncompleteStatementsAreLeftOut) {
  // `kept` is the references of the statements read, or the located error.
  const struct { std::string text; std::string_view kept, diagnostics; } kRows[] = {
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n" + good("B") + good("C"), "B C",
       "1 warning statement 'A' left out: no closing balance (:62F:) before the next statement"},
      {good("A") + ":20:B\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230131EUR2,00\n" + good("C"), "A C",
       "7 warning statement 'B' left out: no account (:25:)"},
      {good("A") + ":20:B\n:25:A\n:60F:C230101EUR1,00\n:62F:C230131EUR2,00\n", "A",
       "7 warning statement 'B' left out: no statement number (:28C:)"},
      {good("A") + ":20:B\n:25:A\n:28C:1\n:62F:C230131EUR2,00\n", "A",
       "7 warning statement 'B' left out: no opening balance (:60F:)"},
      // Nothing is said about the fields of a statement left out.
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102c1,00NTRFX\n:25:C\n", "A",
       "7 warning statement 'B' left out: the text ends before its closing balance (:62F:)"},
      {good("A") + ":20:", "A", "7 warning statement '' left out: no account (:25:)"},
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:2301", "A",
       "7 warning statement 'B' left out: the text ends before its closing balance (:62F:)"},
      // Only a cut statement line: elsewhere, and before more text, a field error stands.
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:2301\n:62F:C230131EUR2,00\n",
       "error: 11: Invalid format in tag :61:: '2301': does not match expected format", ""},
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:62F:C2301",
       "error: 12: Invalid format in tag balance: 'C2301': too short", ""},
      // Nothing left: the first statement's error, and no warning that says it again.
      {":20:A\n:25:A\n:20:B\n", "error: 1: Missing mandatory tag :28C: (A)",
       "3 warning statement 'B' left out: no account (:25:)"},
      {":20:A\n:61:230102C1,00NTRFX\n", "error: 1: Missing mandatory tag :25: (A)", ""},
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:2301", "error: 1: Missing mandatory tag :62F: (A)", ""},
      {"junk\n:25:A\n", "error: 0: Input contains no MT940 data", ""},
      {"", "error: 0: Input contains no MT940 data", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    std::string kept;
    if (r.statements) {
      for (const auto& s : *r.statements) kept += (kept.empty() ? "" : " ") + std::string(s.transaction_reference);
    } else {
      kept = "error: " + show(r.statements.error());
    }
    EXPECT_EQ(kept, row.kept);
    EXPECT_EQ(show(r.diagnostics), row.diagnostics);
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
      {":20:A\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:86:orphan\n:25:late\n:64:C230131EUR1,00\n:62F:C230131EUR1,00\n",
       "5 warning :86: before the first :61: of statement 'A' left out | "
       "6 warning :25: after the opening balance of statement 'A' left out | "
       "7 warning :64: before the closing balance of statement 'A' left out"},
      // Details text that looks like a tag stays in the details; ":NS:" is known; elsewhere
      // such a line is left out with what continues it.
      {":20:A\n:25:A\n:28C:1\n:NS:22x\n:12:x\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:86:a\n:12:11 b\nc\n"
       ":62F:C230131EUR2,00\n",
       "5 note :12: is not a statement tag: the line is left out with the lines that continue it | "
       "9 note :12: is not a statement tag: the line is kept as :86: text"},
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
      ":61:junk before any statement\n:20:R\n:86:skipped in header\n:61:also skipped\n"
      ":25:A\n:28C:1\n:XYZ:unknown\n:60F:C230101EUR1,\n"
      ":86:no transaction yet\n:25:late\n:64:not a balance\n:60F:not a balance\n"
      ":61:230102C1,NTRFX\n:62F:C230101EUR1,\n:61:not read\n:62F:not read\n::odd\n",
      ":20:R\n:25:first\n:25:second\n:28C:1/2\n:28C:3\n:60F:C230101EUR1,\n"
      ":61:230102C1,NTRFX\n:86:line one\n:86:\n:86:line three\n:61:230102C1,NTRFY\n:86:alone\n"
      ":62F:C230101EUR1,\n:65:C230101EUR1,\n:65:C230102EUR2,\n:86:info\n:86:more\n",
      ":20:R\r\n:25:A\r\n:28C:1\r\n:60F:C230101EUR1,00\r\n:61:230102C1,00NTRFX\r\nsup\r\n:86:one\r\ntwo\r\n"
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

TEST(BankParser, ErrorsKeepTheExactKindAndText) {
  const struct { std::string text; std::string_view error; } kRows[] = {
      {good("A") + ":20:B\n:25:A\n:28C:1\n:60F:C230101EUR1,00\n:61:230102C1,00NTRFX\n:62F:C230131EURx\n",
       "12: Invalid amount 'x' in tag (amount field)"},
      {":20:A\n:25:A\n:28C:1\n:60F:XX\n", "4: Invalid format in tag balance: 'XX': too short"},
      {":20:A\n:25:A\n:28C:1\n:60F:R230101EUR1,00\n", "4: Invalid format in tag balance: 'R230101EUR1,00': invalid D/C mark"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    const Reading r = read(row.text);
    ASSERT_FALSE(r.statements);
    EXPECT_EQ(show(r.statements.error()), row.error);
    auto exact = parse_statements(row.text, kChain);
    ASSERT_FALSE(exact);
    EXPECT_EQ(message(exact.error()), message(r.statements.error().error));
  }
}

}  // namespace
}  // namespace tallyfold
