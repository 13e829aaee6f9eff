// Tagged values with single slashes, as Dutch and other banks write them:
//   /TRTP/SEPA OVERBOEKING/IBAN/NL25ABNA0987654321/BIC/ABNANL2A/NAME/X/REMI/text
// A value runs to the next known tag, not to the next slash: remittance texts hold
// slashes of their own ("t/m 31-03-2013", "/IBS.00008908/ ... KINDEROPVANG",
// "/INV/1511682351"), and a party opens with an empty value ("/ORDP//NAME/...").
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "decoders/bank/slash.hpp"
#include "decoders/bank/text.hpp"
#include "decoders/text.hpp"
#include "decoders/bank/bank_details.hpp"
#include "model/fixed_keys.hpp"
#include "util/byte_bits.hpp"
#include "util/thread_scratch.hpp"

namespace tallyfold {
namespace {

// The tags banks write in this layout, in byte order: a tag's number here orders as its
// bytes, so a map is written in the numbers' order. Anything else between slashes is text.
constexpr std::string_view kTags[] = {
    "ACCW", "ADDR", "BBAN", "BENM", "BIC",  "BUSP", "CHGS", "CSID", "EREF", "EXCH", "IACC",
    "IBAN", "ID",   "IREF", "ISDT", "MARF", "NAME", "NRTX", "OCMT", "ORDP", "OSDR", "PIND",
    "PREF", "PURP", "REMI", "RTRN", "RTYP", "SUM",  "TRCD", "TRTP", "ULTB", "ULTC", "ULTD",
};
constexpr std::size_t kTagCount = std::size(kTags);
static_assert(std::is_sorted(std::begin(kTags), std::end(kTags)));
static_assert(kTagCount <= 64, "tags present are kept as bits of one word");

constexpr std::size_t number_of(std::string_view tag) {
  for (std::size_t i = 0; i < kTagCount; ++i) {
    if (kTags[i] == tag) return i;
  }
  throw "not a tag";  // refuses to compile
}

// The marks the exact reading's single-slash layout is recognised by, as bits by number.
constexpr std::uint64_t kMarks = std::uint64_t{1} << number_of("BIC") | std::uint64_t{1} << number_of("EREF") |
                                 std::uint64_t{1} << number_of("IBAN") | std::uint64_t{1} << number_of("NAME") |
                                 std::uint64_t{1} << number_of("REMI");

// Each tag's number in the table of keys maps keep once for all, or 0: a tag of that
// table is written by its number, wherever the text has it.
constexpr auto kTableNumbers = [] {
  std::array<std::uint32_t, kTagCount> numbers{};
  for (std::size_t t = 0; t < kTagCount; ++t) numbers[t] = detail::named_key_number(kTags[t]);
  return numbers;
}();

// Up to four bytes as one word, in memory order: a tag and the bytes it is compared with
// by one comparison, whatever the machine's byte order.
constexpr std::uint32_t word_of(std::string_view bytes) noexcept {
  std::uint32_t word = 0;
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    const std::size_t shift = std::endian::native == std::endian::little ? 8 * i : 8 * (3 - i);
    word |= std::uint32_t{static_cast<unsigned char>(bytes[i])} << shift;
  }
  return word;
}

// The codes that may open a mark of slash segments ("/CNTP/", "/REMI/USTD", "/BENM/"
// and "/ORDP/" before an account): the walk over the tags meets them in the same lookup.
constexpr std::string_view kSegmentsCodes[] = {"BENM", "CNTP", "ORDP", "REMI"};
constexpr std::uint8_t kNoTag = 0xFF;  // the number of a segments code that is no tag

// The tags and the segments codes by a hash of their word, without collisions: the
// bytes between two slashes are looked up with one multiplication and one comparison.
struct TagSlot {
  std::uint32_t word = 0;
  std::uint8_t length = 0;  // none for an empty slot: no candidate is shorter than two bytes
  std::uint8_t number = 0;
  bool segments_code = false;
};
constexpr unsigned kSlotBits = 7;
constexpr std::size_t slot_of(std::uint32_t word, std::uint32_t factor) noexcept {
  return (word * factor) >> (32 - kSlotBits);
}
constexpr std::uint32_t kHashFactor = [] {
  for (std::uint32_t factor = 0x9E3779B1u; factor < 0x9E3779B1u + 20000; factor += 2) {
    std::array<bool, std::size_t{1} << kSlotBits> taken{};
    bool distinct = true;
    for (const std::string_view tag : kTags) {
      bool& slot = taken[slot_of(word_of(tag), factor)];
      distinct = distinct && !slot;
      slot = true;
    }
    for (const std::string_view code : kSegmentsCodes) {
      bool& slot = taken[slot_of(word_of(code), factor)];
      distinct = distinct && (!slot || std::find(std::begin(kTags), std::end(kTags), code) != std::end(kTags));
      slot = true;
    }
    if (distinct) return factor;
  }
  throw "no factor hashes the tags apart";  // refuses to compile
}();
constexpr auto kTagSlots = [] {
  std::array<TagSlot, std::size_t{1} << kSlotBits> slots{};
  for (std::size_t i = 0; i < kTagCount; ++i) {
    slots[slot_of(word_of(kTags[i]), kHashFactor)] = {word_of(kTags[i]), static_cast<std::uint8_t>(kTags[i].size()),
                                                      static_cast<std::uint8_t>(i)};
  }
  for (const std::string_view code : kSegmentsCodes) {
    TagSlot& slot = slots[slot_of(word_of(code), kHashFactor)];
    if (slot.length == 0) slot = {word_of(code), static_cast<std::uint8_t>(code.size()), kNoTag};
    slot.segments_code = true;
  }
  return slots;
}();

// Of the bytes up to four at `at`, the first `length` as a word.
constexpr auto kKeep = [] {
  std::array<std::uint32_t, 5> keep{};
  for (std::size_t n = 0; n <= 4; ++n) keep[n] = word_of(std::string_view("\xff\xff\xff\xff", n));
  return keep;
}();

// The slot of the tag or segments code that the `length` bytes (two to four) at `at` in
// `text` are (followed there by "/"), or null.
const TagSlot* tag_slot(std::string_view text, std::size_t at, std::size_t length) noexcept {
  std::uint32_t word;
  if (text.size() - at >= 4) {
    std::memcpy(&word, text.data() + at, 4);
    word &= kKeep[length];
  } else {
    word = word_of(text.substr(at, length));  // at the text's end: no byte past it is read
  }
  const TagSlot& slot = kTagSlots[slot_of(word, kHashFactor)];
  return slot.word == word && slot.length == length ? &slot : nullptr;
}

// A value without the blanks around it and the slashes that part it from its neighbours.
std::string_view value_of(std::string_view raw) noexcept {
  std::string_view v = detail::trimmed(raw);
  while (!v.empty() && (v.front() == '/' || v.back() == '/')) {
    if (v.front() == '/') v.remove_prefix(1);
    if (!v.empty() && v.back() == '/') v.remove_suffix(1);
    v = detail::trimmed(v);
  }
  return v;
}

class BankSlashTagsDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Both slash layouts are recognised by a "/": a text without one is ruled out at a
    // glance, before any copy or search, as most texts of other layouts are.
    if (std::memchr(details.data(), '/', details.size()) == nullptr) return std::nullopt;
    struct Joined;
    auto& joined = detail::thread_scratch<detail::JoinedSlashText, Joined>();
    std::string_view text;
    std::optional<DecodedDetails> map;
    detail::decode_slash_tags(details, joined, text, into, false, map);
    return map;
  }

  std::string_view name() const noexcept override { return "bank-slash-tags"; }
};

// The chain's reading of both slash layouts: the party block by its lines, then one walk
// over the joined text's slashes that decodes it as slash tags and gives way to slash
// segments at the first of their marks. Most texts that reach here hold tags.
class BankSlashDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Most texts of these layouts open with their first tag: no search for the slash.
    if ((details.empty() || details.front() != '/') && std::memchr(details.data(), '/', details.size()) == nullptr) {
      return std::nullopt;
    }
    if (auto map = detail::decode_party_block(details, into)) return map;
    struct Joined;
    auto& joined = detail::thread_scratch<detail::JoinedSlashText, Joined>();
    std::string_view text;
    std::optional<DecodedDetails> map;
    if (detail::decode_slash_tags(details, joined, text, into, true, map) == detail::SlashTagsOutcome::SegmentsMark) {
      return detail::decode_slash_segments(details, joined, text, into);
    }
    return map;
  }

  std::string_view name() const noexcept override { return "bank-slash"; }
};

// What reading the tags came to; LineBreak when the text, read as it stands, holds a
// line break, and needs joining first.
enum class Read { Decoded, NoMark, SegmentsMark, LineBreak };

// Whether `text` holds a line break.
bool has_line_break(std::string_view text) noexcept {
  return std::memchr(text.data(), '\n', text.size()) != nullptr || std::memchr(text.data(), '\r', text.size()) != nullptr;
}

// `text` (the details, joined and trimmed or with no line break to join) read as slash
// tags into `map`. The text's line breaks are looked for in the loads that find its
// slashes; unless `joined_already`, any of them stops the reading before it decides
// anything that a break could change: what it has read so far lies before the bytes it
// looked at.
// Hot, as is the rest of the details' decoding: the linker keeps it together (see
// StatementMachine::settle).
[[gnu::hot]] Read read_tags(std::string_view details, const detail::JoinedSlashText& joined, std::string_view text,
               TextBuffer& into, bool segments_first, bool joined_already,
               std::optional<DecodedDetails>& map) {
  // Each tag's last value by number, the ones present as bits: the map is written in
  // the numbers' order, a value written again replacing the one before. Left unset but
  // for the tags present: a text holds a few of the tags.
  struct Entry {
    const char* tag;  // in `text`; looked at only for a key outside the table
    const char* value;
    std::size_t value_size;
  };
  Entry entries[kTagCount];
  std::uint64_t present = 0;
  std::size_t count = 0;
  std::size_t bytes = 0;  // keys and values, what the map may have to copy
  const auto write = [&](int number, const char* tag, std::string_view raw) {
    const std::string_view v = value_of(raw);
    if (v.empty()) return;
    const std::uint64_t bit = std::uint64_t{1} << number;
    Entry& entry = entries[static_cast<std::size_t>(number)];
    if (present & bit) {
      bytes -= entry.value_size;
    } else {
      present |= bit;
      ++count;
      bytes += kTags[number].size();
    }
    const std::string_view value = joined.in_details(v);
    entry = {tag, value.data(), value.size()};
    bytes += value.size();
  };

  std::uint64_t seen = 0;         // the tags met, by number, with a value or not
  int open = -1;                  // the number of the tag whose value runs up to here
  const char* open_tag = nullptr;  // and where the text has it
  std::size_t value_begin = 0;
  // A tag is the two to four bytes between two slashes next to each other: the slashes
  // that open such a run are found among the slash bits 64 bytes at a time, the next 64
  // bytes' in hand for a tag that ends there, and only they are looked up; the other
  // slashes of a text are passed over.
  bool line_break = false;
  const auto slashes_at = [text, &line_break](std::size_t at) {
    return detail::ByteBits::block_bits(text, at, '/', line_break);
  };
  std::uint64_t here = text.empty() ? 0 : slashes_at(0);
  for (std::size_t block = 0; block < text.size(); block += 64) {
    const std::uint64_t after = text.size() - block > 64 ? slashes_at(block + 64) : 0;
    if (line_break && !joined_already) return Read::LineBreak;
    // Bit i: a slash k bytes after byte i.
    const auto ahead = [here, after](unsigned k) { return here >> k | after << (64 - k); };
    const std::uint64_t two = ahead(3);
    const std::uint64_t three = ahead(4);
    std::uint64_t opens = here & ~(ahead(1) | ahead(2)) & (two | three | ahead(5));
    for (; opens != 0; opens &= opens - 1) {
      const unsigned bit = static_cast<unsigned>(std::countr_zero(opens));
      const std::size_t slash = block + bit;
      const std::size_t length = (two >> bit & 1) != 0 ? 2 : (three >> bit & 1) != 0 ? 3 : 4;
      const TagSlot* slot = tag_slot(text, slash + 1, length);
      if (slot == nullptr) continue;
      if (segments_first && slot->segments_code && detail::opens_segments_mark_slow(text, slash)) {
        // The mark's account may run past the bytes looked at so far.
        if (!joined_already && block + 128 < text.size() && has_line_break(text.substr(block + 128))) {
          return Read::LineBreak;
        }
        return Read::SegmentsMark;
      }
      if (slot->number == kNoTag) continue;
      const int number = slot->number;
      seen |= std::uint64_t{1} << number;
      // A tag right after a tag's closing slash leaves the one before without a value.
      if (open >= 0 && slash >= value_begin) write(open, open_tag, text.substr(value_begin, slash - value_begin));
      open = number;
      open_tag = text.data() + slash + 1;
      value_begin = slash + length + 2;
    }
    here = after;
  }
  if ((seen & kMarks) == 0) return Read::NoMark;
  if (open >= 0) write(open, open_tag, text.substr(value_begin));
  if (count == 0) {
    static constexpr detail::FixedKey kDetail("detail");
    DecodedDetails::Builder builder(into, details, 1, kDetail.key.size() + details.size());
    detail::add_key(builder, kDetail);
    builder.append_value(details);
    map = std::move(builder).finish(Layout::SlashTags);
    return Read::Decoded;
  }
  DecodedDetails::Builder builder(into, details, count, bytes);
  for (std::uint64_t left = present; left != 0; left &= left - 1) {
    const auto number = static_cast<std::size_t>(std::countr_zero(left));
    const Entry& entry = entries[number];
    // In the tags' order by construction: the builder need not check it.
    const std::string_view value(entry.value, entry.value_size);
    if (kTableNumbers[number] != 0) {
      builder.add_fixed_entry_in_order(kTags[number], kTableNumbers[number], value);
    } else {
      builder.add_entry_in_order(joined.in_details(std::string_view(entry.tag, kTags[number].size())), value);
    }
  }
  map = std::move(builder).finish(Layout::SlashTags);
  return Read::Decoded;
}

}  // namespace

[[gnu::hot]] detail::SlashTagsOutcome detail::decode_slash_tags(std::string_view details, JoinedSlashText& joined,
                                                  std::string_view& text, TextBuffer& into, bool segments_first,
                                                  std::optional<DecodedDetails>& map) {
  // The reading joins a field's lines where it can, so nearly every text comes without
  // a line break: it is read as it stands, and joined only when a break turns up.
  text = joined.unbroken(details);
  Read read = read_tags(details, joined, text, into, segments_first, false, map);
  if (read == Read::LineBreak) {
    text = joined.join(details);
    read = read_tags(details, joined, text, into, segments_first, true, map);
  }
  switch (read) {
    case Read::Decoded:
      return SlashTagsOutcome::Decoded;
    case Read::SegmentsMark:
      return SlashTagsOutcome::SegmentsMark;
    default:
      return SlashTagsOutcome::NoMark;
  }
}

const Decoder& detail::bank_slash_decoder() noexcept {
  static const BankSlashDecoder instance;
  return instance;
}

const Decoder& bank_slash_tags_decoder() noexcept {
  static const BankSlashTagsDecoder instance;
  return instance;
}

}  // namespace tallyfold
