// Tagged values with single slashes, as Dutch and other banks write them:
//   /TRTP/SEPA OVERBOEKING/IBAN/NL25ABNA0987654321/BIC/ABNANL2A/NAME/X/REMI/text
// A value runs to the next known tag, not to the next slash: remittance texts hold
// slashes of their own ("t/m 31-03-2013", "/IBS.00008908/ ... KINDEROPVANG",
// "/INV/1511682351"), and a party opens with an empty value ("/ORDP//NAME/...").
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "decoders/bank/slash.hpp"
#include "decoders/bank/text.hpp"
#include "decoders/text.hpp"
#include "decoders/bank/bank_details.hpp"

namespace tallyfold {
namespace {

// The tags banks write in this layout, in byte order. Anything else between slashes
// is text.
constexpr std::string_view kTags[] = {
    "ACCW", "ADDR", "BBAN", "BENM", "BIC",  "BUSP", "CHGS", "CSID", "EREF", "EXCH", "IACC",
    "IBAN", "ID",   "IREF", "ISDT", "MARF", "NAME", "NRTX", "OCMT", "ORDP", "OSDR", "PIND",
    "PREF", "PURP", "REMI", "RTRN", "RTYP", "SUM",  "TRCD", "TRTP", "ULTB", "ULTC", "ULTD",
};
constexpr std::size_t kTagCount = std::size(kTags);
static_assert(std::is_sorted(std::begin(kTags), std::end(kTags)));

// Where the tags of each first letter start in kTags: a slash is looked at against the
// few tags of its letter only.
constexpr auto kFirstOfLetter = [] {
  std::array<std::uint8_t, 27> first{};
  std::size_t t = 0;
  for (std::size_t letter = 0; letter <= 26; ++letter) {
    while (t < kTagCount && static_cast<std::size_t>(kTags[t][0] - 'A') < letter) ++t;
    first[letter] = static_cast<std::uint8_t>(t);
  }
  return first;
}();

// Tags are two to four bytes: compared inline, where a library call cost more.
bool same_bytes(const char* p, std::string_view tag) noexcept {
  for (std::size_t i = 0; i < tag.size(); ++i) {
    if (p[i] != tag[i]) return false;
  }
  return true;
}

// The tag `rest` starts with, followed by "/", or empty; a view into `rest`.
std::string_view tag_at(std::string_view rest) noexcept {
  if (rest.size() < 3 || rest[0] < 'A' || rest[0] > 'Z') return {};
  const auto letter = static_cast<std::size_t>(rest[0] - 'A');
  for (std::size_t t = kFirstOfLetter[letter]; t < kFirstOfLetter[letter + 1]; ++t) {
    const std::string_view tag = kTags[t];
    if (rest.size() > tag.size() && rest[tag.size()] == '/' && same_bytes(rest.data(), tag)) {
      return rest.substr(0, tag.size());  // as the text has it: the map keeps a position
    }
  }
  return {};
}

// The marks the exact reading's single-slash layout is recognised by; `tag` is one of
// kTags, and no tag is the start of another.
bool is_mark(std::string_view tag) noexcept {
  switch (tag[0]) {
    case 'B': return tag == "BIC";
    case 'E': return tag == "EREF";
    case 'I': return tag == "IBAN";
    case 'N': return tag == "NAME";
    case 'R': return tag == "REMI";
    default: return false;
  }
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
    thread_local detail::JoinedSlashText joined;  // reused from text to text on each thread
    const std::string_view text = joined.join(details);
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
    if (std::memchr(details.data(), '/', details.size()) == nullptr) return std::nullopt;
    if (auto map = detail::decode_party_block(details, into)) return map;
    thread_local detail::JoinedSlashText joined;  // reused from text to text on each thread
    const std::string_view text = joined.join(details);
    std::optional<DecodedDetails> map;
    if (detail::decode_slash_tags(details, joined, text, into, true, map) == detail::SlashTagsOutcome::SegmentsMark) {
      return detail::decode_slash_segments(details, joined, text, into);
    }
    return map;
  }

  std::string_view name() const noexcept override { return "bank-slash"; }
};

}  // namespace

detail::SlashTagsOutcome detail::decode_slash_tags(std::string_view details, const JoinedSlashText& joined,
                                                  std::string_view text, TextBuffer& into, bool segments_first,
                                                  std::optional<DecodedDetails>& map) {
  thread_local std::vector<DecodedDetails::EntryView> writes;
  writes.clear();
  bool marked = false;
  std::string_view open_tag;  // the tag whose value runs up to here
  std::size_t value_begin = 0;
  for (std::size_t slash = text.find('/'); slash != std::string_view::npos; slash = text.find('/', slash + 1)) {
    if (segments_first && opens_segments_mark(text, slash)) return SlashTagsOutcome::SegmentsMark;
    const std::string_view tag = tag_at(text.substr(slash + 1));
    if (tag.empty()) continue;
    marked = marked || is_mark(tag);
    if (!open_tag.empty() && slash >= value_begin) {
      const std::string_view v = value_of(text.substr(value_begin, slash - value_begin));
      if (!v.empty()) writes.emplace_back(joined.in_details(open_tag), joined.in_details(v));
    }
    open_tag = tag;
    value_begin = slash + 1 + tag.size() + 1;
    slash = value_begin - 2;  // the tag's closing slash may open the next tag
  }
  if (!marked) return SlashTagsOutcome::NoMark;
  if (!open_tag.empty()) {
    const std::string_view v = value_of(text.substr(value_begin));
    if (!v.empty()) writes.emplace_back(joined.in_details(open_tag), joined.in_details(v));
  }
  if (writes.empty()) writes.emplace_back("detail", details);
  map = write_map(writes, details, into, Layout::SlashTags);
  return SlashTagsOutcome::Decoded;
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
