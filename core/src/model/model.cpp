#include "tallyfold/model.hpp"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include "tallyfold/error.hpp"
#include "model/details_map.hpp"
#include "model/fixed_keys.hpp"
#include "util/ascii.hpp"

namespace tallyfold {
namespace {

constexpr uint128 pow10(int n) noexcept {
  uint128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

// Writes the decimal digits of `v` (at least one) backwards from `end`; returns the start.
char* write_digits(uint128 v, char* end) noexcept {
  // Dividing 128 bits takes a library call per digit; nearly every amount fits 64 bits,
  // whose division by 10 is a multiplication.
  constexpr uint128 kMax64 = ~std::uint64_t{0};
  while (v > kMax64) {
    *--end = static_cast<char>('0' + static_cast<int>(v % 10));
    v /= 10;
  }
  auto w = static_cast<std::uint64_t>(v);
  do {
    *--end = static_cast<char>('0' + static_cast<int>(w % 10));
    w /= 10;
  } while (w != 0);
  return end;
}

// `v` * 10^`n`, or nullopt when it does not fit 128 bits.
std::optional<uint128> scale_up(uint128 v, int n) noexcept {
  for (int i = 0; i < n; ++i) {
    if (v > ~uint128{0} / 10) return std::nullopt;
    v *= 10;
  }
  return v;
}

}  // namespace

Decimal Decimal::negated() const noexcept {
  Decimal d = *this;
  d.negative_ = !negative_;
  return d;
}

void Decimal::append_to(std::string& out) const {
  // 96 bits hold at most 29 digits; with a scale of 28 a leading "0." is added. The text
  // is put together here and appended once: an amount is a few bytes, where each append
  // costs a check of the string's room and a call.
  char buf[48];
  char* end = buf + sizeof buf;
  char* start = write_digits(mantissa(), end);
  const auto digits = static_cast<int>(end - start);
  if (scale_ != 0) {
    if (digits <= scale_) {
      while (end - start < scale_) *--start = '0';
      *--start = '.';
      *--start = '0';
    } else {
      const std::size_t whole = static_cast<std::size_t>(digits - scale_);
      std::memmove(start - 1, start, whole);
      --start;
      start[whole] = '.';
    }
  }
  if (negative_) *--start = '-';
  out.append(start, end);
}

std::string Decimal::to_string() const {
  std::string s;
  append_to(s);
  return s;
}

std::optional<Decimal> Decimal::plus(const Decimal& other) const noexcept {
  const int scale = std::max<int>(scale_, other.scale_);
  const auto a = scale_up(mantissa(), scale - scale_);
  const auto b = scale_up(other.mantissa(), scale - other.scale_);
  if (!a || !b) return std::nullopt;
  uint128 m;
  bool negative;
  if (negative_ == other.negative_) {
    if (*a > ~uint128{0} - *b) return std::nullopt;
    m = *a + *b;
    negative = negative_;
  } else if (*a >= *b) {
    m = *a - *b;
    negative = m != 0 && negative_;
  } else {
    m = *b - *a;
    negative = other.negative_;
  }
  return from_parts(m, scale, negative);
}

bool operator==(const Decimal& a, const Decimal& b) noexcept {
  if (a.mantissa() == 0 && b.mantissa() == 0) return true;
  if (a.negative_ != b.negative_) return false;
  const int scale = std::max<int>(a.scale_, b.scale_);
  const auto x = scale_up(a.mantissa(), scale - a.scale_);
  const auto y = scale_up(b.mantissa(), scale - b.scale_);
  // A side that overflows 128 bits is larger than any 96-bit mantissa scaled up.
  return x && y && *x == *y;
}

double decimal_to_double(const Decimal& d) noexcept {
  // "-", up to 29 digits, "e-", up to two exponent digits. Reading digits and exponent
  // is the same correctly rounded conversion as reading the canonical text.
  char buf[40];
  char digits[32];
  char* dend = digits + sizeof digits;
  char* dstart = write_digits(d.mantissa(), dend);
  char* p = buf;
  if (d.negative()) *p++ = '-';
  for (char* q = dstart; q != dend; ++q) *p++ = *q;
  *p++ = 'e';
  *p++ = '-';
  p = std::to_chars(p, buf + sizeof buf, d.scale()).ptr;
  double value = 0;
  std::from_chars(buf, p, value);
  return value;
}

std::optional<Date> Date::from_iso(std::string_view text) noexcept {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
  const auto year = ascii::number_at(text, 0, 4);
  const auto month = ascii::number_at(text, 5, 2);
  const auto day = ascii::number_at(text, 8, 2);
  if (!year || !month || !day) return std::nullopt;
  return from_ymd(*year, static_cast<unsigned>(*month), static_cast<unsigned>(*day));
}

void Date::append_iso(std::string& out) const {
  char buf[16];
  char* p = buf;
  std::int32_t y = year_;
  if (y < 0) {
    *p++ = '-';
    y = -y;
  }
  if (y < 1000) *p++ = '0';
  if (y < 100) *p++ = '0';
  if (y < 10) *p++ = '0';
  p = std::to_chars(p, buf + sizeof buf, y).ptr;
  *p++ = '-';
  *p++ = static_cast<char>('0' + month_ / 10);
  *p++ = static_cast<char>('0' + month_ % 10);
  *p++ = '-';
  *p++ = static_cast<char>('0' + day_ / 10);
  *p++ = static_cast<char>('0' + day_ % 10);
  out.append(buf, p);
}

std::string Date::to_iso() const {
  std::string s;
  append_iso(s);
  return s;
}

std::string_view mark_text(DebitCreditMark m) noexcept {
  switch (m) {
    case DebitCreditMark::Debit: return "D";
    case DebitCreditMark::Credit: return "C";
    case DebitCreditMark::ReversalDebit: return "RD";
    case DebitCreditMark::ReversalCredit: return "RC";
  }
  return "";
}

// Chunk sizes: the first as the owner expects, later ones a quarter of what came before
// so that a wrong guess costs little, and never so small that chunks multiply.
void TextBuffer::grow(std::size_t needed) {
  constexpr std::size_t kMinChunk = 4096;
  const std::size_t piece = used_ - piece_;
  const std::size_t size = std::max(piece + needed, next_chunk_ != 0 ? next_chunk_ : kMinChunk);
  // Not value-initialised: pages that are never written are never touched.
  std::unique_ptr<char[]> chunk(new char[size]);
  if (piece != 0) std::memcpy(chunk.get(), chunk_ + piece_, piece);
  if (current_) full_.push_back(std::move(current_));
  current_ = std::move(chunk);
  chunk_ = current_.get();
  capacity_ = size;
  used_ = piece;
  piece_ = 0;
  next_chunk_ = std::max(size / 4, kMinChunk);
}

namespace {

std::uint32_t load_u32(const char* p) noexcept {
  std::uint32_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

using detail::key_less;

constexpr std::size_t kWord = sizeof(std::uint32_t);
// A block comes in two widths: uint32 fields, or uint16 fields when every position in
// it fits (nearly every details text). Its first field is the entry count shifted up by
// one, with the low bit set for the narrow form, so its first byte tells the width.
constexpr std::size_t kHeader = 3 * kWord;  // count, distance back to the source, source length
constexpr std::size_t kEntry = 4 * kWord;   // key position and length, value position and length
constexpr std::size_t kHalf = sizeof(std::uint16_t);
constexpr std::size_t kNarrowHeader = 3 * kHalf;
constexpr std::size_t kNarrowEntry = 4 * kHalf;

std::uint16_t load_u16(const char* p) noexcept {
  std::uint16_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

bool is_narrow(const char* block) noexcept { return (static_cast<unsigned char>(block[0]) & 1) != 0; }

// Field `i` of a block's header or of the entries that follow it.
std::size_t header_field(const char* block, std::size_t i) noexcept {
  return is_narrow(block) ? load_u16(block + kHalf * i) : load_u32(block + kWord * i);
}

using detail::kNamedKeys;
using detail::kSubfieldKeys;
using detail::kSubfieldNumbers;

// The named keys are found by a hash of their length and first bytes (at most four) in
// a table of slots built at compile time: most keys are looked up at least once a
// transaction, and most of those are not in it.
constexpr std::uint32_t key_word(std::string_view key) noexcept {
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < 4 && i < key.size(); ++i) word |= std::uint32_t{static_cast<unsigned char>(key[i])} << (8 * i);
  return word;
}
constexpr unsigned kSlotBits = 6;
constexpr std::size_t kSlotMask = (std::size_t{1} << kSlotBits) - 1;
constexpr std::size_t slot_of(std::uint32_t word, std::size_t length) noexcept {
  return ((word ^ static_cast<std::uint32_t>(length) * 0x9E3779B9u) * 0x85EBCA6Bu) >> (32 - kSlotBits);
}
struct KeySlots {
  std::uint8_t number[kSlotMask + 1] = {};  // a named key's index + 1; 0 for an empty slot
};
constexpr KeySlots make_key_slots() noexcept {
  KeySlots slots;
  for (std::size_t i = 0; i < std::size(kNamedKeys); ++i) {
    std::size_t slot = slot_of(key_word(kNamedKeys[i]), kNamedKeys[i].size());
    while (slots.number[slot] != 0) slot = (slot + 1) & kSlotMask;
    slots.number[slot] = static_cast<std::uint8_t>(i + 1);
  }
  return slots;
}
constexpr KeySlots kKeySlots = make_key_slots();
static_assert(std::size(kNamedKeys) < kSlotMask / 2, "keep the slots at most half full");

// The table number of `key`, from 1; 0 when it is not in the table.
std::uint32_t fixed_key_number(std::string_view key) noexcept {
  if (key.size() == 2) {
    const unsigned a = static_cast<unsigned char>(key[0]) - '0';
    const unsigned b = static_cast<unsigned char>(key[1]) - '0';
    return a < 10 && b < 10 ? a * 10 + b + 1 : 0;
  }
  std::uint32_t word;
  if (std::endian::native == std::endian::little && key.size() >= 4) {
    std::memcpy(&word, key.data(), sizeof word);  // key_word in one load
  } else {
    word = key_word(key);
  }
  for (std::size_t slot = slot_of(word, key.size());; slot = (slot + 1) & kSlotMask) {
    const std::size_t number = kKeySlots.number[slot];
    if (number == 0) return 0;
    const std::string_view named = kNamedKeys[number - 1];
    if (named.size() == key.size() && key_word(named) == word &&
        (key.size() <= 4 || std::memcmp(named.data() + 4, key.data() + 4, key.size() - 4) == 0)) {
      return static_cast<std::uint32_t>(kSubfieldKeys + number);
    }
  }
}

std::string_view fixed_key(std::size_t number) noexcept {
  return number <= kSubfieldKeys ? std::string_view(kSubfieldNumbers + 2 * (number - 1), 2)
                                 : kNamedKeys[number - kSubfieldKeys - 1];
}

// Entry `i`'s key of a block whose positions count from `base`.
std::string_view key_of(const char* block, const char* base, std::size_t first) noexcept {
  const std::size_t at = header_field(block, first);
  const std::size_t length = header_field(block, first + 1);
  if (at == (is_narrow(block) ? 0xFFFFu : 0xFFFFFFFFu) && length != 0) [[unlikely]] return fixed_key(length);
  return {base + at, length};
}

std::size_t entry_bytes(const DecodedDetails& map) noexcept {
  std::size_t n = 0;
  for (const auto& [key, value] : map) n += key.size() + value.size();
  return n;
}

// Copies of `maps` and an array of them, all in `into` (Transaction::transaction_details).
std::span<const DecodedDetails> keep_maps(std::span<const DecodedDetails> maps, TextBuffer& into) {
  if (maps.empty()) return {};
  std::vector<DecodedDetails> copies;
  copies.reserve(maps.size());
  std::vector<DecodedDetails::EntryView> entries;
  for (const DecodedDetails& map : maps) {
    entries.assign(map.begin(), map.end());
    copies.push_back(DecodedDetails::from_view_writes(entries, into));
  }
  return detail::place_maps(copies, into);
}

}  // namespace

std::size_t kept_size(const Transaction& t) noexcept {
  std::size_t n = t.transaction_type.size() + t.customer_reference.size() +
                  (t.bank_reference ? t.bank_reference->size() : 0) + (t.extra_details ? t.extra_details->size() : 0) +
                  t.details.size();
  if (t.structured_details) n += kHeader + kEntry * t.structured_details->size() + entry_bytes(*t.structured_details);
  for (const DecodedDetails& map : t.transaction_details) n += kHeader + kEntry * map.size() + entry_bytes(map);
  if (!t.transaction_details.empty()) n += sizeof(DecodedDetails) * (t.transaction_details.size() + 1);
  return n;
}

Transaction keep_transaction(const Transaction& t, TextBuffer& into) {
  Transaction copy = t;
  copy.transaction_type = into.keep(t.transaction_type);
  copy.customer_reference = into.keep(t.customer_reference);
  if (t.bank_reference) copy.bank_reference = into.keep(*t.bank_reference);
  if (t.extra_details) copy.extra_details = into.keep(*t.extra_details);
  if (t.structured_details) {
    // The details text goes in as the map's source: whatever of the map it holds stays
    // a position in it.
    const DecodedDetails& map = *t.structured_details;
    DecodedDetails::Builder builder(into, t.details, map.size(), entry_bytes(map));
    for (const auto& [key, value] : map) {
      builder.add_key(key);
      builder.append_value(value);
    }
    copy.structured_details = std::move(builder).finish(map.layout());
    copy.details = copy.structured_details->source();
  } else {
    copy.details = into.keep(t.details);
  }
  copy.transaction_details = keep_maps(t.transaction_details, into);
  return copy;
}

// Hot, as is the details' decoding that calls it and the builder's steps below: the
// linker keeps them together (see StatementMachine::settle).
[[gnu::hot]] void TransactionList::push_back(const Transaction& t) {
  // Runs once for every transaction read. The flags are computed, not branched on:
  // branches on each optional let the compiler copy the code for every combination.
  const bool map = t.structured_details.has_value();
  const char* const block = map ? t.structured_details->block_ : nullptr;
  unsigned flags = (t.entry_date ? kEntryDate : 0u) | (t.funds_code ? kFundsCode : 0u) |
                   (t.bank_reference ? kBankReference : 0u) | (t.extra_details ? kExtraDetails : 0u) |
                   (map ? kMap : 0u) | (block != nullptr ? kMapBlock : 0u);
  const std::string_view none;
  const std::string_view texts[kTexts] = {t.transaction_type, t.customer_reference, t.bank_reference.value_or(none),
                                          t.extra_details.value_or(none), t.details};
  // Compared as integers: the texts need not lie in one array. Empty texts keep no
  // position, so they neither set the base nor widen the record; the map counts as
  // one byte at its block. A record is compact when everything ends within 64 KiB of
  // the lowest position: a parse writes a transaction's texts one after the other.
  const auto block_at = reinterpret_cast<std::uintptr_t>(block);
  std::uintptr_t low = block != nullptr ? block_at : UINTPTR_MAX;
  std::uintptr_t high = block != nullptr ? block_at + 1 : 0;
  for (const std::string_view text : texts) {
    const auto at = reinterpret_cast<std::uintptr_t>(text.data());
    low = std::min(low, !text.empty() ? at : UINTPTR_MAX);
    high = std::max(high, !text.empty() ? at + text.size() : 0);
  }
  const bool wide = high - low > 0xFFFF || !t.transaction_details.empty();
  std::size_t index = 0;
  if (wide) [[unlikely]] {
    index = wide_.size();
    if (index > 0xFFFFFFFFu) {
      throw std::length_error("more than 4 Gi transactions with texts far apart in one statement");
    }
    Wide& w = wide_.emplace_back();
    for (std::size_t k = 0; k < kTexts; ++k) w.texts[k] = texts[k];
    w.block = block;
    w.payments = t.transaction_details;
    flags |= kWide;
  }
  // Written where it stays rather than copied there.
  Record& r = records_.emplace_back();
  const uint128 mantissa = t.amount.mantissa();
  r.amount_low = static_cast<std::uint64_t>(mantissa);
  r.amount_high = static_cast<std::uint32_t>(mantissa >> 64);
  r.amount_scale = static_cast<std::uint8_t>(t.amount.scale());
  r.more_flags = static_cast<std::uint8_t>((t.rules == FieldRules::Bank ? kBankRules : 0) |
                                           (t.amount.negative() ? kNegative : 0));
  r.value_date = t.value_date;
  r.entry_date = t.entry_date.value_or(Date());
  r.debit_credit = t.debit_credit;
  r.funds_code = t.funds_code.value_or('\0');
  r.layout = map ? t.structured_details->layout_ : Layout::None;
  r.flags = static_cast<std::uint8_t>(flags);
  if (wide) [[unlikely]] {
    r.at[0] = static_cast<std::uint16_t>(index);
    r.at[1] = static_cast<std::uint16_t>(index >> 16);
    return;
  }
  r.base = reinterpret_cast<const char*>(low);
  // A position is read only with its text's length, or the map's flag: an empty text's
  // is whatever the subtraction gives.
  for (std::size_t k = 0; k < kTexts; ++k) {
    r.at[k] = static_cast<std::uint16_t>(reinterpret_cast<std::uintptr_t>(texts[k].data()) - low);
    r.length[k] = static_cast<std::uint16_t>(texts[k].size());
  }
  r.at[kTexts] = static_cast<std::uint16_t>(block_at - low);
}

const Transaction TransactionList::at(std::size_t i) const {
  if (i >= size()) throw std::out_of_range("transaction index out of range");
  return (*this)[i];
}

void DecodedDetails::Builder::prepare(std::string_view source, std::size_t bytes) {
  // Positions are uint32: the source, the block and the copies must stay addressable.
  if (entries_ > 0x0FFFFFFF || source.size() > 0xFFFFFFFFu ||
      bytes > 0xFFFFFFFFu - source.size() - kHeader - kEntry * entries_) {
    throw std::length_error("decoded details exceed 4 GiB");
  }
  const std::string_view open = into_.open_piece();
  const bool in_place = !open.empty() && open.data() == source.data() && open.size() == source.size();
  if (!in_place) {
    if (!open.empty()) fail("decoded details: another text is being written to the buffer");
    into_.append(source);
  }
}

void DecodedDetails::Builder::fail(const char* what) { throw InternalError(what); }

std::uint32_t DecodedDetails::Builder::copy(std::string_view bytes) {
  if (bytes.size() > static_cast<std::size_t>(copy_end_ - copy_at_)) fail("decoded details: more bytes than announced");
  if (!bytes.empty()) std::memcpy(copy_at_, bytes.data(), bytes.size());
  const auto at = static_cast<std::uint32_t>(copy_at_ - base_);
  copy_at_ += bytes.size();
  return at;
}

[[gnu::hot]] bool DecodedDetails::Builder::add_written_entry(std::uint32_t number, std::string_view value) {
  if (pending_) store_entry();
  const char* written = entries_at_ + (narrow_ ? kNarrowEntry : kEntry) * entries_;
  const auto at = reinterpret_cast<std::uintptr_t>(value.data());
  if (at < reinterpret_cast<std::uintptr_t>(written) || at > reinterpret_cast<std::uintptr_t>(copy_at_) ||
      value.size() > static_cast<std::size_t>(reinterpret_cast<std::uintptr_t>(copy_at_) - at)) {
    return false;
  }
  if (next_entry_ == entries_) fail("decoded details: more entries than announced");
  put(next_entry_++, narrow_ ? 0xFFFFu : 0xFFFFFFFFu, number, static_cast<std::uint32_t>(value.data() - base_),
      static_cast<std::uint32_t>(value.size()));
  return true;
}

void DecodedDetails::Builder::add_other_key(std::string_view key) {
  if (const std::uint32_t number = fixed_key_number(key)) {
    // Positions stop short of the field's largest value (the block ends below it), so
    // that value marks a key of the table.
    key_at_ = narrow_ ? 0xFFFFu : 0xFFFFFFFFu;
    key_length_ = number;
    previous_key_ = fixed_key(number);
    return;
  }
  key_at_ = copy(key);
  key_length_ = static_cast<std::uint32_t>(key.size());
  previous_key_ = std::string_view(base_ + key_at_, key.size());
}

// A value written out whose bytes an earlier written value already holds (a keyword's
// value inside the joined remittance text before it) refers to those bytes instead and
// gives its own back; it is the last thing written, so they come off the end.
void DecodedDetails::Builder::reuse_copied_value() noexcept {
  if (value_kept_) {
    // Bytes given out by extend_value: entries after may refer to them.
    value_kept_ = false;
    return;
  }
  constexpr std::uint32_t kWorthSearching = 8;
  const char* written = entries_at_ + (narrow_ ? kNarrowEntry : kEntry) * entries_;
  const char* value = base_ + value_at_;
  if (value_length_ < kWorthSearching || static_cast<std::size_t>(value - written) < value_length_) return;
  const std::size_t found = std::string_view(written, static_cast<std::size_t>(value - written))
                                .find(std::string_view(value, value_length_));
  if (found == std::string_view::npos) return;
  copy_at_ = base_ + value_at_;
  value_at_ = static_cast<std::uint32_t>(written + found - base_);
}

void DecodedDetails::Builder::append_copied(std::string_view piece) {
  if (!value_copied_) {
    // From here on the value is written out: what it has so far moves along.
    value_at_ = copy(std::string_view(base_ + value_at_, value_length_));
    value_copied_ = true;
  }
  copy(piece);
  value_length_ += static_cast<std::uint32_t>(piece.size());
}

[[gnu::hot]] void DecodedDetails::Builder::add_source_entries_in_order(std::span<const SourceEntry> entries) {
  if (entries.empty()) return;
  if (entries.size() > entries_ - next_entry_) fail("decoded details: more entries than announced");
  if (pending_) store_entry();
  static_assert(sizeof(SourceEntry) == kEntry);
  // Checked on the way, all at once: the room for them is reserved either way, and
  // fields cut to 16 bits are wrong only where the check fails.
  std::uint64_t reach = 0;
  const auto furthest = [](const SourceEntry& e) {
    const std::uint64_t key_end = std::uint64_t{e.key_at} + e.key_length;
    const std::uint64_t value_end = std::uint64_t{e.value_at} + e.value_length;
    return key_end > value_end ? key_end : value_end;
  };
  // The width chosen once for all of them.
  bool outside = false;
  if (narrow_) {
    char* out = entries_at_ + kNarrowEntry * next_entry_;
    std::size_t i = 0;
#ifdef __SSE2__
    // Two entries a step. A field less 0x8000 fits a signed 16-bit lane, which the
    // saturating pack keeps exactly; a field over 0xFFFF, which the pack would not,
    // fails the check, as does an end past the source.
    const __m128i bias32 = _mm_set1_epi32(0x8000);
    const __m128i bias16 = _mm_set1_epi16(static_cast<short>(-0x8000));
    const __m128i high = _mm_set1_epi32(static_cast<int>(0xFFFF0000u));
    const __m128i size = _mm_set1_epi32(static_cast<int>(source_size_));
    __m128i wrong = _mm_setzero_si128();
    for (; i + 2 <= entries.size(); i += 2) {
      const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&entries[i]));
      const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(&entries[i + 1]));
      // Lanes 0 and 2: the key's and the value's end (1 and 3: their lengths).
      const __m128i ends_a = _mm_add_epi32(a, _mm_srli_epi64(a, 32));
      const __m128i ends_b = _mm_add_epi32(b, _mm_srli_epi64(b, 32));
      wrong = _mm_or_si128(wrong, _mm_and_si128(_mm_or_si128(a, b), high));
      wrong = _mm_or_si128(wrong, _mm_or_si128(_mm_cmpgt_epi32(ends_a, size), _mm_cmpgt_epi32(ends_b, size)));
      const __m128i packed =
          _mm_add_epi16(_mm_packs_epi32(_mm_sub_epi32(a, bias32), _mm_sub_epi32(b, bias32)), bias16);
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out), packed);
      out += 2 * kNarrowEntry;
    }
    outside = _mm_movemask_epi8(_mm_cmpeq_epi8(wrong, _mm_setzero_si128())) != 0xFFFF;
#endif
    for (const SourceEntry& e : entries.subspan(i)) {
      const std::uint64_t end = furthest(e);
      reach = end > reach ? end : reach;
      if constexpr (std::endian::native == std::endian::little) {
        // The four fields in one store.
        const std::uint64_t fields = std::uint64_t{e.key_at} | std::uint64_t{e.key_length} << 16 |
                                     std::uint64_t{e.value_at} << 32 | std::uint64_t{e.value_length} << 48;
        std::memcpy(out, &fields, sizeof fields);
      } else {
        const std::uint16_t fields[4] = {static_cast<std::uint16_t>(e.key_at), static_cast<std::uint16_t>(e.key_length),
                                         static_cast<std::uint16_t>(e.value_at),
                                         static_cast<std::uint16_t>(e.value_length)};
        std::memcpy(out, fields, sizeof fields);
      }
      out += kNarrowEntry;
    }
  } else {
    char* out = entries_at_ + kEntry * next_entry_;
    for (const SourceEntry& e : entries) {
      const std::uint64_t end = furthest(e);
      reach = end > reach ? end : reach;
      std::memcpy(out, &e, sizeof e);
      out += kEntry;
    }
  }
  outside = outside || reach > source_size_;
  if (outside) fail("decoded details: an entry outside its source");
  next_entry_ += entries.size();
  const SourceEntry& last = entries.back();
  previous_key_ = std::string_view(base_ + last.key_at, last.key_length);
}

[[gnu::hot]] char* DecodedDetails::Builder::extend_value(std::size_t n) {
  if (!pending_) fail("decoded details: value before its key");
  if (!value_copied_) {
    // Nothing so far is the common case: the value starts where the room does.
    value_at_ = value_length_ == 0 ? static_cast<std::uint32_t>(copy_at_ - base_)
                                   : copy(std::string_view(base_ + value_at_, value_length_));
    value_copied_ = true;
  }
  if (n > static_cast<std::size_t>(copy_end_ - copy_at_)) fail("decoded details: more bytes than announced");
  char* out = copy_at_;
  copy_at_ += n;
  value_length_ += static_cast<std::uint32_t>(n);
  value_kept_ = true;
  return out;
}

char* DecodedDetails::Builder::add_fixed_entry_room(std::string_view key, std::uint32_t number, std::size_t n) {
  if (next_entry_ == entries_) fail("decoded details: more entries than announced");
  if (pending_) store_entry();
  if (n > static_cast<std::size_t>(copy_end_ - copy_at_)) fail("decoded details: more bytes than announced");
  char* out = copy_at_;
  copy_at_ += n;
  put(next_entry_++, narrow_ ? 0xFFFFu : 0xFFFFFFFFu, number, static_cast<std::uint32_t>(out - base_),
      static_cast<std::uint32_t>(n));
  previous_key_ = key;
  return out;
}

void DecodedDetails::Builder::append_joined(std::span<const std::string_view> pieces, char separator) {
  if (pieces.size() <= 1) {
    // One piece may stay a position in the source.
    if (!pieces.empty()) append_value(pieces.front());
    return;
  }
  if (!pending_) fail("decoded details: value before its key");
  std::size_t total = pieces.size() - 1;
  for (const std::string_view piece : pieces) total += piece.size();
  if (!value_copied_) {
    value_at_ = copy(std::string_view(base_ + value_at_, value_length_));
    value_copied_ = true;
  }
  if (total > static_cast<std::size_t>(copy_end_ - copy_at_)) fail("decoded details: more bytes than announced");
  char* out = copy_at_;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i != 0) *out++ = separator;
    if (!pieces[i].empty()) std::memcpy(out, pieces[i].data(), pieces[i].size());
    out += pieces[i].size();
  }
  copy_at_ = out;
  value_length_ += static_cast<std::uint32_t>(total);
}

std::size_t DecodedDetails::size() const noexcept { return block_ ? header_field(block_, 0) >> 1 : 0; }

std::string_view DecodedDetails::source() const noexcept {
  if (!block_) return {};
  return {block_ - header_field(block_, 1), header_field(block_, 2)};
}

std::size_t DecodedDetails::kept_size() const noexcept {
  return block_ ? source().size() + kHeader + kEntry * size() + entry_bytes(*this) : 0;
}

DecodedDetails::EntryView DecodedDetails::Iterator::operator[](difference_type n) const noexcept {
  const auto i = static_cast<std::size_t>(index_ + n);
  const char* base = block_ - header_field(block_, 1);
  // Entry i's fields are header fields 3 + 4i to 6 + 4i.
  const std::size_t first = 3 + 4 * i;
  return {key_of(block_, base, first),
          std::string_view(base + header_field(block_, first + 2), header_field(block_, first + 3))};
}

std::size_t DecodedDetails::entries(std::size_t first, std::span<EntryBytes> out) const noexcept {
  const std::size_t total = size();
  if (first >= total) return 0;
  const std::size_t n = std::min(out.size(), total - first);
  const char* base = block_ - header_field(block_, 1);
  // The width asked once for the run, where the iterator asks it per field.
  const auto run = [&](auto load, std::size_t field_bytes, std::size_t fixed_at) {
    const char* fields = block_ + field_bytes * (3 + 4 * first);
    for (std::size_t i = 0; i < n; ++i, fields += 4 * field_bytes) {
      const std::size_t key_at = load(fields);
      const std::size_t key_length = load(fields + field_bytes);
      const std::string_view key = key_at == fixed_at && key_length != 0 ? fixed_key(key_length)
                                                                         : std::string_view(base + key_at, key_length);
      out[i] = {key.data(), key.size(), base + load(fields + 2 * field_bytes), load(fields + 3 * field_bytes)};
    }
  };
  if (is_narrow(block_)) {
    run([](const char* p) -> std::size_t { return load_u16(p); }, kHalf, 0xFFFFu);
  } else {
    run([](const char* p) -> std::size_t { return load_u32(p); }, kWord, 0xFFFFFFFFu);
  }
  return n;
}

DecodedDetails DecodedDetails::from_view_writes(std::span<const EntryView> writes, TextBuffer& into, Layout layout) {
  // Decoders write their keys in ascending order already: then there is nothing to sort
  // or merge, and the writes go straight into the block.
  const auto out_of_order = [](const EntryView& a, const EntryView& b) { return !key_less(a.first, b.first); };
  if (std::adjacent_find(writes.begin(), writes.end(), out_of_order) == writes.end()) {
    return detail::write_sorted_map(writes, {}, into, layout);
  }
  std::vector<EntryView> copy(writes.begin(), writes.end());
  return detail::write_map(copy, {}, into, layout);
}

std::optional<std::string_view> DecodedDetails::find(std::string_view key) const noexcept {
  std::ptrdiff_t low = 0;
  std::ptrdiff_t high = static_cast<std::ptrdiff_t>(size());
  const Iterator first = begin();
  while (low < high) {
    const std::ptrdiff_t mid = low + (high - low) / 2;
    if (key_less(first[mid].first, key)) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  if (low == static_cast<std::ptrdiff_t>(size())) return std::nullopt;
  const EntryView e = first[low];
  if (e.first != key) return std::nullopt;
  return e.second;
}

bool operator==(const DecodedDetails& a, const DecodedDetails& b) noexcept {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin());
}

namespace {

// Length of the White_Space character that starts at `p` (at most `n` bytes), or 0.
std::size_t leading_space_length(const unsigned char* p, std::size_t n) noexcept {
  if (n == 0) return 0;
  const unsigned char c = p[0];
  if ((c >= 0x09 && c <= 0x0D) || c == 0x20) return 1;
  if (c == 0xC2 && n >= 2 && (p[1] == 0x85 || p[1] == 0xA0)) return 2;
  if (n < 3) return 0;
  if (c == 0xE1) return p[1] == 0x9A && p[2] == 0x80 ? 3 : 0;             // U+1680
  if (c == 0xE3) return p[1] == 0x80 && p[2] == 0x80 ? 3 : 0;             // U+3000
  if (c != 0xE2) return 0;
  if (p[1] == 0x80) {
    const unsigned char t = p[2];
    // U+2000..U+200A, U+2028, U+2029, U+202F
    return (t >= 0x80 && t <= 0x8A) || t == 0xA8 || t == 0xA9 || t == 0xAF ? 3 : 0;
  }
  return p[1] == 0x81 && p[2] == 0x9F ? 3 : 0;                           // U+205F
}

// Length of the White_Space character that ends just before `end`, or 0.
std::size_t trailing_space_length(const unsigned char* begin, const unsigned char* end) noexcept {
  const auto n = static_cast<std::size_t>(end - begin);
  if (n >= 1 && leading_space_length(end - 1, 1) == 1) return 1;
  if (n >= 2 && leading_space_length(end - 2, 2) == 2) return 2;
  if (n >= 3 && leading_space_length(end - 3, 3) == 3) return 3;
  return 0;
}

}  // namespace

std::string_view trim_white_space(std::string_view text) noexcept {
  // Most texts start and end with an ASCII graphic character, which is neither white
  // space nor part of a character that is: nothing to trim, known in two compares.
  if (!text.empty() && ascii::is_graphic(text.front()) && ascii::is_graphic(text.back())) return text;
  auto b = reinterpret_cast<const unsigned char*>(text.data());
  auto e = b + text.size();
  while (b < e) {
    const std::size_t k = leading_space_length(b, static_cast<std::size_t>(e - b));
    if (k == 0) break;
    b += k;
  }
  while (b < e) {
    const std::size_t k = trailing_space_length(b, e);
    if (k == 0) break;
    e -= k;
  }
  return {reinterpret_cast<const char*>(b), static_cast<std::size_t>(e - b)};
}

}  // namespace tallyfold
