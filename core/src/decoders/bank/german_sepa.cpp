// German "?NN" subfields the way the banks fill them. The remittance text stands in
// ?20-?29 and ?60-?63, each at most 27 characters: a bank fills a subfield to the full
// width and goes on in the next, in the middle of a word ("SEPA-Ueberweisu" + "ng"),
// and starts a new subfield early only at a break ("STORNO RECHNUNGSABSCHLUSS" +
// "PER 01.02.2020"). The joined text is then split by the SEPA keywords ("EREF+",
// "SVWZ+", ...). An identifier keyword ends with the subfield it ends in, which is the
// first one shorter than 27 from where it starts; a text keyword runs to the next
// keyword; a purpose code ends at its first blank.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "decoders/bank/text.hpp"
#include "decoders/numbered_subfields.hpp"
#include "tallyfold/bank_details.hpp"

namespace tallyfold {
namespace {

constexpr std::size_t kSubfieldWidth = 27;

enum class Ends : std::uint8_t {
  WithSubfield,  // an identifier: with its subfield, or at the next keyword
  AtKeyword,     // a text: at the next keyword
  AtBlank,       // a code: at its first blank, the rest being text
};

struct Keyword {
  std::string_view key;
  Ends ends;
};

// The German banking industry's keywords for the remittance text of a SEPA payment,
// with the ones its format annex adds for returns and purpose codes. A value ends
// where the next keyword starts, so each one a bank may write must be known here:
// an unknown one would run on inside the value before it.
constexpr std::array<Keyword, 15> kKeywords{{
    {"EREF", Ends::WithSubfield},  // end-to-end reference
    {"KREF", Ends::WithSubfield},  // customer reference
    {"MREF", Ends::WithSubfield},  // mandate reference
    {"CRED", Ends::WithSubfield},  // creditor identifier
    {"DEBT", Ends::WithSubfield},  // originator identifier
    {"COAM", Ends::WithSubfield},  // compensation amount
    {"OAMT", Ends::WithSubfield},  // original amount
    {"BREF", Ends::WithSubfield},  // bank reference
    {"RREF", Ends::WithSubfield},  // return reference
    {"PURP", Ends::AtBlank},       // purpose code
    {"IBAN", Ends::WithSubfield},  // the other party's IBAN
    {"BIC", Ends::WithSubfield},   // the other party's BIC
    {"SVWZ", Ends::AtKeyword},     // remittance text
    {"ABWA", Ends::AtKeyword},     // ultimate debtor
    {"ABWE", Ends::AtKeyword},     // ultimate creditor
}};
static_assert(kKeywords[11].key == "BIC");

// The keyword `rest` starts with, or null. Every keyword is four letters and "+" but
// "BIC+", so one byte rules out nearly every place.
const Keyword* keyword_at(std::string_view rest) noexcept {
  if (rest.size() < 4) return nullptr;
  if (rest[3] == '+') return rest.starts_with("BIC+") ? &kKeywords[11] : nullptr;
  if (rest.size() < 5 || rest[4] != '+') return nullptr;
  for (const Keyword& k : kKeywords) {
    if (k.key.size() == 4 && std::memcmp(rest.data(), k.key.data(), 4) == 0) return &k;
  }
  return nullptr;
}

constexpr std::string_view kTextKey = "text";
constexpr std::string_view kCodeKey = "gvc";

bool is_blank(char c) noexcept { return c == ' ' || c == '\t'; }

std::string_view trim_blanks(std::string_view text) noexcept {
  while (!text.empty() && is_blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && is_blank(text.back())) text.remove_suffix(1);
  return text;
}

// Subfields joined as the bank cut them. Each piece's place in the joined text is kept,
// so that keywords can be found where a subfield starts and identifiers end where
// their subfield does.
class JoinedText {
 public:
  struct Piece {
    std::size_t begin;
    std::size_t end;
    bool full;           // filled to the width and not ending in a blank: the text goes on
    const char* source;  // where the piece stands in the decoded text
  };

  void add(std::string_view raw) {
    const std::string_view core = trim_blanks(raw);
    // Bytes bound characters from above: a shorter text needs no count.
    const bool full = raw.size() >= kSubfieldWidth && !is_blank(raw.back()) &&
                      detail::character_count(raw) >= kSubfieldWidth;
    if (core.empty()) {
      previous_full_ = false;
      return;
    }
    if (!text_.empty() && !(previous_full_ && !is_blank(raw.front()))) text_.push_back(' ');
    pieces_.push_back({text_.size(), text_.size() + core.size(), full, core.data()});
    text_.append(core);
    previous_full_ = full;
  }

  void clear() noexcept {
    text_.clear();
    pieces_.clear();
    previous_full_ = false;
  }
  const std::string& text() const noexcept { return text_; }
  const std::vector<Piece>& pieces() const noexcept { return pieces_; }

  // Bytes [begin, end) of the joined text, as a view into the decoded text where they
  // lie within one piece: the map then keeps their position instead of a copy. Asked in
  // ascending order of `begin`, with `cursor` (0 at first) kept between the calls, the
  // pieces are passed over once in all.
  std::string_view view(std::size_t begin, std::size_t end, std::size_t& cursor) const noexcept {
    if (begin == end) return {};
    while (cursor < pieces_.size() && pieces_[cursor].end <= begin) ++cursor;
    if (cursor < pieces_.size() && begin >= pieces_[cursor].begin && end <= pieces_[cursor].end) {
      const Piece& p = pieces_[cursor];
      return {p.source + (begin - p.begin), end - begin};
    }
    return std::string_view(text_).substr(begin, end - begin);
  }
  std::string_view whole() const noexcept {
    std::size_t cursor = 0;
    return view(0, text_.size(), cursor);
  }

 private:
  std::string text_;
  std::vector<Piece> pieces_;
  bool previous_full_ = false;
};

// One keyword's value or a run of free text, as offsets into the joined text.
struct Span {
  std::string_view key;  // empty for free text
  std::size_t begin;
  std::size_t end;
};

// The keyword values and free text of the joined remittance text, in text order. One
// pass over the text and one over the pieces.
struct Hit {
  const Keyword* keyword;
  std::size_t at;
};

void split_keywords(const JoinedText& joined, std::vector<Hit>& hits, std::vector<Span>& spans) {
  const std::string& text = joined.text();
  const std::vector<JoinedText::Piece>& pieces = joined.pieces();
  hits.clear();
  spans.clear();
  // A keyword starts a subfield or follows a blank, and every keyword ends in "+": the
  // "+" signs, few in a text, are where to look. The pieces cover the whole text but for
  // the blanks put between them, where no keyword starts.
  std::size_t skip_to = 0;  // past the last keyword found
  std::size_t holder = 0;   // the first piece that does not end before the candidate
  for (const char* plus = static_cast<const char*>(std::memchr(text.data(), '+', text.size())); plus != nullptr;
       plus = static_cast<const char*>(std::memchr(plus + 1, '+', text.size() - (plus + 1 - text.data())))) {
    const auto at = static_cast<std::size_t>(plus - text.data());
    // "BIC+" is the one keyword of three letters; no four-letter one ends in "BIC".
    const std::size_t length = at >= 3 && text.compare(at - 3, 3, "BIC") == 0 ? 3 : 4;
    if (at < length || at - length < skip_to) continue;
    const std::size_t i = at - length;
    while (holder < pieces.size() && pieces[holder].end <= i) ++holder;
    if (holder == pieces.size() || i < pieces[holder].begin) continue;  // a blank between pieces
    if (i != pieces[holder].begin && !is_blank(text[i - 1])) continue;
    if (const Keyword* k = keyword_at(std::string_view(text).substr(i))) {
      hits.push_back({k, i});
      skip_to = at + 1;
    }
  }

  spans.push_back({{}, 0, hits.empty() ? text.size() : hits.front().at});
  std::size_t piece = 0;
  std::size_t key_cursor = 0;
  for (std::size_t h = 0; h < hits.size(); ++h) {
    const std::size_t key_length = hits[h].keyword->key.size();
    // The keyword as the bank wrote it: the map then keeps its position, not a copy.
    const std::string_view key = joined.view(hits[h].at, hits[h].at + key_length, key_cursor);
    const std::size_t begin = hits[h].at + key_length + 1;
    const std::size_t limit = h + 1 < hits.size() ? hits[h + 1].at : text.size();
    std::size_t end = limit;
    if (hits[h].keyword->ends == Ends::AtBlank) {
      std::size_t at = begin;
      while (at < limit && is_blank(text[at])) ++at;  // "PURP+ RINP"
      while (at < limit && !is_blank(text[at])) ++at;
      end = at;
    } else if (hits[h].keyword->ends == Ends::WithSubfield) {
      // The piece the value starts in, then on through full pieces.
      while (piece < pieces.size() && pieces[piece].end <= begin && pieces[piece].end < limit) ++piece;
      while (piece < pieces.size() && pieces[piece].full && pieces[piece].end < limit) ++piece;
      if (piece < pieces.size() && pieces[piece].end < limit) end = std::max(begin, pieces[piece].end);
    }
    spans.push_back({key, begin, end});
    if (end < limit) spans.push_back({{}, end, limit});
  }
}

// Values of one key from several spans, joined by a blank: a keyword written twice, or
// free text on both sides of an identifier. A value of one span stays a view; only a
// joined one is written out. Given out in ascending key order.
class Collected {
 public:
  void clear() noexcept { used_ = 0; }
  void add(std::string_view key, std::string_view value) {
    value = trim_blanks(value);
    if (value.empty()) return;
    for (std::size_t i = 0; i < used_; ++i) {
      Value& v = values_[i];
      if (v.key == key) {
        if (!v.owned) v.joined.assign(v.view);
        v.owned = true;
        v.joined += ' ';
        v.joined += value;
        return;
      }
    }
    if (used_ == values_.size()) values_.emplace_back();
    values_[used_].key = key;
    values_[used_].view = value;
    values_[used_].owned = false;
    ++used_;
  }
  // The entries with two more (keys that no keyword has), sorted: a handful, where
  // insertion costs least.
  void sorted_with(std::string_view key1, std::string_view value1, std::string_view key2, std::string_view value2,
                   std::vector<DecodedDetails::EntryView>& out) const {
    out.clear();
    for (std::size_t i = 0; i < used_; ++i) {
      const Value& v = values_[i];
      out.emplace_back(v.key, v.owned ? std::string_view(v.joined) : v.view);
    }
    if (!value1.empty()) out.emplace_back(key1, value1);
    if (!value2.empty()) out.emplace_back(key2, value2);
    for (std::size_t i = 1; i < out.size(); ++i) {
      const auto moving = out[i];
      std::size_t j = i;
      for (; j > 0 && detail::key_less(moving.first, out[j - 1].first); --j) out[j] = out[j - 1];
      out[j] = moving;
    }
  }

 private:
  struct Value {
    std::string_view key;
    std::string_view view;  // of one span: into the decoded or the joined text
    std::string joined;     // of several; keeps its capacity from text to text
    bool owned = false;     // the value is `joined`
  };
  std::vector<Value> values_;
  std::size_t used_ = 0;
};

// Working storage reused from text to text on each thread: decoding allocates only
// while a text is larger than any before it.
struct Scratch {
  std::string text;
  std::vector<DecodedDetails::EntryView> writes;
  JoinedText remittance;
  JoinedText name;
  std::vector<Hit> hits;
  std::vector<Span> spans;
  Collected collected;
};

class BankGermanSepaDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    if (details.find('?') == std::string_view::npos) return std::nullopt;
    thread_local Scratch scratch;
    const std::string_view text = detail::without_line_breaks(details, scratch.text);

    // A subfield starts at "?" and two digits; any other "?" is part of the text.
    const auto starts_subfield = [text](std::size_t at) {
      return at + 2 < text.size() && ascii::is_digit(text[at + 1]) &&
             ascii::is_digit(text[at + 2]);
    };
    std::size_t mark = text.find('?');
    while (mark != std::string_view::npos && !starts_subfield(mark)) mark = text.find('?', mark + 1);
    if (mark == std::string_view::npos) return std::nullopt;

    const std::string_view head = text.substr(0, mark);
    // Every subfield in text order; of a number written twice the last write wins. The
    // table gives them out in ascending order, so the map is written in one pass.
    detail::SubfieldTable fields;
    JoinedText& remittance = scratch.remittance;
    JoinedText& name = scratch.name;
    remittance.clear();
    name.clear();
    while (mark != std::string_view::npos) {
      std::size_t next = text.find('?', mark + 1);
      while (next != std::string_view::npos && !starts_subfield(next)) next = text.find('?', next + 1);
      const std::string_view candidate = text.substr(mark + 1, next == std::string_view::npos ? std::string_view::npos : next - mark - 1);
      const auto field = detail::read_subfield(candidate);  // present: the mark starts one
      fields.set(*field);
      const std::string_view raw = candidate.substr(2);
      if ((field->number >= 20 && field->number <= 29) || (field->number >= 60 && field->number <= 63)) {
        remittance.add(raw);
      } else if (field->number == 32 || field->number == 33) {
        name.add(raw);
      }
      mark = next;
    }

    Collected& collected = scratch.collected;
    collected.clear();
    split_keywords(remittance, scratch.hits, scratch.spans);
    std::size_t cursor = 0;  // spans come in text order
    for (const Span& s : scratch.spans) {
      collected.add(s.key.empty() ? kTextKey : s.key, remittance.view(s.begin, s.end, cursor));
    }

    std::size_t code_length = 0;
    while (code_length < head.size() && ascii::is_digit(head[code_length])) ++code_length;
    const std::string_view code = head.substr(0, code_length);

    // Ascending key order: "00".."99", then the capitals (the keywords, "NAME",
    // "REMI_COMBINED"), then "gvc", then "text", the one lower-case key a span gives.
    std::vector<DecodedDetails::EntryView>& upper = scratch.writes;
    collected.sorted_with("NAME", name.whole(), "REMI_COMBINED", remittance.whole(), upper);
    std::string_view free_text;
    if (!upper.empty() && upper.back().first == kTextKey) {
      free_text = upper.back().second;
      upper.pop_back();
    }
    std::size_t bytes = fields.bytes() + kCodeKey.size() + code.size() + kTextKey.size() + free_text.size();
    for (const auto& [key, value] : upper) bytes += key.size() + value.size();
    const std::size_t entries = fields.count() + upper.size() + !code.empty() + !free_text.empty();
    DecodedDetails::Builder map(into, details, entries, bytes);
    fields.write_to(map);
    for (const auto& [key, value] : upper) {
      map.add_key(key);
      map.append_value(value);
    }
    if (!code.empty()) {
      map.add_key(kCodeKey);
      map.append_value(code);
    }
    if (!free_text.empty()) {
      map.add_key(kTextKey);
      map.append_value(free_text);
    }
    return std::move(map).finish(Layout::GermanSepa);
  }

  std::string_view name() const noexcept override { return "bank-german-sepa"; }
};

}  // namespace

const Decoder& bank_german_sepa_decoder() noexcept {
  static const BankGermanSepaDecoder instance;
  return instance;
}

}  // namespace tallyfold
