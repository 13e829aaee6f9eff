// The MT940/MT942 writer: what it writes must read back, through the exact reading and
// the bank-file reading, to the values it was written from. What it writes for small
// statements, with its notes and warnings, is pinned by cases/mt/.
#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "export/camt_codes.hpp"
#include "export/swift_text.hpp"
#include "decoders/bank/bank_details.hpp"
#include "tallyfold/bankfile.hpp"
#include "camt/read_camt.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/mt_export.hpp"
#include "tallyfold/parse.hpp"
#include "support/shared_data.hpp"
#include "support/swift_form.hpp"
#include "support/xorshift.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

std::vector<Statement> bank_read(std::string_view text) {
  auto file = read_bank_file(text, {});
  if (!file) {
    ADD_FAILURE() << message(file.error()) << " at line " << file.error().line << " in\n" << text;
    return {};
  }
  return std::move(file->statements);
}

MtDocument written(std::span<const Statement> statements) {
  auto document = export_mt(statements, MtOptions{false});
  if (!document) {
    ADD_FAILURE() << message(document.error());
    return {};
  }
  return std::move(*document);
}

using test::expect_swift_form;

struct TypeRow {
  camt::BankTransactionCode code;
  std::string_view type;
};

class SwiftTypeOf : public ::testing::TestWithParam<TypeRow> {};

TEST_P(SwiftTypeOf, NamesTheCode) { EXPECT_EQ(camt::swift_type_of(GetParam().code), GetParam().type); }

INSTANTIATE_TEST_SUITE_P(
    Codes, SwiftTypeOf,
    ::testing::Values(TypeRow{{"PMNT", "ICDT", "STDO"}, "NSTO"}, TypeRow{{"PMNT", "RCDT", "STDO"}, "NSTO"},
                      TypeRow{{"ACMT", "MCOP", "CHRG"}, "NCHG"}, TypeRow{{"ACMT", "MDOP", "INTR"}, "NINT"},
                      TypeRow{{"SECU", "CUST", "DVCA"}, "NDIV"}, TypeRow{{"PMNT", "RCDT", "OTHR"}, "NTRF"},
                      // By family where no row holds the code.
                      TypeRow{{"PMNT", "ICDT", "ESCT"}, "NTRF"}, TypeRow{{"PMNT", "RDDT", "ESDD"}, "NDDT"},
                      TypeRow{{"PMNT", "IDDT", "UPDD"}, "NDDT"}, TypeRow{{"PMNT", "ICHQ", "XBCQ"}, "NCHK"},
                      // The catch-all rows, other families and other domains say nothing.
                      TypeRow{{"PMNT", "MDOP", "OTHR"}, "NMSC"}, TypeRow{{"PMNT", "CCRD", "POSD"}, "NMSC"},
                      TypeRow{{"ACMT", "ICDT", "ESCT"}, "NMSC"}, TypeRow{{"XTND", "NTAV", "NTAV"}, "NMSC"},
                      TypeRow{{"", "", ""}, "NMSC"}));

// An entry's code: its GVC where the mapping has it, else its SWIFT type read without
// its first letter, else the unknown code.
TEST(BankTransactionCode, GvcFirstThenType) {
  const camt::BankTransactionCode kTransferIn{"PMNT", "RCDT", "OTHR"};
  const camt::BankTransactionCode kTransferOut{"PMNT", "ICDT", "OTHR"};
  const struct {
    std::string_view type;
    std::string_view gvc;
    bool credit;
    camt::BankTransactionCode code;
  } kRows[] = {
      {"NTRF", "166", true, {"PMNT", "RCDT", "ESCT"}},  {"NTRF", "008", false, {"PMNT", "ICDT", "STDO"}},
      {"NTRF", "809", false, {"ACMT", "MDOP", "COMM"}}, {"NMSC", "105", false, {"PMNT", "IDDT", "ESDD"}},
      {"NTRF", "195", true, {"PMNT", "RDDT", "BBDD"}},  {"NTRF", "000", true, kTransferIn},
      {"NTRF", "999", false, kTransferOut},             {"NTRF", "16a", true, kTransferIn},
      {"NTRF", "1666", true, kTransferIn},              {"NTRF", "16", true, kTransferIn},
      {"FTRF", "", false, kTransferOut},                {"STRF", "", true, kTransferIn},
      {"NCHG", "", true, {"ACMT", "MCOP", "CHRG"}},     {"NXYZ", "", true, camt::kUnknownTransactionCode},
      {"NTR", "", true, camt::kUnknownTransactionCode}, {"", "", false, camt::kUnknownTransactionCode},
      {"NTRFX", "", false, camt::kUnknownTransactionCode},
  };
  for (const auto& row : kRows) {
    EXPECT_EQ(camt::bank_transaction_code(row.type, row.gvc, row.credit), row.code) << row.type << " " << row.gvc;
  }
}

// The table read both ways gives every type back, from either side.
TEST(SwiftTypeOf, ReadsTheTableBack) {
  for (const std::string_view type : {"NCHG", "NCHK", "NCMZ", "NCOM", "NDDT", "NDIV", "NINT", "NSTO", "NTRF"}) {
    for (const bool credit : {false, true}) {
      EXPECT_EQ(camt::swift_type_of(camt::bank_transaction_code(type, "", credit)), type) << credit;
    }
  }
}

// Every field the writer puts into :86: comes back from the bank-file reading as it was.
TEST(MtWriter, DetailsFieldsReadBackAsTheyWere) {
  const std::string_view details[] = {
      "/EREF/E1//PREF/P1//MARF/M1//CRED/DE98ZZZ09999999999//PURP/SALA//RTRN/MS03//ULTD/Debtor Ltd//"
      "ULTC/Creditor Ltd//ADDR/Damrak 1 1012 LG Amsterdam//CNTP/NL91ABNA0417164300/ABNANL2A/Name BV/Amsterdam//REMI/USTD//Rent/",
      "/CNTP/NL91ABNA0417164300///Name BV//REMI/STRD/CUR/RF18539007547034/",
      "105?00SEPA-BASISLASTSCHRIFT?20EREF+VK-5513?21MREF+M-7721?22CRED+DE98ZZZ09999999999?23SVWZ+Beitrag"
      "?30NOLADE21KIE?31DE16512301000009876543?32Nordsee AG",
      "/REMI/EREF/x",  // no layout: the text itself is the remittance
  };
  for (const std::string_view d : details) {
    const std::string text = std::string(":20:X\n:25:NL91ABNA0417164300\n:28C:1\n:60F:C240102EUR0,\n"
                                         ":61:240103C1,NTRFNONREF\n:86:") +
                             std::string(d) + "\n:62F:C240103EUR1,\n";
    const auto first = bank_read(text);
    ASSERT_EQ(first.size(), 1u) << d;
    const MtDocument doc = written(first);
    expect_swift_form(doc.text);
    const auto again = bank_read(doc.text);
    ASSERT_EQ(again.size(), 1u) << doc.text;
    const DerivedFields a = fields_of(first[0].transactions[0]);
    const DerivedFields b = fields_of(again[0].transactions[0]);
    const auto fields = [](const DerivedFields& f) {
      return std::vector<std::string>{f.purpose, f.counterparty, f.counter_iban, f.counterparty_bic,
                                      f.end_to_end_reference, f.mandate_reference, f.creditor_id,
                                      f.payment_information_id, f.ultimate_debtor, f.ultimate_creditor,
                                      f.purpose_code, f.return_reason, f.counterparty_town, f.counterparty_address,
                                      f.structured_reference, f.reference_issuer};
    };
    EXPECT_EQ(fields(b), fields(a)) << d << "\n" << doc.text;
    if (d == details[0]) {
      const auto all = fields(a);
      EXPECT_EQ(std::count(all.begin(), all.end(), std::string()), 2) << "only the structured reference and issuer are empty";
    }
    if (d == details[1]) {
      EXPECT_EQ(a.structured_reference, "RF18539007547034");
    }
  }
}

TEST(MtWriter, LongDetailsFillSixFullLinesAndReadBackWhole) {
  std::string purpose;
  for (int i = 0; purpose.size() < 300; ++i) purpose += "word" + std::to_string(i) + " ";
  purpose.pop_back();
  const std::string text = std::string(":20:X\n:25:NL91ABNA0417164300\n:28C:1\n:60F:C240102EUR0,\n"
                                       ":61:240103C1,NTRFNONREF\n:86:/REMI/USTD//") +
                           purpose + "/\n:62F:C240103EUR1,\n";
  const MtDocument doc = written(bank_read(text));
  expect_swift_form(doc.text);
  const auto again = bank_read(doc.text);
  ASSERT_EQ(again.size(), 1u);
  EXPECT_EQ(fields_of(again[0].transactions[0]).purpose, purpose);
}

TEST(MtWriter, EndsLinesAsAsked) {
  const auto statements = bank_read(":20:A\n:25:1\n:28C:1\n:60F:C240102EUR0,\n:62F:C240103EUR0,\n");
  EXPECT_EQ(export_mt(statements, MtOptions{true})->text, ":20:A\r\n:25:1\r\n:28C:1\r\n:60F:C240102EUR0,00\r\n:62F:C240103EUR0,00\r\n");
}

// An amount keeps its digits with a comma and two fraction digits, however many its
// text was read with: the point is found from the amount's scale, so every scale counts.
TEST(MtWriter, WritesAmountsOfEveryScaleWithTwoFractionDigits) {
  const struct {
    std::string_view read;
    std::string_view written;
  } rows[] = {
      {"C0,", "C0,00"},           {"C7,", "C7,00"},           {"C100,", "C100,00"},
      {"C1,5", "C1,50"},          {"C12,34", "C12,34"},       {"C1,230", "C1,23"},
      {"C1,2300", "C1,23"},       {"C0,05", "C0,05"},         {"C0,0500", "C0,05"},
      {"D1234567,89", "D1234567,89"}, {"D5,000000", "D5,00"}, {"C123456789012,", "C123456789012,00"},
  };
  for (const auto& row : rows) {
    const std::string balance = std::string("240102EUR").insert(0, row.read.substr(0, 1)) + std::string(row.read.substr(1));
    const auto statements = bank_read(":20:A\n:25:1\n:28C:1\n:60F:" + balance + "\n:62F:" + balance + "\n");
    const std::string expected = std::string(row.written.substr(0, 1)) + "240102EUR" + std::string(row.written.substr(1));
    EXPECT_EQ(written(statements).text, ":20:A\n:25:1\n:28C:1\n:60F:" + expected + "\n:62F:" + expected + "\n") << row.read;
  }
}

// Over every real file: the exact reading accepts what is written for its statements and
// reads the same values back, and writing what was read back gives the same text again.
TEST(MtWriter, CorpusRoundTrips) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t files = 0;
  for (const auto& data : test::data_files(corpus)) {
    auto file = read_bank_file(test::read_bytes(data.path), {});
    if (!file) continue;
    const std::string& name = data.name;
    auto document = export_mt(file->statements, MtOptions{false});
    if (!document) continue;
    ++files;
    expect_swift_form(document->text);

    auto again = read_bank_file(document->text, {});
    ASSERT_TRUE(again) << name << ": " << message(again.error()) << "\n" << document->text;
    auto twice = export_mt(again->statements, MtOptions{false});
    ASSERT_TRUE(twice) << name;
    EXPECT_EQ(twice->text, document->text) << name;

    std::vector<Statement> kept;
    for (const Statement& s : file->statements) {
      if (s.kind == StatementKind::Statement) kept.push_back(s);
    }
    auto only_statements = export_mt(kept, MtOptions{false});
    if (!only_statements) continue;
    auto exact = parse_statements(only_statements->text, select_chain("auto"));
    ASSERT_TRUE(exact) << name << ": " << message(exact.error()) << "\n" << only_statements->text;
    std::size_t at = 0;
    for (const Statement& s : kept) {
      if (std::any_of(document->warnings.begin(), document->warnings.end(),
                      [&](const std::string& w) { return w.find("'" + std::string(s.transaction_reference) + "'") != std::string::npos; })) {
        continue;
      }
      ASSERT_LT(at, exact->size()) << name;
      const Statement& r = (*exact)[at++];
      EXPECT_EQ(r.opening_balance.signed_amount(), s.opening_balance.signed_amount()) << name;
      EXPECT_EQ(r.opening_balance.date, s.opening_balance.date) << name;
      EXPECT_EQ(r.closing_balance.signed_amount(), s.closing_balance.signed_amount()) << name;
      EXPECT_EQ(r.closing_balance.date, s.closing_balance.date) << name;
      EXPECT_EQ(r.closing_balance.intermediate, s.closing_balance.intermediate) << name;
      ASSERT_EQ(r.transactions.size(), s.transactions.size()) << name;
      for (std::size_t i = 0; i < s.transactions.size(); ++i) {
        const Transaction& a = s.transactions[i];
        const Transaction& b = r.transactions[i];
        EXPECT_EQ(b.signed_amount(), a.signed_amount()) << name << " entry " << i;
        EXPECT_EQ(b.value_date, a.value_date) << name << " entry " << i;
        EXPECT_EQ(b.entry_date, a.entry_date) << name << " entry " << i;
        EXPECT_EQ(b.debit_credit, a.debit_credit) << name << " entry " << i;
        if (a.customer_reference.size() <= 16 && a.customer_reference.find('/') == std::string_view::npos &&
            !a.customer_reference.empty()) {
          EXPECT_EQ(b.customer_reference, a.customer_reference) << name << " entry " << i;
        }
      }
    }
  }
  EXPECT_GT(files, 100u);
}

// A text as MT940 holds it: in the X set, without its blanks (lines are joined where
// they were cut), slashes of sub-fields written as "-".
std::string as_mt_holds(std::string_view text, bool slash_allowed = false) {
  std::string x;
  detail::append_swift_x(trim_white_space(text), x);
  std::string out;
  for (const char c : x) {
    if (c != ' ') out += c == '/' && !slash_allowed ? '-' : c;
  }
  return out;
}

// camt -> model -> MT940 -> bank-file reading keeps what MT940 can hold; docs/formats.md
// lists what it cannot, which is left out here.
void expect_same_through_mt(const Statement& camt, const Statement& mt, const std::string& where) {
  SCOPED_TRACE(where);
  EXPECT_EQ(mt.kind, camt.kind);
  EXPECT_EQ(mt.transaction_reference, as_mt_holds(camt.transaction_reference).substr(0, 16));
  // No number is written as 0, a longer one as its last five digits.
  const std::string_view number = camt.number.empty() ? std::string_view("0") : camt.number;
  EXPECT_EQ(mt.number, number.substr(number.size() > 5 ? number.size() - 5 : 0));
  if (camt.kind == StatementKind::Statement) {
    for (const auto& [a, b] : {std::pair{&camt.opening_balance, &mt.opening_balance},
                               {&camt.closing_balance, &mt.closing_balance}}) {
      EXPECT_EQ(a->signed_amount(), b->signed_amount());
      EXPECT_EQ(a->date, b->date);
      EXPECT_EQ(a->intermediate, b->intermediate);
    }
    EXPECT_EQ(mt.closing_available_balance.has_value(), camt.closing_available_balance.has_value());
    EXPECT_EQ(mt.forward_balances.size(), camt.forward_balances.size());
  }
  ASSERT_EQ(mt.transactions.size(), camt.transactions.size());
  for (std::size_t i = 0; i < camt.transactions.size(); ++i) {
    const Transaction& a = camt.transactions[i];
    const Transaction& b = mt.transactions[i];
    SCOPED_TRACE("entry " + std::to_string(i + 1));
    EXPECT_EQ(b.signed_amount(), a.signed_amount());
    EXPECT_EQ(b.debit_credit, a.debit_credit);
    EXPECT_EQ(b.value_date, a.value_date);
    EXPECT_EQ(b.entry_date, a.entry_date);
    if (a.bank_reference && a.bank_reference->size() <= 16) {
      EXPECT_EQ(b.bank_reference.value_or(""), as_mt_holds(*a.bank_reference));
    }
    if (a.customer_reference.size() <= 16) {
      EXPECT_EQ(b.customer_reference, a.customer_reference.empty() ? "NONREF" : as_mt_holds(a.customer_reference));
    }
    const auto code = a.structured_details ? camt::given_transaction_code(*a.structured_details) : std::nullopt;
    EXPECT_EQ(b.transaction_type, !a.transaction_type.empty() ? a.transaction_type
                                  : code                      ? camt::swift_type_of(*code)
                                                              : "NMSC");
    const DerivedFields fa = fields_of(a);
    const DerivedFields fb = fields_of(b);
    EXPECT_EQ(as_mt_holds(fb.purpose, true), as_mt_holds(fa.purpose, true).substr(0, as_mt_holds(fb.purpose, true).size()));
    EXPECT_EQ(as_mt_holds(fb.counterparty), as_mt_holds(fa.counterparty));
    EXPECT_EQ(fb.counter_iban, fa.counter_iban);
    EXPECT_EQ(fb.counterparty_bic, fa.counterparty_bic);
    EXPECT_EQ(fb.end_to_end_reference, as_mt_holds(fa.end_to_end_reference));
    EXPECT_EQ(fb.mandate_reference, as_mt_holds(fa.mandate_reference));
    EXPECT_EQ(fb.creditor_id, as_mt_holds(fa.creditor_id));
  }
}

TEST(MtWriter, CamtCorpusThroughMtGivesTheSameStatements) {
  TALLYFOLD_SHARED_DATA(corpus, "camt-corpus");
  std::size_t compared = 0;
  for (const auto& data : test::data_files(corpus)) {
    const auto file = read_camt(test::read_bytes(data.path));
    if (!file) continue;
    for (std::size_t i = 0; i < file->statements.size(); ++i) {
      const Statement& camt = file->statements[i];
      const std::string where = data.name + " #" + std::to_string(i + 1);
      // One text per statement, so that a statement the writer leaves out is told apart.
      const auto written = export_mt(std::span(&camt, 1), MtOptions{false});
      if (camt.kind == StatementKind::Notification) {
        ASSERT_FALSE(written) << where;
        EXPECT_NE(message(written.error()).find("camt.054"), std::string::npos) << message(written.error());
        continue;
      }
      if (!written) {
        // Left out, as camt leaves them out; a report may also lack any currency.
        const std::string why = message(written.error());
        EXPECT_TRUE(why.ends_with("the statement is incomplete") || why.ends_with("its currency is unknown"))
            << where << ": " << why;
        continue;
      }
      expect_swift_form(written->text);
      const auto again = read_bank_file(written->text, {});
      ASSERT_TRUE(again) << where << ": " << message(again.error()) << "\n" << written->text;
      ASSERT_EQ(again->statements.size(), 1u) << where;
      expect_same_through_mt(camt, again->statements[0], where);
      ++compared;
    }
  }
  EXPECT_GE(compared, 43u);
}

// The plain rule the block scan of the X set replaces: one table look per byte.
std::size_t plain_swift_x_run(std::string_view text) {
  std::size_t run = 0;
  while (run < text.size() && detail::is_swift_x(text[run])) ++run;
  return run;
}

// Every byte at every place of texts up to three blocks long, in storage of the text's
// own size so that a read past its end is one a sanitizer sees.
TEST(SwiftXRun, AgreesWithTheByteTableForEveryByteAndPlace) {
  const std::string_view x = "abcXYZ019/-?:().,'+ ";
  for (std::size_t size = 1; size <= 48; ++size) {
    const auto bytes = std::make_unique<char[]>(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = x[(i * 7 + size) % x.size()];
    const std::string_view text(bytes.get(), size);
    for (std::size_t at = 0; at < size; ++at) {
      const char kept = bytes[at];
      for (int b = 0; b < 256; ++b) {
        bytes[at] = static_cast<char>(b);
        ASSERT_EQ(detail::swift_x_run(text), plain_swift_x_run(text)) << "size " << size << ", byte " << b << " at " << at;
      }
      bytes[at] = kept;
    }
  }
}

TEST(SwiftXRun, AgreesWithTheByteTableOnMixedTexts) {
  test::XorShift next(0x9E3779B97F4A7C15u);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t size = next() % 70;
    const auto bytes = std::make_unique<char[]>(size + 1);
    for (std::size_t i = 0; i < size; ++i) {
      // Mostly the set, as real texts are, with a stray byte of any value now and then.
      const std::uint64_t r = next();
      bytes[i] = r % 23 == 0 ? static_cast<char>(r >> 8) : "aZ9 /-?:().,'+"[r % 14];
    }
    const std::string_view text(bytes.get(), size);
    ASSERT_EQ(detail::swift_x_run(text), plain_swift_x_run(text)) << text;
  }
}

// The plain rule the block rewrite of slashes replaces: one byte at a time.
std::size_t plain_slashes_to_dashes(std::string& text) {
  std::size_t count = 0;
  for (char& c : text) {
    if (c == '/') {
      c = '-';
      ++count;
    }
  }
  return count;
}

// Slashes at every pair of places (the same place twice: one slash) in texts up to three
// blocks long, held in storage of their own size so that a sanitizer sees a read past the
// end; the overlapping loads must neither miss a slash nor count one twice.
TEST(SlashesToDashes, AgreesWithTheByteRuleForEveryPairOfPlaces) {
  const std::string_view filler = "ab9 -?:().,'+Z";
  for (std::size_t size = 0; size <= 48; ++size) {
    std::string base(size, ' ');
    for (std::size_t i = 0; i < size; ++i) base[i] = filler[(i * 5 + size) % filler.size()];
    for (std::size_t first = 0; first <= size; ++first) {
      for (std::size_t second = first; second <= size; ++second) {
        std::string expected = base;
        if (first < size) expected[first] = '/';
        if (second < size) expected[second] = '/';
        const auto bytes = std::make_unique<char[]>(size);
        std::copy(expected.begin(), expected.end(), bytes.get());
        const std::size_t count = plain_slashes_to_dashes(expected);
        ASSERT_EQ(detail::slashes_to_dashes(bytes.get(), size), count) << "size " << size << " at " << first << ", " << second;
        ASSERT_EQ(std::string_view(bytes.get(), size), expected) << "size " << size << " at " << first << ", " << second;
      }
    }
  }
}

TEST(SlashesToDashes, AgreesWithTheByteRuleOnDenseTexts) {
  test::XorShift next(0x2545F4914F6CDD1Du);
  for (int round = 0; round < 5000; ++round) {
    const std::uint64_t state = next();
    const std::size_t size = state % 70;
    std::string expected(size, 'a');
    for (std::size_t i = 0; i < size; ++i) expected[i] = (state >> (i % 60)) & 1 ? '/' : "x/ -"[i % 4];
    const auto bytes = std::make_unique<char[]>(size + 1);
    std::copy(expected.begin(), expected.end(), bytes.get());
    const std::size_t count = plain_slashes_to_dashes(expected);
    ASSERT_EQ(detail::slashes_to_dashes(bytes.get(), size), count) << expected;
    ASSERT_EQ(std::string_view(bytes.get(), size), expected);
  }
}

// put_swift_x against the character rule, in storage of the text's own size both ways:
// the X form is never longer than its text, and a read or write past either end is one a
// sanitizer sees.
void expect_put_agrees(std::string_view text) {
  std::string expected;
  const std::size_t expected_changed = detail::append_swift_x(text, expected);
  const auto in = std::make_unique<char[]>(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) in[i] = text[i];
  const auto out = std::make_unique<char[]>(text.size());
  std::string dashed = expected;
  const std::size_t slashes = plain_slashes_to_dashes(dashed);
  detail::SwiftXWritten kept;
  const char* end = detail::put_swift_x(std::string_view(in.get(), text.size()), out.get(), kept);
  ASSERT_LE(static_cast<std::size_t>(end - out.get()), text.size()) << text;
  ASSERT_EQ(std::string_view(out.get(), static_cast<std::size_t>(end - out.get())), expected) << text;
  ASSERT_EQ(kept.changed, expected_changed) << text;
  ASSERT_EQ(kept.slashes, slashes) << text;
  // The same with each "/" written as "-", counted, and whether a blank was written.
  detail::SwiftXWritten written;
  end = detail::put_swift_x_dashed(std::string_view(in.get(), text.size()), out.get(), written);
  ASSERT_EQ(std::string_view(out.get(), static_cast<std::size_t>(end - out.get())), dashed) << text;
  ASSERT_EQ(written.changed, expected_changed) << text;
  ASSERT_EQ(written.slashes, slashes) << text;
  ASSERT_EQ(written.blank, expected.find(' ') != std::string::npos) << text;
}

// Characters outside the set, of every length and kind, at every place of texts up to
// three blocks long: on either side of the 4-, 8-, 16- and 32-byte edges of the copies.
TEST(PutSwiftX, AgreesWithTheCharacterRuleForEveryPlace) {
  const std::string_view odd[] = {
      "",      "\t",           "\r\n",         "&",            "\"",           "_",        "\x7F",
      "\x01",  "\xC3\xBC",     "\xC3\x9F",     "\xC3\x86",     "\xC5\x81",     "\xC2\xA0", "\xE2\x82\xAC",
      "\xE2\x80\x99",          "\xE2\x80\xAF", "\xF0\x9F\x98\x80",             "\xE2\x82",     "\xC3",
      "\x80",  "\xFF",         "\xED\xA0\x80", "\xC0\xAF",     "\xC3\xBC\xC3\x9F\xE2\x82\xAC",
  };
  const std::string_view x = "abcXYZ019/-?:().,'+ ";
  for (std::size_t size = 0; size <= 48; ++size) {
    std::string base(size, ' ');
    for (std::size_t i = 0; i < size; ++i) base[i] = x[(i * 7 + size) % x.size()];
    for (const std::string_view piece : odd) {
      for (std::size_t at = 0; at <= size; ++at) {
        std::string text = base;
        text.insert(at, piece);
        expect_put_agrees(text);
        if (::testing::Test::HasFatalFailure()) return;
      }
    }
  }
}

// Every code point up to U+3000 and the last ones, alone and inside a text.
TEST(PutSwiftX, AgreesWithTheCharacterRuleForEveryCharacter) {
  const auto utf8 = [](char32_t cp) {
    std::string s;
    if (cp < 0x80) {
      s += static_cast<char>(cp);
    } else if (cp < 0x800) {
      s += static_cast<char>(0xC0 | cp >> 6);
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      s += static_cast<char>(0xE0 | cp >> 12);
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      s += static_cast<char>(0xF0 | cp >> 18);
      s += static_cast<char>(0x80 | (cp >> 12 & 0x3F));
      s += static_cast<char>(0x80 | (cp >> 6 & 0x3F));
      s += static_cast<char>(0x80 | (cp & 0x3F));
    }
    return s;
  };
  for (char32_t cp = 0; cp < 0x10FFFF; cp = cp < 0x3000 ? cp + 1 : cp + 0x101) {
    if (cp >= 0xD800 && cp < 0xE000) continue;
    const std::string c = utf8(cp);
    expect_put_agrees(c);
    expect_put_agrees("Rechnung " + c + " 2024-01");
    expect_put_agrees(c + c + "abcdefghijklmnopq" + c);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

TEST(PutSwiftX, AgreesWithTheCharacterRuleOnMixedTexts) {
  test::XorShift next(0xD1B54A32D192ED03u);
  for (int round = 0; round < 20000; ++round) {
    const std::size_t size = next() % 80;
    std::string text(size, ' ');
    for (std::size_t i = 0; i < size; ++i) {
      const std::uint64_t r = next();
      text[i] = r % 11 == 0 ? static_cast<char>(r >> 8) : "aZ9 /-?:().,'+"[r % 14];
    }
    expect_put_agrees(text);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// The rule put_mt_amount follows with arithmetic, on the amount's text: a comma for the
// point, trailing zeros beyond two dropped, two fraction digits, at most 15 characters.
std::string plain_mt_amount(std::uint64_t mantissa, int scale) {
  std::string text = Decimal::from_parts(mantissa, scale, false)->to_string();
  std::size_t point = text.find('.');
  if (point == std::string::npos) {
    point = text.size();
    text += '.';
  }
  text[point] = ',';
  while (text.size() > point + 3 && text.back() == '0') text.pop_back();
  if (text.size() > point + 3 || point + 3 > 15) return "";
  text.append(point + 3 - text.size(), '0');
  return text;
}

// Mantissas around every limit (twelve integer digits, 64 bits, powers of ten) at every
// scale, in room of exactly 16 bytes.
TEST(PutMtAmount, AgreesWithTheTextRule) {
  std::vector<std::uint64_t> mantissas = {0, 1, 5, 9, 10, 11, 99, 100, 101, 120, 1230, 12345, 1000001,
                                          ~std::uint64_t{0}, ~std::uint64_t{0} - 15, std::uint64_t{1} << 63};
  for (std::uint64_t p = 1; p <= 1000000000000000000u; p *= 10) {
    for (const std::uint64_t m : {p - 1, p, p + 1, 2 * p, 9 * p, 12 * p, 123 * p}) mantissas.push_back(m);
  }
  for (const std::uint64_t mantissa : mantissas) {
    for (int scale = 0; scale <= Decimal::kMaxScale; ++scale) {
      const auto room = std::make_unique<char[]>(16);
      const std::size_t size = detail::put_mt_amount(mantissa, scale, room.get());
      ASSERT_EQ(std::string(room.get(), size), plain_mt_amount(mantissa, scale)) << mantissa << " scale " << scale;
    }
  }
}

}  // namespace
}  // namespace tallyfold
