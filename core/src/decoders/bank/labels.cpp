// Values after labels ending in ":", as some banks print them for people to read:
//   SEPA IDEAL                       IBAN: NL70ABNA0888888888
//   BIC: ABNANL2A                    NAAM: NS GROEP INZAKE NSR IDEA
//   OMSCHRIJVING: 4851430136 0030000 735822580 NS E-TICKET(S)
//   REK: NL26ABNA0888888888/NAAM: BEDRIJF VOF
//   PRZELEW PRZYCHODZACY Z RACH.: 12 1020 ... OD: JAN KOWALSKI TYT.: CZYNSZ
// A label ends with ":" and runs to the next label, whether on the same line or the
// next. Banks print a label at the start of a line, and the reading joins a full line
// to the next without a blank, so a label may follow the text before it directly
// ("...ONLINE NEREK: NL84..."). Each bank family has its own labels: a text is decoded
// by the family whose label it holds.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "decoders/bank/text.hpp"
#include "decoders/text.hpp"
#include "decoders/bank/bank_details.hpp"
#include "util/thread_scratch.hpp"

namespace tallyfold {
namespace {

struct Label {
  std::string_view text;  // as printed, without its ":"
  bool anchor;            // one of these must be present: "OD:" alone may be a sentence's
  bool party;             // names the other party or its account, kept out of "text"
};

constexpr Label kDutchLabels[] = {
    {"IBAN", true, true},
    {"NAAM", true, true},
    {"REK", true, true},
    {"BIC", false, true},
    {"OMSCHRIJVING", true, false},
    {"BETALINGSKENMERK", true, false},
    {"BETALINGSKENM.", true, false},
    {"KENMERK", false, false},
    {"ID DEBITEUR", false, false},
    {"ID BEGUNSTIGDE", false, false},
    {"INCASSANT", false, false},
    {"MACHTIGING", false, false},
};
constexpr Label kPolishLabels[] = {
    {"Z RACH.", true, true}, {"NA RACH.", true, true}, {"DO RACH.", true, true},
    {"OD", false, true},     {"DLA", false, true},     {"TYT.", true, false},
};

bool is_blank_or_break(char c) noexcept { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

struct Found {
  const Label* label;
  std::size_t begin;  // of the label
  std::size_t value;  // first byte after its ":"
};

// The label that ends at the ":" at `colon`, or none. One that starts a word wins over
// one glued to the text before it, so "BETALINGSKENMERK:" is never "KENMERK:"; a label
// of two letters ("OD") is taken only where it starts a word.
const Label* label_before(std::string_view text, std::size_t colon, std::span<const Label> labels,
                          std::size_t& begin) noexcept {
  const Label* best = nullptr;
  bool best_starts_word = false;
  for (const Label& label : labels) {
    const std::string_view l = label.text;
    if (l.size() > colon || std::memcmp(text.data() + colon - l.size(), l.data(), l.size()) != 0) continue;
    const std::size_t at = colon - l.size();
    const bool starts_word = at == 0 || is_blank_or_break(text[at - 1]) || text[at - 1] == '/';
    if (!starts_word && l.size() < 3) continue;
    if (best == nullptr || (starts_word && !best_starts_word) ||
        (starts_word == best_starts_word && l.size() > best->text.size())) {
      best = &label;
      best_starts_word = starts_word;
      begin = at;
    }
  }
  return best;
}

// `raw` as one line: line breaks dropped, as the bank broke a value where a line was
// full, and the blanks and separating "/" around it taken off. A view into `raw`, or
// into `storage` when lines were joined.
std::string_view cleaned(std::string_view raw, std::string& storage) {
  std::string_view v = detail::trimmed(raw);
  if (v.find_first_of("\r\n") != std::string_view::npos) {
    const std::size_t begin = storage.size();
    for (const char c : v) {
      if (c != '\r' && c != '\n') storage.push_back(c);  // within the capacity reserved
    }
    v = detail::trimmed(std::string_view(storage).substr(begin));
  }
  while (!v.empty() && v.back() == '/') v = detail::trimmed(v.substr(0, v.size() - 1));
  return v;
}

class BankLabelsDecoder final : public Decoder {
 public:
  constexpr BankLabelsDecoder(std::span<const Label> labels, std::string_view name) noexcept
      : labels_(labels), name_(name) {}

  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Most texts hold no ":" at all.
    if (std::memchr(details.data(), ':', details.size()) == nullptr) return std::nullopt;
    struct Storage;
    struct Writes;
    struct Values;
    auto& found = detail::thread_scratch<std::vector<Found>>();
    auto& storage = detail::thread_scratch<std::string, Storage>();
    auto& writes = detail::thread_scratch<std::vector<DecodedDetails::EntryView>, Writes>();
    auto& values = detail::thread_scratch<std::vector<std::string_view>, Values>();
    found.clear();
    bool anchored = false;
    for (std::size_t colon = details.find(':'); colon != std::string_view::npos;
         colon = details.find(':', colon + 1)) {
      std::size_t begin = 0;
      if (const Label* label = label_before(details, colon, labels_, begin)) {
        // A label inside the previous label's name is no label ("ID DEBITEUR:" holds no
        // second one), and neither is one that starts before the previous value does.
        if (!found.empty() && begin < found.back().value) continue;
        found.push_back({label, begin, colon + 1});
        anchored = anchored || label->anchor;
      }
    }
    if (!anchored) return std::nullopt;

    // Values are disjoint runs of the text, and "text" at most the text once more:
    // views into `storage` stay valid while it grows within this capacity.
    storage.clear();
    storage.reserve(2 * details.size());
    writes.clear();
    values.clear();
    for (std::size_t i = 0; i < found.size(); ++i) {
      const std::size_t end = i + 1 < found.size() ? found[i + 1].begin : details.size();
      values.push_back(cleaned(details.substr(found[i].value, end - found[i].value), storage));
      if (!values.back().empty()) writes.emplace_back(found[i].label->text, values.back());
    }
    const std::string_view head = cleaned(details.substr(0, found.front().begin), storage);
    // The text before the first label and every label that names no party, as printed
    // ("SEPA ACCEPTGIROBETALING BETALINGSKENM.: 1234567890098876 ID DEBITEUR: 777777777").
    // Pieces are parted by a blank where the bank parted them, or where a party's label
    // and value were left out between them, so "text" is never longer than the text.
    const std::size_t text_begin = storage.size();
    storage.append(head);
    std::size_t raw_end = found.front().begin;  // where the last piece ended in `details`
    for (std::size_t i = 0; i < found.size(); ++i) {
      const std::size_t end = i + 1 < found.size() ? found[i + 1].begin : details.size();
      if (found[i].label->party || values[i].empty()) continue;
      const std::size_t begin = found[i].begin;
      if (storage.size() > text_begin && (begin != raw_end || is_blank_or_break(details[begin - 1]))) {
        storage.push_back(' ');
      }
      storage.append(details.substr(begin, found[i].value - begin));  // the label and its ":"
      if (is_blank_or_break(details[found[i].value])) storage.push_back(' ');
      storage.append(values[i]);
      raw_end = end;
    }
    if (storage.size() > text_begin) writes.emplace_back("text", std::string_view(storage).substr(text_begin));
    if (writes.empty()) writes.emplace_back("detail", details);
    return detail::write_map(writes, details, into, Layout::Labels);
  }

  std::string_view name() const noexcept override { return name_; }

 private:
  std::span<const Label> labels_;
  std::string_view name_;
};

}  // namespace

const Decoder& bank_dutch_labels_decoder() noexcept {
  static const BankLabelsDecoder instance(kDutchLabels, "bank-dutch-labels");
  return instance;
}

const Decoder& bank_polish_labels_decoder() noexcept {
  static const BankLabelsDecoder instance(kPolishLabels, "bank-polish-labels");
  return instance;
}

}  // namespace tallyfold
