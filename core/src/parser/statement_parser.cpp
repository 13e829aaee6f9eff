#include <cstring>
#include <iterator>
#include <optional>
#include <string>

#include "parser/field_parsers.hpp"
#include "tallyfold/parse.hpp"

namespace tallyfold {
namespace {

enum class State { AwaitingStatement, Header, TransactionLines, Trailer };

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
};

// The statement under construction. At namespace scope: clang cannot default-construct
// a nested class with member initialisers inside its enclosing class's definition.
struct Builder {
  Statement statement;
  bool opening_seen = false;
  bool closing_seen = false;
};

class StatementMachine {
 public:
  explicit StatementMachine(const DecoderChain& chain) : chain_(chain) {}

  Action classify(std::string_view tag) const noexcept {
    // ":20:" always ends the statement under construction. Before its closing balance
    // that statement then fails for the missing balance; skipping the tag instead would
    // silently merge the next statement's transactions into this one.
    if (tag == ":20:") return Action::StartStatement;
    switch (state_) {
      case State::AwaitingStatement:
        return Action::Skip;
      case State::Header:
        if (tag == ":25:") return Action::Account;
        if (tag == ":21:") return Action::RelatedReference;
        if (tag == ":28C:") return Action::Number;
        if (tag == ":60F:" || tag == ":60M:") return Action::OpeningBalance;
        return Action::Skip;
      case State::TransactionLines:
        if (tag == ":61:") return Action::StatementLine;
        // Without a pending transaction the decoded map would be dropped unseen.
        if (tag == ":86:") return pending_ ? Action::TransactionDetails : Action::Skip;
        if (tag == ":62F:" || tag == ":62M:") return Action::ClosingBalance;
        return Action::Skip;
      case State::Trailer:
        if (tag == ":64:") return Action::ClosingAvailable;
        if (tag == ":65:") return Action::ForwardAvailable;
        if (tag == ":86:") return Action::OwnerInformation;
        return Action::Skip;
    }
    return Action::Skip;
  }

  // Applies one field; the first error ends the parse.
  std::optional<ParseError> apply(Action action, std::string_view content) {
    switch (action) {
      case Action::Skip:
        return std::nullopt;
      case Action::StartStatement:
        if (builder_) {
          if (auto error = finish_statement()) return error;
        }
        builder_.emplace();
        builder_->statement.transaction_reference.assign(content);
        pending_ = false;
        transactions_.clear();
        state_ = State::Header;
        return std::nullopt;
      case Action::RelatedReference:
        builder_->statement.related_reference.emplace(content);
        return std::nullopt;
      case Action::Account:
        builder_->statement.account_identification.assign(content);
        return std::nullopt;
      case Action::Number: {
        Statement& s = builder_->statement;
        const std::size_t slash = content.find('/');
        s.number.assign(content.substr(0, slash));
        if (slash == std::string_view::npos) {
          s.sequence.reset();
        } else {
          s.sequence.emplace(content.substr(slash + 1));
        }
        return std::nullopt;
      }
      case Action::OpeningBalance: {
        auto balance = parse_balance(content);
        if (!balance) return std::move(balance).error();
        builder_->statement.opening_balance = std::move(*balance);
        builder_->opening_seen = true;
        state_ = State::TransactionLines;
        return std::nullopt;
      }
      case Action::StatementLine: {
        complete_pending();
        // The pending transaction is kept as the last of the list; a list that never
        // reaches its closing balance is dropped with its statement, so the difference
        // never shows.
        if (auto error = detail::read_statement_line(content, transactions_.emplace_back())) return error;
        pending_ = true;
        pending_has_details_ = false;
        return std::nullopt;
      }
      case Action::TransactionDetails: {
        // Some banks write one :86: per line of text: later ones continue the first.
        std::string& details = transactions_.back().details;
        if (pending_has_details_) details.push_back('\n');
        details.append(content);
        pending_has_details_ = true;
        return std::nullopt;
      }
      case Action::ClosingBalance: {
        complete_pending();
        auto balance = parse_balance(content);
        if (!balance) return std::move(balance).error();
        builder_->statement.closing_balance = std::move(*balance);
        builder_->closing_seen = true;
        // The list is built in a scratch vector that keeps its capacity from statement
        // to statement, and moved once into a vector of exactly its size: a grown vector
        // kept as it is would carry up to twice the room, and transactions are the
        // largest records of a document.
        builder_->statement.transactions.assign(std::make_move_iterator(transactions_.begin()),
                                                std::make_move_iterator(transactions_.end()));
        transactions_.clear();
        state_ = State::Trailer;
        return std::nullopt;
      }
      case Action::ClosingAvailable: {
        auto balance = parse_balance(content);
        if (!balance) return std::move(balance).error();
        builder_->statement.closing_available_balance = std::move(*balance);
        return std::nullopt;
      }
      case Action::ForwardAvailable: {
        auto balance = parse_balance(content);
        if (!balance) return std::move(balance).error();
        builder_->statement.forward_available_balance = std::move(*balance);
        return std::nullopt;
      }
      case Action::OwnerInformation: {
        auto& info = builder_->statement.information_to_account_owner;
        if (info) {
          info->push_back('\n');
          info->append(content);
        } else {
          info.emplace(content);
        }
        return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // End of input: the statement under construction is finished whatever the state;
  // a pending transaction is dropped with it (such a statement lacks its closing balance).
  Result<std::vector<Statement>> finish() {
    if (builder_) {
      if (auto error = finish_statement()) return std::move(*error);
    }
    if (statements_.empty()) return NoData{};
    return std::move(statements_);
  }

 private:
  // Details are decoded once, when the transaction is complete, so a run of repeated
  // :86: fields costs one decode of the combined text rather than one per field.
  void complete_pending() {
    if (!pending_) return;
    Transaction& t = transactions_.back();
    if (pending_has_details_) t.structured_details = decode_details(chain_, t.details);
    pending_ = false;
    pending_has_details_ = false;
  }

  std::optional<ParseError> finish_statement() {
    Builder& b = *builder_;
    std::string_view missing;
    if (b.statement.account_identification.empty()) {
      missing = ":25:";
    } else if (b.statement.number.empty()) {
      missing = ":28C:";
    } else if (!b.opening_seen) {
      missing = ":60F:";
    } else if (!b.closing_seen) {
      missing = ":62F:";
    }
    if (!missing.empty()) return MissingMandatoryTag{missing, std::move(b.statement.transaction_reference)};
    statements_.push_back(std::move(b.statement));
    builder_.reset();
    return std::nullopt;
  }

  const DecoderChain& chain_;
  State state_ = State::AwaitingStatement;
  std::optional<Builder> builder_;
  bool pending_ = false;  // the last of transactions_ may still receive :86: fields
  bool pending_has_details_ = false;
  std::vector<Transaction> transactions_;
  std::vector<Statement> statements_;
};

}  // namespace

Result<std::vector<Statement>> parse_statements(std::string_view text, const DecoderChain& chain) {
  if (text.empty()) return NoData{};
  StatementMachine machine(chain);

  // The open field: its action, the first piece of its content (a view into `text`),
  // and, once a continuation line arrives, the joined content. One buffer serves every
  // field, so joining never reallocates per line or per field.
  bool field_open = false;
  Action action = Action::Skip;
  bool statement_line = false;
  std::string_view first_piece;
  std::string joined;
  bool continued = false;

  const char* p = text.data();
  const char* const end = p + text.size();
  while (p < end) {
    const auto* line_feed = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p)));
    const char* line_end = line_feed != nullptr ? line_feed : end;
    std::string_view line(p, static_cast<std::size_t>(line_end - p));
    p = line_feed != nullptr ? line_feed + 1 : end;
    while (!line.empty() && line.back() == '\r') line.remove_suffix(1);

    const char* colon = nullptr;
    if (line.size() >= 2 && line.front() == ':') {
      colon = static_cast<const char*>(std::memchr(line.data() + 1, ':', line.size() - 1));
    }
    if (colon != nullptr) {
      if (field_open) {
        if (auto error = machine.apply(action, continued ? std::string_view(joined) : first_piece)) {
          return std::move(*error);
        }
      }
      const auto tag_length = static_cast<std::size_t>(colon - line.data()) + 1;
      const std::string_view tag = line.substr(0, tag_length);
      field_open = true;
      action = machine.classify(tag);
      statement_line = tag == ":61:";
      first_piece = line.substr(tag_length);
      continued = false;
    } else if (field_open && action != Action::Skip) {
      if (!continued) {
        joined.assign(first_piece);
        continued = true;
      }
      // Only :61: keeps its line structure: its second line is the supplementary details.
      if (statement_line) joined.push_back('\n');
      joined.append(line);
    }
  }
  if (!field_open) return NoData{};
  if (auto error = machine.apply(action, continued ? std::string_view(joined) : first_piece)) {
    return std::move(*error);
  }
  return machine.finish();
}

}  // namespace tallyfold
