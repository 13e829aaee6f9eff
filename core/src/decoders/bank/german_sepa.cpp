// German "?NN" subfields the way the banks fill them. The remittance text stands in
// ?20-?29 and ?60-?63, each at most 27 characters: a bank fills a subfield to the full
// width and goes on in the next, in the middle of a word ("SEPA-Ueberweisu" + "ng"),
// and starts a new subfield early only at a break ("STORNO RECHNUNGSABSCHLUSS" +
// "PER 01.02.2020"). The joined text is then split by the SEPA keywords ("EREF+",
// "SVWZ+", ...). An identifier keyword ends with the subfield it ends in, which is the
// first one shorter than 27 from where it starts; a text keyword runs to the next
// keyword; a purpose code ends at its first blank.
//
// The joined text is never written out on its own: positions in it are resolved to the
// subfields they fall in, so a value within one subfield stays a position in the
// decoded text and only a value that crosses subfields is copied, once, into the map.
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#if defined(__SSE2__) && !defined(TALLYFOLD_SCALAR_SCAN_ONLY)
#include <emmintrin.h>
#define TALLYFOLD_SEPA_SSE2 1
#endif

#include "decoders/bank/text.hpp"
#include "decoders/numbered_subfields.hpp"
#include "decoders/bank/bank_details.hpp"
#include "model/fixed_keys.hpp"
#include "util/bits.hpp"
#include "util/utf8.hpp"
#include "util/thread_scratch.hpp"

namespace tallyfold {
namespace {

constexpr std::size_t kSubfieldWidth = 27;

enum class Ends : std::uint8_t {
  WithSubfield,  // an identifier: with its subfield, or at the next keyword
  AtKeyword,     // a text: at the next keyword
  AtBlank,       // a code: at its first blank, the rest being text
};

struct Keyword {
  detail::FixedKey key;
  Ends ends;
};

// The German banking industry's keywords for the remittance text of a SEPA payment,
// with the ones its format annex adds for returns and purpose codes. A value ends
// where the next keyword starts, so each one a bank may write must be known here:
// an unknown one would run on inside the value before it. In the map's key order, so
// that the map is written straight from this table.
constexpr std::array<Keyword, 15> kKeywords{{
    {detail::FixedKey("ABWA"), Ends::AtKeyword},     // ultimate debtor
    {detail::FixedKey("ABWE"), Ends::AtKeyword},     // ultimate creditor
    {detail::FixedKey("BIC"), Ends::WithSubfield},   // the other party's BIC
    {detail::FixedKey("BREF"), Ends::WithSubfield},  // bank reference
    {detail::FixedKey("COAM"), Ends::WithSubfield},  // compensation amount
    {detail::FixedKey("CRED"), Ends::WithSubfield},  // creditor identifier
    {detail::FixedKey("DEBT"), Ends::WithSubfield},  // originator identifier
    {detail::FixedKey("EREF"), Ends::WithSubfield},  // end-to-end reference
    {detail::FixedKey("IBAN"), Ends::WithSubfield},  // the other party's IBAN
    {detail::FixedKey("KREF"), Ends::WithSubfield},  // customer reference
    {detail::FixedKey("MREF"), Ends::WithSubfield},  // mandate reference
    {detail::FixedKey("OAMT"), Ends::WithSubfield},  // original amount
    {detail::FixedKey("PURP"), Ends::AtBlank},       // purpose code
    {detail::FixedKey("RREF"), Ends::WithSubfield},  // return reference
    {detail::FixedKey("SVWZ"), Ends::AtKeyword},     // remittance text
}};
constexpr std::size_t kBic = 2;
constexpr detail::FixedKey kNameKey("NAME");
constexpr detail::FixedKey kRemittanceKey("REMI_COMBINED");
constexpr detail::FixedKey kCodeKey("gvc");
constexpr detail::FixedKey kTextKey("text");
// The keywords before "NAME", and before "REMI_COMBINED".
constexpr std::size_t kBeforeName = 11;
constexpr std::size_t kBeforeRemittance = 13;
// Free text is collected like a keyword's value, in the slot after the keywords'.
constexpr std::size_t kFreeText = kKeywords.size();

constexpr std::string_view key_of(std::size_t slot) { return kKeywords[slot].key.key; }

constexpr bool keys_ascend() {
  for (std::size_t i = 1; i < kKeywords.size(); ++i) {
    if (!(key_of(i - 1) < key_of(i))) return false;
  }
  return key_of(kBic) == "BIC" && key_of(kBeforeName - 1) < kNameKey.key && kNameKey.key < key_of(kBeforeName) &&
         key_of(kBeforeRemittance - 1) < kRemittanceKey.key && kRemittanceKey.key < key_of(kBeforeRemittance) &&
         key_of(kKeywords.size() - 1) < kCodeKey.key && kCodeKey.key < kTextKey.key;
}

// A slot's key: a keyword's, or the free text's after them. Always the table's bytes: a
// keyword is found only where the text spells it.
constexpr const detail::FixedKey& slot_key(std::size_t slot) noexcept {
  return slot == kKeywords.size() ? kTextKey : kKeywords[slot].key;
}
static_assert(keys_ascend(), "the map is written in the table's order");

// A four-byte keyword's bytes as one number, the same however the machine orders them.
constexpr std::uint32_t word_of(const char* bytes) noexcept {
  return std::uint32_t{static_cast<unsigned char>(bytes[0])} | std::uint32_t{static_cast<unsigned char>(bytes[1])} << 8 |
         std::uint32_t{static_cast<unsigned char>(bytes[2])} << 16 |
         std::uint32_t{static_cast<unsigned char>(bytes[3])} << 24;
}

// The four-letter keywords by a hash of their bytes: a multiplier, found when compiled,
// under which each lands in a slot of its own among 32; a candidate is then compared
// with the one keyword its hash names.
constexpr unsigned hash_of(std::uint32_t word, std::uint32_t multiplier) noexcept { return (word * multiplier) >> 27; }
constexpr std::uint32_t kKeywordMultiplier = [] {
  for (std::uint32_t multiplier = 0x9E3779B1u;; multiplier += 2) {
    bool taken[32] = {};
    bool apart = true;
    for (std::size_t k = 0; k < kKeywords.size() && apart; ++k) {
      if (key_of(k).size() != 4) continue;
      const unsigned slot = hash_of(word_of(key_of(k).data()), multiplier);
      apart = !taken[slot];
      taken[slot] = true;
    }
    if (apart) return multiplier;
  }
}();
constexpr std::array<std::int8_t, 32> kKeywordByHash = [] {
  std::array<std::int8_t, 32> slots{};
  slots.fill(-1);
  for (std::size_t k = 0; k < kKeywords.size(); ++k) {
    if (key_of(k).size() == 4) slots[hash_of(word_of(key_of(k).data()), kKeywordMultiplier)] = static_cast<std::int8_t>(k);
  }
  return slots;
}();

// The keyword that `rest` (the bytes from a candidate's first to its "+") spells, as a
// slot of kKeywords, or -1. Every keyword is four letters and "+" but "BIC+", so one
// byte rules out nearly every place.
[[gnu::hot]] int keyword_at(std::string_view rest) noexcept {
  if (rest.size() < 4) return -1;
  if (rest[3] == '+') return rest.starts_with("BIC+") ? static_cast<int>(kBic) : -1;
  if (rest.size() < 5 || rest[4] != '+') return -1;
  const int slot = kKeywordByHash[hash_of(word_of(rest.data()), kKeywordMultiplier)];
  return slot >= 0 && std::memcmp(rest.data(), key_of(static_cast<std::size_t>(slot)).data(), 4) == 0 ? slot : -1;
}

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) noexcept {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

constexpr bool is_stop(char c) noexcept { return c == '?' || c == '+' || c == '\n' || c == '\r'; }

// The first "?", "+" or line break from `from` on, or `size`. Sixteen bytes are compared
// at a time, in place: subfields are a few dozen bytes, and one pass finds the marks of
// subfields and keywords and the rare line break, where a library search for each would
// read every text once more.
#ifdef TALLYFOLD_SEPA_SSE2
alignas(16) constexpr char kQuestionMarks[16] = {'?', '?', '?', '?', '?', '?', '?', '?',
                                                 '?', '?', '?', '?', '?', '?', '?', '?'};
alignas(16) constexpr char kPlusSigns[16] = {'+', '+', '+', '+', '+', '+', '+', '+',
                                             '+', '+', '+', '+', '+', '+', '+', '+'};
alignas(16) constexpr char kLineFeeds[16] = {'\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n',
                                             '\n', '\n', '\n', '\n', '\n', '\n', '\n', '\n'};
alignas(16) constexpr char kCarriageReturns[16] = {'\r', '\r', '\r', '\r', '\r', '\r', '\r', '\r',
                                                   '\r', '\r', '\r', '\r', '\r', '\r', '\r', '\r'};

// Bit i: byte i of the 16 at `p` is a stop.
inline unsigned stops16(const char* p) noexcept {
  const auto every = [](const char* bytes) { return _mm_load_si128(reinterpret_cast<const __m128i*>(bytes)); };
  const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i breaks = _mm_or_si128(_mm_cmpeq_epi8(v, every(kLineFeeds)), _mm_cmpeq_epi8(v, every(kCarriageReturns)));
  const __m128i marks = _mm_or_si128(_mm_cmpeq_epi8(v, every(kQuestionMarks)), _mm_cmpeq_epi8(v, every(kPlusSigns)));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(marks, breaks)));
}

#else
inline unsigned stops16(const char* p) noexcept {
  unsigned found = 0;
  for (unsigned i = 0; i < 16; ++i) found |= unsigned{is_stop(p[i])} << i;
  return found;
}
#endif

// Whether `raw`, at least as long as a full subfield, holds that many characters: its
// bytes less the UTF-8 continuation bytes among them. Sixteen bytes are counted at a
// time, and a plain ASCII subfield has none to count.
inline bool at_width(std::string_view raw) noexcept {
#ifdef TALLYFOLD_SEPA_SSE2
  static_assert(kSubfieldWidth >= 16);
  // A continuation byte (0x80 to 0xBF) is, as a signed byte, one below -64.
  const __m128i below = _mm_set1_epi8(-64);
  const auto continuations = [below](const char* p) {
    return static_cast<unsigned>(
        _mm_movemask_epi8(_mm_cmplt_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), below)));
  };
  std::size_t count = 0;
  std::size_t i = 0;
  for (; i + 16 <= raw.size(); i += 16) {
    if (const unsigned found = continuations(raw.data() + i)) count += static_cast<std::size_t>(detail::popcount64(found));
  }
  if (i < raw.size()) {
    // The last bytes, read as the 16 that end the text.
    if (const unsigned found = continuations(raw.data() + raw.size() - 16) >> (i + 16 - raw.size())) {
      count += static_cast<std::size_t>(detail::popcount64(found));
    }
  }
  return raw.size() - count >= kSubfieldWidth;
#else
  return detail::character_count(raw) >= kSubfieldWidth;
#endif
}

// memcpy, with the lengths of a subfield's text (16 to 32 bytes) copied inline as two
// sixteen-byte moves that may overlap, where the library call would cost more than the
// copy.
inline void copy_bytes(char* out, const char* from, std::size_t n) noexcept {
#ifdef TALLYFOLD_SEPA_SSE2
  if (n >= 16 && n <= 32) {
    const __m128i head = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from));
    const __m128i tail = _mm_loadu_si128(reinterpret_cast<const __m128i*>(from + n - 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), head);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + n - 16), tail);
    return;
  }
#endif
  std::memcpy(out, from, n);
}

// Subfields joined as the bank cut them, in thought only: each piece keeps its place in
// the joined text, and the one blank put between two pieces is the gap between their
// places. Keywords are found where a piece starts or after a blank, and identifiers end
// where their piece does.
class JoinedText {
 public:
  struct Piece {
    std::size_t begin;   // in the joined text
    std::size_t end;
    const char* source;  // where the piece stands in the decoded text
    bool full;           // filled to the width and not ending in a blank: the text goes on
  };

  // `raw` as the subfield has it; `untrimmed` when it has no white space at either end.
  [[gnu::always_inline]] void add(std::string_view raw, bool untrimmed) {
    const std::string_view core = untrimmed ? raw : trim_blanks(raw);
    // Bytes bound characters from above: a shorter text needs no count.
    const bool full = raw.size() >= kSubfieldWidth && !is_blank(raw.back()) && at_width(raw);
    if (core.empty()) {
      previous_full_ = false;
      return;
    }
    // Every piece holds a byte: a size above zero means a piece before this one. The
    // blank between is counted without a branch: full pieces and short ones alternate.
    const bool glued = previous_full_ & (raw.front() != ' ') & (raw.front() != '\t');
    size_ += static_cast<std::size_t>((size_ != 0) & !glued);
    pieces_.push_back({size_, size_ + core.size(), core.data(), full});
    size_ += core.size();
    previous_full_ = full;
  }

  void clear() noexcept {
    pieces_.clear();
    size_ = 0;
    previous_full_ = false;
    written_ = nullptr;
  }
  bool empty() const noexcept { return pieces_.empty(); }
  std::size_t size() const noexcept { return size_; }
  const std::vector<Piece>& pieces() const noexcept { return pieces_; }

  // The byte at `at` (< size()), with `piece` moved to the first piece that does not end
  // before it. Moving either way, the cursor passes over each piece once for positions
  // that keep to one direction.
  char at(std::size_t at, std::size_t& piece) const noexcept {
    while (piece > 0 && pieces_[piece - 1].end > at) --piece;
    return ahead(at, piece);
  }
  // The same for a position at or after the first byte of `piece`'s piece or the gap
  // before it, as positions read in text order are: the cursor only moves on.
  char ahead(std::size_t at, std::size_t& piece) const noexcept {
    while (pieces_[piece].end <= at) ++piece;
    const Piece& p = pieces_[piece];
    return at < p.begin ? ' ' : p.source[at - p.begin];
  }

  // Where bytes [begin, end) stand in the decoded text when they lie in one piece,
  // `piece` being the first piece not ending before `begin`; else null.
  const char* within_piece(std::size_t begin, std::size_t end, std::size_t piece) const noexcept {
    const Piece& p = pieces_[piece];
    return begin >= p.begin && end <= p.end ? p.source + (begin - p.begin) : nullptr;
  }

  // The entry of `key` with bytes [begin, end) as its value, `piece` as above. A run of
  // one piece goes in as its position in the decoded text, one that crosses pieces as
  // its place in the whole text once that is written out into the map; before that it
  // is copied from its pieces.
  void write_entry(DecodedDetails::Builder& map, const detail::FixedKey& key, std::size_t begin, std::size_t end,
                   std::size_t piece) const {
    if (const char* at = within_piece(begin, end, piece)) {
      map.add_fixed_entry_in_order(key.key, key.number, {at, end - begin});
    } else if (written_ != nullptr) {
      map.add_fixed_entry_in_order(key.key, key.number, {written_ + begin, end - begin});
    } else {
      detail::add_key(map, key);
      copy_run(map.extend_value(end - begin), begin, end, piece);
    }
  }

  // The entry of `key` with the whole text as its value, written out into the map when
  // it crosses pieces, for the values after it to refer to.
  void write_whole(DecodedDetails::Builder& map, const detail::FixedKey& key) {
    if (pieces_.size() == 1) {
      map.add_fixed_entry_in_order(key.key, key.number, {pieces_[0].source, size_});
      return;
    }
    char* out = map.add_fixed_entry_room(key.key, key.number, size_);
    copy_run(out, 0, size_, 0);
    written_ = out;
  }

  // Bytes [begin, end) appended to the value being written, `piece` as above.
  void write(DecodedDetails::Builder& map, std::size_t begin, std::size_t end, std::size_t piece) const {
    if (const char* at = within_piece(begin, end, piece)) {
      map.append_value({at, end - begin});
    } else if (written_ != nullptr) {
      map.append_value({written_ + begin, end - begin});
    } else {
      copy_run(map.extend_value(end - begin), begin, end, piece);
    }
  }

 private:
  // Bytes [begin, end) to `out`, `piece` as above: the pieces' bytes where they stand,
  // the blank in a gap between two.
  void copy_run(char* out, std::size_t begin, std::size_t end, std::size_t piece) const noexcept {
    for (std::size_t at = begin; at < end; ++piece) {
      const Piece& q = pieces_[piece];
      if (at < q.begin) {
        *out++ = ' ';  // a gap is one byte
        at = q.begin;
        if (at >= end) break;
      }
      const std::size_t stop = end < q.end ? end : q.end;
      copy_bytes(out, q.source + (at - q.begin), stop - at);
      out += stop - at;
      at = stop;
    }
  }

  std::vector<Piece> pieces_;
  const char* written_ = nullptr;  // the whole text in the map, once written there
  std::size_t size_ = 0;
  bool previous_full_ = false;
};

// A keyword found in the joined text.
struct Hit {
  std::size_t slot;  // in kKeywords
  std::size_t at;    // of its first byte
};

// The keywords of the joined text in text order. A keyword starts a piece or follows a
// blank, and every keyword ends in "+": the "+" signs, few in a text, are where to look,
// piece by piece ([plus, plus_end) are their places in the decoded text, in order). Only a "+"
// near the start of a piece glued to the one before needs bytes of that piece, read
// through the joined text's cursor.
[[gnu::hot]] void find_keywords(const JoinedText& joined, const std::size_t* plus, const std::size_t* const plus_end,
                                 const char* text, std::vector<Hit>& hits) {
  hits.clear();
  const std::vector<JoinedText::Piece>& pieces = joined.pieces();
  std::size_t skip_to = 0;  // past the last keyword found
  for (std::size_t k = 0; k < pieces.size() && plus != plus_end; ++k) {
    const JoinedText::Piece& piece = pieces[k];
    const char* data = piece.source;
    const auto offset = static_cast<std::size_t>(data - text);
    const std::size_t size = piece.end - piece.begin;
    while (plus != plus_end && *plus < offset) ++plus;
    for (; plus != plus_end && *plus < offset + size; ++plus) {
      const std::size_t p = *plus - offset;
      const std::size_t at = piece.begin + p;
      if (p >= 4) {
        // Within the piece.
        // "BIC+" is the one keyword of three letters; no four-letter one ends in "BIC".
        const std::size_t length = std::memcmp(data + p - 3, "BIC", 3) == 0 ? 3 : 4;
        if (at - length < skip_to) continue;
        const std::size_t i = p - length;
        if (i != 0 && !is_blank(data[i - 1])) continue;
        const int slot = keyword_at(std::string_view(data + i, length + 1));
        if (slot < 0) continue;
        hits.push_back({static_cast<std::size_t>(slot), at - length});
        skip_to = at + 1;
        continue;
      }
      // The bytes before the "+" may lie in the blank before the piece or in the piece
      // before that.
      std::size_t cursor = k;
      const auto byte = [&](std::size_t position) { return joined.at(position, cursor); };
      const std::size_t length =
          at >= 3 && byte(at - 3) == 'B' && byte(at - 2) == 'I' && byte(at - 1) == 'C' ? 3 : 4;
      if (at < length || at - length < skip_to) continue;
      const std::size_t i = at - length;
      byte(i);
      const JoinedText::Piece& holder = pieces[cursor];
      if (i < holder.begin) continue;  // the blank between two pieces
      if (i != holder.begin && !is_blank(byte(i - 1))) continue;
      char spelled[5];
      for (std::size_t j = 0; j <= length; ++j) spelled[j] = byte(i + j);
      const int slot = keyword_at(std::string_view(spelled, length + 1));
      if (slot < 0) continue;
      hits.push_back({static_cast<std::size_t>(slot), i});
      skip_to = at + 1;
    }
  }
}

// The values of each keyword and the free text, as runs of the joined text in text
// order; a keyword written twice, or free text on both sides of an identifier, has
// several, joined by a blank in the map. Lists per slot, so the map is written in the
// keywords' order with no sorting.
class Collected {
 public:
  struct Run {
    std::size_t begin;
    std::size_t end;
    std::size_t piece;  // the first piece not ending before `begin`
    std::size_t next;   // the slot's next run, or kNone
  };
  static constexpr std::size_t kNone = ~std::size_t{0};
  static constexpr std::size_t kSlots = kKeywords.size() + 1;

  void clear() noexcept {
    runs_.clear();
    present_ = 0;
    count_ = 0;
  }

  // Adds [begin, end) without its blanks at either end, when anything is left. Runs
  // come in text order, so one cursor serves them all.
  void add(const JoinedText& joined, std::size_t slot, std::size_t begin, std::size_t end) {
    while (begin < end && is_blank(joined.ahead(begin, cursor_))) ++begin;
    if (begin == end) return;
    std::size_t back = cursor_;
    while (is_blank(joined.at(end - 1, back))) --end;
    const std::uint32_t bit = std::uint32_t{1} << slot;
    if (present_ & bit) {
      // A further run: the slot's first stays in place, the others are listed.
      const std::size_t run = runs_.size();
      runs_.push_back({begin, end, cursor_, kNone});
      (last_[slot] == kNone ? first_[slot] : runs_[last_[slot]]).next = run;
      last_[slot] = run;
      size_[slot] += 1 + (end - begin);
    } else {
      present_ |= bit;
      ++count_;
      first_[slot] = {begin, end, cursor_, kNone};
      last_[slot] = kNone;
      size_[slot] = end - begin;
    }
  }
  void start() noexcept { cursor_ = 0; }

  bool has(std::size_t slot) const noexcept { return (present_ >> slot) & 1; }
  std::size_t count() const noexcept { return count_; }
  // Bytes of the keys and values together.
  std::size_t bytes() const noexcept {
    std::size_t n = 0;
    for (std::uint32_t bits = present_; bits != 0; bits &= bits - 1) {
      const auto slot = static_cast<std::size_t>(std::countr_zero(bits));
      n += slot_key(slot).key.size() + size_[slot];
    }
    return n;
  }
  // Out of line: one copy serves the four places that write slots.
  [[gnu::hot, gnu::noinline]] void write(DecodedDetails::Builder& map, const JoinedText& joined, std::size_t slot) const {
    const Run* run = &first_[slot];
    if (run->next == kNone) [[likely]] {
      joined.write_entry(map, slot_key(slot), run->begin, run->end, run->piece);
      return;
    }
    write_runs(map, joined, slot);
  }
  // A slot of several runs (a keyword written twice, free text on both sides of an
  // identifier): rare, so out of line.
  [[gnu::noinline, gnu::cold]] void write_runs(DecodedDetails::Builder& map, const JoinedText& joined,
                                               std::size_t slot) const {
    const Run* run = &first_[slot];
    detail::add_key(map, slot_key(slot));
    joined.write(map, run->begin, run->end, run->piece);
    while (run->next != kNone) {
      run = &runs_[run->next];
      map.append_value(" ");
      joined.write(map, run->begin, run->end, run->piece);
    }
  }
  // The slots [from, to) that hold a value, in order.
  void write_range(DecodedDetails::Builder& map, const JoinedText& joined, std::size_t from, std::size_t to) const {
    const std::uint32_t range = (std::uint32_t{1} << to) - (std::uint32_t{1} << from);
    for (std::uint32_t bits = present_ & range; bits != 0; bits &= bits - 1) {
      write(map, joined, static_cast<std::size_t>(std::countr_zero(bits)));
    }
  }

 private:
  std::vector<Run> runs_;
  std::uint32_t present_ = 0;
  std::size_t count_ = 0;
  std::size_t cursor_ = 0;
  // Only the slots marked in present_ are ever read.
  Run first_[kSlots];
  std::size_t last_[kSlots];  // of the slot's runs in runs_, kNone while it has one
  std::size_t size_[kSlots];  // of the joined value
};
static_assert(Collected::kSlots < 32);

// The keyword values and free text of the joined remittance text. An identifier ends
// with the piece it ends in; the pieces are passed over once in all.
void split_keywords(const JoinedText& joined, const std::vector<Hit>& hits, Collected& collected) {
  const std::vector<JoinedText::Piece>& pieces = joined.pieces();
  const std::size_t size = joined.size();
  collected.start();
  collected.add(joined, kFreeText, 0, hits.empty() ? size : hits.front().at);
  std::size_t piece = 0;
  std::size_t cursor = 0;
  for (std::size_t h = 0; h < hits.size(); ++h) {
    const Keyword& keyword = kKeywords[hits[h].slot];
    const std::size_t begin = hits[h].at + keyword.key.key.size() + 1;
    const std::size_t limit = h + 1 < hits.size() ? hits[h + 1].at : size;
    std::size_t end = limit;
    if (keyword.ends == Ends::AtBlank) {
      std::size_t at = begin;
      while (at < limit && is_blank(joined.ahead(at, cursor))) ++at;  // "PURP+ RINP"
      while (at < limit && !is_blank(joined.ahead(at, cursor))) ++at;
      end = at;
    } else if (keyword.ends == Ends::WithSubfield) {
      // The piece the value starts in, then on through full pieces.
      while (piece < pieces.size() && pieces[piece].end <= begin && pieces[piece].end < limit) ++piece;
      while (piece < pieces.size() && pieces[piece].full && pieces[piece].end < limit) ++piece;
      if (piece < pieces.size() && pieces[piece].end < limit) end = begin > pieces[piece].end ? begin : pieces[piece].end;
    }
    collected.add(joined, hits[h].slot, begin, end);
    if (end < limit) collected.add(joined, kFreeText, end, limit);
  }
}

// The subfields in the order written while their numbers ascend, as banks write them,
// as positions in the text; from the first number that does not, the table that keeps
// each number's last write. In order, the map's entries and their size are known on
// the way in, and go into the map in one step.
class Subfields {
 public:
  // The subfield numbered `number` whose digits stand at `at` in `text`.
  [[gnu::always_inline]] void add(const char* text, int number, std::size_t at, std::string_view value) noexcept {
    if (number > last_) [[likely]] {
      list_[size_++] = {static_cast<std::uint32_t>(at), 2, static_cast<std::uint32_t>(value.data() - text),
                        static_cast<std::uint32_t>(value.size())};
      bytes_ += 2 + value.size();
      last_ = number;
      return;
    }
    add_out_of_order(text, number, at, value);
  }

  bool ascending() const noexcept { return last_ <= 99; }
  std::size_t count() const noexcept { return ascending() ? size_ : table_count(); }
  std::size_t bytes() const noexcept { return ascending() ? bytes_ : table_bytes(); }

  // The map's first entries, nothing before them to be ordered against; `text` is the
  // map's source when `in_source`.
  void write_to(DecodedDetails::Builder& map, const char* text, bool in_source) const {
    if (ascending() && in_source) [[likely]] {
      map.add_source_entries_in_order({list_, size_});
    } else {
      write_slowly(map, text);
    }
  }

 private:
  // The rare cases, out of line so that the walk over the stops stays compact: a number
  // that does not ascend, and a text not read in place.
  [[gnu::noinline, gnu::cold]] void add_out_of_order(const char* text, int number, std::size_t at,
                                                     std::string_view value) noexcept {
    if (last_ <= 99) {
      // Out of order: what came so far moves to the table, emptied for this text.
      table_ = detail::SubfieldTable();
      for (std::size_t i = 0; i < size_; ++i) {
        const DecodedDetails::SourceEntry& e = list_[i];
        const char* digits = text + e.key_at;
        table_.set({(digits[0] - '0') * 10 + (digits[1] - '0'), digits, {text + e.value_at, e.value_length}});
      }
      last_ = 100;
    }
    table_.set({number, text + at, value});
  }
  [[gnu::noinline, gnu::cold]] std::size_t table_count() const noexcept { return table_.count(); }
  [[gnu::noinline, gnu::cold]] std::size_t table_bytes() const noexcept { return table_.bytes(); }
  [[gnu::noinline, gnu::cold]] void write_slowly(DecodedDetails::Builder& map, const char* text) const {
    if (!ascending()) {
      table_.write_to(map);
      return;
    }
    for (std::size_t i = 0; i < size_; ++i) {
      const DecodedDetails::SourceEntry& e = list_[i];
      map.add_entry_in_order({text + e.key_at, 2}, {text + e.value_at, e.value_length});
    }
  }

  DecodedDetails::SourceEntry list_[100];  // numbers ascend: one of each at most
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;
  int last_ = -1;  // the last number listed; past 99 once the table holds them
  detail::SubfieldTable table_;
};

// Working storage reused from text to text on each thread: decoding allocates only
// while a text is larger than any before it.
struct Scratch {
  std::string text;
  // Room for the places of a text's "+" signs and of its marks, each list as long as
  // the text and one more: the walk writes a place at every stop and keeps it or not by
  // the length it moves on, without a test of which list it belongs to.
  std::unique_ptr<std::size_t[]> places;
  std::size_t places_room = 0;
  std::size_t* places_for(std::size_t size) {
    if (places_room < size + 1) {
      places = std::make_unique_for_overwrite<std::size_t[]>(2 * (size + 1));
      places_room = size + 1;
    }
    return places.get();
  }
  JoinedText remittance;
  JoinedText name;
  JoinedText unread;  // the subfields of neither
  std::vector<Hit> hits;
  Collected collected;
};

// The stops among the sixteen bytes from `from` on, or fewer at the text's end: bit i
// for byte from + i.
[[gnu::always_inline]] inline unsigned stops_from(const char* p, std::size_t from, std::size_t size) noexcept {
  if (from + 16 <= size) return stops16(p + from);
  // The last bytes, read as the 16 that end the text: nothing past its end is read.
  if (size >= 16) return stops16(p + size - 16) >> (from + 16 - size);
  unsigned found = 0;
  for (std::size_t i = from; i < size; ++i) found |= unsigned{is_stop(p[i])} << (i - from);
  return found;
}

// The text each subfield number is part of: the remittance text stands in ?20-?29 and
// ?60-?63, the other party's name in ?32 and ?33.
enum class Joined : std::uint8_t { None, Remittance, Name };
constexpr std::array<Joined, 100> kJoined = [] {
  std::array<Joined, 100> joined{};
  for (std::size_t n = 20; n <= 29; ++n) joined[n] = Joined::Remittance;
  for (std::size_t n = 60; n <= 63; ++n) joined[n] = Joined::Remittance;
  joined[32] = joined[33] = Joined::Name;
  return joined;
}();

// The stops of a text shorter than 64 bytes from `from` on, as stops64 gives them.
[[gnu::noinline]] std::uint64_t short_stops(const char* p, std::size_t from, std::size_t size) noexcept {
  std::uint64_t found = 0;
  for (std::size_t at = from; at < size; at += 16) found |= std::uint64_t{stops_from(p, at, size)} << (at - from);
  return found;
}

// The stops among the 64 bytes from `from` on, or fewer at the text's end: bit i for
// byte from + i. A block of four loads whose compares keep their constants in
// registers, where a call in the walk between two loads would have them read again.
[[gnu::always_inline]] inline std::uint64_t stops64(const char* p, std::size_t from, std::size_t size) noexcept {
  if (size < 64) [[unlikely]] return short_stops(p, from, size);
  // A block that would pass the text's end is read as the 64 bytes that end it, moved
  // down to start at `from`: nothing past the end is read, and one copy of the loads,
  // picked without a branch, serves every block.
  const std::size_t at = from < size - 64 ? from : size - 64;
  return (std::uint64_t{stops16(p + at)} | std::uint64_t{stops16(p + at + 16)} << 16 |
          std::uint64_t{stops16(p + at + 32)} << 32 | std::uint64_t{stops16(p + at + 48)} << 48) >>
         (from - at);
}

// The subfield whose mark is at `mark`, ending at `end`.
// `joined` are the texts by kJoined: the subfields of none go to the first, which is
// never read, so that the pick is no branch (the kinds alternate in every text).
[[gnu::always_inline]] inline void end_subfield(const char* p, std::size_t mark, std::size_t end, Subfields& fields,
                                                JoinedText* const (&joined)[3]) {
  const std::string_view raw(p + mark + 3, end - mark - 3);
  const int number = (p[mark + 1] - '0') * 10 + (p[mark + 2] - '0');
  const std::string_view value = detail::trimmed(raw);
  // Every subfield in text order; of a number written twice the last write wins.
  fields.add(p, number, mark + 1, value);
  // Nothing trimmed means no blank at either end either.
  joined[static_cast<std::size_t>(kJoined[static_cast<std::size_t>(number)])]->add(raw, value.size() == raw.size());
}

class BankGermanSepaDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    if (details.find('?') == std::string_view::npos) return std::nullopt;
    Scratch& scratch = detail::thread_scratch<Scratch>();
    return decode(details, details, into, scratch);
  }

  std::string_view name() const noexcept override { return "bank-german-sepa"; }

 private:
  // A text with line breaks: rare in what the reading hands over, so out of line.
  [[gnu::noinline, gnu::cold]] static std::optional<DecodedDetails> start_over(std::string_view details, TextBuffer& into, Scratch& scratch) {
    return decode(details, detail::without_line_breaks(details, scratch.text), into, scratch);
  }

  // `text` is `details`, or `details` without its line breaks when it has any. Hot, as is
  // the rest of the details' decoding: the linker keeps it together (see
  // StatementMachine::settle).
  [[gnu::hot]] static std::optional<DecodedDetails> decode(std::string_view details, std::string_view text,
                                                           TextBuffer& into, Scratch& scratch) {
    // A subfield starts at "?" and two digits; any other "?" is part of the text. The "+"
    // signs are noted on the way for the keywords. A line break (rare: lines the reading
    // has not joined) starts over without them. Sixteen bytes are compared at a time, in
    // place, and their stops walked bit by bit: subfields are a few dozen bytes, and one
    // pass finds the marks of subfields and keywords and the rare line break, where a
    // library search for each would read every text once more.
    const char* const p = text.data();
    const std::size_t size = text.size();
    // On the stack: its counters stay in registers through the walk.
    Subfields fields;
    JoinedText& remittance = scratch.remittance;
    JoinedText& name = scratch.name;
    remittance.clear();
    name.clear();
    scratch.unread.clear();
    JoinedText* const joined[3] = {&scratch.unread, &remittance, &name};
    // The marks are listed first and the subfields read after, each up to the next
    // mark or the text's end: one place reads a subfield, where reading each at the next
    // mark would need a second copy of that code for the last.
    // Which kind a stop is, "+" or mark, is told without a branch: "+" and "?" stand in
    // texts in no order a predictor could follow.
    std::size_t* const pluses = scratch.places_for(size);
    std::size_t* const marks = pluses + size + 1;
    std::size_t plus_count = 0;
    std::size_t mark_count = 0;
    bool breaks = false;
    for (std::size_t from = 0; from < size; from += 64) {
      for (std::uint64_t bits = stops64(p, from, size); bits != 0; bits &= bits - 1) {
        const std::size_t at = from + static_cast<std::size_t>(std::countr_zero(bits));
        const char c = p[at];
        pluses[plus_count] = at;
        plus_count += c == '+';
        // The mark's two digits are no stops: the next one found is after them. Their
        // places are held inside the text, where a mark near its end has none.
        const bool room = at + 2 < size;
        const char first = p[at + static_cast<std::size_t>(room)];
        const char second = p[at + 2 * static_cast<std::size_t>(room)];
        marks[mark_count] = at;
        mark_count += (c == '?') & room & ascii::is_digit(first) & ascii::is_digit(second);
        // The other stops are line breaks, both below "+".
        breaks |= c < '+';
      }
    }
    if (breaks) [[unlikely]] return start_over(details, into, scratch);
    if (mark_count == 0) return std::nullopt;
    marks[mark_count] = size;
    for (std::size_t i = 0; i < mark_count; ++i) end_subfield(p, marks[i], marks[i + 1], fields, joined);
    const std::string_view head = text.substr(0, marks[0]);

    Collected& collected = scratch.collected;
    collected.clear();
    find_keywords(remittance, pluses, pluses + plus_count, p, scratch.hits);
    split_keywords(remittance, scratch.hits, collected);

    std::size_t code_length = 0;
    while (code_length < head.size() && ascii::is_digit(head[code_length])) ++code_length;
    const std::string_view code = head.substr(0, code_length);

    // The code's and the free text's keys are counted whether there or not: the bound
    // the builder is given decides the width of the map's fields.
    const std::size_t bytes = fields.bytes() + collected.bytes() + (collected.has(kFreeText) ? 0 : kTextKey.key.size()) +
                              (name.empty() ? 0 : kNameKey.key.size() + name.size()) +
                              (remittance.empty() ? 0 : kRemittanceKey.key.size() + remittance.size()) +
                              kCodeKey.key.size() + code.size();
    const std::size_t entries = fields.count() + collected.count() + !name.empty() + !remittance.empty() + !code.empty();
    DecodedDetails::Builder map(into, details, entries, bytes);
    // Ascending key order by construction: "00".."99", then the capitals (the keywords,
    // "NAME", "REMI_COMBINED"), then "gvc", then "text"; so the entries after the
    // subfields go in without the builder comparing keys.
    fields.write_to(map, p, p == details.data());
    collected.write_range(map, remittance, 0, kBeforeName);
    if (!name.empty()) name.write_whole(map, kNameKey);
    collected.write_range(map, remittance, kBeforeName, kBeforeRemittance);
    if (!remittance.empty()) remittance.write_whole(map, kRemittanceKey);
    collected.write_range(map, remittance, kBeforeRemittance, kKeywords.size());
    if (!code.empty()) map.add_fixed_entry_in_order(kCodeKey.key, kCodeKey.number, code);
    if (collected.has(kFreeText)) collected.write(map, remittance, kFreeText);
    return std::move(map).finish(Layout::GermanSepa);
  }
};

}  // namespace

const Decoder& bank_german_sepa_decoder() noexcept {
  static const BankGermanSepaDecoder instance;
  return instance;
}

}  // namespace tallyfold
