// The fixed rules: a precedence of keys that the shared decoders write, the same for
// every layout.
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>

#include "fields/field_parts.hpp"
#include "fields/rules.hpp"
#include "util/ascii.hpp"

namespace tallyfold::detail {
namespace {

// The keys the rules consult, by slot: the subfields "20".."29", "30".."33", then the
// named ones.
enum Slot : unsigned {
  kSubfield20 = 0,
  k30 = 10,
  k31,
  k32,
  k33,
  kRemi,
  kEref,
  kName,
  kIban,
  kDetail,
  kMref,
  kCred,
  kKref,
  kNone,
};

// The values of the keys the rules consult; a slot's value is set when its bit is, and
// left unwritten otherwise (clearing them all would cost more than the scan).
struct KeyHits {
  struct Text {
    const char* data;
    std::size_t size;
  };
  std::uint32_t present = 0;
  Text text[kNone];

  bool has(unsigned slot) const noexcept { return (present >> slot & 1) != 0; }
  std::string_view value(unsigned slot) const noexcept { return {text[slot].data, text[slot].size}; }
  // The first present value among `slots`, added to the empty `to` as one part; no
  // part when none is present. A present key wins even when its value is empty.
  void first_of(std::initializer_list<unsigned> slots, TextParts& to) const noexcept {
    for (const unsigned slot : slots) {
      if (has(slot)) {
        to.push(value(slot));
        return;
      }
    }
  }
};

constexpr std::uint32_t word_of(std::string_view key) noexcept {
  std::uint32_t w = 0;
  for (std::size_t i = 0; i < 4; ++i) w |= std::uint32_t{static_cast<unsigned char>(key[i])} << (8 * i);
  return w;
}

// The slot of `key`, kNone for a key the rules do not consult. Keys of two digits and
// of four letters are told apart by their bytes taken as numbers, not compared as texts.
unsigned slot_of(std::string_view key) noexcept {
  if (key.size() == 2) {
    const unsigned tens = static_cast<unsigned char>(key[0]) - '2';
    const unsigned unit = static_cast<unsigned char>(key[1]) - '0';
    if (unit > 9) return kNone;
    if (tens == 0) return kSubfield20 + unit;
    return tens == 1 && unit < 4 ? k30 + unit : kNone;
  }
  if (key.size() == 4) {
    std::uint32_t w;
    std::memcpy(&w, key.data(), sizeof w);
    if (std::endian::native != std::endian::little) w = word_of(key);
    switch (w) {
      case word_of("REMI"): return kRemi;
      case word_of("EREF"): return kEref;
      case word_of("NAME"): return kName;
      case word_of("IBAN"): return kIban;
      case word_of("MREF"): return kMref;
      case word_of("CRED"): return kCred;
      case word_of("KREF"): return kKref;
      default: return kNone;
    }
  }
  return key == "detail" ? kDetail : kNone;
}

// One pass over the entries, read a run at a time: every export asks for every field of
// every transaction, and the maps hold a handful of entries.
KeyHits scan(const DecodedDetails& map) noexcept {
  KeyHits h;
  DecodedDetails::EntryBytes run[16];
  for (std::size_t first = 0;;) {
    const std::size_t n = map.entries(first, run);
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned slot = slot_of(run[i].key());
      if (slot == kNone) continue;
      // A key occurs once in a map: the slot is set once.
      h.present |= std::uint32_t{1} << slot;
      h.text[slot] = {run[i].value_data, run[i].value_size};
    }
    if (n < std::size(run)) break;
    first += n;
  }
  return h;
}

}  // namespace

void fixed_rules(const Transaction& t, FieldParts& f) noexcept {
  f.clear();
  if (!t.structured_details) {
    f.purpose.push(t.details);
    return;
  }
  const KeyHits h = scan(*t.structured_details);

  for (std::uint32_t lines = h.present & 0x3FFu; lines != 0; lines &= lines - 1) {
    f.purpose.push(h.value(kSubfield20 + static_cast<unsigned>(std::countr_zero(lines))));
  }
  if (f.purpose.count == 0) h.first_of({kRemi, kEref, kDetail}, f.purpose);

  if (h.has(k32)) {
    f.counterparty.push(h.value(k32));
    if (h.has(k33)) f.counterparty.push(h.value(k33));
  } else {
    h.first_of({kSubfield20 + 7, kName}, f.counterparty);
  }

  h.first_of({k31, k30, kIban}, f.counter_iban);

  if (h.has(kEref) && h.value(kEref) != "NOTPROVIDED" && h.value(kEref) != "NONREF") {
    f.end_to_end_reference.push(h.value(kEref));
  }
  h.first_of({kMref}, f.mandate_reference);
  h.first_of({kCred}, f.creditor_id);
  h.first_of({kKref}, f.payment_information_id);
}

}  // namespace tallyfold::detail
