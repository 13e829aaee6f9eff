// Key/value details of camt elements: every leaf under an element by its path, and the
// keys the derived fields are read from (bank_details.hpp) in place of the paths that
// hold them.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camt/xml_tree.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::camt {

/// The writes of one details map. Keys live in an arena of their own; values are views
/// of the parsed document (which outlives the writes) or of the arena.
class DetailWrites {
 public:
  /// Deeper elements are not walked (a warning is the caller's to give): this bounds the
  /// recursion whatever the document's nesting.
  static constexpr std::size_t kMaxDepth = 24;

  /// `value` must outlive the writes (a view of the document); add_owned copies it.
  void add(std::string_view key, std::string_view value);
  void add_owned(std::string_view key, std::string_view value);

  /// Every leaf under `node` (not `node`'s own text) as "prefix" + path, siblings of the
  /// same name after the first as "Name[2]", "Name[3]", attributes as "path@Name".
  /// Children whose names `skip` holds are left out at the first level only. Returns
  /// false when something lay deeper than kMaxDepth and was left out.
  bool flatten(Node node, std::string_view prefix, std::initializer_list<std::string_view> skip = {});
  /// The element's own text and attributes under `key`, then its children as flatten.
  bool flatten_element(Node node, std::string_view key);

  /// The value under `key`, or nullopt.
  std::optional<std::string_view> find(std::string_view key) const noexcept;
  /// Renames the write under the first of `paths` present to `key`; the value, or nullopt.
  std::optional<std::string_view> rename(std::initializer_list<std::string_view> paths, std::string_view key);
  /// Takes out every write of `path` and its numbered repeats, in document order.
  std::vector<std::string_view> take_all(std::string_view path);
  /// Drops the write under `key` when it holds `value`.
  void drop_if(std::string_view key, std::string_view value);
  /// Moves every write of `other` in, under "prefix" + its key when this one has the key.
  void merge(const DetailWrites& other, std::string_view prefix);

  bool empty() const noexcept { return writes_.empty(); }
  /// The map in `into`; keys repeated by non-adjacent siblings get "[2]", "[3]", ... in
  /// document order, so that no write is lost.
  DecodedDetails finish(TextBuffer& into);

 private:
  struct Write {
    std::size_t key_at;
    std::size_t key_size;
    std::string_view value;    // when not owned
    std::size_t value_at = 0;  // when owned: in the arena
    std::size_t value_size = 0;
    bool owned = false;
  };
  std::string_view key(const Write& w) const noexcept { return std::string_view(arena_).substr(w.key_at, w.key_size); }
  std::string_view value(const Write& w) const noexcept {
    return w.owned ? std::string_view(arena_).substr(w.value_at, w.value_size) : w.value;
  }
  bool walk(Node node, std::string& path, std::size_t depth, std::initializer_list<std::string_view> skip);
  void attributes(Node node, const std::string& path);

  std::string arena_;
  std::vector<Write> writes_;
};

/// The keys of a payment's derived fields from the paths of its TxDtls: "EREF",
/// "MREF", "PREF", "CRED", "REMI" (the Ustrd pieces joined by one blank; without them,
/// the structured creditor reference), "CNTP/NAME",
/// "CNTP/IBAN" (the account as written), "CNTP/BIC" (the debtor's side for a credit,
/// the creditor's for a debit), "ULTD/NAME", "ULTC/NAME", "PURP", "RTRN".
void derive_payment_keys(DetailWrites& writes, bool credit);

}  // namespace tallyfold::camt
