// The rules of banks' own layouts, from the keys their decoders write (bank_details.hpp
// lists them per layout) and from the supplementary details of the statement line.
#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <optional>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "fields/field_parts.hpp"
#include "fields/rules.hpp"
#include "util/codes.hpp"
#include "util/ascii.hpp"
#include "model/details_map.hpp"
#include "model/fixed_keys.hpp"

namespace tallyfold::detail {
namespace {

using ascii::is_digit;
using ascii::is_upper;

constexpr std::size_t kMaxIban = 34;

// Every key the derivation reads, in byte order.
constexpr std::string_view kWanted[] = {
    "00",        "20",          "21",          "22",        "23",        "24",        "25",
    "26",        "27",          "28",          "29",        "30",        "31",        "32",
    "33",        "ABWA",        "ABWE",        "ADDR",      "BENM/BIC",  "BENM/CITY", "BENM/IBAN",
    "BENM/NAME", "BIC",         "CNTP/BIC",    "CNTP/CITY", "CNTP/IBAN", "CNTP/NAME", "CRED",      "CSID",
    "DLA",       "DO RACH.",    "EREF",        "IBAN",      "KREF",      "MARF",      "MREF",
    "NA RACH.",  "NAAM",        "NAME",        "OD",        "OMSCHRIJVING", "ORDP/BIC", "ORDP/CITY",
    "ORDP/IBAN", "ORDP/NAME",   "PREF",        "PURP",      "REK",       "REMI",      "REMI/ISSUER",
    "REMI/TYPE", "REMI_COMBINED", "RTRN",      "SVWZ",      "TYT.",      "ULTB/NAME", "ULTC/NAME",
    "ULTD/NAME", "Z RACH.",     "detail",      "gvc",       "text",      "tx_code",
};
constexpr std::size_t kWantedCount = std::size(kWanted);
static_assert(std::is_sorted(std::begin(kWanted), std::end(kWanted)));
static_assert(kWantedCount <= 64);

// The slot of a wanted key, found while compiling.
consteval std::size_t slot(std::string_view key) {
  for (std::size_t i = 0; i < kWantedCount; ++i) {
    if (kWanted[i] == key) return i;
  }
  throw "not a wanted key";
}

// The longest wanted key: a longer one is never looked up.
constexpr std::size_t kLongestWanted = [] {
  std::size_t n = 0;
  for (const std::string_view key : kWanted) n = std::max(n, key.size());
  return n;
}();

// A key's length, first four bytes (zeros past its end) and last byte, in one word.
constexpr std::uint64_t key_word(std::string_view key) noexcept {
  std::uint64_t word = 0;
  for (std::size_t i = 0; i < key.size() && i < 4; ++i) word |= std::uint64_t{static_cast<unsigned char>(key[i])} << (8 * i);
  return word | std::uint64_t{static_cast<unsigned char>(key.back())} << 32 | std::uint64_t{key.size()} << 40;
}

// No two wanted keys share a word.
static_assert([] {
  for (std::size_t i = 0; i < kWantedCount; ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (key_word(kWanted[i]) == key_word(kWanted[j])) return false;
    }
  }
  return true;
}());

constexpr unsigned kHashBits = 9;

constexpr std::size_t hash_of(std::uint64_t word, std::uint64_t multiplier) noexcept {
  return static_cast<std::size_t>((word * multiplier) >> (64 - kHashBits));
}

// A multiplier that gives every wanted key a place of its own, found while compiling.
constexpr std::uint64_t kMultiplier = [] {
  for (std::uint64_t m = 0x9E3779B97F4A7C15u;; m += 0x6A09E667F3BCC908u) {
    std::array<bool, std::size_t{1} << kHashBits> taken{};
    bool clash = false;
    for (const std::string_view key : kWanted) {
      const std::size_t h = hash_of(key_word(key), m | 1);
      clash = clash || taken[h];
      taken[h] = true;
    }
    if (!clash) return m | 1;
  }
}();

// The slot of each place, plus one; 0 for a place no wanted key hashes to.
constexpr std::array<std::uint8_t, std::size_t{1} << kHashBits> kPlaces = [] {
  std::array<std::uint8_t, std::size_t{1} << kHashBits> places{};
  for (std::size_t i = 0; i < kWantedCount; ++i) places[hash_of(key_word(kWanted[i]), kMultiplier)] = static_cast<std::uint8_t>(i + 1);
  return places;
}();

// Each wanted key's word, which a key must match before its bytes are compared.
constexpr std::array<std::uint64_t, kWantedCount> kWords = [] {
  std::array<std::uint64_t, kWantedCount> words{};
  for (std::size_t i = 0; i < kWantedCount; ++i) words[i] = key_word(kWanted[i]);
  return words;
}();

// key_word at run time: the first four bytes of a key that has them in one load.
std::uint64_t loaded_key_word(std::string_view key) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    if (key.size() >= 4) {
      std::uint32_t first;
      std::memcpy(&first, key.data(), sizeof first);
      return first | std::uint64_t{static_cast<unsigned char>(key.back())} << 32 | std::uint64_t{key.size()} << 40;
    }
  }
  return key_word(key);
}

// The slot of `key`, or kWantedCount when it is not wanted: one hash and one comparison
// of words, where a merge with the wanted keys compared several of them a key.
std::size_t wanted_slot(std::string_view key) noexcept {
  if (key.empty() || key.size() > kLongestWanted) return kWantedCount;
  const std::uint64_t word = loaded_key_word(key);
  const std::size_t place = kPlaces[hash_of(word, kMultiplier)];
  if (place == 0 || kWords[place - 1] != word) return kWantedCount;
  // The words hold the length, the first four bytes and the last: the bytes between
  // are left.
  const std::string_view wanted = kWanted[place - 1];
  for (std::size_t i = 4; i + 1 < key.size(); ++i) {
    if (wanted[i] != key[i]) return kWantedCount;
  }
  return place - 1;
}

// The slot of each key kept once for all maps (fixed_keys.hpp), by its number;
// kWantedCount for one not wanted.
constexpr std::array<std::uint8_t, kSubfieldKeys + std::size(kNamedKeys) + 1> kFixedSlots = [] {
  std::array<std::uint8_t, kSubfieldKeys + std::size(kNamedKeys) + 1> slots{};
  for (std::size_t number = 0; number < slots.size(); ++number) {
    slots[number] = static_cast<std::uint8_t>(kWantedCount);
    if (number == 0) continue;
    const std::string_view key = number <= kSubfieldKeys ? std::string_view(kSubfieldNumbers + 2 * (number - 1), 2)
                                                         : kNamedKeys[number - kSubfieldKeys - 1];
    for (std::size_t i = 0; i < kWantedCount; ++i) {
      if (kWanted[i] == key) slots[number] = static_cast<std::uint8_t>(i);
    }
  }
  return slots;
}();

std::size_t fixed_slot(std::size_t number) noexcept {
  return number < kFixedSlots.size() ? kFixedSlots[number] : kWantedCount;
}

}  // namespace

std::span<const std::string_view> wanted_keys() noexcept { return kWanted; }

std::size_t wanted_key_slot(std::string_view key, std::size_t number) noexcept {
  return number != 0 ? fixed_slot(number) : wanted_slot(key);
}

namespace {

// The wanted keys of one map, taken in one pass over its entries.
class Keys {
 public:
  explicit Keys(const DecodedDetails& map) noexcept {
    map.for_each_entry([this](std::string_view key, std::size_t number, std::string_view value) {
      const std::size_t w = number != 0 ? fixed_slot(number) : wanted_slot(key);
      if (w < kWantedCount) {
        values_[w] = {value.data(), value.size()};
        present_ |= std::uint64_t{1} << w;
        filled_ |= std::uint64_t{value.size() != 0} << w;
      }
    });
  }

  /// The first of `slots` present with a value that is not empty. Most fields have none
  /// of their keys in a map: one test of all of them says so.
  template <std::size_t... slots>
  std::optional<std::string_view> first() const noexcept {
    constexpr std::uint64_t any = ((std::uint64_t{1} << slots) | ...);
    const std::uint64_t hits = filled_ & any;
    if (hits == 0) return std::nullopt;
    // One of them, as a map mostly holds: no order to ask.
    if ((hits & (hits - 1)) == 0) return value(static_cast<std::size_t>(std::countr_zero(hits)));
    std::optional<std::string_view> found;
    ((found = filled(slots)) || ...);
    return found;
  }
  /// The value of slot `s` when it is present and not empty.
  std::optional<std::string_view> filled(std::size_t s) const noexcept {
    if ((filled_ >> s & 1) == 0) return std::nullopt;
    return value(s);
  }
  bool has(std::size_t s) const noexcept { return (present_ >> s & 1) != 0; }
  /// The value of a present slot, empty or not.
  std::string_view value(std::size_t s) const noexcept { return {values_[s].data, values_[s].size}; }

 private:
  // Left unset: only the slots `present_` names are read, and setting all of them for
  // every transaction would cost more than the merge that fills the few it has.
  struct Value {
    const char* data;
    std::size_t size;
  };
  std::array<Value, kWantedCount> values_;
  std::uint64_t present_ = 0;
  std::uint64_t filled_ = 0;  // present with a value that is not empty
};

TextParts one_part(std::string_view text) noexcept {
  TextParts p;
  p.push(text);
  return p;
}

}  // namespace

std::size_t line_break_at(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t i = 0;
#if defined(__SSE2__)
  // Sixteen bytes a step while the text has them; the rest one at a time.
  for (; n - i >= 16; i += 16) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const auto breaks = static_cast<std::uint32_t>(_mm_movemask_epi8(
        _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('\n')), _mm_cmpeq_epi8(b, _mm_set1_epi8('\r')))));
    if (breaks != 0) return i + static_cast<std::size_t>(std::countr_zero(breaks));
  }
#endif
  while (i < n && p[i] != '\n' && p[i] != '\r') ++i;
  return i;
}

namespace {

// A text on several lines (a bank that writes one :86: per line) as one line: each
// line trimmed of the padding some banks give it, joined by a blank.
std::string_view one_line(std::string_view text, Scratch& scratch) {
  scratch.start();
  while (!text.empty()) {
    // A line ends at CR or LF.
    std::size_t end = line_break_at(text);
    if (end == text.size()) end = std::string_view::npos;
    const std::string_view line = trim_white_space(text.substr(0, end));
    if (!line.empty()) {
      if (scratch.piece_size() != 0) scratch.push(' ');
      scratch.append(line);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return scratch.take();
}

// An account number as an old Rabobank statement line writes it in the reference:
// digits, or "P" and digits for a former postal giro account.
bool is_plain_account(std::string_view text) noexcept {
  if (!text.empty() && text.front() == 'P') text.remove_prefix(1);
  return !text.empty() && std::all_of(text.begin(), text.end(), is_digit);
}

// Whether `text` holds a letter: an ASCII one, or any character beyond ASCII.
bool has_letter(std::string_view text) noexcept {
  return std::any_of(text.begin(), text.end(), [](char c) {
    return ascii::is_letter(c) || !ascii::is_ascii(c);
  });
}

// The IBAN in `text` without the blanks of its printed form, or nullopt. A text
// without blanks is its own view.
std::optional<std::string_view> iban_of(std::string_view text, Scratch& scratch) {
  if (text.find(' ') == std::string_view::npos) {
    return is_valid_iban(text) ? std::optional(text) : std::nullopt;
  }
  scratch.start();
  for (const char c : text) {
    if (c == ' ') continue;
    if (scratch.piece_size() == kMaxIban) {
      scratch.drop();
      return std::nullopt;
    }
    scratch.push(c);
  }
  if (is_valid_iban(scratch.take())) return scratch.take();
  scratch.drop();
  return std::nullopt;
}

}  // namespace

void bank_rules(const Transaction& t, std::string& scratch_text, FieldParts& f, CounterIban iban_wanted) {
  // Room for the one-line purpose (the details or their "detail" value, which is the
  // same text) and two compacted IBANs: nothing else is written.
  Scratch scratch(scratch_text, t.details.size() + 2 * kMaxIban);
  f.clear();
  std::string_view account;
  if (t.structured_details) {
    const DecodedDetails& map = *t.structured_details;
    const Keys k(map);
    const bool angular = map.layout() == Layout::Angular;

    if (const auto v = k.first<slot("SVWZ"), slot("REMI"), slot("OMSCHRIJVING"), slot("TYT."), slot("text")>()) {
      f.purpose.push(*v);
    } else if (angular) {
      for (std::size_t s = slot("20"); s <= slot("29"); ++s) {
        if (!k.has(s)) continue;
        const std::string_view line = k.value(s);
        // Empty subfields before the first with text add no blank.
        if (!(line.empty() && f.purpose.count == 0)) f.purpose.push(line);
      }
    } else if (const auto detail = k.first<slot("detail")>()) {
      f.purpose.push(one_line(*detail, scratch));
    }

    if (const auto v = k.first<slot("CNTP/NAME"), slot("BENM/NAME"), slot("ORDP/NAME"), slot("NAME"), slot("NAAM"), slot("OD"), slot("DLA")>()) {
      f.counterparty.push(*v);
    } else if (angular) {
      if (const auto first_line = k.first<slot("32")>()) {
        f.counterparty.push(*first_line);
        if (const auto more = k.first<slot("33")>()) f.counterparty.push(*more);
      } else if (const auto name = k.first<slot("27")>()) {
        f.counterparty.push(*name);
      }
    }

    std::optional<std::string_view> held =
        k.first<slot("CNTP/IBAN"), slot("BENM/IBAN"), slot("ORDP/IBAN"), slot("IBAN"), slot("REK"), slot("Z RACH."), slot("NA RACH."), slot("DO RACH.")>();
    if (!held && (angular || map.layout() == Layout::GermanSepa)) held = k.first<slot("31")>();
    if (!held && angular) held = k.first<slot("30")>();
    if (held) account = *held;

    // Banks write other things where a BIC belongs (a bank's name, a German bank code
    // in ?30): only a BIC is taken.
    for (const std::size_t key : {slot("CNTP/BIC"), slot("BENM/BIC"), slot("ORDP/BIC"), slot("BIC"), slot("30")}) {
      if (key == slot("30") && angular) break;  // the Polish ?30 is an account
      const auto v = k.filled(key);
      if (v && detail::is_bic(*v)) {
        f.counterparty_bic.push(*v);
        break;
      }
    }
    if (const auto v = k.first<slot("EREF")>(); v && *v != "NOTPROVIDED" && *v != "NONREF") {
      f.end_to_end_reference.push(*v);
    }
    if (const auto v = k.first<slot("MREF"), slot("MARF")>()) f.mandate_reference.push(*v);
    if (const auto v = k.first<slot("CRED"), slot("CSID")>()) f.creditor_id.push(*v);
    if (const auto v = k.first<slot("KREF"), slot("PREF")>()) f.payment_information_id.push(*v);
    if (const auto v = k.first<slot("ABWA"), slot("ULTD/NAME")>()) f.ultimate_debtor.push(*v);
    if (const auto v = k.first<slot("ABWE"), slot("ULTC/NAME"), slot("ULTB/NAME")>()) f.ultimate_creditor.push(*v);
    if (const auto v = k.first<slot("PURP")>()) f.purpose_code.push(*v);
    if (const auto v = k.first<slot("RTRN")>()) f.return_reason.push(*v);
    if (const auto v = k.first<slot("00")>(); v && !angular) f.posting_text.push(*v);
    if (const auto v = k.first<slot("CNTP/CITY"), slot("BENM/CITY"), slot("ORDP/CITY")>()) f.counterparty_town.push(*v);
    if (const auto v = k.first<slot("ADDR")>()) f.counterparty_address.push(*v);
    // A structured creditor reference (/REMI/STRD/CUR/1234...) is a reference, not a text.
    if (const auto type = k.first<slot("REMI/TYPE")>(); type && *type == "STRD") {
      if (const auto v = k.first<slot("REMI")>()) f.structured_reference.push(*v);
      if (const auto v = k.first<slot("REMI/ISSUER")>()) f.reference_issuer.push(*v);
    }
  } else {
    const std::string_view purpose = one_line(t.details, scratch);
    if (!purpose.empty()) f.purpose.push(purpose);
  }

  // An old Rabobank statement line holds the counter account as its reference, padded
  // to 16 characters, and the counterparty's name after it on the same line, where the
  // reading keeps it with the supplementary details. Supplementary details proper (a
  // Swiss bank's 32-digit number, say) are no name: the name follows a reference with
  // no bank reference, and holds a letter.
  if (t.extra_details) {
    const std::string_view extra = trim_white_space(*t.extra_details);
    const bool one_line_text = extra.find('\n') == std::string_view::npos;
    if (account.empty() && one_line_text && iban_of(extra, scratch)) {
      account = extra;
    } else if (f.counterparty.empty() && one_line_text && !extra.empty() && extra.front() != '/' &&
               !t.bank_reference && has_letter(extra) && is_plain_account(t.customer_reference)) {
      f.counterparty = one_part(extra);
      if (account.empty()) account = t.customer_reference;
    }
  }
  if (iban_wanted == CounterIban::Derive) {
    if (const auto iban = iban_of(account, scratch)) f.counter_iban.push(*iban);
  }
  if (!account.empty()) f.counter_account.push(account);
}

}  // namespace tallyfold::detail
