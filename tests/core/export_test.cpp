#include <algorithm>
#include <deque>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/export.hpp"
#include "support/shared_data.hpp"
#include "support/details_map.hpp"
#include "export/text_parts.hpp"
#include "export/text_room.hpp"

namespace tallyfold {
namespace {

// Decoded maps lie in a buffer, as they do in a parsed document; this one lives as
// long as the tests.
TextBuffer texts;

using DC = DebitCreditMark;

Decimal dec(uint128 mantissa, int scale, bool negative = false) {
  return *Decimal::from_parts(mantissa, scale, negative);
}

// Expected outputs too long to read well inline live beside this file.
std::string golden(const char* name) { return test::read_bytes(std::string(TALLYFOLD_GOLDEN_DIR) + "/" + name); }

Date day(int y, unsigned m, unsigned d) { return *Date::from_ymd(y, m, d); }

Balance balance(DC mark, Date date, std::string_view currency, Decimal amount) {
  return Balance{mark, date, currency, amount};
}

Transaction line(DC mark, Date value, Decimal amount, std::string_view type, std::string_view reference) {
  Transaction t;
  t.value_date = value;
  t.debit_credit = mark;
  t.amount = amount;
  t.transaction_type = type;
  t.customer_reference = reference;
  return t;
}

void set_details(Transaction& t, std::string_view text, std::vector<DecodedDetails::Entry> map) {
  t.details = text;
  t.structured_details = test::details_map(std::move(map), texts);
}

// The texts are literals: records view their texts, and literals outlive them.
Statement statement(std::string_view reference, std::string_view account, std::string_view number,
                    Balance opening, Balance closing) {
  Statement s;
  s.transaction_reference = reference;
  s.account_identification = account;
  s.number = number;
  s.opening_balance = std::move(opening);
  s.closing_balance = std::move(closing);
  return s;
}

// Two statements covering every mark, each decoder's map shape, present and absent
// optional fields, a debit closing balance and the number layouts.
std::vector<Statement> sample_document() {
  Statement s1 = statement("STMT1", "DE89370400440532013000", "00001",
                           balance(DC::Credit, day(2024, 3, 28), "EUR", dec(150000, 2)),
                           balance(DC::Debit, day(2024, 3, 31), "EUR", dec(1999, 3)));
  s1.related_reference = "REL1";
  s1.sequence = "001";
  s1.closing_available_balance = balance(DC::Credit, day(2024, 4, 1), "EUR", dec(7, 0));
  s1.information_to_account_owner = "Info\tline";

  Transaction t1 = line(DC::Credit, day(2024, 3, 30), dec(123450, 2), "NTRF", "NONREF");
  t1.entry_date = day(2024, 3, 29);
  t1.funds_code = 'R';
  t1.bank_reference = "BANK1";
  t1.extra_details = "extra";
  set_details(t1, "/EREF/E1/NAME/ACME, Inc/IBAN/DE02/REMI/Invoice \"7\"",
              {{"EREF", "E1"}, {"NAME", "ACME, Inc"}, {"IBAN", "DE02"}, {"REMI", "Invoice \"7\""}});

  Transaction t2 = line(DC::Debit, day(2024, 3, 30), dec(0, 2), "NMSC", "");
  set_details(t2, "166?20first?21second?32Jane?33Doe",
              {{"gvc", "166"}, {"20", "first"}, {"21", "second"}, {"32", "Jane"}, {"33", "Doe"},
               {"REMI_COMBINED", "first second"}});

  Transaction t3 = line(DC::ReversalCredit, day(2024, 3, 30), dec(1000, 2), "NTRF", "REF3");
  t3.bank_reference = "";
  set_details(t3, "X<20Pay<27Bob<31DE31",
              {{"tx_code", "X"}, {"20", "Pay"}, {"27", "Bob"}, {"31", "DE31"}});

  Transaction t4 = line(DC::ReversalDebit, day(2024, 3, 31), dec(1000, 2), "NCHK", "REF4");
  s1.transactions = {t1, t2, t3, t4};

  Statement s2 = statement("STMT2", "NL91ABNA0417164300", "2",
                           balance(DC::Debit, day(2024, 4, 1), "USD", dec(5, 2)),
                           balance(DC::Credit, day(2024, 4, 2), "USD", dec(1234, 2)));
  s2.closing_available_balance = balance(DC::Credit, day(2024, 4, 3), "USD", dec(15, 7));
  s2.forward_available_balance =
      balance(DC::Credit, day(2024, 4, 4), "USD", dec(1000000000000000000, 2));
  Transaction t5 = line(DC::Debit, day(2024, 4, 2), dec(10000, 2), "NTRF", "R,1");
  t5.entry_date = day(2024, 4, 2);
  t5.bank_reference = "B2";
  set_details(t5, "Rent March", {{"detail", "Rent March"}});
  s2.transactions = {t5};
  return {s1, s2};
}

// One statement holding one transaction, for tests that vary a single text.
std::vector<Statement> single_line(Transaction t, std::string_view currency = "EUR") {
  Statement s = statement("S", "A", "1", balance(DC::Credit, day(2024, 1, 1), currency, dec(0, 2)),
                          balance(DC::Credit, day(2024, 1, 2), currency, dec(0, 2)));
  s.transactions = {std::move(t)};
  return {s};
}

Transaction plain_line() { return line(DC::Credit, day(2024, 1, 1), dec(100, 2), "NTRF", "R"); }

// The excel-eu file holds the same transactions: only separators, decimal marks, line
// ends and the quoting that follows the separator differ.
TEST(ExportCsv, SampleDocument) {
  for (const auto& [dialect, name] : {std::pair{CsvDialect::Standard, "sample_document.csv"},
                                      std::pair{CsvDialect::ExcelEu, "sample_document.excel-eu.csv"}}) {
    const auto csv = export_csv(sample_document(), {dialect});
    ASSERT_TRUE(csv);
    EXPECT_EQ(*csv, golden(name)) << name;
  }
}

TEST(ExportCsv, FieldQuoting) {
  constexpr auto kStd = CsvDialect::Standard;
  constexpr auto kEu = CsvDialect::ExcelEu;
  const struct { CsvDialect dialect; std::string_view text, field; } kRows[] = {
      {kStd, "", ""},
      {kStd, "a;b", "a;b"},
      {kStd, " padded ", " padded "},
      {kStd, "a,b", "\"a,b\""},
      {kStd, "say \"hi\"", "\"say \"\"hi\"\"\""},
      {kStd, "two\nlines", "\"two\nlines\""},
      {kStd, "cr\ronly", "\"cr\ronly\""},
      {kEu, "", ""},
      {kEu, "a,b", "a,b"},
      {kEu, "a;b", "\"a;b\""},
      {kEu, "say \"hi\"", "\"say \"\"hi\"\"\""},
      {kEu, "two\nlines", "\"two\nlines\""},
      {kEu, "cr\ronly", "\"cr\ronly\""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    Transaction t = plain_line();
    t.details = row.text;  // no map: the purpose is the details text
    const auto csv = export_csv(single_line(std::move(t)), {row.dialect});
    ASSERT_TRUE(csv);
    const std::string tail = row.dialect == kStd ? "," + std::string(row.field) + ",1.00,N\n"
                                                 : ";" + std::string(row.field) + ";1,00;N\r\n";
    EXPECT_TRUE(csv->ends_with(tail)) << *csv;
  }
}

// What a spreadsheet would run as a formula or pad becomes plain text; the amount after
// it stays a number.
TEST(ExportCsv, SafeCellsAreTrimmedAndNeverFormulas) {
  const struct { std::string_view text, field; } kRows[] = {
      {"=HYPERLINK(\"http://x\",\"y\")", "\"'=HYPERLINK(\"\"http://x\"\",\"\"y\"\")\""},
      {"+31 6 1234", "'+31 6 1234"},
      {"-minus", "'-minus"},
      {"@SUM(A1)", "'@SUM(A1)"},
      {" \t =padded\xC2\xA0 ", "'=padded"},
      {"  padded text  ", "padded text"},
      {"a-b, c", "\"a-b, c\""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    Transaction t = plain_line();
    t.details = row.text;
    const auto csv = export_csv(single_line(std::move(t)), {.dialect = CsvDialect::Excel, .safe_cells = true});
    ASSERT_TRUE(csv);
    EXPECT_TRUE(csv->ends_with("," + std::string(row.field) + ",1.00,N\r\n")) << *csv;
  }
}

TEST(ExportCsv, AmountKeepsExactlyTwoDecimals) {
  const struct { Decimal amount; DC mark; std::string_view text; } kRows[] = {
      {dec(100, 0), DC::Debit, "-100.00"},
      {dec(5, 1), DC::Credit, "0.50"},
      {dec(1999, 3), DC::Credit, "1.99"},
      {dec(0, 2), DC::Debit, "-0.00"},
      {dec(0, 0), DC::Credit, "0.00"},
      {dec(7, 2), DC::Credit, "0.07"},
      {dec(1152921504606846975, 2), DC::Credit, "11529215046068469.75"},  // 2^60 - 1
      {dec(1152921504606846976, 2), DC::Debit, "-11529215046068469.76"},
      {dec((uint128{1} << 96) - 1, 0), DC::Credit, "79228162514264337593543950335.00"},
      {dec(1, 28), DC::Debit, "-0.00"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    Transaction t = plain_line();
    t.amount = row.amount;
    t.debit_credit = row.mark;
    const auto csv = export_csv(single_line(std::move(t)));
    ASSERT_TRUE(csv);
    EXPECT_TRUE(csv->ends_with("," + std::string(row.text) + ",N\n")) << *csv;
  }
}

// The copy that looks for what needs quoting against the rule byte by byte: one probe
// at every place of texts around the step sizes, so that the last, overlapping step is
// tried too; nothing is written past the copy.
TEST(ExportCsv, QuotingCheckWhileCopyingAgreesWithEachByte) {
  const char kProbes[] = {',', ';', '"', '\n', '\r', '\0', '\t', ' ', '\'', 'x', '\x7F', '\x80', '\xC3', '\xFF'};
  for (std::size_t size = 0; size <= 40; ++size) {
    for (std::size_t at = 0; at < std::max<std::size_t>(size, 1); ++at) {
      for (const char probe : kProbes) {
        std::string text(size, 'a');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
        if (size > 0) text[at] = probe;
        SCOPED_TRACE(::testing::Message() << "size " << size << " at " << at << " byte " << int{probe});
        const auto by_rule = [&text](char sep) {
          return std::any_of(text.begin(), text.end(),
                             [sep](char c) { return c == sep || c == '"' || c == '\n' || c == '\r'; });
        };
        std::string to(size + 8, '#');
        EXPECT_EQ(detail::csv_copy_finds_special<','>(text, to.data()), by_rule(','));
        EXPECT_EQ(to, text + std::string(8, '#'));
        to.assign(size + 8, '#');
        EXPECT_EQ(detail::csv_copy_finds_special<';'>(text, to.data()), by_rule(';'));
        EXPECT_EQ(to, text + std::string(8, '#'));
        to.assign(size + 8, '#');
        EXPECT_EQ(detail::put_bytes(to.data(), text), to.data() + size);
        EXPECT_EQ(to, text + std::string(8, '#'));
      }
    }
  }
}

// The date written in place against Date::append_iso, across the year widths.
TEST(ExportCsv, DateInPlaceAgreesWithIsoText) {
  for (const int year : {-32767, -1000, -999, -1, 0, 9, 99, 999, 1000, 1970, 2024, 9999, 10000, 32767}) {
    for (const auto& [month, d] : {std::pair{1u, 1u}, std::pair{2u, 28u}, std::pair{9u, 30u}, std::pair{12u, 31u}}) {
      const Date date = day(year, month, d);
      std::string expected;
      date.append_iso(expected);
      char text[32];
      const char* end = detail::put_iso_date(text, date);
      EXPECT_EQ(std::string_view(text, static_cast<std::size_t>(end - text)), expected);
    }
  }
}

// Fields whose texts need quoting at the start, the end or across parts of a derived
// field, beside plain ones in the same row: the rows around them stay as they were.
TEST(ExportCsv, QuotedFieldsAmongPlainOnes) {
  Transaction t = plain_line();
  t.customer_reference = "\"lead";
  t.bank_reference = "trail,";
  set_details(t, "", {{"20", "first part"}, {"21", "second, part"}, {"31", "DE02"}, {"32", "Jane"}});
  std::vector<Statement> doc = single_line(t);
  doc[0].transactions.push_back(plain_line());
  const auto csv = export_csv(doc);
  ASSERT_TRUE(csv);
  EXPECT_TRUE(csv->ends_with(
      "\n1,A,EUR,2024-01-01,2024-01-01,NTRF,\"\"\"lead\",\"trail,\",Jane,DE02,\"first part second, part\",1.00,N\n"
      "1,A,EUR,2024-01-01,2024-01-01,NTRF,R,,,,,1.00,N\n"))
      << *csv;
}

// The error names the first ill-formed sequence's byte in the whole output, wherever it
// lies: in a plain, quoted or joined field, in the statement columns, after rows of
// well-formed letters, in a later chunk. The byte is where a marker lands in the same
// output with the marker in its place.
TEST(ExportCsv, IllFormedUtf8IsFoundWhereverItLies) {
  const struct {
    const char* name;
    std::size_t rows_before;
    std::string_view reference, account, purpose_line;
  } kRows[] = {
      {"reference", 0, "ok@", "A", "Zahlung"},
      {"joined purpose", 0, "R", "A", "Zahlung @"},
      {"quoted field", 0, "a,@", "A", "Zahlung"},
      {"statement column", 0, "R", "DE@", "Zahlung"},
      {"after letters", 3, "M\xC3\xBCller @", "A", "J\xC3\xB6rg"},
      {"in a later chunk", 4000, "R", "A", "Gr\xC3\xBC\xC3\x9F @ Gr\xC3\xBC\xC3\x9F"},
  };
  const auto document = [](const auto& row, std::string_view bad) {
    static std::deque<std::string> keep;  // outlives the records, and never moves a text
    const auto with = [&](std::string_view text) -> std::string_view {
      std::string s(text);
      if (const auto at = s.find('@'); at != std::string::npos) s.replace(at, 1, bad);
      return keep.emplace_back(std::move(s));
    };
    Transaction plain = plain_line();
    set_details(plain, "", {{"20", "Gr\xC3\xBC\xC3\x9F" + std::string(60, 'x')}, {"32", "J\xC3\xB6rg"}});
    std::vector<Statement> doc = single_line(plain);
    doc[0].transactions.clear();
    for (std::size_t i = 0; i < row.rows_before; ++i) doc[0].transactions.push_back(plain);
    Transaction t = plain_line();
    t.customer_reference = with(row.reference);
    set_details(t, "", {{"20", "first"}, {"21", std::string(with(row.purpose_line))}});
    doc[0].transactions.push_back(t);
    doc[0].transactions.push_back(plain);
    doc[0].account_identification = with(row.account);
    return doc;
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    const auto marked = export_csv(document(row, "~"));
    ASSERT_TRUE(marked);
    const std::size_t at = marked->find('~');
    ASSERT_NE(at, std::string::npos);
    for (const std::string_view bad : {"\xC3", "\xFF", "\xE2\x82", "\xED\xA0\x80"}) {
      const auto csv = export_csv(document(row, bad));
      ASSERT_FALSE(csv);
      EXPECT_EQ(message(csv.error()), "CSV encoding error: invalid UTF-8 sequence at byte " + std::to_string(at));
    }
  }
}

TEST(ExportCsv, IllFormedUtf8IsAnError) {
  Transaction t = plain_line();
  t.customer_reference = "ok\xC3";
  const auto csv = export_csv(single_line(std::move(t)));
  ASSERT_FALSE(csv);
  EXPECT_EQ(message(csv.error()),
            "CSV encoding error: invalid UTF-8 sequence at byte 156");
}

TEST(ExportJson, SampleDocument) {
  const auto json = export_json(sample_document());
  ASSERT_TRUE(json);
  EXPECT_EQ(*json, golden("sample_document.json"));
}

TEST(ExportJson, StringEscaping) {
  const struct { std::string_view text, escaped; } kRows[] = {
      {"q\"b\\t\tc\x01", R"(q\"b\\t\tc\u0001)"},
      {"\b\f\n\r\x1f\x7f/", R"(\b\f\n\r\u001f)" "\x7f/"},
      {"M\xC3\xBCller \xE2\x82\xAC", "M\xC3\xBCller \xE2\x82\xAC"},
      {"bad\xFF" "end\xC3", "bad\xEF\xBF\xBD" "end\xEF\xBF\xBD"},
      {"\xE2\x82x", "\xEF\xBF\xBDx"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.escaped);
    Transaction t = plain_line();
    t.details = row.text;
    t.structured_details = test::details_map({{std::string(row.text), "v"}}, texts);
    const auto json = export_json(single_line(std::move(t)));
    ASSERT_TRUE(json);
    const std::string escaped(row.escaped);
    EXPECT_NE(json->find("\"details\": \"" + escaped + "\",\n"), std::string::npos) << *json;
    EXPECT_NE(json->find("\n          \"" + escaped + "\": \"v\"\n"), std::string::npos);
  }
}

// The copy that looks for what needs escaping against the rule: plain when no byte is a
// control, '"' or '\\' and the text is well-formed UTF-8. Probes, and two-byte characters
// cut or whole, at every place of texts around the step sizes; nothing is written past
// the copy.
TEST(ExportJson, PlainCheckWhileCopyingAgreesWithTheRule) {
  const std::string_view kProbes[] = {"\"",   "\\",         std::string_view("\0", 1), "\x1F", " ",
                                      "\x7F", "\xC3\xBC", "\xC3",                    "\xBC", "\xE2\x82\xAC",
                                      "\xE2\x82", "\xF0\x9F\x98\x80", "\xED\xA0\x80", "\xFF"};
  for (std::size_t size = 0; size <= 40; ++size) {
    for (std::size_t at = 0; at <= size; ++at) {
      for (const std::string_view probe : kProbes) {
        std::string text(size, 'a');
        for (std::size_t i = 0; i < size; ++i) text[i] = static_cast<char>('a' + i % 26);
        text.insert(at, probe);
        SCOPED_TRACE(::testing::Message() << "size " << size << " at " << at << " probe " << ::testing::PrintToString(probe));
        const bool by_rule = std::none_of(text.begin(), text.end(), [](char c) {
                               return static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\';
                             }) && !find_invalid_utf8(text);
        std::string to(text.size() + 8, '#');
        EXPECT_EQ(detail::json_copy_is_plain(text, to.data()), by_rule);
        EXPECT_EQ(to, text + std::string(8, '#'));
      }
    }
  }
}

// Amounts written from their digits against the nearest double's shortest text, across
// digit counts, scales and signs, up to the fifteen digits that take the shortcut and
// past them.
TEST(ExportJson, AmountDigitsAgreeWithTheNearestDouble) {
  const uint128 kMantissas[] = {0, 1, 5, 10, 100, 3380, 123450, 1000000, 999999999999999, 1000000000000000,
                                100000000000000, 123456789012345, 1234567890123456, 99999999999999999,
                                (uint128{1} << 96) - 1};
  for (const uint128 mantissa : kMantissas) {
    for (const int scale : {0, 1, 2, 3, 5, 6, 7, 10, 15, 16, 20, 28}) {
      for (const DC mark : {DC::Credit, DC::Debit}) {
        Transaction t = plain_line();
        t.amount = dec(mantissa, scale);
        t.debit_credit = mark;
        std::string expected = "\"amount\": ";
        detail::format_json_number(decimal_to_double(t.signed_amount()), expected);
        SCOPED_TRACE(expected);
        const auto json = export_json(single_line(std::move(t)));
        ASSERT_TRUE(json);
        EXPECT_NE(json->find(expected + ",\n"), std::string::npos) << *json;
      }
    }
  }
}

TEST(ExportJson, NumberLayouts) {
  const struct { double x; std::string_view text; } kRows[] = {
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {7.0, "7.0"},
      {1234.5, "1234.5"},
      {-249.75, "-249.75"},
      {0.05, "0.05"},
      {0.00001, "0.00001"},
      {0.0000015, "1.5e-6"},
      {1e15, "1000000000000000.0"},
      {1e16, "1e+16"},
      {-1.2345678901234568e17, "-1.2345678901234568e+17"},
      {0.1, "0.1"},
      {5e-324, "5e-324"},
      {std::numeric_limits<double>::max(), "1.7976931348623157e+308"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    std::string out = "x";
    detail::format_json_number(row.x, out);
    EXPECT_EQ(std::string_view(out).substr(1), row.text);
  }
}

TEST(ExportCamt053, SampleDocument) {
  EXPECT_EQ(export_camt053(sample_document()), golden("sample_document.xml"));
}

TEST(ExportCamt053, RelatedPartiesNeedACounterparty) {
  Transaction t = plain_line();
  set_details(t, "x", {{"31", "DE31"}, {"REMI", "r"}});
  const std::string xml = export_camt053(single_line(std::move(t)));
  EXPECT_EQ(xml.find("RltdPties"), std::string::npos);
  EXPECT_NE(xml.find("<Ustrd>r</Ustrd>"), std::string::npos);
}

TEST(ExportCamt053, EveryTextIsEscaped) {
  Transaction t = plain_line();
  t.transaction_type = "N<&>";
  set_details(t, "x", {{"NAME", "O'Neil \"Jr\""}, {"IBAN", "DE\x01"}, {"REMI", "a\tb\x0B"}});
  std::vector<Statement> doc = single_line(std::move(t), "\"<&");
  doc[0].transaction_reference = "A&B<1>";
  doc[0].account_identification = "\xEF\xBF\xBF";
  const std::string xml = export_camt053(doc);
  for (const std::string_view piece : {
           "<Id>A&amp;B&lt;1&gt;</Id>",
           "<IBAN>\xEF\xBF\xBD</IBAN>",
           "<Ccy>&quot;&lt;&amp;</Ccy>",
           "<Amt Ccy=\"&quot;&lt;&amp;\">0.00</Amt>",  // balances
           "<Amt Ccy=\"&quot;&lt;&amp;\">1.00</Amt>",  // the entry
           "<Cd>N&lt;&amp;&gt;</Cd>",
           "<Nm>O&apos;Neil &quot;Jr&quot;</Nm>",
           "<IBAN>DE\xEF\xBF\xBD</IBAN>",
           "<Ustrd>a\tb\xEF\xBF\xBD</Ustrd>",
       }) {
    EXPECT_NE(xml.find(piece), std::string::npos) << piece;
  }
}

TEST(ExportCamt053, XmlEscape) {
  const struct { std::string_view text, escaped; } kRows[] = {
      {"&amp; <'\">", "&amp;amp; &lt;&apos;&quot;&gt;"},
      {"tab\t lf\n cr\r del\x7F", "tab\t lf\n cr\r del\x7F"},
      {std::string_view("\x00\x08\x0C\x1F", 4), "\uFFFD\uFFFD\uFFFD\uFFFD"},
      {"\xEF\xBF\xBE \xEF\xBF\xBD \xC3\xBC", "\uFFFD \uFFFD \xC3\xBC"},
      {"\xFF\xED\xA0\x80 \xF0\x9F\x98", "\uFFFD\uFFFD\uFFFD\uFFFD \uFFFD"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.escaped);
    std::string out;
    detail::xml_escape(row.text, out);
    EXPECT_EQ(out, row.escaped);
  }
}

TEST(Export, EmptyShapes) {
  Statement quiet = statement("S", "A", "1", balance(DC::Credit, day(2024, 1, 1), "EUR", dec(0, 2)),
                              balance(DC::Credit, day(2024, 1, 2), "EUR", dec(0, 2)));
  const std::vector<Statement> one_quiet = {quiet};
  const std::string_view head = "\xEF\xBB\xBFStatement,";

  EXPECT_EQ(*export_json({}), "[]");
  EXPECT_NE(export_json(one_quiet)->find("\"transactions\": []\n  }\n]"), std::string::npos);

  const std::string csv = *export_csv({});
  EXPECT_TRUE(csv.starts_with(head));
  EXPECT_TRUE(csv.ends_with(",IsReversal\n"));
  EXPECT_EQ(std::count(csv.begin(), csv.end(), '\n'), 1);
  EXPECT_EQ(*export_csv(one_quiet), csv);

  const std::string frame = export_camt053({});
  EXPECT_TRUE(frame.ends_with("    </GrpHdr>\n  </BkToCstmrStmt>\n</Document>\n")) << frame;
  const std::string quiet_xml = export_camt053(one_quiet);
  EXPECT_EQ(std::count(quiet_xml.begin(), quiet_xml.end(), '\n'), 9 + 10 + 2 * 12);
  EXPECT_EQ(quiet_xml.find("<Ntry>"), std::string::npos);
}

}  // namespace
}  // namespace tallyfold
