#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "parser/statement_machine.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

// The smallest policy the machine takes, and two that promise hooks they lack: the
// concept must refuse those, or a reading could compile without the hooks it relies on.
struct Minimal {
  using Error = ParseError;
  struct Extra {};
  using Builder = detail::StatementBuilder<Extra>;
  static constexpr bool kCountsLines = false;
  static constexpr bool kKeepsIncompleteStatements = false;
  static constexpr bool kKeepsTextLikeTags = false;
  std::optional<ParseError> left_out(std::string_view, std::string_view, ParseError e, std::size_t) { return e; }
  std::optional<ParseError> statement_line(std::string_view, Transaction&, TextBuffer&, std::size_t) { return {}; }
  Result<Balance> balance(std::string_view, std::string_view c, Builder&, TextBuffer&, std::size_t) {
    return parse_balance(c);
  }
  void started(Builder&) {}
  void kept(const Builder&) {}
  void field(std::string_view, detail::Action, detail::State, bool, Builder*, std::size_t) {}
  std::optional<ParseError> incomplete(MissingMandatoryTag m, Builder&, bool) { return m; }
  ParseError no_statement() { return NoData{}; }
};
struct KeepsTagsWithoutHooks : Minimal {
  static constexpr bool kKeepsTextLikeTags = true;
};
struct ReadsReportsWithoutHook : Minimal {
  static constexpr bool kReadsInterimReports = true;
};
static_assert(detail::StatementPolicy<Minimal>);
static_assert(!detail::StatementPolicy<KeepsTagsWithoutHooks>);
static_assert(!detail::StatementPolicy<ReadsReportsWithoutHook>);

// Only the catch-all, so what reaches the chain is visible under "detail" whatever the
// other decoders recognise.
const Decoder* const kDetailOnly[] = {&unstructured_decoder()};

Result<std::vector<Statement>> parse(std::string_view text) {
  return parse_statements(text, DecoderChain(kDetailOnly));
}

std::vector<Statement> parse_ok(std::string_view text) {
  auto r = parse(text);
  if (!r) ADD_FAILURE() << message(r.error());
  return r ? std::move(*r) : std::vector<Statement>{};
}

std::optional<std::string> decoded_detail(const Transaction& t) {
  if (!t.structured_details) return std::nullopt;
  if (auto v = t.structured_details->find("detail")) return std::string(*v);
  return std::nullopt;
}

constexpr std::string_view kHead = ":20:REF1\n:25:ACC\n:28C:7/1\n:60F:C230101EUR100,00\n";
constexpr std::string_view kClose = ":62F:C230131EUR90,00\n";

std::string statement(std::string_view body, std::string_view reference = "REF1") {
  std::string s = ":20:" + std::string(reference) + "\n" + std::string(kHead.substr(9));
  return s + std::string(body) + std::string(kClose);
}

// First in this file, so that the threads race for the pattern's one-time compilation.
TEST(Parser, ThreadsParseAtOnce) {
  const std::string text = statement(":61:230102C1,NTRFA//B\n:86:x\n:61:230103D2,5NMSCB\n");
  std::vector<int> good(8, 0);
  std::vector<std::thread> threads;
  for (int& count : good) {
    threads.emplace_back([&text, &count] {
      for (int k = 0; k < 200; ++k) {
        auto r = parse(text);
        count += r && (*r)[0].transactions.at(1).amount.to_string() == "2.50";
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, std::vector<int>(8, 200));
}

TEST(Parser, NoData) {
  const std::string_view kRows[] = {
      "", "\n", "\r\n\r\n", "just text\n:no second colon\n", "  :20:indented\n",
      ":25:ACC\n:28C:1\n:60F:C230101EUR1,00\n:62F:C230101EUR1,00\n",  // no :20:
  };
  for (auto text : kRows) {
    SCOPED_TRACE(text);
    auto r = parse(text);
    ASSERT_FALSE(r);
    EXPECT_TRUE(std::holds_alternative<NoData>(r.error()));
  }
}

TEST(Parser, WholeStatement) {
  const auto s = parse_ok(
      "{1:F01BANK}{2:I940}{4:\n"  // envelope line before the first field: skipped
      ":20:STMT-1\n:21:REL\n:25:DE001/42\n:28C:00012/003\n:60M:D230101EUR1_000,5\n"
      ":61:2301020102C12,NTRFREF//BANK\n:86:first\n:61:230103DR3,45NCHG\nsupplementary\n"
      ":62M:C230131EUR0,\n:64:C230131EUR2,\n:65:C230201EUR3,\n:65:C230202EUR4,\n:86:owner\n");
  ASSERT_EQ(s.size(), 1u);
  const Statement& st = s[0];
  EXPECT_EQ(st.transaction_reference, "STMT-1");
  EXPECT_EQ(st.related_reference, "REL");
  EXPECT_EQ(st.account_identification, "DE001/42");
  EXPECT_EQ(st.number, "00012");
  EXPECT_EQ(st.sequence, "003");
  EXPECT_EQ(st.opening_balance.debit_credit, DebitCreditMark::Debit);
  EXPECT_EQ(st.opening_balance.amount.to_string(), "1000.50");
  EXPECT_EQ(st.closing_balance.amount.to_string(), "0.00");
  EXPECT_EQ(st.closing_available_balance->amount.to_string(), "2.00");
  EXPECT_EQ(st.forward_available_balance->date.to_iso(), "2023-02-02");
  ASSERT_EQ(st.forward_balances.size(), 2u);
  EXPECT_EQ(st.forward_balances[0].amount.to_string(), "3.00");
  EXPECT_EQ(st.forward_balances[1].date.to_iso(), "2023-02-02");
  EXPECT_TRUE(st.opening_balance.intermediate);
  EXPECT_TRUE(st.closing_balance.intermediate);
  EXPECT_FALSE(st.closing_available_balance->intermediate);
  EXPECT_EQ(st.information_to_account_owner, "owner");
  ASSERT_EQ(st.transactions.size(), 2u);
  EXPECT_EQ(st.transactions[0].details, "first");
  ASSERT_TRUE(decoded_detail(st.transactions[0]));
  EXPECT_EQ(*decoded_detail(st.transactions[0]), "first");
  EXPECT_EQ(st.transactions[1].extra_details, "supplementary");
  EXPECT_EQ(st.transactions[1].funds_code, 'R');
  EXPECT_TRUE(st.transactions[1].details.empty());
  EXPECT_FALSE(st.transactions[1].structured_details);
}

TEST(Parser, LineEndsAndContinuations) {
  const std::string lf = statement(":61:230102C1,00NTRFX\nsup\n:86:one\ntwo\n\nthree\n");
  std::string crlf;
  for (char c : lf) crlf += c == '\n' ? std::string("\r\r\n") : std::string(1, c);
  crlf.pop_back();  // the last line ends without a line feed, after its carriage returns
  for (const std::string& text : {lf, crlf}) {
    SCOPED_TRACE(text);
    const auto s = parse_ok(text);
    ASSERT_EQ(s.size(), 1u);
    ASSERT_EQ(s[0].transactions.size(), 1u);
    EXPECT_EQ(s[0].transactions[0].extra_details, "sup");
    EXPECT_EQ(s[0].transactions[0].details, "onetwothree");
    EXPECT_EQ(s[0].closing_balance.amount.to_string(), "90.00");
  }
  // A carriage return inside a line stays.
  EXPECT_EQ(parse_ok(statement(":61:230102C1,00NTRFX\n:86:a\rb\r\n"))[0].transactions[0].details, "a\rb");
  // A continuation that looks like a tag line starts a skipped field; its text is lost.
  EXPECT_EQ(parse_ok(statement(":61:230102C1,00NTRFX\n:86:a\n:b:c\nd\n"))[0].transactions[0].details, "a");
}

TEST(Parser, SkippedFields) {
  const auto s = parse_ok(
      ":61:junk before any statement\n:20:R\n:86:skipped in header\n:61:also skipped\n"
      ":25:A\n:28C:1\n:XYZ:unknown\n:60F:C230101EUR1,\n"
      ":86:no transaction yet\n:25:late\n:64:not a balance\n:60F:not a balance\n"
      ":61:230102C1,NTRFX\n:62F:C230101EUR1,\n:61:not read\n:62F:not read\n::odd\n");
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].account_identification, "A");
  ASSERT_EQ(s[0].transactions.size(), 1u);
  EXPECT_TRUE(s[0].transactions[0].details.empty());
  EXPECT_FALSE(s[0].closing_available_balance);
}

TEST(Parser, RepeatedFields) {
  const auto s = parse_ok(
      ":20:R\n:25:first\n:25:second\n:28C:1/2\n:28C:3\n:60F:C230101EUR1,\n"
      ":61:230102C1,NTRFX\n:86:line one\n:86:\n:86:line three\n"
      ":61:230102C1,NTRFY\n:86:alone\n"
      ":62F:C230101EUR1,\n:65:C230101EUR1,\n:65:C230102EUR2,\n:86:info\n:86:more\n");
  ASSERT_EQ(s.size(), 1u);
  const Statement& st = s[0];
  EXPECT_EQ(st.account_identification, "second");
  EXPECT_EQ(st.number, "3");
  EXPECT_FALSE(st.sequence);
  EXPECT_EQ(st.forward_available_balance->amount.to_string(), "2.00");
  EXPECT_EQ(st.forward_balances.size(), 2u);
  EXPECT_FALSE(st.opening_balance.intermediate);
  EXPECT_FALSE(st.closing_balance.intermediate);
  EXPECT_EQ(st.information_to_account_owner, "info\nmore");
  ASSERT_EQ(st.transactions.size(), 2u);
  EXPECT_EQ(st.transactions[0].details, "line one\n\nline three");
  EXPECT_EQ(*decoded_detail(st.transactions[0]), "line one\n\nline three");
  EXPECT_EQ(*decoded_detail(st.transactions[1]), "alone");
}

TEST(Parser, NumberAndSequence) {
  const struct { std::string_view content, number; std::optional<std::string_view> sequence; } kRows[] = {
      {"00012", "00012", std::nullopt}, {"5/", "5", ""}, {"5/2/3", "5", "2/3"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.content);
    const auto s = parse_ok(":20:R\n:25:A\n:28C:" + std::string(row.content) + "\n" + std::string(kHead.substr(kHead.find(":60F:"))) +
                            std::string(kClose));
    EXPECT_EQ(s.at(0).number, row.number);
    EXPECT_EQ(s.at(0).sequence, row.sequence);
  }
}

TEST(Parser, TwoStatements) {
  const auto s = parse_ok(statement(":61:230102C1,NTRFA\n", "A") + statement(":61:230102C2,NTRFB\n", "B"));
  ASSERT_EQ(s.size(), 2u);
  EXPECT_EQ(s[0].transaction_reference, "A");
  EXPECT_EQ(s[1].transaction_reference, "B");
  EXPECT_EQ(s[1].transactions.at(0).customer_reference, "B");
}

TEST(Parser, MissingMandatoryTags) {
  const struct { std::string_view text, tag, reference; } kRows[] = {
      {":20:R1\n:28C:1\n:60F:C230101EUR1,\n:62F:C230101EUR1,\n", ":25:", "R1"},
      {":20:R1\n:25:\n:28C:1\n:60F:C230101EUR1,\n:62F:C230101EUR1,\n", ":25:", "R1"},
      {":20:R1\n:25:A\n:28C:/1\n:60F:C230101EUR1,\n:62F:C230101EUR1,\n", ":28C:", "R1"},
      {":20:R1\n:25:A\n:28C:1\n:62F:C230101EUR1,\n", ":60F:", "R1"},
      {":20:\n:25:A\n:28C:1\n:60M:C230101EUR1,\n:61:230102C1,NTRFX\n", ":62F:", ""},
      {":20:R1\n", ":25:", "R1"},
      // A new statement while the current one lacks its closing balance ends the parse
      // with the current one's error instead of merging the two.
      {":20:R1\n:25:A\n:28C:1\n:60F:C230101EUR1,\n:61:230102C1,NTRFX\n:20:R2\n:25:B\n:28C:2\n"
       ":60F:C230101EUR1,\n:62F:C230101EUR1,\n", ":62F:", "R1"},
      {":20:R1\n:25:A\n:20:R2\n:25:B\n:28C:2\n:60F:C230101EUR1,\n:62F:C230101EUR1,\n", ":28C:", "R1"},
      {":20:R1\n:25:A\n:28C:1\n:60F:C230101EUR1,\n:62F:C230101EUR1,\n:20:R2\n", ":25:", "R2"},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    auto r = parse(row.text);
    ASSERT_FALSE(r);
    const auto& e = std::get<MissingMandatoryTag>(r.error());
    EXPECT_EQ(e.tag, row.tag);
    EXPECT_EQ(e.reference, row.reference);
  }
}

TEST(Parser, FieldErrorsPassThrough) {
  auto bad_line = parse(statement(":61:230102C1NTRFX\n"));
  ASSERT_FALSE(bad_line);
  EXPECT_EQ(std::get<InvalidFormat>(bad_line.error()).value, "230102C1NTRFX");
  // A block trailer after the closing balance joins its content: the amount fails.
  auto trailer = parse(statement("") + "-}\n");
  ASSERT_FALSE(trailer);
  EXPECT_EQ(std::get<InvalidAmount>(trailer.error()).value, "90,00-}");
  // After a statement-level :86: the trailer text is kept instead.
  EXPECT_EQ(parse_ok(statement("") + ":86:info\n-}")[0].information_to_account_owner, "info-}");
  auto bad_date = parse(":20:R\n:25:A\n:28C:1\n:60F:C230101EUR1,\n:62F:D230230EUR1,\n");
  ASSERT_FALSE(bad_date);
  EXPECT_EQ(std::get<InvalidDate>(bad_date.error()).value, "230230");
}

TEST(Parser, ResultOutlivesInput) {
  auto text = std::make_unique<std::string>(statement(":61:230102C1,NTRFREF//B\nsup\n:86:details\n"));
  auto r = parse(*text);
  text.reset();
  ASSERT_TRUE(r);
  const Transaction& t = (*r)[0].transactions.at(0);
  const std::string decoded = decoded_detail(t).value_or("");
  std::string all;
  for (const std::string_view piece : {(*r)[0].transaction_reference, (*r)[0].account_identification,
                                       t.customer_reference, *t.bank_reference, *t.extra_details, t.details,
                                       std::string_view(decoded)}) {
    all += piece;
  }
  EXPECT_EQ(all,
            "REF1ACCREFBsupdetailsdetails");
}

TEST(Parser, RepeatedAndLongFieldsStayLinear) {
  // Quadratic joining or one decode per repeated field would take minutes here.
  std::string many = ":61:230102C1,NTRFX\n";
  for (int i = 0; i < 100000; ++i) many += ":86:0123456789\n";
  for (int i = 0; i < 100000; ++i) many += "continued\n";
  const auto s = parse_ok(statement(many));
  ASSERT_EQ(s.size(), 1u);
  EXPECT_EQ(s[0].transactions.at(0).details.size(), 100000u * 11 - 1 + 100000u * 9);
}

}  // namespace
}  // namespace tallyfold
