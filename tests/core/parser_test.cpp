// The exact parser beyond what cases/strict/ pins field by field: its policy contract,
// threads, lifetimes and linear time.
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
