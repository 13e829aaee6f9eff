// Slash segments with sub-fields, as Dutch banks write them:
//   /EREF/ref//CNTP/IBAN/BIC/NAME/CITY//REMI/USTD//text/
// Each segment is "/CODE/" and the code's sub-fields separated by "/", and ends with "/";
// the next segment's "/" follows, so segments are parted by "//". A sub-field may be
// empty, so "//" alone does not part segments: only "//" before a known code does, and
// within a segment the code's sub-field count says where its values lie, the last one
// taking the rest (a remittance text may hold "/" of its own).
//
// Some banks write a party block one sub-field per line instead:
//   /BENM/account
//   /name of the other party (the bank itself for its fees)
//   /text//reference
//   /purpose
// There the lines, not the code's sub-field count, say what each value is.
#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <string>
#include <utility>
#include <vector>

#include "decoders/bank/slash.hpp"
#include "decoders/bank/text.hpp"
#include "decoders/text.hpp"
#include "util/codes.hpp"
#include "decoders/bank/bank_details.hpp"
#include "util/ascii.hpp"
#include "util/byte_bits.hpp"
#include "model/fixed_keys.hpp"
#include "util/thread_scratch.hpp"

namespace tallyfold {
namespace {

struct Code {
  std::string_view code;
  // Keys of the sub-fields in order; one key for a code holding a single value.
  std::array<std::string_view, 4> keys;
  std::size_t subfields;
  std::string_view info_key = {};  // a party block's lines between name and purpose
};

constexpr Code kCodes[] = {
    {"CNTP", {"CNTP/IBAN", "CNTP/BIC", "CNTP/NAME", "CNTP/CITY"}, 4, "CNTP/INFO"},
    {"BENM", {"BENM/IBAN", "BENM/BIC", "BENM/NAME", "BENM/CITY"}, 4, "BENM/INFO"},
    {"ORDP", {"ORDP/IBAN", "ORDP/BIC", "ORDP/NAME", "ORDP/CITY"}, 4, "ORDP/INFO"},
    {"REMI", {"REMI/TYPE", "REMI/ISSUER", "REMI"}, 3},
    {"ULTD", {"ULTD/NAME", "ULTD/ID"}, 2},
    {"ULTB", {"ULTB/NAME", "ULTB/ID"}, 2},
    {"ULTC", {"ULTC/NAME", "ULTC/ID"}, 2},
    {"EREF", {"EREF"}, 1},
    {"MARF", {"MARF"}, 1},
    {"CSID", {"CSID"}, 1},
    {"CRED", {"CRED"}, 1},
    {"PREF", {"PREF"}, 1},
    {"RTRN", {"RTRN"}, 1},
    {"PURP", {"PURP"}, 1},
    {"ADDR", {"ADDR"}, 1},
    {"IREF", {"IREF"}, 1},
    {"ISDT", {"ISDT"}, 1},
    {"BUSP", {"BUSP"}, 1},
    {"CHGS", {"CHGS"}, 1},
    {"OCMT", {"OCMT"}, 1},
    {"EXCH", {"EXCH"}, 1},
    {"TRCD", {"TRCD"}, 1},
    {"NAME", {"NAME"}, 1},
    {"IBAN", {"IBAN"}, 1},
    {"BIC", {"BIC"}, 1},
    {"SUM", {"SUM"}, 1},
};

// Every key a segment writes, in byte order: a key's rank here orders the map, so values
// kept by rank are written in key order without a sort.
constexpr std::size_t kSegmentKeyCount = [] {
  std::size_t n = 0;
  for (const Code& c : kCodes) n += c.subfields;
  return n;
}();
constexpr auto kSegmentKeys = [] {
  std::array<std::string_view, kSegmentKeyCount> keys{};
  std::size_t n = 0;
  for (const Code& c : kCodes) {
    for (std::size_t i = 0; i < c.subfields; ++i) keys[n++] = c.keys[i];
  }
  std::sort(keys.begin(), keys.end());
  return keys;
}();
static_assert(std::adjacent_find(kSegmentKeys.begin(), kSegmentKeys.end()) == kSegmentKeys.end());
static_assert(kSegmentKeyCount <= 64, "keys present are kept as bits of one word");
// The rank of each code's sub-field keys, by the code's place in kCodes.
constexpr auto kSegmentKeyRanks = [] {
  std::array<std::array<std::uint8_t, 4>, std::size(kCodes)> ranks{};
  for (std::size_t c = 0; c < std::size(kCodes); ++c) {
    for (std::size_t i = 0; i < kCodes[c].subfields; ++i) {
      ranks[c][i] = static_cast<std::uint8_t>(
          std::lower_bound(kSegmentKeys.begin(), kSegmentKeys.end(), kCodes[c].keys[i]) - kSegmentKeys.begin());
    }
  }
  return ranks;
}();
// Each key's number in the table of keys maps keep once for all, or 0.
constexpr auto kSegmentKeyNumbers = [] {
  std::array<std::uint32_t, kSegmentKeyCount> numbers{};
  for (std::size_t k = 0; k < kSegmentKeyCount; ++k) numbers[k] = detail::named_key_number(kSegmentKeys[k]);
  return numbers;
}();

// The known code that `rest` starts with, followed by "/", or null. Constant work: a
// code is at most four bytes.
const Code* code_at(std::string_view rest) noexcept {
  // Most slashes of a text are followed by no code at all: rule them out at once.
  if (rest.size() < 4 || !(rest[3] == '/' || (rest.size() > 4 && rest[4] == '/'))) return nullptr;
  for (const Code& c : kCodes) {
    // Codes are three or four bytes: compared inline, where a library call cost more.
    if (rest.size() <= c.code.size() || rest[c.code.size()] != '/' || rest[0] != c.code[0]) continue;
    std::size_t i = 1;
    while (i < c.code.size() && rest[i] == c.code[i]) ++i;
    if (i == c.code.size()) return &c;
  }
  return nullptr;
}

bool is_sub_tag(std::string_view text) noexcept {
  if (text.size() < 2 || text.size() > 4) return false;
  for (const char c : text) {
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// "/BENM/" and "/ORDP/" also open the single-slash layout's "/BENM//NAME/..."; there
// they are followed by a sub-tag, here by an account of letters and digits or nothing.
bool opens_party(std::string_view text, std::size_t at) noexcept {
  const std::string_view rest = text.substr(at + 6);
  const std::size_t slash = rest.find('/');
  const std::string_view account = rest.substr(0, slash);
  for (const char c : account) {
    if (!ascii::is_alnum(c)) return false;
  }
  if (!account.empty() || slash == std::string_view::npos) return true;
  const std::string_view after = rest.substr(slash + 1);
  return !is_sub_tag(after.substr(0, after.find('/')));
}

}  // namespace

bool detail::opens_segments_mark_slow(std::string_view text, std::size_t slash) noexcept {
  const std::string_view rest = text.substr(slash);
  switch (rest[1]) {
    case 'C':
      return rest.starts_with("/CNTP/");
    case 'R':
      return rest.starts_with("/REMI/USTD") || rest.starts_with("/REMI/STRD");
    case 'B':
    case 'O':
      return (rest.starts_with("/BENM/") || rest.starts_with("/ORDP/")) && opens_party(text, slash);
    default:
      return false;
  }
}

namespace {

bool recognised(std::string_view text) noexcept {
  detail::ByteBits slashes(text, '/');
  for (std::size_t slash = slashes.next(); slash != detail::ByteBits::npos; slash = slashes.next()) {
    if (detail::opens_segments_mark(text, slash)) return true;
  }
  return false;
}

// Lines of `text` trimmed and without their line-break bytes, as views into it.
void split_lines(std::string_view text, std::vector<std::string_view>& lines) {
  lines.clear();
  while (true) {
    const std::size_t end = text.find_first_of("\r\n");
    lines.push_back(detail::trimmed(text.substr(0, end)));
    if (end == std::string_view::npos) return;
    text.remove_prefix(end + 1);
  }
}

// The lines of a party block that the reading joined into one: the block's sub-fields
// as lines, each "/" and its value. Where the reading put a blank between the bank's
// lines, a line starts at " /"; otherwise at every "/" that is not half of a "//"
// (which parts a text and its reference within a line). False when the block is the
// fixed layout after all: its BIC slot is empty or holds a BIC, or a segment follows.
bool joined_party_lines(std::string_view text, std::vector<std::string_view>& lines) {
  const std::size_t account_end = text.find('/', 6);
  if (account_end == std::string_view::npos) return false;
  const std::string_view after = text.substr(account_end + 1);
  const std::string_view bic_slot = detail::trimmed(after.substr(0, after.find('/')));
  if (bic_slot.empty() || detail::is_bic(bic_slot)) return false;
  for (std::size_t at = text.find("//"); at != std::string_view::npos; at = text.find("//", at + 2)) {
    if (code_at(text.substr(at + 2)) != nullptr) return false;
  }
  const bool blank_joined = text.find(" /", account_end - 1) != std::string_view::npos;
  lines.clear();
  lines.push_back(detail::trimmed(text.substr(0, account_end)));
  std::size_t begin = account_end;
  for (std::size_t slash = text.find('/', account_end + 1); slash != std::string_view::npos;
       slash = text.find('/', slash + 1)) {
    const bool starts_line = blank_joined ? text[slash - 1] == ' '
                                          : text[slash - 1] != '/' && (slash + 1 == text.size() || text[slash + 1] != '/');
    if (!starts_line) continue;
    lines.push_back(detail::trimmed(text.substr(begin, slash - begin)));
    begin = slash;
  }
  lines.push_back(detail::trimmed(text.substr(begin)));
  return lines.size() > 2;
}

// Whether `details` (trimmed) holds a party block written one sub-field per line: it
// opens with "/BENM/", "/ORDP/" or "/CNTP/" and an account alone on its line, the next
// line starts a sub-field with "/", and no later line opens a segment of its own. A
// block the bank merely broke where a line was full keeps more than the account on
// its first line. Looks at the first line alone before it splits the text; the caller
// made sure that a party code opens it.
const Code* party_by_lines(std::string_view details, std::vector<std::string_view>& lines) {
  const Code* code = code_at(details.substr(1));
  if (code == nullptr || code->info_key.empty()) return nullptr;
  const std::size_t first_end = details.find_first_of("\r\n");
  if (first_end == std::string_view::npos) return joined_party_lines(details, lines) ? code : nullptr;
  if (details.find('/', 6) < first_end) return nullptr;
  split_lines(details, lines);
  std::size_t next = 1;
  while (next < lines.size() && lines[next].empty()) ++next;
  if (next == lines.size() || lines[next].front() != '/') return nullptr;
  for (std::size_t i = next; i < lines.size(); ++i) {
    if (!lines[i].empty() && lines[i].front() == '/' && code_at(lines[i].substr(1)) != nullptr) return nullptr;
  }
  return code;
}

// The block's values by line: the account, the name, the lines between as one text,
// and the last line, the purpose. A line that does not start with "/" goes on with the
// line before it, where the bank broke a long value.
void read_party_lines(const Code& code, const std::vector<std::string_view>& lines, std::string& joined,
                      std::vector<DecodedDetails::EntryView>& writes) {
  joined.clear();
  joined.reserve(2 * std::accumulate(lines.begin(), lines.end(), std::size_t{0},
                                     [](std::size_t n, std::string_view l) { return n + l.size() + 1; }));
  struct Subfields;  // runs of `joined`
  auto& subfields = detail::thread_scratch<std::vector<std::pair<std::size_t, std::size_t>>, Subfields>();
  subfields.assign(1, {0, 0});
  joined.append(lines[0].substr(6));
  subfields.back().second = joined.size();
  for (std::size_t i = 1; i < lines.size(); ++i) {
    std::string_view line = lines[i];
    if (line.empty()) continue;
    if (line.front() == '/') {
      line.remove_prefix(1);
      subfields.emplace_back(joined.size(), joined.size());
    }
    joined.append(line);
    subfields.back().second = joined.size();
  }
  const auto value = [&joined](std::pair<std::size_t, std::size_t> run) {
    return detail::trimmed(std::string_view(joined).substr(run.first, run.second - run.first));
  };
  const auto add = [&writes](std::string_view key, std::string_view v) {
    if (!v.empty()) writes.emplace_back(key, v);
  };
  add(code.keys[0], value(subfields[0]));
  if (subfields.size() > 1) add(code.keys[2], value(subfields[1]));
  if (subfields.size() > 2) add("REMI", value(subfields.back()));
  if (subfields.size() > 3) {
    // The lines between, each kept whole and parted by a blank.
    const std::size_t begin = joined.size();
    for (std::size_t i = 2; i + 1 < subfields.size(); ++i) {
      const std::string_view part = value(subfields[i]);
      if (part.empty()) continue;
      if (joined.size() > begin) joined.push_back(' ');
      joined.append(part);  // within the capacity reserved above: earlier views stay valid
    }
    add(code.info_key, std::string_view(joined).substr(begin));
  }
}

class BankSlashSegmentsDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Both slash layouts are recognised by a "/": a text without one is ruled out at a
    // glance, before any copy or search, as most texts of other layouts are.
    if (std::memchr(details.data(), '/', details.size()) == nullptr) return std::nullopt;
    if (auto map = detail::decode_party_block(details, into)) return map;
    struct Joined;
    auto& joined = detail::thread_scratch<detail::JoinedSlashText, Joined>();
    const std::string_view text = joined.join(details);
    if (!recognised(text)) return std::nullopt;
    return detail::decode_slash_segments(details, joined, text, into);
  }

  std::string_view name() const noexcept override { return "bank-slash-segments"; }
};

}  // namespace

namespace detail {
bool opens_slash_segment(std::string_view rest) noexcept { return code_at(rest) != nullptr; }

std::string_view JoinedSlashText::join(std::string_view details) {
  details_ = details;
  runs_.clear();
  // Two vectorised searches: the reading joins a field's lines where it can, so nearly
  // every text comes without a line break.
  const auto* lf = static_cast<const char*>(std::memchr(details.data(), '\n', details.size()));
  const auto* cr = static_cast<const char*>(std::memchr(details.data(), '\r', details.size()));
  if (lf == nullptr && cr == nullptr) return trimmed(details);
  const auto is_break = [](char c) { return c == '\n' || c == '\r'; };
  std::size_t at = static_cast<std::size_t>((lf == nullptr ? cr : cr == nullptr ? lf : std::min(lf, cr)) - details.data());
  joined_.clear();
  for (std::size_t line = 0; line < details.size();) {
    if (at > line) {
      runs_.push_back({joined_.size(), line});
      joined_.append(details, line, at - line);
    }
    while (at < details.size() && is_break(details[at])) ++at;
    line = at;
    while (at < details.size() && !is_break(details[at])) ++at;
  }
  return trimmed(joined_);
}

std::string_view JoinedSlashText::in_lines(std::string_view part) const noexcept {
  // Compared as integers: pointers into different arrays have no order of their own.
  const std::uintptr_t offset = reinterpret_cast<std::uintptr_t>(part.data()) -
                                reinterpret_cast<std::uintptr_t>(joined_.data());
  if (offset > joined_.size() || part.size() > joined_.size() - offset) return part;
  std::size_t run = runs_.size() - 1;
  while (runs_[run].joined_at > offset) --run;
  const std::size_t run_end = run + 1 < runs_.size() ? runs_[run + 1].joined_at : joined_.size();
  if (offset + part.size() > run_end) return part;
  return details_.substr(runs_[run].details_at + (offset - runs_[run].joined_at), part.size());
}

std::optional<DecodedDetails> decode_party_block_slow(std::string_view details, TextBuffer& into) {
  const std::string_view text = trimmed(details);
  // Working storage reused from text to text on each thread.
  struct Joined;
  struct Writes;
  struct Lines;
  auto& joined = thread_scratch<std::string, Joined>();
  auto& writes = thread_scratch<std::vector<DecodedDetails::EntryView>, Writes>();
  auto& lines = thread_scratch<std::vector<std::string_view>, Lines>();
  const Code* party = party_by_lines(text, lines);
  if (party == nullptr) return std::nullopt;
  writes.clear();
  read_party_lines(*party, lines, joined, writes);
  if (writes.empty()) writes.emplace_back("detail", details);
  return write_map(writes, details, into, Layout::SlashSegments);
}

DecodedDetails decode_slash_segments(std::string_view details, const JoinedSlashText& joined, std::string_view text,
                                     TextBuffer& into) {
  // Each key's last value by rank, the ones present as bits: the map is written in the
  // ranks' order, a value written again replacing the one before. Left unset but for
  // the keys present.
  std::string_view values_by_rank[kSegmentKeyCount];
  std::uint64_t present = 0;
  std::size_t count = 0;
  std::size_t bytes = 0;  // keys and values, what the map may have to copy
  // The values of the segment of `code` that lie from `begin` to `end`.
  const auto read_segment = [&](const Code& code, std::size_t begin, std::size_t end) {
    std::string_view values = text.substr(begin, end > begin ? end - begin : 0);
    const auto& ranks = kSegmentKeyRanks[static_cast<std::size_t>(&code - kCodes)];
    for (std::size_t i = 0; i < code.subfields; ++i) {
      const bool last = i + 1 == code.subfields;
      const std::size_t slash = last ? std::string_view::npos : values.find('/');
      const std::string_view value = trimmed(values.substr(0, slash));
      if (!value.empty()) {
        const std::size_t rank = ranks[i];
        if (present >> rank & 1) {
          bytes -= values_by_rank[rank].size();
        } else {
          present |= std::uint64_t{1} << rank;
          ++count;
          bytes += kSegmentKeys[rank].size();
        }
        values_by_rank[rank] = joined.in_details(value);
        bytes += value.size();
      }
      if (slash == std::string_view::npos) break;
      values.remove_prefix(slash + 1);
    }
  };
  // A segment starts at "/CODE/" where the text or a segment ends: at the start, or
  // after the "/" that closes the segment before. The first may follow free text.
  const Code* open = nullptr;  // the segment whose values run up to here
  std::size_t begin = 0;
  ByteBits slashes(text, '/');
  for (std::size_t slash = slashes.next(); slash != ByteBits::npos; slash = slashes.next()) {
    if (open != nullptr && text[slash - 1] != '/') continue;
    const Code* code = code_at(text.substr(slash + 1));
    if (code == nullptr) continue;
    if (open != nullptr) read_segment(*open, begin, slash - 1);  // before the closing "/"
    open = code;
    begin = slash + 2 + code->code.size();
  }
  if (open != nullptr) {
    // The last segment's closing "/".
    read_segment(*open, begin, text.size() > begin && text.back() == '/' ? text.size() - 1 : text.size());
  }

  if (count == 0) {
    static constexpr FixedKey kDetail("detail");
    DecodedDetails::Builder map(into, details, 1, kDetail.key.size() + details.size());
    add_key(map, kDetail);
    map.append_value(details);
    return std::move(map).finish(Layout::SlashSegments);
  }
  DecodedDetails::Builder map(into, details, count, bytes);
  for (std::uint64_t left = present; left != 0; left &= left - 1) {
    const auto rank = static_cast<std::size_t>(std::countr_zero(left));
    if (kSegmentKeyNumbers[rank] != 0) {
      map.add_fixed_key(kSegmentKeys[rank], kSegmentKeyNumbers[rank]);
    } else {
      map.add_key(kSegmentKeys[rank]);
    }
    map.append_value(values_by_rank[rank]);
  }
  return std::move(map).finish(Layout::SlashSegments);
}
}  // namespace detail

const Decoder& bank_slash_segments_decoder() noexcept {
  static const BankSlashSegmentsDecoder instance;
  return instance;
}

}  // namespace tallyfold
