#include "parser/parse_located.hpp"
#include "parser/statement_machine.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

// The exact reading: fields through the exact field parsers, the first error ends the
// parse, nothing is said about skipped fields.
struct ExactPolicy {
  using Error = ParseError;
  struct Extra {};
  using Builder = detail::StatementBuilder<Extra>;
  static constexpr bool kCountsLines = false;
  static constexpr bool kKeepsIncompleteStatements = false;
  static constexpr bool kKeepsTextLikeTags = false;

  static std::optional<ParseError> left_out(std::string_view, std::string_view, ParseError e, std::size_t) {
    return e;
  }
  static std::optional<ParseError> statement_line(std::string_view content, Transaction& out, TextBuffer&,
                                                  std::size_t) {
    return detail::read_statement_line(content, out);
  }
  static Result<Balance> balance(std::string_view, std::string_view content, Builder&, TextBuffer&, std::size_t) {
    return parse_balance(content);
  }
  static void started(Builder&) noexcept {}
  static void kept(const Builder&) noexcept {}
  static void field(std::string_view, detail::Action, detail::State, bool, Builder*, std::size_t) noexcept {}
  static std::optional<ParseError> incomplete(MissingMandatoryTag missing, Builder&, bool) { return missing; }
  static ParseError no_statement() noexcept { return NoData{}; }
};

// The exact reading, with the line of its error.
struct LocatedExactPolicy : ExactPolicy {
  using Error = LocatedError;
  static constexpr bool kCountsLines = true;

  static LocatedError error(ParseError e, std::size_t line) { return LocatedError{line, std::move(e)}; }
  static std::optional<LocatedError> left_out(std::string_view, std::string_view, ParseError e, std::size_t line) {
    return LocatedError{line, std::move(e)};
  }
  static std::optional<LocatedError> incomplete(MissingMandatoryTag missing, Builder& b, bool) {
    return LocatedError{b.line, std::move(missing)};
  }
  static LocatedError no_statement() { return LocatedError{0, NoData{}}; }
};

static_assert(detail::StatementPolicy<ExactPolicy>);
static_assert(detail::StatementPolicy<LocatedExactPolicy>);

}  // namespace

Result<std::vector<Statement>, LocatedError> parse_statements_located(std::string_view text,
                                                                     const DecoderChain& chain) {
  LocatedExactPolicy policy;
  return detail::run_statement_machine(text, chain, policy);
}

Result<std::vector<Statement>> parse_statements(std::string_view text, const DecoderChain& chain) {
  ExactPolicy policy;
  return detail::run_statement_machine(text, chain, policy);
}

}  // namespace tallyfold
