#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <string>

#include "bankfile/steps.hpp"
#include "bankfile/tolerant_fields.hpp"
#include "parser/statement_machine.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/parse.hpp"
#include "util/codes.hpp"
#include "util/quote.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

// Whether the statement surely reconciles, told from the mantissas alone when every
// amount has the opening balance's scale and fits 64 bits, as amounts written with a
// decimal comma do. Fewer than 2^32 of them cannot leave the 96 bits of a Decimal, so
// check_statement would reach the same sum; this spares it the Decimal arithmetic for
// each of thousands of transactions. False says nothing: the full check decides then.
bool surely_reconciles(const Statement& s) noexcept {
  if (s.opening_balance.currency != s.closing_balance.currency) return false;
  const int scale = s.opening_balance.amount.scale();
  uint128 credits = 0;
  uint128 debits = 0;
  bool fits = true;
  const auto add = [&](const Decimal& amount) {
    fits &= amount.scale() == scale && (amount.mantissa() >> 64) == 0;
    // Both sums added to, one of them nothing: which side an amount is on changes from
    // one transaction to the next.
    const uint128 mantissa = amount.mantissa();
    const uint128 debit = uint128{0} - static_cast<uint128>(amount.negative());
    debits += mantissa & debit;
    credits += mantissa & ~debit;
  };
  add(s.opening_balance.signed_amount());
  for (std::size_t i = 0; i < s.transactions.size(); ++i) add(s.transactions.signed_amount(i));
  const Decimal closing = s.closing_balance.signed_amount();
  if (!fits || closing.scale() != scale) return false;
  // credits - debits == closing, in unsigned arithmetic.
  return closing.negative() ? debits == credits + closing.mantissa() : credits == debits + closing.mantissa();
}

using detail::Action;
using detail::State;

bool is_interim_tag(std::string_view tag) noexcept {
  return tag == ":34F:" || tag == ":13D:" || tag == ":13:" || tag == ":90D:" || tag == ":90C:";
}

// Tags of MT940 and MT942 statements, and the non-SWIFT ":NS:" that several banks add.
// Asked of every tag line inside details text: the tag's inner bytes are compared as one
// number rather than against each tag in turn.
bool is_statement_tag(std::string_view tag) noexcept {
  if (tag.size() < 4 || tag.size() > 5 || tag.front() != ':' || tag.back() != ':') return false;
  const auto code = [](std::string_view inner) {
    std::uint32_t n = 0;
    for (const char c : inner) n = n << 8 | static_cast<unsigned char>(c);
    return n;
  };
  // The tags that follow a transaction's details first: they are nearly all that is asked.
  static constexpr std::string_view kTags[] = {"61", "62F", "62M", "86", "20", "21", "25", "25P", "28C", "60F",
                                               "60M", "64", "65", "13", "13D", "34F", "90D", "90C", "NS"};
  static constexpr auto kCodes = [code] {
    std::array<std::uint32_t, std::size(kTags)> codes{};
    for (std::size_t i = 0; i < codes.size(); ++i) codes[i] = code(kTags[i]) | static_cast<std::uint32_t>(kTags[i].size()) << 24;
    return codes;
  }();
  // The tag's inner two or three bytes read in place: asked once a transaction, where a
  // view's bounds check and a loop cost more than the number itself.
  const auto byte = [tag](std::size_t i) { return static_cast<std::uint32_t>(static_cast<unsigned char>(tag[i])); };
  const std::uint32_t wanted = tag.size() == 4 ? (2u << 24 | byte(1) << 8 | byte(2))
                                               : (3u << 24 | byte(1) << 16 | byte(2) << 8 | byte(3));
  for (const std::uint32_t c : kCodes) {
    if (c == wanted) return true;
  }
  return false;
}

using ascii::is_digit;
using detail::is_currency_code;

// Whether the first word of `line`, up to its first blank, holds a "/". Eight bytes a
// step: a slash text's line often opens with the rest of an IBAN or a reference.
bool first_word_holds_slash(std::string_view line) noexcept {
  std::size_t i = 0;
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    const auto equal = [](std::uint64_t word, char c) {
      const std::uint64_t x = word ^ (kOnes * static_cast<unsigned char>(c));
      return (x - kOnes) & ~x & kHigh;
    };
    for (; line.size() - i >= 8; i += 8) {
      std::uint64_t word;
      std::memcpy(&word, line.data() + i, sizeof word);
      // A flag above a true one may be false, never the lowest.
      const std::uint64_t stops = equal(word, ' ') | equal(word, '/');
      if (stops != 0) return line[i + static_cast<std::size_t>(std::countr_zero(stops)) / 8] == '/';
    }
  }
  for (; i < line.size(); ++i) {
    if (line[i] == ' ') return false;
    if (line[i] == '/') return true;
  }
  return false;
}

// A statement or report as the user knows it: by its kind and its :20: reference.
std::string named(const Statement& s) {
  return (s.kind == StatementKind::InterimReport ? "interim report " : "statement ") +
         quote_value(s.transaction_reference);
}

// The exact reading's machine with tolerant field readers and recovery. Every field goes
// through the exact parser first; only what it rejects reaches the tolerant readers.
class BankPolicy {
 public:
  using Error = LocatedError;
  struct Extra {
    bool account_seen = false;
    bool number_seen = false;
    bool related_seen = false;
    std::size_t first_diagnostic = 0;  // the first diagnostic about the statement's fields
    // An opening balance read without a currency, waiting for the closing balance's.
    std::size_t opening_currency_line = 0;
    std::string_view opening_tag;  // a view into the text, which outlives the parse
    std::string opening_amount_text;
  };
  using Builder = detail::StatementBuilder<Extra>;
  static constexpr bool kCountsLines = true;
  static constexpr bool kKeepsIncompleteStatements = true;
  static constexpr bool kKeepsTextLikeTags = true;
  static constexpr bool kDecodesAfterLines = true;
  // The :61: that follows nearly every :86: is settled inline.
  static bool is_field_tag(std::string_view tag) noexcept {
    return detail::is_tag(tag, ":61:") || is_statement_tag(tag);
  }
  [[gnu::noinline]] void text_like_tag(std::string_view tag, std::size_t line) {
    note(line, std::string(tag) + " is not a statement tag: the line is kept as :86: text",
         "lines of :86: text that start like a tag kept as text");
  }
  [[gnu::noinline]] void stray_tag_line(std::size_t line) {
    note(line, "tag line led by blanks or control bytes read as a tag line",
         "tag lines led by blanks or control bytes read as tag lines");
  }

  // A bank breaks :86: text where a line is full, in the middle of a word, or earlier,
  // between words; only the second kind of break was a blank. German "?NN" subfields
  // are kept as written: their decoders count the characters of each. In "/CODE/"
  // text a break next to a "/" or before a word that holds one ("RE" + "MI/USTD//")
  // is within the layout's own separators, never between words.
  // Asked of nearly every line of a file: the tests that settle most lines stay inline
  // in the machine's loop, and a field once seen to be subfields is not looked at again.
  template <class Field>
  bool join(const Field& field, std::string_view previous, std::string_view line) {
    if (subfields_) return false;
    const std::string_view text = field();
    // The field's first four bytes never change once written. Tested without a branch
    // per byte: whether a field is subfields changes from one transaction to the next.
    if (text.size() >= 4) {
      const auto digit = [](char c) { return static_cast<unsigned char>(c - '0') < 10; };
      if (digit(text[0]) & digit(text[1]) & digit(text[2]) & (text[3] == '?')) {
        subfields_ = true;
        return false;
      }
    }
    if (previous.empty() || line.empty() || previous.back() == ' ' || line.front() == ' ') return false;
    if (line.size() >= 3 && line[0] == '?' && is_digit(line[1]) && is_digit(line[2])) return false;
    return join_words(text, previous, line);
  }
  [[gnu::noinline]] bool join_words(std::string_view text, std::string_view previous, std::string_view line) {
    // A writer that keeps a line from opening like a tag (": JS12345 IBAN: ...") breaks
    // it one character early, inside a word ("EREF" as "ERE" + "F: JS12345").
    if (line.size() > 1 && line[1] == ':' && line.find(':', 2) != std::string_view::npos) return false;
    if (text.starts_with('/') || (text.size() > 1 && text[0] == ' ' && text[1] == '/')) {
      if (previous.back() == '/') return false;
      if (first_word_holds_slash(line)) return false;
    }
    // No file's width is under SWIFT's: a shorter line was broken early without judging
    // the file's.
    if (previous.size() < detail::kSwiftDetailsWidth) return true;
    if (width_ == 0) width_ = long_lines_ != nullptr ? detail::details_line_width(text_, *long_lines_)
                                                     : detail::details_line_width(text_);
    // A line has no more characters than bytes: only a long one needs counting.
    return previous.size() < width_ || detail::character_count(previous) < width_;
  }

  static constexpr bool kReadsInterimReports = true;

  BankPolicy(std::string_view text, std::vector<Diagnostic>& diagnostics, std::vector<KeptStatement>* kept,
             const detail::LongLines* long_lines)
      : text_(text), long_lines_(long_lines), diagnostics_(diagnostics), kept_(kept) {}

  // The exact parser's work stays on the inline path; what follows its rejection does not.
  std::optional<ParseError> statement_line(std::string_view content, Transaction& t, TextBuffer& texts,
                                           std::size_t line) {
    auto error = detail::read_statement_line(content, t);
    if (error) [[unlikely]] return statement_line_tolerantly(content, t, texts, line, std::move(*error));
    // Two tests rule out both re-readings for nearly every line.
    // As one test without a branch per byte: nearly every type opens with "N".
    const std::string_view type = t.transaction_type;
    const bool no_type = type.size() == 4 && ((type[0] == 'N') & (type[1] == 'O'));
    if ((t.customer_reference.size() > 16) | no_type) [[unlikely]] {
      reread(content, t, texts, line);
    }
    return std::nullopt;
  }

  // The field is left out, and the statement read on without it; a statement that lacks
  // a balance this way is kept incomplete.
  [[gnu::noinline]] std::optional<LocatedError> left_out(std::string_view tag, std::string_view content,
                                                         const ParseError& error, std::size_t line) {
    const bool statement_line = tag == ":61:";
    const std::string what = statement_line ? std::string(":61: ") : std::string(tag) + " balance ";
    warn(line,
         what + quote_value(content.substr(0, content.find('\n'))) + " cannot be read (" + reason(error) + "): left out" +
             (statement_line ? " with its details" : ""),
         statement_line ? ":61: lines that cannot be read left out with their details"
                        : std::string(tag) + " balances that cannot be read left out");
    return std::nullopt;
  }

  Result<Balance> balance(std::string_view tag, std::string_view content, Builder& b, TextBuffer& texts,
                          std::size_t line) {
    auto balance = parse_balance(content);
    if (!balance) [[unlikely]] {
      if (!balance_tolerantly(tag, content, balance, line)) return balance;
    }
    // A file cut inside its last amount ("16297,50") ends in one without a comma.
    if (content.find(',') == std::string_view::npos) [[unlikely]] amount_without_comma(tag, content, *balance, line);
    if (detail::currency_holds_digits(content)) [[unlikely]] reread_currency(tag, content, *balance, b, line);
    // The closing balance names the currency an opening balance without one was read in.
    if (b.extra.opening_currency_line != 0 && tag.starts_with(":62")) {
      Balance& opening = b.statement.opening_balance;
      // The machine keeps only the new balance's texts.
      if (is_currency_code(balance->currency)) opening.currency = texts.keep(balance->currency);
      warn_currency(b.extra.opening_tag, b.extra.opening_amount_text, opening.currency, b.extra.opening_currency_line);
      b.extra.opening_currency_line = 0;
    }
    return balance;
  }

  void started(Builder& b) noexcept { b.extra.first_diagnostic = diagnostics_.size(); }
  void kept(const Builder& b) {
    if (kept_ != nullptr) kept_->push_back(KeptStatement{b.line, surely_reconciles(b.statement)});
    if (b.statement.kind == StatementKind::InterimReport) check_totals(b);
  }

  void unreadable(std::string_view tag, std::string_view content, std::size_t line) {
    warn(line, std::string(tag) + " " + quote_value(content) + " cannot be read: left out",
         std::string(tag) + " fields that cannot be read left out");
  }

  // Called for every tag line: the common fields return at once.
  void field(std::string_view tag, Action action, State state, bool pending, Builder* b, std::size_t line) {
    subfields_ = false;  // a new field, whose text join has not seen
    switch (action) {
      case Action::Account:
        return repeated(tag, b->extra.account_seen, *b, line);
      case Action::Number:
        return repeated(tag, b->extra.number_seen, *b, line);
      case Action::RelatedReference:
        return repeated(tag, b->extra.related_seen, *b, line);
      case Action::Skip:
        return skipped(tag, state, pending, b, line);
      default:
        return;
    }
  }

  // The statement is kept with what it has; a report has no balances to lack.
  std::optional<LocatedError> incomplete(const MissingMandatoryTag&, Builder& b, bool at_end) {
    const bool report = b.statement.kind == StatementKind::InterimReport;
    std::string lacks;
    const auto add = [&](std::string_view what) {
      if (!lacks.empty()) lacks += ", ";
      lacks += what;
    };
    if (b.statement.account_identification.empty()) add("no account (:25:)");
    if (b.statement.number.empty()) add("no statement number (:28C:)");
    if (!report && !b.opening_seen) add("no opening balance (:60F:)");
    if (!report && !b.closing_seen) {
      add(at_end ? "no closing balance (:62F:) before the text ends"
                 : "no closing balance (:62F:) before the next statement");
    }
    const std::string what = report ? "interim report " : "statement ";
    warn(b.line, what + quote_value(b.statement.transaction_reference) + " kept incomplete: " + lacks,
         (report ? "interim reports kept incomplete: " : "statements kept incomplete: ") + lacks);
    return std::nullopt;
  }

  static LocatedError no_statement() { return LocatedError{0, NoData{}}; }

 private:
  void warn(std::size_t line, std::string message, std::string kind = {}) {
    diagnostics_.push_back(Diagnostic{line, Severity::Warning, std::move(message), std::move(kind)});
  }
  void note(std::size_t line, std::string message, std::string kind) {
    diagnostics_.push_back(Diagnostic{line, Severity::Note, std::move(message), std::move(kind)});
  }

  // Why a field could not be read, without the field's value, which the caller quotes.
  static std::string reason(const ParseError& error) {
    if (std::holds_alternative<InvalidDate>(error)) return "no valid date";
    if (std::holds_alternative<InvalidAmount>(error)) return "no valid amount";
    if (const auto* format = std::get_if<InvalidFormat>(&error)) return std::string(format->reason);
    return message(error);
  }

  // As for a :61: amount: the exact reading takes "." for "," and no separator for none.
  [[gnu::noinline]] void amount_without_comma(std::string_view tag, std::string_view content, const Balance& balance,
                                              std::size_t line) {
    std::string_view amount = content.size() > 10 ? content.substr(10) : std::string_view();
    if (amount.find('.') != std::string_view::npos) {
      note(line, std::string(tag) + " amount with a decimal point read as " + balance.amount.to_string(),
           std::string(tag) + " amounts with a decimal point read as decimals");
      return;
    }
    note(line,
         std::string(tag) + " amount without a decimal comma " + quote_value(amount) + " read as " +
             balance.amount.to_string(),
         std::string(tag) + " amounts without a decimal comma read as whole amounts");
  }

  [[gnu::noinline]] std::optional<ParseError> statement_line_tolerantly(std::string_view content, Transaction& t,
                                                                        TextBuffer& texts, std::size_t line,
                                                                        ParseError error) {
    t = Transaction{};
    if (!detail::read_statement_line_tolerantly(content, t, texts, repairs_)) return error;
    flush(line);
    return std::nullopt;
  }

  [[gnu::noinline]] void reread(std::string_view content, Transaction& t, TextBuffer& texts, std::size_t line) {
    if (t.customer_reference.size() > 16) {
      detail::reread_padded_reference(content, t, texts, repairs_);
      flush(line);
    }
    detail::reread_reference_as_type(t, repairs_);
    flush(line);
  }

  // Replaces `balance` (an error) with what the tolerant reader makes of the field.
  [[gnu::noinline]] bool balance_tolerantly(std::string_view tag, std::string_view content, Result<Balance>& balance,
                                            std::size_t line) {
    auto tolerant = detail::read_balance_tolerantly(tag, content, repairs_);
    if (!tolerant) return false;
    flush(line);
    balance = std::move(*tolerant);
    return true;
  }

  void flush(std::size_t line) {
    if (repairs_.empty()) return;
    for (auto& r : repairs_) {
      diagnostics_.push_back(Diagnostic{line, r.severity, std::move(r.message), std::move(r.kind)});
    }
    repairs_.clear();
  }

  void warn_currency(std::string_view tag, std::string_view amount_text, std::string_view currency, std::size_t line) {
    warn(line, std::string(tag) + " currency '" + std::string(amount_text.substr(0, 3)) +
                   "' is not a currency code: read " + std::string(amount_text) +
                   (currency.empty() ? " as the amount; the statement names no currency"
                                     : " as the amount in " + std::string(currency)));
  }

  // A balance whose currency bytes are digits ("C020315105000,00"): the bytes from the
  // currency on are its amount, in the statement's currency.
  void reread_currency(std::string_view tag, std::string_view content, Balance& balance, Builder& b,
                       std::size_t line) {
    auto amount = detail::read_amount_without_currency(content);
    if (!amount) return;
    std::string_view amount_text = content.substr(7);
    while (!amount_text.empty() && amount_text.back() == ' ') amount_text.remove_suffix(1);
    const bool opening = tag.starts_with(":60");
    if (!opening) {
      if (!b.opening_seen || !is_currency_code(b.statement.opening_balance.currency)) return;
      balance.currency = b.statement.opening_balance.currency;
      balance.amount = *amount;
      warn_currency(tag, amount_text, balance.currency, line);
      return;
    }
    balance.amount = *amount;
    // An account identification may end in its currency ("NL12RABO0123456789EUR").
    const std::string_view account = trim_white_space(b.statement.account_identification);
    if (account.size() > 3 && is_currency_code(account.substr(account.size() - 3))) {
      balance.currency = account.substr(account.size() - 3);
      warn_currency(tag, amount_text, balance.currency, line);
      return;
    }
    balance.currency = {};
    b.extra.opening_currency_line = line;
    b.extra.opening_tag = tag;
    b.extra.opening_amount_text.assign(amount_text);
  }

  [[gnu::noinline]] void repeated(std::string_view tag, bool& seen, const Builder& b, std::size_t line) {
    if (seen) {
      warn(line, std::string(tag) + " given twice in " + named(b.statement) +
                     "; the second value is kept",
           std::string(tag) + " given twice in a statement; the second value kept");
    }
    seen = true;
  }

  [[gnu::noinline]] void skipped(std::string_view tag, State state, bool pending, Builder* b, std::size_t line) {
    if (b == nullptr) {
      if (tag == ":61:") {
        warn(line, ":61: before the first statement (:20:) left out", ":61: lines before the first statement (:20:) left out");
      }
      return;
    }
    if (is_interim_tag(tag)) {
      if (b->statement.kind == StatementKind::InterimReport) {
        warn(line, std::string(tag) + " out of place in " + named(b->statement) + " left out",
             "MT942 fields out of place left out");
      } else {
        warn(line, std::string(tag) + " in " + named(b->statement) + " left out: only MT942 reports have it",
             "MT942 fields in MT940 statements left out");
      }
      return;
    }
    const bool opening = tag == ":60F:" || tag == ":60M:";
    const bool closing = tag == ":62F:" || tag == ":62M:";
    const bool header = tag == ":25:" || tag == ":28C:" || tag == ":21:";
    const bool line_tag = tag == ":61:";
    const bool available = tag == ":64:" || tag == ":65:";
    const bool details = tag == ":86:";
    if (!is_statement_tag(tag)) {
      // Mostly a line of details text that happens to start like a tag (":12:11").
      note(line, std::string(tag) + " is not a statement tag: the line is left out with the lines that continue it",
           "lines that start like a tag but are none left out with the lines that continue them");
      return;
    }
    std::string where;
    switch (state) {
      case State::AwaitingStatement:
        return;
      case State::Header:
        if (line_tag || details || available) where = "before the opening balance";
        break;
      case State::TransactionLines:
        // A statement kept without its opening balance reached its lines through a
        // :61: in its header: a balance after them comes too late, but is not a second.
        if (opening && b->opening_seen) {
          warn(line, std::string(tag) + " given twice in " + named(b->statement) + "; the first value is kept",
               std::string(tag) + " given twice in a statement; the first value kept");
          return;
        }
        // :86: after a :61: that was left out went with it, as its warning says.
        if (details && !pending) return;
        if (opening) where = "after the statement lines";
        if (header) where = b->opening_seen ? "after the opening balance" : "after the statement lines";
        if (available) where = "before the closing balance";
        break;
      case State::Trailer:
        if (closing) {
          warn(line, std::string(tag) + " given twice in " + named(b->statement) + "; the first value is kept",
               std::string(tag) + " given twice in a statement; the first value kept");
          return;
        }
        // A report's trailer starts at its entry totals, a statement's at its closing balance.
        if (line_tag || header || opening) {
          where = b->statement.kind == StatementKind::InterimReport ? "after the entry totals"
                                                                     : "after the closing balance";
        }
        break;
    }
    if (!where.empty()) {
      warn(line, std::string(tag) + " " + where + " of " + named(b->statement) + " left out",
           std::string(tag) + " " + where + " left out");
    }
  }

  // :90D:/:90C: count and sum the report's entries of one side; a bank that says
  // otherwise has left out or added something.
  void check_totals(const Builder& b) {
    const Statement& s = b.statement;
    for (const bool debit : {true, false}) {
      const std::optional<EntryTotal>& total = debit ? s.debit_total : s.credit_total;
      if (!total) continue;
      std::uint64_t count = 0;
      std::optional<Decimal> sum = Decimal{};
      for (const Transaction& t : s.transactions) {
        if (is_debit_side(t.debit_credit) != debit) continue;
        ++count;
        if (sum) sum = sum->plus(t.amount);
      }
      if (count == total->count && sum && *sum == total->sum) continue;
      warn(b.line, std::string(debit ? ":90D:" : ":90C:") + " of " + named(s) + " says " +
                       std::to_string(total->count) + " entries of " + total->sum.to_string() + ", the report has " +
                       std::to_string(count) + " of " + (sum ? sum->to_string() : std::string("?")));
    }
  }

  std::string_view text_;
  const detail::LongLines* long_lines_;  // of text_, where the unwrapping pass noted them
  std::size_t width_ = 0;  // of the file's full :86: lines, once a text line is joined
  bool subfields_ = false;  // the :86: field being joined is German "?NN" subfields
  std::vector<Diagnostic>& diagnostics_;
  std::vector<KeptStatement>* kept_ = nullptr;
  std::vector<detail::Repair> repairs_;
};

static_assert(detail::StatementPolicy<BankPolicy>);

}  // namespace

Result<std::vector<Statement>, LocatedError> parse_bank_statements(std::string_view text, const DecoderChain& chain,
                                                                   std::vector<Diagnostic>& diagnostics,
                                                                   std::vector<KeptStatement>* kept,
                                                                   const detail::LongLines* long_lines) {
  const std::size_t first = diagnostics.size();
  BankPolicy policy(text, diagnostics, kept, long_lines);
  auto statements = detail::run_statement_machine(text, chain, policy);
  // A statement's own warning is known only at its end, after those of its fields.
  std::stable_sort(diagnostics.begin() + static_cast<std::ptrdiff_t>(first), diagnostics.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  return statements;
}

}  // namespace tallyfold
