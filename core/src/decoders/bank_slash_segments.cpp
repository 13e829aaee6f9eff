// Slash segments with sub-fields, as Dutch banks write them:
//   /EREF/ref//CNTP/IBAN/BIC/NAME/CITY//REMI/USTD//text/
// Each segment is "/CODE/" and the code's sub-fields separated by "/", and ends with "/";
// the next segment's "/" follows, so segments are parted by "//". A sub-field may be
// empty, so "//" alone does not part segments: only "//" before a known code does, and
// within a segment the code's sub-field count says where its values lie, the last one
// taking the rest (a remittance text may hold "/" of its own).
#include <array>
#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "decoders/bank_text.hpp"
#include "decoders/text.hpp"
#include "tallyfold/bank_details.hpp"

namespace tallyfold {
namespace {

struct Code {
  std::string_view code;
  // Keys of the sub-fields in order; one key for a code holding a single value.
  std::array<std::string_view, 4> keys;
  std::size_t subfields;
};

constexpr Code kCodes[] = {
    {"CNTP", {"CNTP/IBAN", "CNTP/BIC", "CNTP/NAME", "CNTP/CITY"}, 4},
    {"BENM", {"BENM/IBAN", "BENM/BIC", "BENM/NAME", "BENM/CITY"}, 4},
    {"ORDP", {"ORDP/IBAN", "ORDP/BIC", "ORDP/NAME", "ORDP/CITY"}, 4},
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

// The known code that `rest` starts with, followed by "/", or null. Constant work: a
// code is at most four bytes.
const Code* code_at(std::string_view rest) noexcept {
  // Most slashes of a text are followed by no code at all: rule them out at once.
  if (rest.size() < 4 || !(rest[3] == '/' || (rest.size() > 4 && rest[4] == '/'))) return nullptr;
  for (const Code& c : kCodes) {
    if (rest.size() > c.code.size() && rest[c.code.size()] == '/' &&
        std::memcmp(rest.data(), c.code.data(), c.code.size()) == 0) {
      return &c;
    }
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
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
    if (!alnum) return false;
  }
  if (!account.empty() || slash == std::string_view::npos) return true;
  const std::string_view after = rest.substr(slash + 1);
  return !is_sub_tag(after.substr(0, after.find('/')));
}

bool recognised(std::string_view text) noexcept {
  for (std::size_t slash = text.find('/'); slash != std::string_view::npos;
       slash = text.find('/', slash + 1)) {
    const std::string_view rest = text.substr(slash);
    if (rest.size() < 6 || rest[5] != '/') continue;  // every mark is "/" and four letters and "/"
    switch (rest[1]) {
      case 'C':
        if (rest.starts_with("/CNTP/")) return true;
        break;
      case 'R':
        if (rest.starts_with("/REMI/USTD") || rest.starts_with("/REMI/STRD")) return true;
        break;
      case 'B':
      case 'O':
        if ((rest.starts_with("/BENM/") || rest.starts_with("/ORDP/")) && opens_party(text, slash)) return true;
        break;
      default:
        break;
    }
  }
  return false;
}

struct Segment {
  const Code* code;
  std::size_t begin;  // first byte of the values
  std::size_t end;    // one past the last byte of the values
};

class BankSlashSegmentsDecoder final : public Decoder {
 public:
  std::optional<DecodedDetails> decode(std::string_view details, TextBuffer& into) const override {
    // Working storage reused from text to text on each thread.
    thread_local std::string scratch;
    thread_local std::vector<Segment> segments;
    thread_local std::vector<DecodedDetails::EntryView> writes;
    const std::string_view text = detail::trimmed(detail::without_line_breaks(details, scratch));
    if (!recognised(text)) return std::nullopt;

    // A segment starts at "/CODE/" where the text or a segment ends: at the start, or
    // after the "/" that closes the segment before. The first may follow free text.
    segments.clear();
    for (std::size_t slash = text.find('/'); slash != std::string_view::npos;
         slash = text.find('/', slash + 1)) {
      if (!segments.empty() && text[slash - 1] != '/') continue;
      const Code* code = code_at(text.substr(slash + 1));
      if (code == nullptr) continue;
      if (!segments.empty()) segments.back().end = slash - 1;  // before the closing "/"
      const std::size_t begin = slash + 2 + code->code.size();
      segments.push_back({code, begin, text.size()});
      slash = begin - 1;
    }
    if (!segments.empty() && segments.back().end > segments.back().begin && text.back() == '/') {
      --segments.back().end;  // the last segment's closing "/"
    }

    writes.clear();
    for (const Segment& s : segments) {
      std::string_view values = text.substr(s.begin, s.end > s.begin ? s.end - s.begin : 0);
      for (std::size_t i = 0; i < s.code->subfields; ++i) {
        const bool last = i + 1 == s.code->subfields;
        const std::size_t slash = last ? std::string_view::npos : values.find('/');
        const std::string_view value = detail::trimmed(values.substr(0, slash));
        if (!value.empty()) writes.emplace_back(s.code->keys[i], value);
        if (slash == std::string_view::npos) break;
        values.remove_prefix(slash + 1);
      }
    }
    if (writes.empty()) writes.emplace_back("detail", details);
    return detail::write_map(writes, details, into);
  }

  std::string_view name() const noexcept override { return "bank-slash-segments"; }
};

}  // namespace

namespace detail {
bool opens_slash_segment(std::string_view rest) noexcept { return code_at(rest) != nullptr; }
}  // namespace detail

const Decoder& bank_slash_segments_decoder() noexcept {
  static const BankSlashSegmentsDecoder instance;
  return instance;
}

}  // namespace tallyfold
