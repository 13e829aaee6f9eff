// The statement data model: what one parse produces and every other part reads.
//
// Records hold plain views into one TextBuffer per parse, which every statement of that
// parse holds a share of (`Statement::texts`); a statement keeps its transactions as
// positions into it (TransactionList). Nothing refers back into the parsed input. What
// must outlive what: a statement's buffer outlives its records, so a Transaction or
// Balance read from its statement is valid only while that statement (or another share
// of its buffer) lives; to keep one longer, copy it into a buffer of its own with
// keep_transaction. The parser is the only writer; afterwards it is only read as const.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tallyfold {

__extension__ using uint128 = unsigned __int128;

/// An exact decimal: a 96-bit unsigned mantissa, a sign flag and a scale of 0 to 28.
/// The scale is part of the stored value (12.5 with scale 2 prints "12.50"); the sign
/// flag is kept on zero, so a negative zero exists and prints "-0.00".
class Decimal {
 public:
  static constexpr int kMaxScale = 28;
  static constexpr uint128 kMaxMantissa = (uint128{1} << 96) - 1;

  constexpr Decimal() = default;

  /// The decimal `mantissa` * 10^-`scale`, negated when `negative`; nullopt when the
  /// mantissa does not fit 96 bits or the scale is outside 0..28.
  static constexpr std::optional<Decimal> from_parts(uint128 mantissa, int scale, bool negative) noexcept {
    if (mantissa > kMaxMantissa || scale < 0 || scale > kMaxScale) return std::nullopt;
    Decimal d;
    d.lo_ = static_cast<std::uint64_t>(mantissa);
    d.hi_ = static_cast<std::uint32_t>(mantissa >> 64);
    d.scale_ = static_cast<std::uint8_t>(scale);
    d.negative_ = negative;
    return d;
  }

  uint128 mantissa() const noexcept { return uint128{hi_} << 64 | lo_; }
  int scale() const noexcept { return scale_; }
  bool negative() const noexcept { return negative_; }

  /// The same digits and scale with the sign flag flipped (zero becomes negative zero).
  Decimal negated() const noexcept;

  /// Canonical text form: "-" whenever the sign flag is set, the integer digits (one
  /// "0" when the integer part is zero), then "." and exactly `scale()` digits.
  std::string to_string() const;
  void append_to(std::string& out) const;

  /// The exact sum, or nullopt when it does not fit (mantissa or scale). The result
  /// has the larger of the two scales.
  std::optional<Decimal> plus(const Decimal& other) const noexcept;

  /// Numeric equality: 1.5 (scale 1) equals 1.50 (scale 2), and 0 equals -0.
  friend bool operator==(const Decimal& a, const Decimal& b) noexcept;

 private:
  friend class TransactionList;  // rebuilds its records' amounts inline, unchecked
  // Two halves rather than one uint128, whose 16-byte alignment would double the size.
  std::uint64_t lo_ = 0;
  std::uint32_t hi_ = 0;
  std::uint8_t scale_ = 0;
  bool negative_ = false;
};

/// The nearest binary64 value of the decimal's canonical text, ties to even; a negative
/// zero gives -0.0.
double decimal_to_double(const Decimal& d) noexcept;

/// A valid proleptic Gregorian date; invalid combinations cannot be built.
class Date {
 public:
  constexpr Date() = default;

  /// nullopt unless `month` is 1..12 and `day` exists in that month of `year`.
  static constexpr std::optional<Date> from_ymd(std::int32_t year, unsigned month, unsigned day) noexcept {
    // Inline, as every statement line reads one or two dates. The range is that of
    // std::chrono::year; statement dates are far inside it.
    if (year < -32767 || year > 32767 || month < 1 || month > 12 || day < 1) return std::nullopt;
    constexpr std::uint8_t kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (day > kDays[month - 1]) {
      // Only the 29th of February asks whether the year is a leap year.
      const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
      if (month != 2 || day != 29 || !leap) return std::nullopt;
    }
    Date d;
    d.year_ = static_cast<std::int16_t>(year);
    d.month_ = static_cast<std::uint8_t>(month);
    d.day_ = static_cast<std::uint8_t>(day);
    return d;
  }
  /// The date `text` writes as to_iso does ("2024-01-31": four-digit year, two-digit
  /// month and day); nullopt for any other text or a day the month does not have.
  static std::optional<Date> from_iso(std::string_view text) noexcept;

  std::int32_t year() const noexcept { return year_; }
  unsigned month() const noexcept { return month_; }
  unsigned day() const noexcept { return day_; }

  /// "%Y-%m-%d": four-digit year, two-digit month and day, joined by hyphens.
  std::string to_iso() const;
  void append_iso(std::string& out) const;

  friend bool operator==(const Date&, const Date&) = default;

 private:
  // from_ymd keeps years within 16 bits: four bytes a date, as records hold several.
  std::int16_t year_ = 1970;
  std::uint8_t month_ = 1;
  std::uint8_t day_ = 1;
};

/// The debit/credit mark of MT940, in its defined order.
enum class DebitCreditMark : std::uint8_t { Debit, Credit, ReversalDebit, ReversalCredit };

constexpr bool is_reversal(DebitCreditMark m) noexcept {
  return m == DebitCreditMark::ReversalDebit || m == DebitCreditMark::ReversalCredit;
}
/// Credit side: `Credit` and `ReversalDebit` (a reversed debit gives money back).
constexpr bool is_credit_side(DebitCreditMark m) noexcept {
  return m == DebitCreditMark::Credit || m == DebitCreditMark::ReversalDebit;
}
/// Debit side: `Debit` and `ReversalCredit`.
constexpr bool is_debit_side(DebitCreditMark m) noexcept { return !is_credit_side(m); }

/// "D", "C", "RD" or "RC".
std::string_view mark_text(DebitCreditMark m) noexcept;

/// Append-only storage for the texts of parsed records, in large chunks that never move
/// once written: a view handed out stays valid for the buffer's life, however much is
/// added after it. Not copyable (views point into it); movable, which keeps the chunks.
class TextBuffer {
 public:
  /// `expected` is how many bytes the first chunk should take: the size of the text
  /// being parsed is a good guess. Pages of a chunk that are never written cost no memory.
  explicit TextBuffer(std::size_t expected = 0) noexcept : next_chunk_(expected) {}
  TextBuffer(const TextBuffer&) = delete;
  TextBuffer& operator=(const TextBuffer&) = delete;
  TextBuffer(TextBuffer&&) noexcept = default;
  TextBuffer& operator=(TextBuffer&&) noexcept = default;
  ~TextBuffer() = default;

  /// A copy of `text` in the buffer; `text` itself when it already lies in the closed
  /// part of the current chunk (just kept, so not copied twice). No piece may be open.
  std::string_view keep(std::string_view text) {
    if (text.empty()) return {};
    if (holds(text)) return text;
    append(text);
    return close();
  }

  /// The piece being built: bytes are appended to it, then it is closed and stays where
  /// it is. While it is open it may move to a new chunk, so no view of it may be kept.
  void append(std::string_view bytes) {
    // An empty view may carry a null pointer, which memcpy may not be given.
    if (!bytes.empty()) std::memcpy(extend(bytes.size()), bytes.data(), bytes.size());
  }
  /// Room for `n` more bytes at the end of the open piece (opening one if none is),
  /// to be written by the caller before anything else is appended.
  char* extend(std::size_t n) {
    if (n > capacity_ - used_) grow(n);
    char* at = chunk_ + used_;
    used_ += n;
    return at;
  }
  /// The open piece so far (empty when none is open).
  std::string_view open_piece() const noexcept { return {chunk_ + piece_, used_ - piece_}; }
  /// Gives back the last `n` bytes of the open piece, reserved by extend but never written.
  void give_back(std::size_t n) noexcept { used_ -= n; }
  /// Ends the open piece and returns it; from now on it never moves.
  std::string_view close() noexcept {
    const std::string_view piece = open_piece();
    piece_ = used_;
    return piece;
  }

  /// Whether `text` lies inside the closed part of the current chunk.
  bool holds(std::string_view text) const noexcept {
    // Compared as integers: pointers into different arrays have no order of their own.
    const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(text.data()) - reinterpret_cast<std::uintptr_t>(chunk_);
    return chunk_ != nullptr && offset <= piece_ && text.size() <= piece_ - offset;
  }

 private:
  void grow(std::size_t needed);
  std::vector<std::unique_ptr<char[]>> full_;  // chunks before the current one
  std::unique_ptr<char[]> current_;
  char* chunk_ = nullptr;
  std::size_t capacity_ = 0;
  std::size_t used_ = 0;
  std::size_t piece_ = 0;  // where the open piece starts; == used_ when none is open
  std::size_t next_chunk_ = 0;
};

/// The layout of a details text, stamped on its map by the decoder that recognised it:
/// which keys the map holds and what they mean (decode.hpp and docs/readings.md list
/// them). None for a map built from writes.
enum class Layout : std::uint8_t {
  None,
  SwiftStructured,
  GermanGvc,
  Angular,
  Unstructured,
  SlashSegments,  // slash segments with sub-fields
  SlashTags,      // single-slash tags, each value up to the next known tag
  GermanSepa,     // German subfields with SEPA keywords
  Labels,         // labelled values ("NAAM:", "TYT.:")
};

/// Map from keys to values produced by one details decode. Keys are unique; entries are
/// kept sorted by key in ascending byte order, which every consumer that needs an order
/// may rely on. A view, like the records that hold it: the map lies in a TextBuffer, next
/// to the text it was decoded from (its source), and its keys and values are mostly
/// positions in that text; only what the text does not hold (joined values, fixed keys)
/// is written beside it. Copying a map copies the view.
class TransactionList;

class DecodedDetails {
 public:
  using Entry = std::pair<std::string, std::string>;
  using EntryView = std::pair<std::string_view, std::string_view>;

  /// Iterates the entries in key order, yielding (key, value) views by value.
  class Iterator {
   public:
    using value_type = EntryView;
    using reference = EntryView;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;

    Iterator() = default;
    EntryView operator*() const noexcept { return (*this)[0]; }
    EntryView operator[](difference_type n) const noexcept;
    Iterator& operator++() noexcept { ++index_; return *this; }
    Iterator operator++(int) noexcept { Iterator old = *this; ++index_; return old; }
    Iterator& operator--() noexcept { --index_; return *this; }
    Iterator operator--(int) noexcept { Iterator old = *this; --index_; return old; }
    Iterator& operator+=(difference_type n) noexcept { index_ += n; return *this; }
    Iterator& operator-=(difference_type n) noexcept { index_ -= n; return *this; }
    friend Iterator operator+(Iterator it, difference_type n) noexcept { return it += n; }
    friend Iterator operator+(difference_type n, Iterator it) noexcept { return it += n; }
    friend Iterator operator-(Iterator it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
      return a.index_ - b.index_;
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept {
      return a.index_ == b.index_;
    }
    friend auto operator<=>(const Iterator& a, const Iterator& b) noexcept {
      return a.index_ <=> b.index_;
    }

   private:
    friend class DecodedDetails;
    Iterator(const char* block, difference_type index) noexcept : block_(block), index_(index) {}
    const char* block_ = nullptr;
    difference_type index_ = 0;
  };

  /// Writes one map into a buffer: the caller announces the exact number of entries and
  /// at most how many key and value bytes the source does not hold (all of them will
  /// do), then adds keys in strictly ascending byte order, each followed by its value in
  /// one or more pieces. Keys and values that are views into `source` are stored as
  /// positions. `source` is either the buffer's open piece, which the map then closes,
  /// or a text elsewhere, which is copied in first. Breaking the contract throws
  /// InternalError; nothing is ever written outside what was announced.
  /// An entry whose key and value lie in the source, as their positions in it.
  struct SourceEntry {
    std::uint32_t key_at;
    std::uint32_t key_length;
    std::uint32_t value_at;
    std::uint32_t value_length;
  };

  class Builder {
   public:
    // Inline, as are finish and the rest: one builder per decoded text, and most of its
    // work is a few stores the caller's constants decide.
    Builder(TextBuffer& into, std::string_view source, std::size_t entries, std::size_t bytes)
        : into_(into),
          source_begin_(reinterpret_cast<std::uintptr_t>(source.data())),
          source_size_(source.size()),
          entries_(entries) {
      const std::string_view open = into.open_piece();
      // The common case: the decoder's own text, open in the buffer, far from any limit.
      if (entries > 0xFFFF || bytes > 0xFFFFFF || source.size() > 0xFFFFFF || open.empty() ||
          open.data() != source.data() || open.size() != source.size()) [[unlikely]] {
        prepare(source, bytes);
      }
      reserve(bytes);
    }
    // Inline: called for every key and value of every decoded text.
    void add_key(std::string_view key) {
      end_entry(key);
      if (inside_source(key)) {
        key_at_ = position_of(key);
        key_length_ = static_cast<std::uint32_t>(key.size());
        previous_key_ = std::string_view(base_ + key_at_, key.size());
      } else {
        add_other_key(key);
      }
      start_value();
    }
    /// The same as add_key(key) for the key numbered `number` in the core's table of keys
    /// that maps keep once for all: the caller found its number, the builder trusts it.
    void add_fixed_key(std::string_view key, std::uint32_t number) {
      end_entry(key);
      // Positions stop short of the field's largest value (the block ends below it), so
      // that value marks a key of the table.
      key_at_ = narrow_ ? 0xFFFFu : 0xFFFFFFFFu;
      key_length_ = number;
      previous_key_ = key;
      start_value();
    }
    /// The same as add_key(key) then append_value(value), stored at once when both lie
    /// in the source.
    void add_entry(std::string_view key, std::string_view value) { add_whole_entry<true>(key, value); }
    /// The same as add_entry, for a caller that vouches that `key` sorts after the key
    /// before it (its keys come from a table read in order, the first of them written by
    /// add_entry): the order is not checked again.
    void add_entry_in_order(std::string_view key, std::string_view value) { add_whole_entry<false>(key, value); }
    /// The same as add_entry_in_order for each of `entries`, for a caller that has them as
    /// positions in the source: one step for a run of entries from a table read in order.
    void add_source_entries_in_order(std::span<const SourceEntry> entries);
    /// The same as add_fixed_key(key, number) then append_value(value), for a caller that
    /// vouches, as for add_entry_in_order, that `key` sorts after the key before it. A
    /// value among the bytes this map has written out (see extend_value) is stored as
    /// their place, as one in the source is.
    void add_fixed_entry_in_order(std::string_view key, std::uint32_t number, std::string_view value) {
      if (!inside_source(value)) [[unlikely]] {
        if (!add_written_entry(number, value)) {
          add_fixed_key(key, number);
          append_value(value);
          store_entry();
        }
        previous_key_ = key;
        return;
      }
      if (next_entry_ == entries_) fail("decoded details: more entries than announced");
      if (pending_) store_entry();
      put(next_entry_++, narrow_ ? 0xFFFFu : 0xFFFFFFFFu, number, position_of(value),
          static_cast<std::uint32_t>(value.size()));
      previous_key_ = key;
    }
    void append_value(std::string_view piece) {
      if (!pending_) fail("decoded details: value before its key");
      // A value that is one run of the source stays a position in it.
      if (!value_copied_ && inside_source(piece)) {
        const std::uint32_t at = position_of(piece);
        if (value_length_ == 0) {
          value_at_ = at;
          value_length_ = static_cast<std::uint32_t>(piece.size());
          return;
        }
        if (at == value_at_ + value_length_) {
          value_length_ += static_cast<std::uint32_t>(piece.size());
          return;
        }
      }
      append_copied(piece);
    }
    /// The same as appending the pieces one by one with `separator` between each two,
    /// with one check of the room for all of them.
    void append_joined(std::span<const std::string_view> pieces, char separator);
    /// Room for the next `n` bytes of the value being written, which the caller fills
    /// before adding anything else: for a value put together from pieces of its own.
    /// The bytes stay where they are given out, so that later values of the map may be
    /// views into them (see add_fixed_entry_in_order).
    char* extend_value(std::size_t n);
    /// The same as add_fixed_key(key, number) then extend_value(n), the entry complete at
    /// once, for a caller that vouches for the order as for add_fixed_entry_in_order and
    /// fills the `n` bytes before adding anything else.
    char* add_fixed_entry_room(std::string_view key, std::uint32_t number, std::size_t n);
    DecodedDetails finish(Layout layout = Layout::None) && {
      if (next_entry_ != entries_) fail("decoded details: fewer entries than announced");
      if (pending_) store_entry();
      into_.give_back(static_cast<std::size_t>(copy_end_ - copy_at_));
      into_.close();
      return DecodedDetails(entries_at_ - (narrow_ ? kNarrowHeaderBytes : kHeaderBytes), layout);
    }

   private:
    [[noreturn]] static void fail(const char* what);
    static constexpr std::size_t kHeaderBytes = 12;  // three uint32 fields
    static constexpr std::size_t kEntryBytes = 16;   // four uint32 fields
    static constexpr std::size_t kNarrowHeaderBytes = 6;
    static constexpr std::size_t kNarrowEntryBytes = 8;
    // The limits' checks, and the copy of a source that lies elsewhere.
    void prepare(std::string_view source, std::size_t bytes);
    // One reservation for everything: the piece may move now, and never again until the
    // map is finished.
    void reserve(std::size_t bytes) {
      narrow_ = source_size_ + kNarrowHeaderBytes + kNarrowEntryBytes * entries_ + bytes <= 0xFFFF;
      const std::size_t header_size = narrow_ ? kNarrowHeaderBytes : kHeaderBytes;
      const std::size_t entry_size = narrow_ ? kNarrowEntryBytes : kEntryBytes;
      char* block = into_.extend(header_size + entry_size * entries_ + bytes);
      base_ = block - source_size_;
      entries_at_ = block + header_size;
      copy_at_ = entries_at_ + entry_size * entries_;
      copy_end_ = copy_at_ + bytes;
      if (narrow_) {
        const std::uint16_t header[3] = {static_cast<std::uint16_t>(entries_ << 1 | 1),
                                         static_cast<std::uint16_t>(source_size_),
                                         static_cast<std::uint16_t>(source_size_)};
        std::memcpy(block, header, sizeof header);
      } else {
        const std::uint32_t header[3] = {static_cast<std::uint32_t>(entries_ << 1),
                                         static_cast<std::uint32_t>(source_size_),
                                         static_cast<std::uint32_t>(source_size_)};
        std::memcpy(block, header, sizeof header);
      }
    }
    template <bool kCheckOrder>
    void add_whole_entry(std::string_view key, std::string_view value) {
      if (!inside_source(key) || !inside_source(value)) [[unlikely]] {
        add_key(key);
        append_value(value);
        store_entry();  // complete, as a whole entry in the source is
        return;
      }
      if constexpr (kCheckOrder) {
        end_entry(key);
      } else {
        if (next_entry_ == entries_) fail("decoded details: more entries than announced");
        if (pending_) store_entry();
      }
      const std::uint32_t key_at = position_of(key);
      put(next_entry_++, key_at, static_cast<std::uint32_t>(key.size()), position_of(value),
          static_cast<std::uint32_t>(value.size()));
      previous_key_ = std::string_view(base_ + key_at, key.size());
    }
    // The entry before `next_key` is complete: checked and stored.
    void end_entry(std::string_view next_key) {
      if (next_entry_ == entries_) fail("decoded details: more entries than announced");
      if (next_entry_ > 0 && !key_before(previous_key_, next_key)) fail("decoded details: keys not strictly ascending");
      if (pending_) store_entry();
    }
    void start_value() noexcept {
      value_at_ = 0;
      value_length_ = 0;
      value_copied_ = false;
      pending_ = true;
      ++next_entry_;
    }
    // Byte order compared inline: keys are a few bytes, where a library call costs more.
    static bool key_before(std::string_view x, std::string_view y) noexcept {
      const std::size_t n = x.size() < y.size() ? x.size() : y.size();
      for (std::size_t i = 0; i < n; ++i) {
        if (x[i] != y[i]) return static_cast<unsigned char>(x[i]) < static_cast<unsigned char>(y[i]);
      }
      return x.size() < y.size();
    }
    // Compared as integers: pointers into different arrays have no order of their own.
    bool inside_source(std::string_view text) const noexcept {
      const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(text.data()) - source_begin_;
      return offset <= source_size_ && text.size() <= source_size_ - offset;
    }
    std::uint32_t position_of(std::string_view text) const noexcept {
      return static_cast<std::uint32_t>(reinterpret_cast<std::uintptr_t>(text.data()) - source_begin_);
    }
    std::uint32_t copy(std::string_view bytes);
    // Stores the entry at once when `value` lies among the bytes written out so far.
    bool add_written_entry(std::uint32_t number, std::string_view value);
    void add_other_key(std::string_view key);
    void append_copied(std::string_view piece);
    void reuse_copied_value() noexcept;
    // The pending entry, now that its value is complete.
    void store_entry() noexcept {
      if (value_copied_) reuse_copied_value();
      put(next_entry_ - 1, key_at_, key_length_, value_at_, value_length_);
      pending_ = false;
    }
    void put(std::size_t index, std::uint32_t key_at, std::uint32_t key_length, std::uint32_t value_at,
             std::uint32_t value_length) noexcept {
      if (narrow_) {
        const std::uint16_t fields[4] = {static_cast<std::uint16_t>(key_at), static_cast<std::uint16_t>(key_length),
                                         static_cast<std::uint16_t>(value_at), static_cast<std::uint16_t>(value_length)};
        std::memcpy(entries_at_ + kNarrowEntryBytes * index, fields, sizeof fields);
      } else {
        const std::uint32_t fields[4] = {key_at, key_length, value_at, value_length};
        std::memcpy(entries_at_ + kEntryBytes * index, fields, sizeof fields);
      }
    }

    TextBuffer& into_;
    std::uintptr_t source_begin_ = 0;  // the source as the caller sees it; its copy may lie elsewhere
    std::size_t source_size_ = 0;
    char* base_ = nullptr;             // the source's copy in the buffer; positions count from here
    char* entries_at_ = nullptr;
    char* copy_at_ = nullptr;          // where the next copied byte goes
    char* copy_end_ = nullptr;         // the end of what was announced
    std::size_t entries_ = 0;
    std::size_t next_entry_ = 0;
    // The entry being written, stored once its value is complete.
    std::uint32_t key_at_ = 0;
    std::uint32_t key_length_ = 0;
    std::string_view previous_key_;  // as stored, for the order check
    std::uint32_t value_at_ = 0;
    std::uint32_t value_length_ = 0;
    bool pending_ = false;       // an entry's key was added and the entry is not stored yet
    bool value_copied_ = false;  // the value is being written after the entries
    bool value_kept_ = false;    // the value has bytes from extend_value: it is not moved
    bool narrow_ = false;        // every position fits 16 bits: fields of that width
  };

  DecodedDetails() = default;

  /// Builds the map in `into` from entries in write order, copied into `into`: a key
  /// written again replaces the earlier value (the last write wins). Linear-logarithmic
  /// in the number of entries. Throws std::length_error when keys and values together
  /// exceed 4 GiB.
  static DecodedDetails from_view_writes(std::span<const EntryView> writes, TextBuffer& into,
                                         Layout layout = Layout::None);

  /// The layout the map was decoded as.
  Layout layout() const noexcept { return layout_; }

  /// The value stored under `key`, or nullopt.
  std::optional<std::string_view> find(std::string_view key) const noexcept;

  std::size_t size() const noexcept;
  bool empty() const noexcept { return size() == 0; }
  Iterator begin() const noexcept { return Iterator(block_, 0); }
  Iterator end() const noexcept { return Iterator(block_, static_cast<std::ptrdiff_t>(size())); }
  /// An entry as entries() hands it over: its key's and value's bytes, in a struct
  /// without constructors, so that a reader's array of them costs nothing to set up.
  struct EntryBytes {
    const char* key_data;
    std::size_t key_size;
    const char* value_data;
    std::size_t value_size;
    std::string_view key() const noexcept { return {key_data, key_size}; }
    std::string_view value() const noexcept { return {value_data, value_size}; }
  };
  /// The entries from the `first` on into `out`, as many as it holds; how many it got.
  /// One call for a run of entries, for a reader that visits them all.
  std::size_t entries(std::size_t first, std::span<EntryBytes> out) const noexcept;

  /// Calls `visit(key, number, value)` for each entry in key order, inline and with the
  /// width of the block's fields looked at once: for a reader that takes every map of a
  /// document apart. A key kept once for all maps (fixed_keys.hpp) comes as its number
  /// in that table, from 1, with `key` left empty; any other key with `number` 0.
  template <typename Visit>
  void for_each_entry(Visit&& visit) const {
    if (block_ == nullptr) return;
    if ((static_cast<unsigned char>(block_[0]) & 1) != 0) [[likely]] {
      walk<std::uint16_t>(visit);
    } else {
      walk_wide(visit);
    }
  }

  /// The text the map was decoded from, where it lies in the buffer (empty for a map
  /// built from writes).
  std::string_view source() const noexcept;

  /// The bytes a copy of this map and its source takes in a buffer, at most.
  std::size_t kept_size() const noexcept;

  /// Equal when both hold the same entries, whatever their layouts.
  friend bool operator==(const DecodedDetails& a, const DecodedDetails& b) noexcept;

 private:
  // Null for the empty map. Otherwise a block of uint32 (or, when everything fits,
  // uint16) fields in the buffer, just after the source: the entry count n (shifted up,
  // the low bit telling the width), the distance back to the source's first byte, the
  // source's length, then per entry the key's position and length and the value's
  // position and length, all counted from the source's first byte. A key that decoders
  // write although the source does not hold it ("gvc", "REMI_COMBINED", subfield
  // numbers) is kept once for all maps: its position is the field's largest value, which
  // no key of the block can have, and its length field is its number in that table.
  DecodedDetails(const char* block, Layout layout) noexcept : block_(block), layout_(layout) {}
  // Out of line: a block of 32-bit fields is a text of 64 KiB or more, where the call
  // costs nothing, and its copy of the walk would only crowd the common one's code.
  template <typename Visit>
  [[gnu::noinline, gnu::cold]] void walk_wide(Visit& visit) const {
    walk<std::uint32_t>(visit);
  }
  template <typename Field, typename Visit>
  void walk(Visit& visit) const {
    const auto field = [this](std::size_t i) {
      Field v;
      std::memcpy(&v, block_ + sizeof(Field) * i, sizeof v);
      return static_cast<std::size_t>(v);
    };
    const std::size_t n = field(0) >> 1;
    const char* base = block_ - field(1);
    for (std::size_t first = 3; first < 3 + 4 * n; first += 4) {
      const std::size_t at = field(first);
      const std::size_t length = field(first + 1);
      const std::string_view value(base + field(first + 2), field(first + 3));
      if (at == static_cast<Field>(~Field{0}) && length != 0) {
        visit(std::string_view(), length, value);
      } else {
        visit(std::string_view(base + at, length), std::size_t{0}, value);
      }
    }
  }
  friend class TransactionList;  // keeps the block's position rather than the map
  const char* block_ = nullptr;
  Layout layout_ = Layout::None;  // in the pointer's padding: an optional map stays 16 bytes
};

/// One balance field (:60F:, :60M:, :62F:, :62M:, :64:, :65:).
struct Balance {
  DebitCreditMark debit_credit = DebitCreditMark::Credit;  // Credit or Debit only
  Date date;
  std::string_view currency;  // the three bytes as written, not validated
  Decimal amount;        // as written; the mark is not applied
  bool intermediate = false;  // :60M: or :62M:, a balance between pages of one statement

  /// The amount signed by the mark: the sign flag flipped for `Debit`.
  Decimal signed_amount() const noexcept {
    return debit_credit == DebitCreditMark::Debit ? amount.negated() : amount;
  }
};

/// Which rules derive a transaction's purpose, counterparty, accounts and references
/// (fields.hpp): the fixed precedence of keys, or the rules of banks' own layouts, which
/// also read the supplementary details. Set by the decoder chain that read the
/// transaction's details, with or without a :86:.
enum class FieldRules : std::uint8_t { Fixed, Bank };

/// One :61: statement line with the :86: details that follow it. Its texts are views
/// (see the top of this file for what they must not outlive).
struct Transaction {
  Date value_date;
  std::optional<Date> entry_date;
  DebitCreditMark debit_credit = DebitCreditMark::Credit;
  std::optional<char> funds_code;  // one ASCII capital; never for reversals
  FieldRules rules = FieldRules::Fixed;
  Decimal amount;                  // never negative, scale 2; the mark is not applied
  std::string_view transaction_type;    // "N" or "F" and three ASCII letters or digits
  std::string_view customer_reference;  // trimmed
  std::optional<std::string_view> bank_reference;  // after "//", as written
  std::optional<std::string_view> extra_details;   // after the first line break, trimmed
  std::string_view details;                        // raw :86: text, empty when none
  std::optional<DecodedDetails> structured_details;
  /// The details of each payment an entry books together (the camt TxDtls of a batch),
  /// in the order the bank gave them; empty for MT and for a single payment, whose
  /// details are the transaction's own. The array lies in the statement's buffer.
  std::span<const DecodedDetails> transaction_details;

  /// The amount with the sign flag flipped for `Debit` and `ReversalCredit`.
  Decimal signed_amount() const noexcept {
    return is_debit_side(debit_credit) ? amount.negated() : amount;
  }
};

/// The transactions of one statement, kept compactly: a record holds the values of a
/// Transaction, one pointer to its first text, and 16-bit positions and lengths of its
/// texts and details map from there. A parse writes a transaction's texts next to each
/// other, so nearly every record takes this form; one whose texts lie further apart, or
/// are longer, or that holds the details of several payments, keeps its views whole
/// beside the records. Reading an element gives a
/// Transaction by value, whose views are valid as long as the texts the records point
/// to (see the top of this file): a `const Transaction&` bound to an element lives for
/// the statement, never beyond it.
class TransactionList {
 public:
  /// Yields each transaction by value; random access.
  class Iterator {
   public:
    using value_type = Transaction;
    using reference = const Transaction;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::input_iterator_tag;
    using iterator_concept = std::random_access_iterator_tag;

    Iterator() = default;
    const Transaction operator*() const noexcept { return (*list_)[index_]; }
    const Transaction operator[](difference_type n) const noexcept {
      return (*list_)[index_ + static_cast<std::size_t>(n)];
    }
    Iterator& operator++() noexcept { ++index_; return *this; }
    Iterator operator++(int) noexcept { Iterator old = *this; ++index_; return old; }
    Iterator& operator--() noexcept { --index_; return *this; }
    Iterator operator--(int) noexcept { Iterator old = *this; --index_; return old; }
    Iterator& operator+=(difference_type n) noexcept { index_ += static_cast<std::size_t>(n); return *this; }
    Iterator& operator-=(difference_type n) noexcept { index_ -= static_cast<std::size_t>(n); return *this; }
    friend Iterator operator+(Iterator it, difference_type n) noexcept { return it += n; }
    friend Iterator operator+(difference_type n, Iterator it) noexcept { return it += n; }
    friend Iterator operator-(Iterator it, difference_type n) noexcept { return it -= n; }
    friend difference_type operator-(const Iterator& a, const Iterator& b) noexcept {
      return static_cast<difference_type>(a.index_) - static_cast<difference_type>(b.index_);
    }
    friend bool operator==(const Iterator& a, const Iterator& b) noexcept { return a.index_ == b.index_; }
    friend auto operator<=>(const Iterator& a, const Iterator& b) noexcept { return a.index_ <=> b.index_; }

   private:
    friend class TransactionList;
    Iterator(const TransactionList* list, std::size_t index) noexcept : list_(list), index_(index) {}
    const TransactionList* list_ = nullptr;
    std::size_t index_ = 0;
  };

  TransactionList() = default;
  TransactionList(std::initializer_list<Transaction> items) { assign(items.begin(), items.end()); }

  /// Replaces the list with `[first, last)`, taking exactly the room it needs.
  template <class It>
  void assign(It first, It last) {
    clear();
    records_.reserve(static_cast<std::size_t>(std::distance(first, last)));
    for (; first != last; ++first) push_back(*first);
  }
  void push_back(const Transaction& t);
  void clear() noexcept {
    records_.clear();
    wide_.clear();
  }

  std::size_t size() const noexcept { return records_.size(); }
  bool empty() const noexcept { return records_.empty(); }
  // Const values: a change made to one could never reach the list. Inline: a reader
  // that takes a few members of each transaction builds only those.
  const Transaction operator[](std::size_t i) const noexcept {
    const Record& r = records_[i];
    Transaction t;
    t.value_date = r.value_date;
    if (r.flags & kEntryDate) t.entry_date = r.entry_date;
    t.debit_credit = r.debit_credit;
    if (r.flags & kFundsCode) t.funds_code = r.funds_code;
    t.rules = r.more_flags & kBankRules ? FieldRules::Bank : FieldRules::Fixed;
    t.amount = amount(r, false);
    if (r.flags & kWide) [[unlikely]] {
      set_texts(t, r, wide_[std::size_t{r.at[0]} | std::size_t{r.at[1]} << 16]);
      return t;
    }
    const auto text = [&r](std::size_t k) {
      return r.length[k] != 0 ? std::string_view(r.base + r.at[k], r.length[k]) : std::string_view();
    };
    t.transaction_type = text(0);
    t.customer_reference = text(1);
    if (r.flags & kBankReference) t.bank_reference = text(2);
    if (r.flags & kExtraDetails) t.extra_details = text(3);
    t.details = text(4);
    if (r.flags & kMap) {
      t.structured_details = DecodedDetails(r.flags & kMapBlock ? r.base + r.at[kTexts] : nullptr, r.layout);
    }
    return t;
  }
  /// `(*this)[i].signed_amount()`, without building the transaction: reconciling reads
  /// nothing else of each record, and a whole transaction costs several times as much.
  Decimal signed_amount(std::size_t i) const noexcept {
    const Record& r = records_[i];
    return amount(r, is_debit_side(r.debit_credit));
  }
  /// operator[], with the index checked (std::out_of_range).
  const Transaction at(std::size_t i) const;
  const Transaction front() const noexcept { return (*this)[0]; }
  const Transaction back() const noexcept { return (*this)[size() - 1]; }
  Iterator begin() const noexcept { return Iterator(this, 0); }
  Iterator end() const noexcept { return Iterator(this, size()); }

 private:
  // The positions of one record, in order: the transaction type, the customer reference,
  // the bank reference, the supplementary details, the details text; then the map.
  static constexpr std::size_t kTexts = 5;
  static constexpr std::uint8_t kEntryDate = 1;
  static constexpr std::uint8_t kFundsCode = 2;
  static constexpr std::uint8_t kBankReference = 4;
  static constexpr std::uint8_t kExtraDetails = 8;
  static constexpr std::uint8_t kMap = 16;
  static constexpr std::uint8_t kMapBlock = 32;  // the map is not the empty one
  static constexpr std::uint8_t kWide = 64;
  static constexpr std::uint8_t kBankRules = 1;  // in more_flags
  static constexpr std::uint8_t kNegative = 2;
  // The amount is kept in its parts, which pack tighter than a Decimal: 56 bytes.
  struct Record {
    const char* base = nullptr;  // the first text, or the map; unused when wide
    std::uint64_t amount_low = 0;
    std::uint32_t amount_high = 0;
    Date value_date;
    Date entry_date;
    std::uint16_t at[kTexts + 1] = {};  // when wide, at[0] and at[1] hold the index into wide_
    std::uint16_t length[kTexts] = {};
    DebitCreditMark debit_credit = DebitCreditMark::Credit;
    char funds_code = 0;
    Layout layout = Layout::None;
    std::uint8_t amount_scale = 0;
    std::uint8_t flags = 0;
    std::uint8_t more_flags = 0;
  };
  static_assert(sizeof(void*) > 8 || sizeof(Record) <= 56);
  struct Wide {
    std::string_view texts[kTexts];
    const char* block = nullptr;
    std::span<const DecodedDetails> payments;  // Transaction::transaction_details
  };
  // The record's parts came from a Decimal, so they need no checking again.
  static Decimal amount(const Record& r, bool flip_sign) noexcept {
    Decimal d;
    d.lo_ = r.amount_low;
    d.hi_ = r.amount_high;
    d.scale_ = r.amount_scale;
    d.negative_ = ((r.more_flags & kNegative) != 0) != flip_sign;
    return d;
  }
  static void set_texts(Transaction& t, const Record& r, const Wide& w) noexcept {
    t.transaction_type = w.texts[0];
    t.customer_reference = w.texts[1];
    if (r.flags & kBankReference) t.bank_reference = w.texts[2];
    if (r.flags & kExtraDetails) t.extra_details = w.texts[3];
    t.details = w.texts[4];
    if (r.flags & kMap) t.structured_details = DecodedDetails(w.block, r.layout);
    t.transaction_details = w.payments;
  }
  std::vector<Record> records_;
  std::vector<Wide> wide_;
};

/// What a statement is: an MT940 or camt.053 statement, an MT942 or camt.052 interim
/// report, or a camt.054 notification of single entries. Reports and notifications are
/// not reconciled; an MT942 report has no balances, a camt one may have some (marked
/// given, as a statement's are).
enum class StatementKind : std::uint8_t { Statement, InterimReport, Notification };

/// One :34F: floor limit of an interim report: entries below it are not reported.
struct FloorLimit {
  std::optional<DebitCreditMark> debit_credit;  // Debit or Credit; none: for both sides
  std::string_view currency;
  Decimal amount;
};

/// The :13D: date and time of an interim report, in the bank's local time.
struct ReportTime {
  Date date;
  std::uint8_t hour = 0;
  std::uint8_t minute = 0;
  std::optional<std::int16_t> utc_offset_minutes;  // none for the older :13: form

  friend bool operator==(const ReportTime&, const ReportTime&) = default;
};

/// A :90D: or :90C: of an interim report: how many entries of one side, and their sum.
struct EntryTotal {
  std::uint64_t count = 0;
  std::string_view currency;
  Decimal sum;
};

/// One statement, from its :20: to the end of its trailer fields.
struct Statement {
  std::string_view transaction_reference;
  std::optional<std::string_view> related_reference;
  std::string_view account_identification;  // never empty in a complete statement
  std::string_view number;                  // never empty in a complete statement
  std::optional<std::string_view> sequence;
  Balance opening_balance;
  Balance closing_balance;
  std::optional<Balance> closing_available_balance;
  std::optional<Balance> forward_available_balance;  // the last :65:
  std::vector<Balance> forward_balances;              // every :65:, in order
  std::optional<std::string_view> information_to_account_owner;
  TransactionList transactions;
  /// The buffer every text of this statement and its records lies in, shared with the
  /// other statements of the same parse. Null when the texts live elsewhere (a record
  /// built by hand from literals).
  std::shared_ptr<const TextBuffer> texts;
  /// False for a statement the bank-file reading kept although it lacks a mandatory
  /// field (:25:, :28C:, :60F: or :62F:). A balance it lacks is default-constructed and
  /// marked not given, so that writers show it as absent rather than as zero.
  bool complete = true;
  bool opening_balance_given = true;
  bool closing_balance_given = true;
  StatementKind kind = StatementKind::Statement;
  // Fields of an interim report only; empty for a statement.
  std::vector<FloorLimit> floor_limits;  // one for both sides, or one per side
  std::optional<ReportTime> reported_at;
  std::optional<EntryTotal> debit_total;
  std::optional<EntryTotal> credit_total;
  /// The BIC of the bank that sent the SWIFT message holding the statement (from the
  /// output header of its envelope); empty when the file had none.
  std::string servicer_bic;
  /// When the bank put that message into the network: the input date and time of the
  /// envelope's output header, in the sender's local time, which SWIFT gives without
  /// its zone (so never an offset here). None when the file had no envelope or its
  /// header gives no valid time.
  std::optional<ReportTime> sent_at;
  /// What a camt file said about the statement that no member above holds, by element
  /// path, so that nothing is dropped; none for MT.
  std::optional<DecodedDetails> source_details;
};

/// The currency a statement is kept in: its opening balance's; for a report or
/// notification, that of a balance it gives, else of its first floor limit, else of
/// its entry totals, else of its account (camt); empty when none is given.
inline std::string_view statement_currency(const Statement& s) noexcept {
  if (s.kind == StatementKind::Statement) {
    return s.opening_balance_given || !s.closing_balance_given ? s.opening_balance.currency
                                                               : s.closing_balance.currency;
  }
  if (s.opening_balance_given) return s.opening_balance.currency;
  if (s.closing_balance_given) return s.closing_balance.currency;
  if (!s.floor_limits.empty()) return s.floor_limits.front().currency;
  if (s.debit_total) return s.debit_total->currency;
  if (s.credit_total) return s.credit_total->currency;
  return s.opening_balance.currency;  // a camt account's, given without a balance
}

/// A copy of `t` whose texts and details map lie in `into`.
Transaction keep_transaction(const Transaction& t, TextBuffer& into);
/// The bytes keep_transaction writes for `t`: the size to give a buffer of its own.
std::size_t kept_size(const Transaction& t) noexcept;

/// The result of one successful parse as a caller keeps it.
struct StatementDocument {
  std::vector<Statement> statements;  // never empty
  std::string resolver;               // as passed, "auto" when none was
};

/// `text` without leading and trailing Unicode White_Space characters (U+0009..U+000D,
/// U+0020, U+0085, U+00A0, U+1680, U+2000..U+200A, U+2028, U+2029, U+202F, U+205F,
/// U+3000). The view points into `text`. Bytes that are not valid UTF-8 are never
/// white space.
std::string_view trim_white_space(std::string_view text) noexcept;

}  // namespace tallyfold
