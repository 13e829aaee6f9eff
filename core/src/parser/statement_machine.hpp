// The statement state machine and the parse loop, shared by the exact reading and the
// bank-file reading. Both run the same code; what differs is a policy type that decides
// how a :61: field or a balance is read, what happens to a statement that cannot be
// completed, and what is said about fields the machine skips. The exact policy's hooks
// are inline pass-throughs and no-ops, so the exact parse does the work it did before
// there was a second reading.
//
// What a policy provides is the concept StatementPolicy below, each hook with what it
// is told and what it answers.
//
// Every text the statements keep is copied once into one TextBuffer, shared by all the
// statements of the parse; records hold views into it.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "parser/field_parsers.hpp"
#include "parser/report_fields.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/model.hpp"
#include "tallyfold/result.hpp"
#include "util/tag_line.hpp"

namespace tallyfold::detail {

enum class State { AwaitingStatement, Header, TransactionLines, Trailer };

// A tag against one written out. Inline: a tag is a few bytes, where a library call per
// candidate cost more than the bytes in a machine too large for the compiler to inline
// the comparisons itself.
template <std::size_t N>
constexpr bool is_tag(std::string_view tag, const char (&literal)[N]) noexcept {
  if (tag.size() != N - 1) return false;
  for (std::size_t i = 0; i + 1 < N; ++i) {
    if (tag[i] != literal[i]) return false;
  }
  return true;
}

// What a field does in the state in which it arrives. A field's state cannot change
// while its continuation lines are read, so the action is known when its tag line is
// seen, and the continuation lines of skipped fields are never copied.
enum class Action {
  Skip,
  StartStatement,       // :20:
  RelatedReference,     // :21:
  Account,              // :25:
  Number,               // :28C:
  OpeningBalance,       // :60F:, :60M:
  StatementLine,        // :61:
  TransactionDetails,   // :86: after a :61:
  ClosingBalance,       // :62F:, :62M:
  ClosingAvailable,     // :64:
  ForwardAvailable,     // :65:
  OwnerInformation,     // :86: after the closing balance
  // Interim reports, for policies that read them:
  FloorLimit,           // :34F:
  ReportTime,           // :13D:, :13:
  EntryTotal,           // :90D:, :90C:
};

template <class Policy>
concept ReadsInterimReports = requires { requires Policy::kReadsInterimReports; };

// A policy whose decoders' code is large has the details of several statements decoded
// one after another once their lines are read, rather than each between its lines: the
// loop's code and the decoders' code then each stay in the instruction cache, where
// together they do not fit. The statements read are the same, and so is what the policy
// is told, but for when: a finished statement is told (kept) when its details are.
template <class Policy>
concept DecodesAfterLines = requires { requires Policy::kDecodesAfterLines; };

// The statement under construction, with what the policy keeps about it. At namespace
// scope: clang cannot default-construct a nested class with member initialisers inside
// its enclosing class's definition.
template <class Extra>
struct StatementBuilder {
  Statement statement;
  bool opening_seen = false;
  bool closing_seen = false;
  std::size_t line = 0;  // of its :20:, when the policy counts lines
  [[no_unique_address]] Extra extra;
};

// What a reading plugs into the machine. Line numbers are 1-based lines of the text, 0
// when the policy does not count them.
template <class P>
concept StatementPolicy =
    requires(P& p, std::string_view tag, std::string_view content, ParseError error, std::size_t line,
             Transaction& transaction, TextBuffer& texts, StatementBuilder<typename P::Extra>& b, Action action,
             State state, bool flag, MissingMandatoryTag missing) {
      typename P::Error;  // the error of the whole parse
      typename P::Extra;  // what it keeps per statement, in the Builder
      // Whether the machine numbers lines for the hooks.
      requires std::same_as<decltype(P::kCountsLines), const bool>;
      // With it, a statement without its opening balance still reads its lines and its
      // closing balance, and :86: fields before its first :61: are its information.
      requires std::same_as<decltype(P::kKeepsIncompleteStatements), const bool>;
      // With it, the hooks for text that looks like tags, below.
      requires std::same_as<decltype(P::kKeepsTextLikeTags), const bool>;
      // A :61: or balance field that cannot be read: its error, or nullopt to read on
      // without it (a :61: is then left out with its :86:, a balance is missing).
      { p.left_out(tag, content, error, line) } -> std::same_as<std::optional<typename P::Error>>;
      // The records' texts may view `content` or `texts` (where a policy puts texts it
      // rewrites); the machine copies what lies elsewhere into `texts` afterwards.
      { p.statement_line(content, transaction, texts, line) } -> std::same_as<std::optional<ParseError>>;
      { p.balance(tag, content, b, texts, line) } -> std::same_as<Result<Balance>>;
      p.started(b);                   // a statement begins (its :20: is read)
      p.kept(std::as_const(b));       // a statement is complete and joins the result
      // Every tag line, after it is classified and before its field applies; the
      // builder is null before the first :20:. `flag`: a transaction may still receive
      // :86: fields.
      p.field(tag, action, state, flag, &b, line);
      // A statement that lacks a mandatory field (`flag`: the text ended inside it): its
      // error, or nullopt to keep it, marked incomplete, with what it has.
      { p.incomplete(missing, b, flag) } -> std::same_as<std::optional<typename P::Error>>;
      // The error when the text yields no statement.
      { p.no_statement() } -> std::convertible_to<typename P::Error>;
    } &&
    // Inside :86: text a line whose tag is_field_tag denies continues the text
    // (text_like_tag is told), a line that holds a tag it accepts after blanks or control
    // bytes is read as its tag line (stray_tag_line is told), and join tells whether a
    // blank goes between two lines of :86: text, `field()` giving the field's text up to
    // the first (asked only when the rule needs it).
    (!P::kKeepsTextLikeTags ||
     requires(P& p, std::string_view tag, std::string_view text, std::size_t line, std::string_view (&field)()) {
       { p.is_field_tag(tag) } -> std::convertible_to<bool>;
       p.text_like_tag(tag, line);
       p.stray_tag_line(line);
       { p.join(field, text, text) } -> std::convertible_to<bool>;
     }) &&
    // A policy that reads MT942 interim reports is told of a report field that cannot
    // be read (it is left out); without, the report fields are skipped unseen, as the
    // exact reading does.
    (!ReadsInterimReports<P> ||
     requires(P& p, std::string_view tag, std::size_t line) { p.unreadable(tag, tag, line); });

template <StatementPolicy Policy>
class StatementMachine {
 public:
  using Error = typename Policy::Error;
  using Builder = StatementBuilder<typename Policy::Extra>;

  StatementMachine(const DecoderChain& chain, Policy& policy, std::string_view text)
      // The texts kept take up to the text's size and the maps about as much again;
      // pages of the buffer that are never written cost nothing.
      : chain_(chain), policy_(policy), texts_(std::make_shared<TextBuffer>(2 * text.size())), waits_(text) {}

  State state() const noexcept { return state_; }
  // The last transaction may still receive :86: fields.
  bool pending() const noexcept { return pending_; }
  Builder* builder() noexcept { return builder_ ? &*builder_ : nullptr; }

  Action classify(std::string_view tag) const noexcept {
    // ":20:" always ends the statement under construction. Before its closing balance
    // that statement then fails for the missing balance; skipping the tag instead would
    // silently merge the next statement's transactions into this one.
    if (is_tag(tag, ":20:")) return Action::StartStatement;
    if constexpr (ReadsInterimReports<Policy>) {
      if (state_ != State::AwaitingStatement) {
        const Action action = classify_report_field(tag);
        if (action != Action::Skip) return action;
      }
    }
    switch (state_) {
      case State::AwaitingStatement:
        return Action::Skip;
      case State::Header:
        if (is_tag(tag, ":25:")) return Action::Account;
        if (is_tag(tag, ":21:")) return Action::RelatedReference;
        if (is_tag(tag, ":28C:")) return Action::Number;
        if (is_tag(tag, ":60F:") || is_tag(tag, ":60M:")) return Action::OpeningBalance;
        if constexpr (Policy::kKeepsIncompleteStatements) {
          // The statement lacks its opening balance; what follows is still its own.
          if (is_tag(tag, ":61:")) return Action::StatementLine;
          if (is_tag(tag, ":62F:") || is_tag(tag, ":62M:")) return Action::ClosingBalance;
          if (is_tag(tag, ":86:")) return Action::OwnerInformation;
        }
        return Action::Skip;
      case State::TransactionLines:
        if (is_tag(tag, ":61:")) return Action::StatementLine;
        // Without a pending transaction the decoded map would be dropped unseen.
        if (is_tag(tag, ":86:")) {
          if (pending_) return Action::TransactionDetails;
          if constexpr (Policy::kKeepsIncompleteStatements) {
            // Banks that put the account's owner or IBAN before the first :61: mean it
            // for the statement; after a :61: that was left out, it went with that line.
            if (!line_left_out_) return Action::OwnerInformation;
          }
          return Action::Skip;
        }
        if (is_tag(tag, ":62F:") || is_tag(tag, ":62M:")) return Action::ClosingBalance;
        return Action::Skip;
      case State::Trailer:
        if (is_tag(tag, ":64:")) return Action::ClosingAvailable;
        if (is_tag(tag, ":65:")) return Action::ForwardAvailable;
        if (is_tag(tag, ":86:")) return Action::OwnerInformation;
        return Action::Skip;
    }
    return Action::Skip;
  }

  // The fields of an interim report, or Skip. A report is one from its first :34F:,
  // :13D: or :90D:/:90C: on; it has no balances, so its lines follow its header.
  Action classify_report_field(std::string_view tag) const noexcept {
    const bool report = builder_ && builder_->statement.kind == StatementKind::InterimReport;
    if (state_ == State::Header || (report && state_ == State::TransactionLines)) {
      if (is_tag(tag, ":34F:")) return Action::FloorLimit;
      if (is_tag(tag, ":13D:") || is_tag(tag, ":13:")) return Action::ReportTime;
    }
    if (is_tag(tag, ":90D:") || is_tag(tag, ":90C:")) {
      return state_ == State::Header || report ? Action::EntryTotal : Action::Skip;
    }
    if (report && state_ == State::Header && is_tag(tag, ":61:")) return Action::StatementLine;
    return Action::Skip;
  }

  // Applies one field whose tag stands on `line`; the first error ends the parse.
  template <bool kSettlesOnError = DecodesAfterLines<Policy>>
  std::optional<Error> apply(Action action, std::string_view tag, std::string_view content, std::size_t line) {
    if constexpr (kSettlesOnError) {
      // The statements finished before the error are told to the policy, as they are
      // without the wait.
      auto error = apply<false>(action, tag, content, line);
      if (error) [[unlikely]] settle();
      return error;
    }
    switch (action) {
      case Action::Skip:
        return std::nullopt;
      case Action::StartStatement:
        if (builder_) {
          if (auto error = finish_statement(false)) return error;
        }
        builder_.emplace();
        builder_->statement.transaction_reference = keep(content);
        if constexpr (Policy::kCountsLines) builder_->line = line;
        policy_.started(*builder_);
        pending_ = false;
        line_left_out_ = false;
        transactions_.clear();
        if constexpr (DecodesAfterLines<Policy>) {
          waits_.waiting.resize(waits_.taken);
          waits_.from = waits_.to = waits_.taken;
        }
        state_ = State::Header;
        return std::nullopt;
      case Action::RelatedReference:
        builder_->statement.related_reference = keep(content);
        return std::nullopt;
      case Action::Account:
        builder_->statement.account_identification = keep(content);
        return std::nullopt;
      case Action::Number: {
        Statement& s = builder_->statement;
        const std::string_view kept = keep(content);
        const std::size_t slash = kept.find('/');
        s.number = kept.substr(0, slash);
        if (slash == std::string_view::npos) {
          s.sequence.reset();
        } else {
          s.sequence = kept.substr(slash + 1);
        }
        return std::nullopt;
      }
      case Action::OpeningBalance: {
        auto balance = policy_.balance(tag, content, *builder_, *texts_, line);
        state_ = State::TransactionLines;
        if (!balance) return policy_.left_out(tag, content, std::move(balance).error(), line);
        balance->currency = keep(balance->currency);
        balance->intermediate = is_tag(tag, ":60M:");
        builder_->statement.opening_balance = std::move(*balance);
        builder_->opening_seen = true;
        return std::nullopt;
      }
      case Action::StatementLine: {
        complete_pending();
        state_ = State::TransactionLines;  // a report's first line comes in its header
        // The pending transaction joins the list once its details are decoded; a list
        // that never reaches its closing balance is dropped with its statement.
        Transaction& t = waiting_line();
        if (auto error = policy_.statement_line(content, t, *texts_, line)) [[unlikely]] {
          if constexpr (DecodesAfterLines<Policy>) waits_.waiting.pop_back();
          line_left_out_ = true;
          return policy_.left_out(tag, content, std::move(*error), line);
        }
        t.rules = chain_.rules();
        if constexpr (DecodesAfterLines<Policy>) {
          hold_texts(t, content);
        } else {
          keep_texts(t);
        }
        pending_ = true;
        pending_has_details_ = false;
        line_left_out_ = false;
        return std::nullopt;
      }
      case Action::TransactionDetails:
        start_details(content);
        return std::nullopt;
      case Action::ClosingBalance: {
        complete_pending();
        auto balance = policy_.balance(tag, content, *builder_, *texts_, line);
        if (balance) {
          balance->currency = keep(balance->currency);
          balance->intermediate = is_tag(tag, ":62M:");
          builder_->statement.closing_balance = std::move(*balance);
          builder_->closing_seen = true;
        } else if (auto error = policy_.left_out(tag, content, std::move(balance).error(), line)) {
          return error;
        }
        take_transactions(builder_->statement);
        state_ = State::Trailer;
        return std::nullopt;
      }
      case Action::ClosingAvailable: {
        auto balance = policy_.balance(tag, content, *builder_, *texts_, line);
        if (!balance) return policy_.left_out(tag, content, std::move(balance).error(), line);
        balance->currency = keep(balance->currency);
        builder_->statement.closing_available_balance = std::move(*balance);
        return std::nullopt;
      }
      case Action::ForwardAvailable: {
        auto balance = policy_.balance(tag, content, *builder_, *texts_, line);
        if (!balance) return policy_.left_out(tag, content, std::move(balance).error(), line);
        balance->currency = keep(balance->currency);
        builder_->statement.forward_balances.push_back(*balance);
        builder_->statement.forward_available_balance = std::move(*balance);
        return std::nullopt;
      }
      case Action::FloorLimit:
      case Action::ReportTime:
      case Action::EntryTotal:
        if constexpr (ReadsInterimReports<Policy>) apply_report_field(action, tag, content, line);
        return std::nullopt;
      case Action::OwnerInformation: {
        auto& info = builder_->statement.information_to_account_owner;
        if (info) {
          // Rare: a second :86: here. The joined text is written anew.
          texts_->append(*info);
          texts_->append("\n");
          texts_->append(content);
          info = texts_->close();
        } else {
          info = keep(content);
        }
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // Some banks write one :86: per line of text: later ones continue the first. The text
  // grows as the open piece of the buffer until the transaction is complete (among the
  // held bytes, when the details wait).
  void start_details(std::string_view first_line) {
    if constexpr (DecodesAfterLines<Policy>) {
      if (pending_has_details_) {
        waits_.held.push_back('\n');
      } else {
        waits_.details_at = waits_.held.size();
      }
      if constexpr (Policy::kKeepsTextLikeTags) details_field_ = waits_.held.size();
      waits_.held.append(first_line);
    } else {
      if (pending_has_details_) texts_->append("\n");
      if constexpr (Policy::kKeepsTextLikeTags) details_field_ = texts_->open_piece().size();
      texts_->append(first_line);
    }
    pending_has_details_ = true;
  }
  // A continuation line of the :86: field start_details began, or the blank before it.
  void continue_details(std::string_view line) {
    if constexpr (DecodesAfterLines<Policy>) {
      waits_.held.append(line);
    } else {
      texts_->append(line);
    }
  }
  // The text of that field so far. A view of the open piece, which may move: read it
  // before anything more is appended. The piece holds the field, so no bounds check.
  std::string_view details_field() const noexcept {
    if constexpr (DecodesAfterLines<Policy>) {
      return {waits_.held.data() + details_field_, waits_.held.size() - details_field_};
    } else {
      const std::string_view piece = texts_->open_piece();
      return {piece.data() + details_field_, piece.size() - details_field_};
    }
  }

  // A report field the policy cannot read is left out, as it says.
  void apply_report_field(Action action, std::string_view tag, std::string_view content, std::size_t line) {
    Statement& s = builder_->statement;
    s.kind = StatementKind::InterimReport;
    // An MT942 report gives no balance.
    s.opening_balance_given = false;
    s.closing_balance_given = false;
    // The last line's details are still the open piece of the buffer, which keep() would
    // write into.
    complete_pending();
    switch (action) {
      case Action::FloorLimit:
        if (auto limit = read_floor_limit(content)) {
          limit->currency = keep(limit->currency);
          s.floor_limits.push_back(*limit);
          return;
        }
        break;
      case Action::ReportTime:
        if (auto time = read_report_time(content, is_tag(tag, ":13D:"))) {
          s.reported_at = *time;
          return;
        }
        break;
      case Action::EntryTotal:
        if (auto total = read_entry_total(content)) {
          total->currency = keep(total->currency);
          // The totals end the report's lines; a :86: after them is for the owner.
          take_report_lines();
          (is_tag(tag, ":90D:") ? s.debit_total : s.credit_total) = *total;
          state_ = State::Trailer;
          return;
        }
        break;
      default:
        return;
    }
    policy_.unreadable(tag, content, line);
  }

  // Moves the lines read so far into the report under construction (once).
  void take_report_lines() {
    if (state_ == State::Trailer) return;
    complete_pending();
    take_transactions(builder_->statement);
  }

  // End of input: the statement under construction is finished whatever the state;
  // a pending transaction is dropped with it (such a statement lacks its closing balance).
  Result<std::vector<Statement>, Error> finish() {
    if (builder_) {
      auto error = finish_statement(true);
      if constexpr (DecodesAfterLines<Policy>) settle();
      if (error) return std::move(*error);
    }
    if (statements_.empty()) return policy_.no_statement();
    return std::move(statements_);
  }

 private:
  // Details are decoded once, when the transaction is complete, so a run of repeated
  // :86: fields costs one decode of the combined text rather than one per field.
  void complete_pending() {
    if (!pending_) return;
    if constexpr (DecodesAfterLines<Policy>) {
      Waiting& w = waits_.waiting.back();
      w.details_at = waits_.details_at;
      w.details_end = waits_.held.size();
      w.has_details = pending_has_details_;
      pending_ = false;
      pending_has_details_ = false;
      return;
    }
    Transaction& t = current_;
    if (pending_has_details_) {
      // The map is written right after the text, which it mostly refers to by position.
      const DecodedDetails map = decode_details(chain_, texts_->open_piece(), *texts_);
      t.details = map.source();
      t.structured_details = map;
    }
    transactions_.push_back(t);
    pending_ = false;
    pending_has_details_ = false;
  }

  std::optional<Error> finish_statement(bool at_end) {
    Builder& b = *builder_;
    std::string_view missing;
    const bool report = b.statement.kind == StatementKind::InterimReport;
    if (report) {
      if constexpr (ReadsInterimReports<Policy>) take_report_lines();
      b.opening_seen = b.closing_seen = true;  // a report has no balances to miss
    }
    if (b.statement.account_identification.empty()) {
      missing = ":25:";
    } else if (b.statement.number.empty()) {
      missing = ":28C:";
    } else if (!b.opening_seen) {
      missing = ":60F:";
    } else if (!b.closing_seen) {
      missing = ":62F:";
    }
    if (!missing.empty()) {
      auto error = policy_.incomplete(MissingMandatoryTag{missing, std::string(b.statement.transaction_reference)}, b, at_end);
      if (error) {
        builder_.reset();
        return error;
      }
      // Kept with what it has: its lines are still waiting when it lacks its closing
      // balance.
      if (!report && state_ != State::Trailer) {
        complete_pending();
        take_transactions(b.statement);
      }
      // A report has no balances to lack, and its header fields make it no less whole.
      if (!report) {
        b.statement.complete = false;
        b.statement.opening_balance_given = b.opening_seen;
        b.statement.closing_balance_given = b.closing_seen;
      }
    }
    b.statement.texts = texts_;
    if constexpr (DecodesAfterLines<Policy>) {
      waits_.finished.emplace_back(std::move(b), waits_.from, waits_.to);
      builder_.reset();
      // A statement that has some of its list already (settle(true)) is handed over
      // before the next statement starts its own list.
      if (waits_.taken >= kWaitingTransactions || !transactions_.empty()) settle();
      return std::nullopt;
    }
    policy_.kept(b);
    statements_.push_back(std::move(b.statement));
    builder_.reset();
    return std::nullopt;
  }

  // The list is built in a scratch list that keeps its capacity from statement to
  // statement, and copied once into a list of exactly its size: a grown list kept as it
  // is would carry up to twice the room, and transactions are the largest records of a
  // document.
  void take_transactions(Statement& s) {
    if constexpr (DecodesAfterLines<Policy>) {
      // The statement's transactions are the ones read since its start or the last take.
      waits_.from = waits_.taken;
      waits_.to = waits_.taken = waits_.waiting.size();
      return;
    }
    s.transactions = transactions_;
    transactions_.clear();
  }

  std::string_view keep(std::string_view text) { return texts_->keep(text); }

  void keep_texts(Transaction& t) {
    t.transaction_type = keep(t.transaction_type);
    t.customer_reference = keep(t.customer_reference);
    if (t.bank_reference) t.bank_reference = keep(*t.bank_reference);
    if (t.extra_details) t.extra_details = keep(*t.extra_details);
  }

  // A transaction read but not yet decoded. Its statement line's texts that lay in a
  // joined line (bit k of `moved` for the k-th text keep_texts keeps) lie in the held
  // bytes from `line_at` on, as they lay from `line_was` on; its details lie there from
  // `details_at` to `details_end`.
  struct Waiting {
    // Every member has its initialiser: no zeroing of the whole record first, as a
    // value-initialised one would take.
    Waiting() noexcept {}
    Transaction transaction;
    const char* line_was = nullptr;
    std::size_t line_at = 0;
    std::size_t details_at = 0;
    std::size_t details_end = 0;
    unsigned moved = 0;
    bool has_details = false;
  };

  // The record the next statement line is read into: the transaction waits there. The
  // transaction before is complete.
  Transaction& waiting_line() {
    if constexpr (DecodesAfterLines<Policy>) {
      if (waits_.waiting.size() - waits_.taken >= kWaitingInStatement) [[unlikely]] settle_long_statement();
      return waits_.waiting.emplace_back().transaction;
    } else {
      current_ = Transaction();
      return current_;
    }
  }

  static bool inside(std::string_view text, const char* from, std::size_t size) noexcept {
    // Compared as integers: the text need not lie in that range.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(from);
    return offset <= size && text.size() <= size - offset;
  }

  // keep_texts, for later: a text that lies in the text being read, which lives as long
  // as the parse, stays where it is. A joined line (`content`) is overwritten by the
  // next, so it is copied to the held bytes once; its texts are found there again when
  // the transaction is decoded, as the held bytes may move until then. Any other text
  // is kept at once.
  void hold_texts(Transaction& t, std::string_view content) {
    Waiting& w = waits_.waiting.back();
    w.line_was = content.data();
    w.line_at = waits_.held.size();
    // Nearly every line stands in the text and its texts within it: one test of all
    // four, without a branch per text, sends the rest the long way.
    const std::string_view whole = waits_.text;
    const auto in_text = [whole](std::string_view text) { return text.empty() | inside(text, whole.data(), whole.size()); };
    const bool optional_in_text = (!t.bank_reference || in_text(*t.bank_reference)) &
                                  (!t.extra_details || in_text(*t.extra_details));
    if (inside(content, whole.data(), whole.size()) & in_text(t.transaction_type) & in_text(t.customer_reference) &
        optional_in_text) [[likely]] {
      return;
    }
    hold_texts_elsewhere(w, t, content);
  }
  [[gnu::noinline]] void hold_texts_elsewhere(Waiting& w, Transaction& t, std::string_view content) {
    const bool joined = !inside(content, waits_.text.data(), waits_.text.size());
    if (joined) waits_.held.append(content);
    const auto hold = [this, &w, content, joined](std::string_view& text, unsigned bit) {
      if (text.empty()) {
        text = {};
      } else if (joined && inside(text, content.data(), content.size())) {
        w.moved |= bit;
      } else if (!inside(text, waits_.text.data(), waits_.text.size())) {
        text = keep(text);
      }
    };
    hold(t.transaction_type, 1);
    hold(t.customer_reference, 2);
    if (t.bank_reference) hold(*t.bank_reference, 4);
    if (t.extra_details) hold(*t.extra_details, 8);
  }

  // A finished statement whose transactions wait, in [from, to).
  struct Finished {
    // Built in place: a statement is a large record, moved once more through a
    // temporary otherwise.
    Finished(Builder&& b, std::size_t first, std::size_t last) : builder(std::move(b)), from(first), to(last) {}
    Builder builder;
    std::size_t from;
    std::size_t to;
  };
  // How many transactions of finished statements wait at most for their decoding. The
  // decoders' code then runs for many texts in a row, and the statements' for many
  // lines; a fourth as many leave a third more instruction cache misses, four times as
  // many save few more and hold more records.
  static constexpr std::size_t kWaitingTransactions = 256;
  // Out of line: the call is rare, and the transactions' path stays small.
  [[gnu::cold]] [[gnu::noinline]] void settle_long_statement() { settle(true); }
  // How many transactions of the statement under construction wait at most: a longer
  // statement has those read so far decoded into its list, whose records are a quarter
  // of the size of the waiting ones.
  static constexpr std::size_t kWaitingInStatement = 1024;

  // Points the texts of `w` that lay in a joined line at their copy in the held bytes.
  [[gnu::noinline]] void find_moved_texts(Waiting& w) {
    Transaction& t = w.transaction;
    const auto find = [this, &w](std::string_view& text, unsigned bit) {
      if (w.moved & bit) {
        const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(w.line_was);
        text = std::string_view(waits_.held.data() + w.line_at + at, text.size());
      }
    };
    find(t.transaction_type, 1);
    find(t.customer_reference, 2);
    if (t.bank_reference) find(*t.bank_reference, 4);
    if (t.extra_details) find(*t.extra_details, 8);
  }

  // Decodes the waiting transactions in the order they were read, writing each one's
  // texts and details into the buffer as the eager reading does, and hands the finished
  // statements over with their lists as the eager reading does at their end. Waiting
  // transactions of no finished statement are dropped, as their statement is, unless
  // `with_current`: those of the statement under construction are then decoded into its
  // list so far (none of them may still be pending). Hot, as are the decoders and what
  // they call: the linker places hot code together, so that while a row of details is
  // decoded their code shares the instruction cache without evicting itself.
  [[gnu::hot]] void settle(bool with_current = false) {
    const std::size_t statements = waits_.finished.size();
    for (std::size_t k = 0; k < statements + (with_current ? 1 : 0); ++k) {
      const bool current = k == statements;
      const std::size_t from = current ? waits_.taken : waits_.finished[k].from;
      const std::size_t to = current ? waits_.waiting.size() : waits_.finished[k].to;
      for (std::size_t i = from; i < to; ++i) {
        Waiting& w = waits_.waiting[i];
        Transaction& t = w.transaction;
        if (w.moved != 0) [[unlikely]] find_moved_texts(w);
        // The customer reference follows the type on the line, as it follows it in the
        // buffer once kept: both are kept as one copy, the same bytes in the same place.
        const std::string_view type = t.transaction_type;
        const std::string_view reference = t.customer_reference;
        if (!type.empty() && reference.data() == type.data() + type.size()) [[likely]] {
          const std::string_view both = keep(std::string_view(type.data(), type.size() + reference.size()));
          t.transaction_type = both.substr(0, type.size());
          t.customer_reference = reference.empty() ? std::string_view() : both.substr(type.size());
        } else {
          t.transaction_type = keep(type);
          t.customer_reference = keep(reference);
        }
        if (t.bank_reference) *t.bank_reference = keep(*t.bank_reference);
        if (t.extra_details) *t.extra_details = keep(*t.extra_details);
        if (w.has_details) {
          texts_->append(std::string_view(waits_.held.data() + w.details_at, w.details_end - w.details_at));
          const DecodedDetails map = decode_details(chain_, texts_->open_piece(), *texts_);
          t.details = map.source();
          t.structured_details = map;
        }
        transactions_.push_back(t);
      }
      if (current) break;
      Builder& b = waits_.finished[k].builder;
      b.statement.transactions = transactions_;
      transactions_.clear();
      policy_.kept(b);
      statements_.push_back(std::move(b.statement));
    }
    waits_.finished.clear();
    waits_.waiting.clear();
    waits_.held.clear();
    waits_.taken = waits_.from = waits_.to = 0;
  }

  const DecoderChain& chain_;
  Policy& policy_;
  State state_ = State::AwaitingStatement;
  std::optional<Builder> builder_;
  bool pending_ = false;  // current_ may still receive :86: fields
  bool pending_has_details_ = false;
  bool line_left_out_ = false;  // the last :61: could not be read
  std::size_t details_field_ = 0;  // where the last :86: field starts in the open piece
  Transaction current_;  // the last statement line read, packed into the list once complete
  TransactionList transactions_;
  std::vector<Statement> statements_;
  // Owned here until the first statement is finished, then shared by the statements.
  std::shared_ptr<TextBuffer> texts_;

  // Bytes appended inline, as the buffer's are: a line of details and the blank before
  // it are appended one at a time, and a string's append is a call each.
  class HeldBytes {
   public:
    const char* data() const noexcept { return bytes_.get(); }
    std::size_t size() const noexcept { return size_; }
    void clear() noexcept { size_ = 0; }
    void append(std::string_view more) {
      if (more.size() > capacity_ - size_) [[unlikely]] grow(more.size());
      // An empty view may carry a null pointer, which memcpy may not be given.
      if (!more.empty()) std::memcpy(bytes_.get() + size_, more.data(), more.size());
      size_ += more.size();
    }
    void push_back(char c) { append(std::string_view(&c, 1)); }

   private:
    [[gnu::noinline]] void grow(std::size_t more) {
      const std::size_t capacity = std::max({2 * capacity_, size_ + more, std::size_t{4096}});
      auto bytes = std::make_unique_for_overwrite<char[]>(capacity);
      if (size_ != 0) std::memcpy(bytes.get(), bytes_.get(), size_);
      bytes_ = std::move(bytes);
      capacity_ = capacity;
    }
    std::unique_ptr<char[]> bytes_;
    std::size_t size_ = 0;
    std::size_t capacity_ = 0;
  };

  // What waits for its decoding (DecodesAfterLines).
  struct Waits {
    explicit Waits(std::string_view whole) noexcept : text(whole) {}
    std::string_view text;  // the whole text being read
    std::vector<Waiting> waiting;  // the transactions read, in their order
    HeldBytes held;  // their texts that lie nowhere else
    std::size_t details_at = 0;  // where the pending transaction's details start in `held`
    std::size_t taken = 0;  // waiting[0, taken) belong to statements
    std::size_t from = 0;   // waiting[from, to) belong to the statement under construction
    std::size_t to = 0;
    std::vector<Finished> finished;  // with their transactions in `waiting`
  };
  struct NoWaits {
    explicit NoWaits(std::string_view) noexcept {}
  };
  [[no_unique_address]] std::conditional_t<DecodesAfterLines<Policy>, Waits, NoWaits> waits_;
};

// The whole text through the machine: splits it into fields (a tag line and its
// continuation lines) and applies each one.
template <StatementPolicy Policy>
Result<std::vector<Statement>, typename Policy::Error> run_statement_machine(std::string_view text,
                                                                             const DecoderChain& chain,
                                                                             Policy& policy) {
  if (text.empty()) return policy.no_statement();
  StatementMachine<Policy> machine(chain, policy, text);

  // The open field: its action, the first piece of its content (a view into `text`),
  // and, once a continuation line arrives, the joined content. One buffer serves every
  // field, so joining never reallocates per line or per field.
  bool field_open = false;
  Action action = Action::Skip;
  std::string_view tag;
  std::size_t field_line = 0;
  std::size_t line_number = 0;
  bool statement_line = false;
  std::string_view previous_line;  // read only by policies that join text lines
  std::string_view first_piece;
  std::string joined;
  bool continued = false;
  // A statement line's second line, broken from the first by a line feed alone, stands
  // in the text just as the joined content would: the content is read there, up to
  // `piece_end`, while `in_place` holds (policies that keep text-like tags).
  bool in_place = false;
  const char* piece_end = nullptr;
  const auto content = [&]() -> std::string_view {
    if constexpr (Policy::kKeepsTextLikeTags) {
      // A field of one line ends at `piece_end` too.
      return in_place | !continued ? std::string_view(first_piece.data(), static_cast<std::size_t>(piece_end - first_piece.data()))
                                   : std::string_view(joined);
    } else {
      return continued ? std::string_view(joined) : first_piece;
    }
  };
  // A :86: field after a statement line goes straight into the buffer, line by line,
  // instead of being joined here first and copied there afterwards.
  bool streaming = false;

  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const auto* line_feed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = line_feed != nullptr ? line_feed : end;
    std::string_view line(p, static_cast<std::size_t>(line_end - p));
    p = line_feed != nullptr ? line_feed + 1 : end;
    if constexpr (Policy::kCountsLines) ++line_number;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    std::size_t tag_size = tag_length(line);
    // Whether the line opens with ":61:", told without a branch: a file alternates it
    // with ":86:", so every test that tells the two apart is a guess that fails half the
    // time, and the bank policy's loop asks once.
    bool line61 = false;
    if constexpr (Policy::kKeepsTextLikeTags) {
      // A tag line holds at least its two colons; its third byte is read only within it.
      // Without a branch on whether the line is a tag line at all, which a field's lines
      // answer differently from one to the next: a line of no four-byte tag is read as
      // zeros.
      const auto opens_with_61 = [](std::string_view l, std::size_t size) {
        static constexpr char kNone[3] = {};
        const char* const q = size == 4 ? l.data() : kNone;
        return (q[1] == '6') & (q[2] == '1');
      };
      line61 = opens_with_61(line, tag_size);
      // The next transaction's :61: after a :86: streamed into the buffer: nothing waits
      // to be applied and the state is still the lines', so it is a statement line. One
      // test where the general path below tells :61: from :86: several times over.
      if (line61 & streaming & (machine.state() == State::TransactionLines)) {
        tag = std::string_view(line.data(), 4);
        field_line = line_number;
        action = Action::StatementLine;
        policy.field(tag, action, State::TransactionLines, machine.pending(), machine.builder(), field_line);
        statement_line = true;
        first_piece = std::string_view(line.data() + 4, line.size() - 4);
        continued = false;
        in_place = true;
        piece_end = line.data() + line.size();
        streaming = false;
        previous_line = line;
        continue;
      }
      if (tag_size == 0) {
        // A blank or control byte before a tag line would fold the field into the last one.
        if (!line.empty() && static_cast<unsigned char>(line.front()) <= ' ') [[unlikely]] {
          std::size_t start = 0;
          while (start < line.size() && static_cast<unsigned char>(line[start]) <= ' ') ++start;
          const std::string_view rest = line.substr(start);
          const std::size_t stray_tag = tag_length(rest);
          if (stray_tag != 0 && policy.is_field_tag(rest.substr(0, stray_tag))) {
            policy.stray_tag_line(line_number);
            line = rest;
            tag_size = stray_tag;
            line61 = opens_with_61(line, tag_size);
          }
        }
      } else if (field_open & ((action == Action::TransactionDetails) | (action == Action::OwnerInformation)) &
                 !line61) [[unlikely]] {
        // Details text that merely starts like a tag (":00:00/...") goes on the details;
        // ":61:", which follows nearly every :86:, is a field tag.
        const std::string_view candidate(line.data(), tag_size);
        if (!policy.is_field_tag(candidate)) {
          policy.text_like_tag(candidate, line_number);
          tag_size = 0;
        }
      }
    }
    if (tag_size != 0) {
      if (field_open && !streaming) {
        if (auto error = machine.apply(action, tag, content(), field_line)) {
          return std::move(*error);
        }
      }
      tag = line.substr(0, tag_size);
      field_open = true;
      field_line = line_number;
      action = machine.classify(tag);
      policy.field(tag, action, machine.state(), machine.pending(), machine.builder(), field_line);
      if constexpr (Policy::kKeepsTextLikeTags) {
        statement_line = line61;
      } else {
        statement_line = is_tag(tag, ":61:");
      }
      first_piece = line.substr(tag_size);
      continued = false;
      if constexpr (Policy::kKeepsTextLikeTags) {
        in_place = statement_line;
        piece_end = line.data() + line.size();
      }
      streaming = action == Action::TransactionDetails;
      if (streaming) machine.start_details(first_piece);
    } else if (streaming) {
      if constexpr (Policy::kKeepsTextLikeTags) {
        if (policy.join([&machine] { return machine.details_field(); }, previous_line, line)) {
          machine.continue_details(" ");
        }
      }
      machine.continue_details(line);
    } else if (field_open && action != Action::Skip) {
      if constexpr (Policy::kKeepsTextLikeTags) {
        if (in_place) {
          if (line.data() == piece_end + 1) {
            piece_end = line.data() + line.size();
            continued = true;
            previous_line = line;
            continue;
          }
          // Broken otherwise (a carriage return before the line feed): joined as written.
          joined.assign(first_piece.data(), static_cast<std::size_t>(piece_end - first_piece.data()));
          continued = true;
          in_place = false;
        }
      }
      if (!continued) {
        joined.assign(first_piece);
        continued = true;
      }
      // Only :61: keeps its line structure: its second line is the supplementary details.
      if (statement_line) {
        joined.push_back('\n');
      } else if constexpr (Policy::kKeepsTextLikeTags) {
        if (action == Action::TransactionDetails || action == Action::OwnerInformation) {
          if (policy.join([&joined] { return std::string_view(joined); }, previous_line, line)) joined.push_back(' ');
        }
      }
      joined.append(line);
    }
    if constexpr (Policy::kKeepsTextLikeTags) previous_line = line;
  }
  if (!field_open) return policy.no_statement();
  if (!streaming) {
    if (auto error = machine.apply(action, tag, content(), field_line)) {
      return std::move(*error);
    }
  }
  return machine.finish();
}

}  // namespace tallyfold::detail
