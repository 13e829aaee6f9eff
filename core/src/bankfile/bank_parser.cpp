#include <algorithm>
#include <string>

#include "bankfile/tolerant_fields.hpp"
#include "parser/statement_machine.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

using detail::Action;
using detail::State;

bool is_interim_tag(std::string_view tag) noexcept {
  return tag == ":34F:" || tag == ":13D:" || tag == ":13:" || tag == ":90D:" || tag == ":90C:";
}

// Tags of MT940 and MT942 statements, and the non-SWIFT ":NS:" that several banks add.
bool is_statement_tag(std::string_view tag) noexcept {
  static constexpr std::string_view kTags[] = {":20:",  ":21:",  ":25:",  ":25P:", ":28C:", ":60F:", ":60M:",
                                               ":61:",  ":62F:", ":62M:", ":64:",  ":65:",  ":86:",  ":13:",
                                               ":13D:", ":34F:", ":90D:", ":90C:", ":NS:"};
  return std::find(std::begin(kTags), std::end(kTags), tag) != std::end(kTags);
}

bool is_currency_code(std::string_view s) noexcept {
  return s.size() == 3 && std::all_of(s.begin(), s.end(), [](char c) { return c >= 'A' && c <= 'Z'; });
}

std::string named(std::string_view reference) { return "statement '" + std::string(reference) + "'"; }

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
  static constexpr bool kLeavesOutCutStatements = true;
  static constexpr bool kKeepsTextLikeTags = true;
  static bool is_field_tag(std::string_view tag) noexcept { return is_statement_tag(tag); }
  [[gnu::noinline]] void text_like_tag(std::string_view tag, std::size_t line) {
    diagnostics_.push_back(Diagnostic{line, Severity::Note, std::string(tag) +
                                                                " is not a statement tag: the line is kept as "
                                                                ":86: text"});
  }
  static constexpr bool kReadsInterimReports = true;

  BankPolicy(std::vector<Diagnostic>& diagnostics, std::vector<std::size_t>* statement_lines)
      : diagnostics_(diagnostics), statement_lines_(statement_lines) {}

  static LocatedError error(ParseError e, std::size_t line) { return LocatedError{line, std::move(e)}; }

  // The exact parser's work stays on the inline path; what follows its rejection does not.
  std::optional<ParseError> statement_line(std::string_view content, Transaction& t, TextBuffer& texts,
                                           std::size_t line) {
    auto error = detail::read_statement_line(content, t);
    if (error) [[unlikely]] return statement_line_tolerantly(content, t, texts, line, std::move(*error));
    if (t.customer_reference.size() > 16) [[unlikely]] {
      detail::reread_padded_reference(content, t, texts, repairs_);
      flush(line);
    }
    return std::nullopt;
  }

  Result<Balance> balance(std::string_view tag, std::string_view content, Builder& b, TextBuffer& texts,
                          std::size_t line) {
    auto balance = parse_balance(content);
    if (!balance) [[unlikely]] {
      if (!balance_tolerantly(tag, content, balance, line)) return balance;
    }
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
    if (statement_lines_ != nullptr) statement_lines_->push_back(b.line);
    if (b.statement.kind == StatementKind::InterimReport) check_totals(b);
  }

  void unreadable(std::string_view tag, std::string_view content, std::size_t line) {
    warn(line, std::string(tag) + " '" + std::string(content) + "' cannot be read: left out");
  }

  // Called for every tag line: the common fields return at once.
  void field(std::string_view tag, Action action, State state, bool pending, Builder* b, std::size_t line) {
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

  std::optional<LocatedError> incomplete(MissingMandatoryTag missing, Builder& b, bool at_end) {
    const std::string& reference = missing.reference;
    std::string reason;
    if (missing.tag == ":25:") {
      reason = "no account (:25:)";
    } else if (missing.tag == ":28C:") {
      reason = "no statement number (:28C:)";
    } else if (missing.tag == ":60F:") {
      reason = "no opening balance (:60F:)";
    } else if (at_end) {
      reason = "the text ends before its closing balance (:62F:)";
    } else {
      reason = "no closing balance (:62F:) before the next statement";
    }
    // What was said about its fields concerns nothing that is kept.
    diagnostics_.erase(diagnostics_.begin() + static_cast<std::ptrdiff_t>(b.extra.first_diagnostic),
                       diagnostics_.end());
    if (!first_left_out_) first_left_out_warning_ = diagnostics_.size();
    warn(b.line, named(reference) + " left out: " + reason);
    if (!first_left_out_) first_left_out_ = LocatedError{b.line, std::move(missing)};
    return std::nullopt;
  }

  LocatedError no_statement() {
    if (!first_left_out_) return LocatedError{0, NoData{}};
    // The error names the statement itself; its warning would say it twice.
    diagnostics_.erase(diagnostics_.begin() + static_cast<std::ptrdiff_t>(first_left_out_warning_));
    return std::move(*first_left_out_);
  }

 private:
  void warn(std::size_t line, std::string message) {
    diagnostics_.push_back(Diagnostic{line, Severity::Warning, std::move(message)});
  }

  [[gnu::noinline]] std::optional<ParseError> statement_line_tolerantly(std::string_view content, Transaction& t,
                                                                        TextBuffer& texts, std::size_t line,
                                                                        ParseError error) {
    t = Transaction{};
    if (!detail::read_statement_line_tolerantly(content, t, texts, repairs_)) return error;
    flush(line);
    return std::nullopt;
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
    for (auto& r : repairs_) diagnostics_.push_back(Diagnostic{line, r.severity, std::move(r.message)});
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
      warn(line, std::string(tag) + " given twice in " + named(b.statement.transaction_reference) +
                     "; the second value is kept");
    }
    seen = true;
  }

  [[gnu::noinline]] void skipped(std::string_view tag, State state, bool pending, Builder* b, std::size_t line) {
    if (b == nullptr) {
      if (tag == ":61:") warn(line, ":61: before the first statement (:20:) left out");
      return;
    }
    const std::string_view reference = b->statement.transaction_reference;
    if (is_interim_tag(tag)) {
      warn(line, std::string(tag) + " of an interim report in " + named(reference) + " left out");
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
      diagnostics_.push_back(Diagnostic{line, Severity::Note, std::string(tag) +
                                                                 " is not a statement tag: the line is left out "
                                                                 "with the lines that continue it"});
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
        if (opening) {
          warn(line, std::string(tag) + " given twice in " + named(reference) + "; the first value is kept");
          return;
        }
        if (details && !pending) where = "before the first :61:";
        if (header) where = "after the opening balance";
        if (available) where = "before the closing balance";
        break;
      case State::Trailer:
        if (closing) {
          warn(line, std::string(tag) + " given twice in " + named(reference) + "; the first value is kept");
          return;
        }
        if (line_tag || header || opening) where = "after the closing balance";
        break;
    }
    if (!where.empty()) warn(line, std::string(tag) + " " + where + " of " + named(reference) + " left out");
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
      warn(b.line, std::string(debit ? ":90D:" : ":90C:") + " of " + named(s.transaction_reference) + " says " +
                       std::to_string(total->count) + " entries of " + total->sum.to_string() + ", the report has " +
                       std::to_string(count) + " of " + (sum ? sum->to_string() : std::string("?")));
    }
  }

  std::vector<Diagnostic>& diagnostics_;
  std::vector<std::size_t>* statement_lines_ = nullptr;
  std::vector<detail::Repair> repairs_;
  std::optional<LocatedError> first_left_out_;
  std::size_t first_left_out_warning_ = 0;
};

}  // namespace

Result<std::vector<Statement>, LocatedError> parse_bank_statements(std::string_view text, const DecoderChain& chain,
                                                                   std::vector<Diagnostic>& diagnostics,
                                                                   std::vector<std::size_t>* statement_lines) {
  const std::size_t first = diagnostics.size();
  BankPolicy policy(diagnostics, statement_lines);
  auto statements = detail::run_statement_machine(text, chain, policy);
  // A statement's own warning is known only at its end, after those of its fields.
  std::stable_sort(diagnostics.begin() + static_cast<std::ptrdiff_t>(first), diagnostics.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  return statements;
}

}  // namespace tallyfold
