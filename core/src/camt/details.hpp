// Key/value details of camt elements: every leaf under an element by its path, and the
// keys the derived fields are read from (bank_details.hpp) in place of the paths that
// hold them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "camt/bytes.hpp"
#include "camt/xml_tree.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::camt {

/// The writes of one details map. Keys live in an arena of their own; values are views
/// of the parsed document (which outlives the writes) or of the arena.
///
/// A section of writes made after begin_section is a map of its own for find, rename,
/// take_all, drop_if and derive_payment_keys, until end_section joins it to the writes
/// before it as merge would: so one payment's writes need no copy to join its entry's.
class DetailWrites {
 public:
  /// Deeper elements are not walked (a warning is the caller's to give): this bounds the
  /// recursion whatever the document's nesting.
  static constexpr std::size_t kMaxDepth = 24;

  /// `value` must outlive the writes (a view of the document); add_owned copies it.
  void add(std::string_view key, std::string_view value) {
    if (value.empty()) return;
    const std::size_t at = arena_.size();
    arena_.append(key);
    keys_ |= key_bit(key);
    writes_.push_back(Write{at, key.size(), value});
  }
  void add_owned(std::string_view key, std::string_view value);

  /// Every leaf under `node` (not `node`'s own text) as "prefix" + path, siblings of the
  /// same name after the first as "Name[2]", "Name[3]", attributes as "path@Name".
  /// Children whose names `skip` holds are left out at the first level only. Returns
  /// false when something lay deeper than kMaxDepth and was left out.
  bool flatten(Element node, std::string_view prefix, std::initializer_list<std::string_view> skip = {});
  /// The element's own text and attributes under `key`, then its children as flatten.
  bool flatten_element(Element node, std::string_view key);

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
  /// The writes from here on are a section (see above).
  void begin_section() noexcept {
    base_ = writes_.size();
    before_ = keys_;
    keys_ = 0;
  }
  /// Ends the section: each of its writes under "prefix" + its key when a write before
  /// it has the key, as merge of the section's writes into those before them would.
  void end_section(std::string_view prefix);
  /// The pieces joined by one blank, in room kept for that (valid until the next join).
  std::string_view join(const std::vector<std::string_view>& pieces);

  bool empty() const noexcept { return writes_.empty(); }
  /// Forgets every write, keeping the room for the next element's.
  void clear() noexcept {
    arena_.clear();
    writes_.clear();
    base_ = 0;
    keys_ = 0;
  }
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
  std::string_view key(const Write& w) const noexcept { return {arena_.data() + w.key_at, w.key_size}; }
  std::string_view value(const Write& w) const noexcept {
    return w.owned ? std::string_view(arena_.data() + w.value_at, w.value_size) : w.value;
  }
  // Sizes and last bytes first: most keys differ there.
  bool has_key(const Write& w, std::string_view k) const noexcept {
    if (w.key_size != k.size()) return false;
    if (k.empty()) return true;
    const char* const stored = arena_.data() + w.key_at;
    return stored[k.size() - 1] == k.back() && same_text({stored, k.size()}, k);
  }
  // One of 64 bits for a key, by its size and last byte: a look-up for a key whose bit
  // no write set needs no pass over the writes.
  static std::uint64_t key_bit(std::string_view k) noexcept {
    const unsigned last = k.empty() ? 0U : static_cast<unsigned char>(k.back());
    return std::uint64_t{1} << ((k.size() * 7 + last) & 63);
  }
  bool may_hold(std::string_view k) const noexcept { return (keys_ & key_bit(k)) != 0; }
  auto section_begin() noexcept { return writes_.begin() + static_cast<std::ptrdiff_t>(base_); }
  bool walk(Element node, Bytes& path, std::size_t depth, std::initializer_list<std::string_view> skip);
  void attributes(Element node, Bytes& path);

  Bytes arena_;
  std::vector<Write> writes_;
  Bytes path_;          // the path being walked, kept for its room
  std::string joined_;  // join's
  std::vector<DecodedDetails::EntryView> views_;  // finish's
  std::size_t base_ = 0;
  std::uint64_t keys_ = 0;    // the bits of every key of the section (or of all writes) and more
  std::uint64_t before_ = 0;  // of the writes before the section
};

/// The keys of a payment's derived fields from the paths of its TxDtls: "EREF",
/// "MREF", "PREF", "CRED", "REMI" (the Ustrd pieces joined by one blank; without them,
/// the structured creditor reference), "CNTP/NAME",
/// "CNTP/IBAN" (the account as written), "CNTP/BIC" (the debtor's side for a credit,
/// the creditor's for a debit), "ULTD/NAME", "ULTC/NAME", "PURP", "RTRN".
void derive_payment_keys(DetailWrites& writes, bool credit);

}  // namespace tallyfold::camt
