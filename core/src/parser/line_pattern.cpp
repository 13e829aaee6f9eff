#include "parser/line_pattern.hpp"

#include <pcre2.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>

#include "parser/statement_line.hpp"
#include "tallyfold/error.hpp"
#include "util/thread_scratch.hpp"

namespace tallyfold::detail {
namespace {

// The documented pattern writes the customer reference lazily, "([^/]*?)", and the
// bank reference greedily. Both are written possessive here. The captures cannot
// change: the customer reference can never hold a "/", so the only places where the
// rest of the pattern can start are the first "/" and the end of the line, and the
// lazy form reaches the first of them that works, which is the only one the possessive
// form tries. The lazy form retries the rest of the pattern after every character, so
// a long bank reference that fails at its end (a stray carriage return) is rescanned
// until PCRE2's match limit ends the search with an error instead of a verdict, and
// ordinary lines match several times slower.
// PCRE2_DOLLAR_ENDONLY keeps "$" from matching before a final line feed, which the
// possessive form would otherwise capture differently.
constexpr char kPattern[] =
    R"(^(\d{6})(\d{4})?(RD|RC|D|C)([A-Z])?(\d{1,15},\d{0,2})([NF][A-Za-z0-9]{3})([^/]*+)(?://([^\r\n]*+))?$)";

// PCRE2_UCP makes "\d" match every Nd digit; PCRE2_MATCH_INVALID_UTF lets arbitrary
// bytes reach the matcher safely (invalid sequences simply match nothing) instead of
// requiring validated input.
constexpr std::uint32_t kOptions =
    PCRE2_UTF | PCRE2_UCP | PCRE2_MATCH_INVALID_UTF | PCRE2_DOLLAR_ENDONLY;

// The shortest line that can match: six digits, a one-letter mark, one digit and a
// comma, and the four-byte transaction type. Every "\d" takes at least one byte.
constexpr std::size_t kShortestMatch = 13;

struct CompiledPattern {
  pcre2_code* code;
  bool jit;  // pcre2_jit_match skips checks that pcre2_match repeats on every call
};

const CompiledPattern& compiled_pattern() {
  // Never freed: threads may still be matching while static destructors run at exit.
  static const CompiledPattern pattern = [] {
    int error_code = 0;
    PCRE2_SIZE error_offset = 0;
    pcre2_code* c = pcre2_compile(reinterpret_cast<PCRE2_SPTR>(kPattern), PCRE2_ZERO_TERMINATED,
                                  kOptions, &error_code, &error_offset, nullptr);
    // The pattern is a constant: failing to compile it is a broken build, not bad input.
    if (c == nullptr) std::abort();
    // Without JIT support (or memory for it) the interpreter does the same work.
    return CompiledPattern{c, pcre2_jit_compile(c, PCRE2_JIT_COMPLETE) == 0};
  }();
  return pattern;
}

class MatchData {
 public:
  MatchData() : data_(pcre2_match_data_create_from_pattern(compiled_pattern().code, nullptr)) {
    if (data_ == nullptr) throw std::bad_alloc();
  }
  ~MatchData() { pcre2_match_data_free(data_); }
  MatchData(const MatchData&) = delete;
  MatchData& operator=(const MatchData&) = delete;

  pcre2_match_data* get() const noexcept { return data_; }

 private:
  pcre2_match_data* data_;
};

bool is_ascii(std::string_view line) noexcept {
  // Asked only of lines the tokeniser did not take: it tells the others apart on its way.
  const char* p = line.data();
  const std::size_t n = line.size();
  std::uint64_t any = 0;
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t word;
    std::memcpy(&word, p + i, sizeof word);
    any |= word;
  }
  for (; i < n; ++i) any |= static_cast<unsigned char>(p[i]);
  return (any & 0x8080808080808080u) == 0;
}

// The groups as tokens, with the values of their digits.
StatementLineTokens tokens_of(const StatementLineGroups& g) noexcept {
  StatementLineTokens t{};
  t.value_date = g.value_date;
  t.entry_date = g.entry_date;
  t.mark = g.mark;
  t.funds_code = g.funds_code;
  t.amount = g.amount;
  t.separator = ',';  // the group holds exactly one
  t.transaction_type = g.transaction_type;
  t.customer_reference = g.customer_reference;
  t.bank_reference = g.bank_reference;
  read_token_values(t);
  return t;
}

StatementLineGroups groups_of(const StatementLineTokens& t) noexcept {
  StatementLineGroups g;
  g.value_date = t.value_date;
  g.entry_date = t.entry_date;
  g.mark = t.mark;
  g.funds_code = t.funds_code;
  g.amount = t.amount;
  g.transaction_type = t.transaction_type;
  g.customer_reference = t.customer_reference;
  g.bank_reference = t.bank_reference;
  return g;
}

}  // namespace

bool operator==(const StatementLineGroups& a, const StatementLineGroups& b) noexcept {
  const auto same = [](std::string_view x, std::string_view y) { return x.data() == y.data() && x.size() == y.size(); };
  const auto same_optional = [&same](const std::optional<std::string_view>& x, const std::optional<std::string_view>& y) {
    return x.has_value() == y.has_value() && (!x || same(*x, *y));
  };
  return same(a.value_date, b.value_date) && same_optional(a.entry_date, b.entry_date) && same(a.mark, b.mark) &&
         same_optional(a.funds_code, b.funds_code) && same(a.amount, b.amount) &&
         same(a.transaction_type, b.transaction_type) && same(a.customer_reference, b.customer_reference) &&
         same_optional(a.bank_reference, b.bank_reference);
}

bool match_statement_line_otherwise(std::string_view text, StatementLineTokens& out) {
  const std::string_view line = text.substr(0, text.find('\n'));
  if (line.size() < kShortestMatch) return false;
  // Where the tokeniser and the pattern differ, "\d" meets more than ASCII digits.
  if (is_ascii(line)) return tokenise_statement_line(line, kExactForm, out);
  const auto groups = match_statement_line_by_pattern(line);
  if (!groups) return false;
  out = tokens_of(*groups);
  out.line_size = line.size();
  return true;
}

std::optional<StatementLineGroups> match_statement_line(std::string_view text) {
  StatementLineTokens tokens;
  if (!match_statement_line(text, tokens)) return std::nullopt;
  return groups_of(tokens);
}

std::optional<StatementLineGroups> match_statement_line_by_pattern(std::string_view line) {
  if (line.size() < kShortestMatch) return std::nullopt;
  const CompiledPattern& pattern = compiled_pattern();
  const MatchData& match_data = thread_scratch<const MatchData>();
  const auto subject = reinterpret_cast<PCRE2_SPTR>(line.data());
  const int rc = pattern.jit
                     ? pcre2_jit_match(pattern.code, subject, line.size(), 0, 0, match_data.get(), nullptr)
                     : pcre2_match(pattern.code, subject, line.size(), 0, 0, match_data.get(), nullptr);
  if (rc == PCRE2_ERROR_NOMATCH) return std::nullopt;
  if (rc < 0) {
    // Resource limits cannot be reached by this pattern (see kPattern); anything else
    // is a fault of the program, not a verdict on the line.
    PCRE2_UCHAR text[128];
    pcre2_get_error_message(rc, text, sizeof text);
    throw InternalError(std::string("statement-line pattern: ") + reinterpret_cast<char*>(text));
  }
  const PCRE2_SIZE* ov = pcre2_get_ovector_pointer(match_data.get());
  auto group = [&](int i) -> std::optional<std::string_view> {
    if (i >= rc || ov[2 * i] == PCRE2_UNSET) return std::nullopt;
    return line.substr(ov[2 * i], ov[2 * i + 1] - ov[2 * i]);
  };
  StatementLineGroups g;
  g.value_date = *group(1);
  g.entry_date = group(2);
  g.mark = *group(3);
  g.funds_code = group(4);
  g.amount = *group(5);
  g.transaction_type = *group(6);
  g.customer_reference = group(7).value_or(std::string_view());
  g.bank_reference = group(8);
  return g;
}

}  // namespace tallyfold::detail
