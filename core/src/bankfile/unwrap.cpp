#include "tallyfold/unwrap.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold {
namespace {

// Branch-free, so that the compiler can test many bytes at once.
constexpr bool is_control_byte(char c) noexcept { return (c == '\x01') | (c == '\x03') | (c == '\x1a'); }

bool contains_control_byte(std::string_view text) noexcept {
  unsigned char found = 0;
  for (char c : text) found |= static_cast<unsigned char>(is_control_byte(c));
  return found != 0;
}

constexpr bool is_ascii_digit(char c) noexcept { return c >= '0' && c <= '9'; }
constexpr bool is_ascii_upper(char c) noexcept { return c >= 'A' && c <= 'Z'; }
constexpr bool is_ascii_alnum(char c) noexcept {
  return is_ascii_digit(c) || is_ascii_upper(c) || (c >= 'a' && c <= 'z');
}

// Same rule as the parser's, so that unwrapping and parsing agree on where fields start.
bool is_tag_line(std::string_view line) noexcept {
  if (line.empty() || line.front() != ':') return false;
  // The second colon ends a tag of a few characters: a loop finds it sooner than a call.
  for (std::size_t i = 1; i < line.size(); ++i) {
    if (line[i] == ':') return true;
  }
  return false;
}

enum class Tag : std::uint8_t {
  Other,
  Statement,           // ":20:"
  OldStatementNumber,  // ":28:", the older form of ":28C:"
  OpeningBalance,      // ":60F:", ":60M:"
  ClosingBalance,      // ":62F:", ":62M:"
  OtherBalance,        // ":64:", ":65:"
};

// The tags that steer unwrapping, read from the bytes of a tag line.
Tag classify_tag(std::string_view line) noexcept {
  if (line.size() < 4) return Tag::Other;
  const char a = line[1];
  const char b = line[2];
  const char c = line[3];
  if (a == '2' && c == ':') return b == '0' ? Tag::Statement : b == '8' ? Tag::OldStatementNumber : Tag::Other;
  if (a != '6') return Tag::Other;
  if ((b == '4' || b == '5') && c == ':') return Tag::OtherBalance;
  if ((b == '0' || b == '2') && (c == 'F' || c == 'M') && line.size() >= 5 && line[4] == ':') {
    return b == '0' ? Tag::OpeningBalance : Tag::ClosingBalance;
  }
  return Tag::Other;
}

// "-", or "-XXX" as one bank family ends its messages.
bool is_separator_line(std::string_view line) noexcept {
  // Any other first byte is neither the dash nor white space; this spares most lines a call.
  if (line.empty()) return false;
  const auto first = static_cast<unsigned char>(line.front());
  if (first != '-' && first > ' ' && first < 0x80) return false;
  std::string_view trimmed = trim_white_space(line);
  return trimmed == "-" || trimmed == "-XXX";
}

// Bank identifier codes, message types and sequence lines ("ABNANL2A", "940 00",
// "0000 01INGBNL2AXXXX00001") are upper-case letters, digits and blanks; prose is not.
bool is_header_shaped(std::string_view trimmed) noexcept {
  for (char c : trimmed) {
    if (!is_ascii_digit(c) && !is_ascii_upper(c) && c != ' ') return false;
  }
  return true;
}

// At most 40 bytes of a line for a message, cut before a UTF-8 continuation byte.
std::string_view shortened(std::string_view text) noexcept {
  constexpr std::size_t kMax = 40;
  if (text.size() <= kMax) return text;
  std::size_t end = kMax;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

// Length of the block label in "{label:" at the start of `line`, or 0 when the line does
// not open a block. Labels are short (block numbers, "MAC", "CHK"), which keeps a brace
// inside details text from being taken for an envelope.
std::size_t block_label_length(std::string_view line) noexcept {
  if (line.size() < 3 || line.front() != '{') return 0;
  std::size_t end = 1;
  while (end < line.size() && end <= 3 && is_ascii_alnum(line[end])) ++end;
  if (end == 1 || end >= line.size() || line[end] != ':') return 0;
  return end - 1;
}

// "@@:20:", "@@:28C:": the "@@" transport form writes a line break before every field.
// Requiring a tag after it keeps "@@" inside ordinary details text untouched.
bool has_at_break_before_tag(std::string_view line) noexcept {
  for (std::size_t at = line.find("@@:"); at != std::string_view::npos; at = line.find("@@:", at + 1)) {
    std::string_view rest = line.substr(at + 3);
    if (rest.size() >= 3 && is_ascii_digit(rest[0]) && is_ascii_digit(rest[1]) &&
        (rest[2] == ':' || (rest.size() >= 4 && is_ascii_upper(rest[2]) && rest[3] == ':'))) {
      return true;
    }
  }
  return false;
}

// Finds line feeds 64 bytes at a time. Statement lines are short: a library search per
// line spent more in its calls than in the bytes, a third of the time of unwrapping.
class LineFeeds {
 public:
  explicit LineFeeds(std::string_view text) noexcept : text_(text) {
    if (!text_.empty()) load(0);
  }

  // Offset of the first line feed at or after `from`, or npos. `from` never decreases
  // from one call to the next.
  std::size_t find(std::size_t from) noexcept {
#if defined(__SSE2__)
    while (from < text_.size()) {
      if (from - block_ >= kBlock) load(from - from % kBlock);
      const std::uint64_t bits = mask_ & (~std::uint64_t{0} << (from - block_));
      if (bits != 0) return block_ + static_cast<std::size_t>(std::countr_zero(bits));
      from = block_ + kBlock;
    }
    return std::string_view::npos;
#else
    return text_.find('\n', from);
#endif
  }

 private:
  static constexpr std::size_t kBlock = 64;

  void load([[maybe_unused]] std::size_t block) noexcept {
#if defined(__SSE2__)
    block_ = block;
    const char* p = text_.data() + block;
    std::uint64_t mask = 0;
    if (text_.size() - block >= kBlock) {
      const __m128i line_feed = _mm_set1_epi8('\n');
      for (unsigned i = 0; i < kBlock / 16; ++i) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
        const auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, line_feed)));
        mask |= std::uint64_t{bits} << (16 * i);
      }
    } else {
      for (std::size_t i = 0; i < text_.size() - block; ++i) mask |= std::uint64_t{p[i] == '\n'} << i;
    }
    mask_ = mask;
#endif
  }

  std::string_view text_;
  std::size_t block_ = 0;  // offset of the 64 bytes that mask_ describes
  std::uint64_t mask_ = 0;
};

// What was taken away, for the summary note.
struct Tally {
  std::size_t envelopes = 0;
  std::size_t separator_lines = 0;
  std::size_t header_lines = 0;
  std::size_t other_lines = 0;  // dropped lines that are neither blank nor header-shaped
  std::size_t control_bytes = 0;
  std::size_t old_statement_tags = 0;
  std::size_t at_breaks = 0;
};

enum class Action : std::uint8_t { Drop, Keep, Rewrite /* ":28:" becomes ":28C:" */ };

// One pass over the text serves both public functions; the line map, the tally and the
// "@@" form only matter to the bank-file reading, which passes a map.
class Unwrapper {
 public:
  Unwrapper(std::string_view text, LineMap* lines) : text_(text), lines_(lines) {}

  std::string run() {
    out_.reserve(text_.size());
    // Both are rare: one look at the whole text spares every line a search of its own.
    has_control_ = contains_control_byte(text_);
    at_form_possible_ = lines_ != nullptr && text_.find("@@") != std::string_view::npos;
    LineFeeds line_feeds(text_);
    std::size_t pos = 0;
    std::size_t number = 0;
    while (pos < text_.size()) {
      if (in_transactions_ && !dropping_ && !has_control_ && !at_form_possible_) {
        pos = skip_transaction_lines(pos, number, line_feeds);
        if (pos >= text_.size()) break;
      }
      std::size_t lf = line_feeds.find(pos);
      bool has_lf = lf != std::string_view::npos;
      std::size_t end = has_lf ? lf : text_.size();
      physical_line(pos, end, ++number, has_lf);
      pos = has_lf ? end + 1 : end;
    }
    flush(text_.size());
    close_unclosed_envelope();
    return std::move(out_);
  }

  const Tally& tally() const noexcept { return tally_; }
  std::vector<Diagnostic>& warnings() noexcept { return warnings_; }

 private:
  // A "{4:" that no "-}" closed before the next envelope or the end of the text.
  void close_unclosed_envelope() {
    if (open_block4_ == 0) return;
    warnings_.push_back({open_block4_, Severity::Warning,
                         "SWIFT envelope opened here is not closed: the file may be truncated"});
    open_block4_ = 0;
  }

  // Most lines are kept as they are: they stay in the input until a line that is dropped
  // or rewritten ends their run, and are then copied in one piece.
  void flush(std::size_t upto) {
    if (upto > kept_from_) out_.append(text_.substr(kept_from_, upto - kept_from_));
    kept_from_ = upto;
  }

  // Between the balances only framing and the fields that end a statement change
  // anything; the lines before them, most of a file, stay as they are without a look
  // at the rest of the line. Returns the start of the first line that needs one.
  std::size_t skip_transaction_lines(std::size_t pos, std::size_t& number, LineFeeds& line_feeds) {
    const std::size_t first_number = number + 1;
    while (pos < text_.size()) {
      const char a = text_[pos];
      const char b = pos + 1 < text_.size() ? text_[pos + 1] : '\0';
      const char c = pos + 2 < text_.size() ? text_[pos + 2] : '\0';
      if (a == '{' || a == '-' || (a == ':' && (b == '2' || (b == '6' && c != '1')))) break;
      ++number;
      const std::size_t lf = line_feeds.find(pos);
      pos = lf == std::string_view::npos ? text_.size() : lf + 1;
    }
    if (number >= first_number) {
      count_line(first_number);
      out_lines_ += number - first_number;
      implied_line_ = number + 1;
    }
    return pos;
  }

  // Line `number` of the file is the next line of the output.
  void count_line(std::size_t number) {
    ++out_lines_;
    if (lines_ != nullptr && number != implied_line_) lines_->map(out_lines_, number);
    implied_line_ = number + 1;
  }

  void physical_line(std::size_t begin, std::size_t end, std::size_t number, bool has_lf) {
    const std::string_view raw = text_.substr(begin, end - begin);
    std::string_view line = raw;
    if (has_control_ && contains_control_byte(raw)) {
      cleaned_.clear();
      for (char c : raw) {
        if (!is_control_byte(c)) cleaned_.push_back(c);
      }
      tally_.control_bytes += raw.size() - cleaned_.size();
      line = cleaned_;
    }

    // Carriage returns before the line feed belong to the line end and are kept with it.
    std::size_t body_size = line.size();
    while (body_size > 0 && line[body_size - 1] == '\r') --body_size;
    std::string_view line_end = line.substr(body_size);
    line = line.substr(0, body_size);

    if (at_form_possible_ && has_at_break_before_tag(line)) {
      flush(begin);
      kept_from_ = has_lf ? end + 1 : end;
      // Every piece is a line of its own, mapped to the one line of the file it came from.
      for (std::size_t at = line.find("@@"); at != std::string_view::npos; at = line.find("@@")) {
        ++tally_.at_breaks;
        std::string_view piece = line.substr(0, at);
        if (!piece.empty()) emit(logical_line(piece, number), piece, {}, true, number);
        line.remove_prefix(at + 2);
      }
      if (!line.empty() || !line_end.empty() || has_lf) {
        emit(logical_line(line, number), line, line_end, has_lf, number);
      }
      return;
    }

    const Action action = logical_line(line, number);
    if (action == Action::Keep && line.data() == raw.data()) {
      count_line(number);
      return;
    }
    flush(begin);
    kept_from_ = has_lf ? end + 1 : end;
    emit(action, line, line_end, has_lf, number);
  }

  void emit(Action action, std::string_view line, std::string_view line_end, bool has_lf,
            std::size_t number) {
    if (action == Action::Drop) return;
    count_line(number);
    if (action == Action::Rewrite) {
      ++tally_.old_statement_tags;
      out_ += ":28C:";
      line.remove_prefix(4);
    }
    out_ += line;
    out_ += line_end;
    if (has_lf) out_ += '\n';
  }

  // What becomes of `line`; takes its envelope framing away.
  Action logical_line(std::string_view& line, std::size_t number) {
    if (strip_envelope(line, number) && trim_white_space(line).empty()) return Action::Drop;
    // Between the balances a lone "-" is details text wrapped onto its own line.
    if (!in_transactions_ && is_separator_line(line)) {
      ++tally_.separator_lines;
      dropping_ = true;  // what follows up to the next field stands between statements
      return Action::Drop;
    }

    if (is_tag_line(line)) {
      const Tag tag = classify_tag(line);
      // A balance never continues on a second line.
      dropping_ = tag == Tag::OpeningBalance || tag == Tag::ClosingBalance || tag == Tag::OtherBalance;
      if (tag == Tag::OpeningBalance) {
        in_transactions_ = true;
      } else if (tag == Tag::ClosingBalance || tag == Tag::Statement) {
        in_transactions_ = false;
      }
      return tag == Tag::OldStatementNumber ? Action::Rewrite : Action::Keep;
    }
    if (!dropping_) return Action::Keep;

    std::string_view trimmed = trim_white_space(line);
    if (trimmed.empty()) return Action::Drop;
    if (is_header_shaped(trimmed)) {
      ++tally_.header_lines;
      return Action::Drop;
    }
    ++tally_.other_lines;
    // A field moved off the start of its line is data, not a header: say which.
    if (is_tag_line(trimmed)) {
      std::string message = "line between statements set aside although it holds a field: '";
      message += shortened(trimmed);
      message += '\'';
      warnings_.push_back({number, Severity::Warning, std::move(message)});
    }
    return Action::Drop;
  }

  // Removes the envelope framing at the start of `line`. Returns true when any was found.
  // Repeats until the line starts with something else, so that unwrapping its own output
  // changes nothing.
  bool strip_envelope(std::string_view& line, std::size_t number) {
    bool found = false;
    for (;;) {
      if (line.starts_with("-}")) {
        open_block4_ = 0;
        line.remove_prefix(2);
        found = true;
        continue;
      }
      std::size_t label = block_label_length(line);
      if (label == 0) return found;
      found = true;
      std::string_view name = line.substr(1, label);
      if (name == "1" || name == "4") {
        close_unclosed_envelope();
        // A message opens with its basic header, or with block 4 when it has none.
        if (name == "1" || !header_seen_) ++tally_.envelopes;
        header_seen_ = name == "1";
      }
      if (name == "4") {
        // Block 4 holds the fields and is closed by a later "-}", not by a brace here.
        open_block4_ = number;
        line.remove_prefix(label + 2);
        continue;
      }
      std::size_t depth = 0;
      std::size_t i = 0;
      for (; i < line.size(); ++i) {
        if (line[i] == '{') {
          ++depth;
        } else if (line[i] == '}' && --depth == 0) {
          break;
        }
      }
      // An unclosed block swallows the rest of its line.
      line.remove_prefix(i < line.size() ? i + 1 : line.size());
    }
  }

  std::string_view text_;
  LineMap* lines_;
  std::string out_;
  std::string cleaned_;          // a line without its control bytes, reused
  std::size_t kept_from_ = 0;     // start of the lines kept as they are, not yet copied
  std::size_t out_lines_ = 0;
  std::size_t implied_line_ = 1;  // the file line the map gives the next output line
  bool has_control_ = false;
  bool at_form_possible_ = false;
  bool dropping_ = false;         // non-tag lines are dropped until the next tag line
  bool in_transactions_ = false;  // from an opening balance to the closing one
  bool header_seen_ = false;      // a "{1:" since the last "{4:"
  std::size_t open_block4_ = 0;   // line of a "{4:" not yet closed, or 0
  std::vector<Diagnostic> warnings_;  // in the order found, not by line
  Tally tally_;
};

void append_count(std::string& message, std::size_t count, std::string_view singular,
                  std::string_view plural) {
  if (count == 0) return;
  message += message.empty() ? "unwrapped " : ", ";
  message += std::to_string(count);
  message += ' ';
  message += count == 1 ? singular : plural;
}

}  // namespace

std::string unwrap_text(std::string_view text) { return Unwrapper(text, nullptr).run(); }

UnwrappedText unwrap_statement_text(std::string_view text, std::vector<Diagnostic>& diagnostics) {
  UnwrappedText result;
  Unwrapper unwrapper(text, &result.lines);
  result.text = unwrapper.run();

  const Tally& tally = unwrapper.tally();
  std::string summary;
  append_count(summary, tally.envelopes, "SWIFT envelope", "SWIFT envelopes");
  append_count(summary, tally.separator_lines, "'-' line", "'-' lines");
  append_count(summary, tally.header_lines, "bank header line", "bank header lines");
  append_count(summary, tally.other_lines, "line between statements", "lines between statements");
  append_count(summary, tally.control_bytes, "control byte", "control bytes");
  append_count(summary, tally.old_statement_tags, "':28:' tag read as ':28C:'",
               "':28:' tags read as ':28C:'");
  append_count(summary, tally.at_breaks, "'@@' line break", "'@@' line breaks");
  if (!summary.empty()) diagnostics.push_back({1, Severity::Note, std::move(summary)});
  std::vector<Diagnostic>& warnings = unwrapper.warnings();
  std::stable_sort(warnings.begin(), warnings.end(),
                   [](const Diagnostic& a, const Diagnostic& b) { return a.line < b.line; });
  diagnostics.insert(diagnostics.end(), std::make_move_iterator(warnings.begin()),
                     std::make_move_iterator(warnings.end()));
  return result;
}

}  // namespace tallyfold
