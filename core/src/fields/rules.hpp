// The two rule sets behind field_parts (field_parts.hpp).
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "fields/field_parts.hpp"
#include "tallyfold/error.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::detail {

/// Texts the rules write rather than view, in a caller's string reserved once so that
/// it never moves while views of it are handed out.
class Scratch {
 public:
  Scratch(std::string& text, std::size_t capacity) : text_(text) {
    text_.clear();
    text_.reserve(capacity);
  }
  /// Starts a piece; it ends with take().
  void start() noexcept { start_ = text_.size(); }
  void push(char c) {
    room(1);
    text_.push_back(c);
  }
  void append(std::string_view bytes) {
    room(bytes.size());
    text_.append(bytes);
  }
  std::size_t piece_size() const noexcept { return text_.size() - start_; }
  std::string_view take() const noexcept { return std::string_view(text_).substr(start_); }
  /// Drops the piece being written.
  void drop() { text_.resize(start_); }

 private:
  void room(std::size_t n) const {
    if (n > text_.capacity() - text_.size()) throw InternalError("derived fields: scratch text too small");
  }
  std::string& text_;
  std::size_t start_ = 0;
};

void fixed_rules(const Transaction& t, FieldParts& out) noexcept;
/// The keys of a details map the bank rules read, in byte order.
std::span<const std::string_view> wanted_keys() noexcept;
/// The place among them of a map's key, as DecodedDetails::for_each_entry gives it (the
/// key, or its number in the table of keys kept once for all); wanted_keys().size()
/// for one not among them.
std::size_t wanted_key_slot(std::string_view key, std::size_t number) noexcept;

/// Where the first line break (CR or LF) of `text` is; its size when it has none.
/// Sixteen bytes at a time where the machine allows.
std::size_t line_break_at(std::string_view text) noexcept;

/// Whether bank_rules gives counter_iban, which takes the IBAN check of the counter
/// account: a writer that writes the account the same way, IBAN or not (without its
/// blanks), has no use for it.
enum class CounterIban : bool { Skip, Derive };
void bank_rules(const Transaction& t, std::string& scratch, FieldParts& out, CounterIban iban = CounterIban::Derive);

}  // namespace tallyfold::detail
