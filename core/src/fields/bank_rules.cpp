// The derived fields of the bank-file reading, from the keys its decoders write
// (bank_details.hpp lists them per layout).
#include <algorithm>
#include <array>
#include <cstdint>
#include <iterator>
#include <initializer_list>
#include <optional>

#include "tallyfold/bank_details.hpp"
#include "util/bic.hpp"

namespace tallyfold {
namespace {

bool is_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

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

// The wanted keys of one map, taken in one pass over its entries: both are in key
// order, so a merge finds them without a search per key.
class Keys {
 public:
  explicit Keys(const DecodedDetails& map) noexcept {
    std::size_t w = 0;
    for (const auto& [key, value] : map) {
      if (key.size() == 2 && is_digit(key[0]) && is_digit(key[1])) numbered_ = true;
      while (w < kWantedCount && kWanted[w] < key) ++w;
      if (w == kWantedCount) break;
      if (kWanted[w] == key) {
        values_[w] = value;
        present_ |= std::uint64_t{1} << w;
      }
    }
  }

  /// The first of `slots` present with a value that is not empty.
  std::optional<std::string_view> first(std::initializer_list<std::size_t> slots) const noexcept {
    for (const std::size_t s : slots) {
      if (has(s) && !values_[s].empty()) return values_[s];
    }
    return std::nullopt;
  }
  bool has(std::size_t s) const noexcept { return (present_ >> s & 1) != 0; }
  /// Whether any key is a two-digit subfield number, wanted or not.
  bool numbered() const noexcept { return numbered_; }

 private:
  std::array<std::string_view, kWantedCount> values_;
  std::uint64_t present_ = 0;
  bool numbered_ = false;
};

// Whether the map came from the Polish subfield decoder: numbered subfields without the
// German decoder's own keys.
bool is_angular(const Keys& k) noexcept {
  if (k.has(slot("gvc")) || k.has(slot("REMI_COMBINED"))) return false;
  return k.has(slot("tx_code")) || k.numbered();
}

// A text on several lines (a bank that writes one :86: per line) as one line: each
// line trimmed of the padding some banks give it, joined by a blank.
std::string one_line(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::size_t end = text.find_first_of("\r\n");
    const std::string_view line = trim_white_space(text.substr(0, end));
    if (!line.empty()) {
      if (!out.empty()) out.push_back(' ');
      out.append(line);
    }
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
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
    return is_upper(c) || (c >= 'a' && c <= 'z') || static_cast<unsigned char>(c) >= 0x80;
  });
}

// The IBAN in `text` without the blanks of its printed form, or empty.
std::string iban_of(std::string_view text) {
  std::string compact;
  for (const char c : text) {
    if (c != ' ') compact.push_back(c);
  }
  return is_valid_iban(compact) ? compact : std::string();
}

}  // namespace

bool is_valid_iban(std::string_view text) noexcept {
  if (text.size() < 15 || text.size() > 34) return false;
  if (!is_upper(text[0]) || !is_upper(text[1]) || !is_digit(text[2]) || !is_digit(text[3])) return false;
  // ISO 7064 mod 97-10 over the text moved by four, letters as 10..35, one digit at a time.
  unsigned remainder = 0;
  for (std::size_t k = 0; k < text.size(); ++k) {
    const char c = text[(k + 4) % text.size()];
    if (is_digit(c)) {
      remainder = (remainder * 10 + static_cast<unsigned>(c - '0')) % 97;
    } else if (is_upper(c)) {
      remainder = (remainder * 100 + static_cast<unsigned>(c - 'A' + 10)) % 97;
    } else {
      return false;
    }
  }
  return remainder == 1;
}

BankFields bank_fields(const Transaction& t) {
  BankFields f;
  std::string account;
  if (t.structured_details) {
    const DecodedDetails& map = *t.structured_details;
    const Keys k(map);
    const bool angular = is_angular(k);

    if (const auto v = k.first({slot("SVWZ"), slot("REMI"), slot("OMSCHRIJVING"), slot("TYT."), slot("text")})) {
      f.purpose = *v;
    } else if (angular) {
      for (std::size_t s = slot("20"); s <= slot("29"); ++s) {
        const auto line = k.first({s});
        if (!line && !k.has(s)) continue;
        if (!f.purpose.empty()) f.purpose += ' ';
        f.purpose += line.value_or(std::string_view());
      }
    } else if (const auto detail = k.first({slot("detail")})) {
      f.purpose = one_line(*detail);
    }

    if (const auto v = k.first({slot("CNTP/NAME"), slot("BENM/NAME"), slot("ORDP/NAME"), slot("NAME"),
                                slot("NAAM"), slot("OD"), slot("DLA")})) {
      f.counterparty = *v;
    } else if (angular) {
      if (const auto first_line = k.first({slot("32")})) {
        f.counterparty = *first_line;
        if (const auto more = k.first({slot("33")})) (f.counterparty += ' ') += *more;
      } else if (const auto name = k.first({slot("27")})) {
        f.counterparty = *name;
      }
    }

    std::optional<std::string_view> held =
        k.first({slot("CNTP/IBAN"), slot("BENM/IBAN"), slot("ORDP/IBAN"), slot("IBAN"), slot("REK"),
                 slot("Z RACH."), slot("NA RACH."), slot("DO RACH.")});
    if (!held && (angular || k.has(slot("gvc")) || k.has(slot("REMI_COMBINED")))) held = k.first({slot("31")});
    if (!held && angular) held = k.first({slot("30")});
    if (held) account = *held;

    // Banks write other things where a BIC belongs (a bank's name, a German bank code
    // in ?30): only a BIC is taken.
    for (const std::size_t key : {slot("CNTP/BIC"), slot("BENM/BIC"), slot("ORDP/BIC"), slot("BIC"), slot("30")}) {
      if (key == slot("30") && angular) break;  // the Polish ?30 is an account
      const auto v = k.first({key});
      if (v && detail::is_bic(*v)) {
        f.counterparty_bic = *v;
        break;
      }
    }
    if (const auto v = k.first({slot("EREF")}); v && *v != "NOTPROVIDED" && *v != "NONREF") {
      f.end_to_end_reference = *v;
    }
    if (const auto v = k.first({slot("MREF"), slot("MARF")})) f.mandate_reference = *v;
    if (const auto v = k.first({slot("CRED"), slot("CSID")})) f.creditor_id = *v;
    if (const auto v = k.first({slot("KREF"), slot("PREF")})) f.payment_information_id = *v;
    if (const auto v = k.first({slot("ABWA"), slot("ULTD/NAME")})) f.ultimate_debtor = *v;
    if (const auto v = k.first({slot("ABWE"), slot("ULTC/NAME"), slot("ULTB/NAME")})) f.ultimate_creditor = *v;
    if (const auto v = k.first({slot("PURP")})) f.purpose_code = *v;
    if (const auto v = k.first({slot("RTRN")})) f.return_reason = *v;
    if (const auto v = k.first({slot("00")}); v && !angular) f.posting_text = *v;
    if (const auto v = k.first({slot("CNTP/CITY"), slot("BENM/CITY"), slot("ORDP/CITY")})) f.counterparty_town = *v;
    if (const auto v = k.first({slot("ADDR")})) f.counterparty_address = *v;
    // A structured creditor reference (/REMI/STRD/CUR/1234...) is a reference, not a text.
    if (const auto type = k.first({slot("REMI/TYPE")}); type && *type == "STRD") {
      if (const auto v = k.first({slot("REMI")})) f.structured_reference = *v;
      if (const auto v = k.first({slot("REMI/ISSUER")})) f.reference_issuer = *v;
    }
  } else {
    f.purpose = one_line(t.details);
  }

  // An old Rabobank statement line holds the counter account as its reference, padded
  // to 16 characters, and the counterparty's name after it on the same line, where the
  // reading keeps it with the supplementary details. Supplementary details proper (a
  // Swiss bank's 32-digit number, say) are no name: the name follows a reference with
  // no bank reference, and holds a letter.
  if (t.extra_details) {
    const std::string_view extra = trim_white_space(*t.extra_details);
    const bool one_line_text = extra.find('\n') == std::string_view::npos;
    if (account.empty() && one_line_text && !iban_of(extra).empty()) {
      account = extra;
    } else if (f.counterparty.empty() && one_line_text && !extra.empty() && extra.front() != '/' &&
               !t.bank_reference && has_letter(extra) && is_plain_account(t.customer_reference)) {
      f.counterparty = extra;
      if (account.empty()) account = t.customer_reference;
    }
  }
  f.counter_iban = iban_of(account);
  f.counter_account = std::move(account);
  return f;
}

}  // namespace tallyfold
