// Each details decoder on its own, over any :86: text. The input's last byte picks the
// decoder (0 swift-structured, 1 german-gvc, 2 angular, 3 unstructured, and the
// bank-file reading's 4 bank-slash-segments, 5 bank-german-sepa, 6 bank-slash-tags,
// 7 bank-dutch-labels and 8 bank-polish-labels); the rest is the text.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "fields/field_parts.hpp"
#include "fuzz_checks.hpp"
#include "decoders/bank/bank_details.hpp"
#include "tallyfold/decode.hpp"
#include "tallyfold/fields.hpp"

namespace {

using namespace tallyfold;
using namespace tallyfold::fuzz;

constexpr std::size_t kDecoders = 9;
std::size_t chosen = 0;  // the decoder under test, picked per input

const Decoder& decoder_under_test() {
  switch (chosen) {
    case 0: return swift_structured_decoder();
    case 1: return german_gvc_decoder();
    case 2: return angular_decoder();
    case 4: return bank_slash_segments_decoder();
    case 5: return bank_german_sepa_decoder();
    case 6: return bank_slash_tags_decoder();
    case 7: return bank_dutch_labels_decoder();
    case 8: return bank_polish_labels_decoder();
    default: return unstructured_decoder();
  }
}

bool is_upper(char c) { return c >= 'A' && c <= 'Z'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool two_digits(std::string_view key) {
  return key.size() == 2 && is_digit(key[0]) && is_digit(key[1]);
}

// The bank-layout decoders read a text as if its line breaks were not there.
std::string without_line_breaks(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c != '\r' && c != '\n') out.push_back(c);
  }
  return out;
}

bool has_subfield_mark(std::string_view text) {
  for (std::size_t i = text.find('?'); i != std::string_view::npos; i = text.find('?', i + 1)) {
    if (i + 2 < text.size() && is_digit(text[i + 1]) && is_digit(text[i + 2])) return true;
  }
  return false;
}

constexpr std::string_view kSlashCodes[] = {"EREF", "MARF", "CSID", "CRED", "ADDR", "PREF", "RTRN", "PURP", "IREF", "ISDT",
                                           "BUSP", "CHGS", "OCMT", "EXCH", "TRCD", "NAME", "IBAN", "BIC",
                                           "SUM",  "REMI", "REMI/TYPE", "REMI/ISSUER"};
constexpr std::string_view kParties[] = {"CNTP", "BENM", "ORDP"};
constexpr std::string_view kUltimates[] = {"ULTD", "ULTB", "ULTC"};
constexpr std::string_view kSepaKeys[] = {"gvc",  "REMI_COMBINED", "NAME", "text", "EREF", "KREF", "MREF",
                                         "CRED", "DEBT",          "COAM", "OAMT", "BREF", "RREF", "PURP",
                                         "IBAN", "BIC",           "SVWZ", "ABWA", "ABWE"};
constexpr std::string_view kSlashTags[] = {"ACCW", "ADDR", "BBAN", "BENM", "BIC",  "BUSP", "CHGS", "CSID", "EREF",
                                          "EXCH", "IACC", "IBAN", "ID",   "IREF", "ISDT", "MARF", "NAME", "NRTX",
                                          "OCMT", "ORDP", "OSDR", "PIND", "PREF", "PURP", "REMI", "RTRN", "RTYP",
                                          "SUM",  "TRCD", "TRTP", "ULTB", "ULTC", "ULTD", "detail"};
constexpr std::string_view kLabelKeys[] = {
    "IBAN",    "NAAM",    "REK",        "BIC",         "OMSCHRIJVING",   "BETALINGSKENMERK", "BETALINGSKENM.",
    "KENMERK", "ID DEBITEUR", "ID BEGUNSTIGDE", "INCASSANT", "MACHTIGING", "Z RACH.",     "NA RACH.",
    "DO RACH.", "OD",     "DLA",        "TYT.",        "text",           "detail"};

template <std::size_t N>
bool listed(const std::string_view (&keys)[N], std::string_view key) {
  return std::find(std::begin(keys), std::end(keys), key) != std::end(keys);
}

bool slash_key(std::string_view key) {
  if (key == "detail" || std::find(std::begin(kSlashCodes), std::end(kSlashCodes), key) != std::end(kSlashCodes)) {
    return true;
  }
  const std::string_view code = key.substr(0, 4);
  const std::string_view part = key.size() > 5 && key[4] == '/' ? key.substr(5) : std::string_view();
  if (std::find(std::begin(kParties), std::end(kParties), code) != std::end(kParties)) {
    return part == "IBAN" || part == "BIC" || part == "NAME" || part == "CITY" || part == "INFO";
  }
  if (std::find(std::begin(kUltimates), std::end(kUltimates), code) != std::end(kUltimates)) {
    return part == "NAME" || part == "ID";
  }
  return false;
}

// Length of the character that starts at `text[i]`; a stray byte counts as one.
std::size_t char_length(std::string_view text, std::size_t i) {
  const auto c = static_cast<unsigned char>(text[i]);
  const std::size_t n = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : c >= 0xC0 ? 2 : 1;
  return std::min(n, text.size() - i);
}

// The two units taken after a mark may be counted in bytes or in characters; the two
// readings differ only when non-ASCII text follows a mark.
bool angular_recognised(std::string_view text, bool by_characters) {
  const auto lt = std::count(text.begin(), text.end(), '<');
  const auto caret = std::count(text.begin(), text.end(), '^');
  if (lt == 0 && caret == 0) return false;
  const char mark = lt >= caret ? '<' : '^';
  for (std::size_t i = 0; i < text.size();) {
    if (text[i] != mark) {
      ++i;
      continue;
    }
    if (i + 2 < text.size() && is_digit(text[i + 1]) && is_digit(text[i + 2])) return true;
    ++i;
    // The units taken after the mark are not examined again.
    for (int taken = 0; taken < 2 && i < text.size(); ++taken) {
      i += by_characters ? char_length(text, i) : 1;
    }
  }
  return false;
}

// When each decoder must answer, read straight from the recognition rules.
bool recognised(std::string_view text) {
  switch (chosen) {
    case 0:
      for (std::string_view mark : {"/EREF/", "/NAME/", "/REMI/", "/BIC/", "/IBAN/"}) {
        if (text.find(mark) != std::string_view::npos) return true;
      }
      return false;
    case 1:
      for (std::size_t i = text.find('?'); i != std::string_view::npos; i = text.find('?', i + 1)) {
        if (i + 2 < text.size() && is_digit(text[i + 1]) && is_digit(text[i + 2])) return true;
      }
      return false;
    case 2:
      return angular_recognised(text, false);
    case 4: {
      const std::string joined = without_line_breaks(text);
      for (std::string_view mark : {"/CNTP/", "/REMI/USTD", "/REMI/STRD"}) {
        if (joined.find(mark) != std::string::npos) return true;
      }
      return false;
    }
    case 5:
      return has_subfield_mark(without_line_breaks(text));
    case 6: {
      const std::string joined = without_line_breaks(text);
      for (std::string_view mark : {"/EREF/", "/NAME/", "/REMI/", "/BIC/", "/IBAN/"}) {
        if (joined.find(mark) != std::string::npos) return true;
      }
      return false;
    }
    default:
      return true;
  }
}

// The key vocabulary of each decoder, and whether the value under a key is trimmed.
bool key_allowed(std::string_view key) {
  switch (chosen) {
    case 0:
      return (key.size() == 3 || key.size() == 4) &&
             std::all_of(key.begin(), key.end(), is_upper);
    case 1:
      return key == "gvc" || key == "REMI_COMBINED" || two_digits(key);
    case 2:
      return key == "tx_code" || two_digits(key);
    case 4:
      return slash_key(key);
    case 5:
      return two_digits(key) || listed(kSepaKeys, key);
    case 6:
      return listed(kSlashTags, key);
    case 7:
    case 8:
      return listed(kLabelKeys, key);
    default:
      return key == "detail";
  }
}
bool value_trimmed(std::string_view key) {
  if (chosen == 5) return two_digits(key);  // the joined texts lose their blanks only
  return chosen != 3 && key != "REMI_COMBINED" && key != "gvc" && key != "detail";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedData input(data, size);
  chosen = input.pick(kDecoders);
  const std::string_view text = input.rest();
  const Decoder& decoder = decoder_under_test();
  TextBuffer texts;
  const auto map = decoder.decode(text, texts);
  if (chosen == 4 || chosen == 6) {
    // The bank chains read both slash layouts in one walk, which must answer as the two
    // decoders tried in turn.
    std::optional<DecodedDetails> in_turn = bank_slash_segments_decoder().decode(text, texts);
    if (!in_turn) in_turn = bank_slash_tags_decoder().decode(text, texts);
    const auto walked = select_bank_chain("swift")->decoders().front()->decode(text, texts);
    require(walked == in_turn);
    require(!walked || walked->layout() == in_turn->layout());
  }
  const bool utf8 = is_valid_utf8(text);
  // The angular rules count characters, which bytes that are not UTF-8 do not define.
  const bool expected = recognised(text);
  if (chosen == 4) {
    // "/BENM/" and "/ORDP/" are recognised too, but only before an account.
    const std::string joined = without_line_breaks(text);
    const bool party = joined.find("/BENM/") != std::string::npos || joined.find("/ORDP/") != std::string::npos;
    require(map.has_value() == expected || (map && party));
  } else if (chosen == 7 || chosen == 8) {
    // Labels are recognised only with a ":" in the text.
    require(!map || text.find(':') != std::string_view::npos);
  } else if (chosen != 2 || (utf8 && expected == angular_recognised(text, true))) {
    require(map.has_value() == expected);
  }
  if (!map) return 0;
  require(!map->empty());
  require(decoder.decode(text, texts) == map);  // no state carried between calls
  for (const auto& [key, value] : *map) {
    require(key_allowed(key));
    // Values are cut from the text, so they can never be longer than it.
    require(value.size() <= text.size());
    if (value_trimmed(key)) require(trim_white_space(value).size() == value.size());
    if (utf8) require(is_valid_utf8(value));
    if (chosen >= 4 && key != "detail") {
      require(value.find_first_of("\r\n") == std::string_view::npos);
      require(value.empty() || (value.front() != ' ' && value.back() != ' '));
    }
  }
  if (chosen >= 4) {
    // Whatever a bank layout holds, the fields derived from it keep their shapes.
    Transaction t;
    t.rules = FieldRules::Bank;
    t.details = text;
    t.structured_details = map;
    const DerivedFields f = fields_of(t);
    const std::string_view bic = f.counterparty_bic;
    require(bic.empty() || ((bic.size() == 8 || bic.size() == 11) &&
                            std::all_of(bic.begin(), bic.begin() + 6, is_upper) &&
                            std::all_of(bic.begin() + 6, bic.end(), [](char c) { return is_upper(c) || is_digit(c); })));
    require(f.counter_iban.empty() || is_valid_iban(f.counter_iban));
  }
  if (chosen == 3) require(map->find("detail") && *map->find("detail") == text);
  if (chosen == 1) {
    if (const auto gvc = map->find("gvc")) {
      require(!gvc->empty() && std::all_of(gvc->begin(), gvc->end(), is_digit));
      require(text.substr(0, gvc->size()) == *gvc);
    }
  }
  return 0;
}
