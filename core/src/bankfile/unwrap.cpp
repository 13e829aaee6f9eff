#include "bankfile/steps.hpp"
#include "bankfile/unwrap.hpp"

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <vector>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/model.hpp"
#include "bankfile/block_scan.hpp"
#include "bankfile/steering_tag.hpp"
#include "bankfile/tolerant_fields.hpp"
#include "text_views.hpp"
#include "util/utf8.hpp"
#include "util/ascii.hpp"
#include "util/bits.hpp"
#include "util/tag_line.hpp"

namespace tallyfold {
namespace {

using detail::Blocks;
using detail::is_control_byte;
using detail::is_special_byte;

bool contains_control_byte(std::string_view text) noexcept {
  unsigned char found = 0;
  for (char c : text) found |= static_cast<unsigned char>(is_control_byte(c));
  return found != 0;
}

using ascii::is_alnum;
using ascii::is_digit;
using ascii::is_upper;

bool is_tag_line(std::string_view line) noexcept { return detail::tag_length(line) != 0; }

using Tag = detail::SteeringTag;
using detail::classify_tag;

// Whether a line that starts with ':' holds a tag; most tags end at the fourth or fifth
// byte, which settles them without looking for the colon. Which of the two it is
// alternates from line to line: one test takes both, a product that is zero when either
// byte is the colon.
[[gnu::always_inline]] inline bool is_colon_tag_line(std::string_view line) noexcept {
  if (line.size() >= 5) {
    const unsigned fourth = static_cast<unsigned char>(line[3]) ^ static_cast<unsigned char>(':');
    const unsigned fifth = static_cast<unsigned char>(line[4]) ^ static_cast<unsigned char>(':');
    if (fourth * fifth == 0) return true;
  }
  return is_tag_line(line);
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
    if (!is_digit(c) && !is_upper(c) && c != ' ') return false;
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
  while (end < line.size() && end <= 3 && is_alnum(line[end])) ++end;
  if (end == 1 || end >= line.size() || line[end] != ':') return 0;
  return end - 1;
}

// "@@:20:", "@@:28C:": the "@@" transport form writes a line break before every field.
// Requiring a tag after it keeps "@@" inside ordinary details text untouched.
bool has_at_break_before_tag(std::string_view line) noexcept {
  for (std::size_t at = line.find("@@:"); at != std::string_view::npos; at = line.find("@@:", at + 1)) {
    std::string_view rest = line.substr(at + 3);
    if (rest.size() >= 3 && is_digit(rest[0]) && is_digit(rest[1]) &&
        (rest[2] == ':' || (rest.size() >= 4 && is_upper(rest[2]) && rest[3] == ':'))) {
      return true;
    }
  }
  return false;
}

bool contains_special_byte(std::string_view text) noexcept {
  unsigned char found = 0;
  for (char c : text) found |= static_cast<unsigned char>(is_special_byte(c));
  return found != 0;
}

// The lines longer than SWIFT's :86: width, noted from the line feeds of the blocks as
// they are scanned, in order, over the first bytes of the text: the width judgement of
// the reading's :86: lines looks at those alone (see detail::LongLines).
struct LongLineNotes {
  // Far enough for the judgement's bytes even where dropped lines come before the text
  // handed on.
  static constexpr std::size_t kBytes = (std::size_t{1} << 18) + (std::size_t{1} << 14);
  std::vector<std::pair<std::size_t, std::size_t>> lines;  // [begin, end) of the input
  std::size_t to = 0;          // the bytes before it are noted
  std::size_t line_start = 0;  // of the line the next line feed ends
  bool lost = false;           // bytes were scanned out of order, and not noted

  // The `count` blocks from `block` on, whose line feeds are `feeds`; the last one ends
  // at `end`. A line longer than a block ends at the first line feed of the block it
  // ends in, so one test per block finds it. Called once a batch: out of line, it
  // leaves the block loading that calls it small enough to inline.
  [[gnu::noinline]] void note(std::size_t block, const std::uint64_t* feeds, std::size_t count, std::size_t end) {
    if (block >= kBytes) return;
    if (block != to) {
      lost |= block > to;
      return;
    }
    std::size_t start = line_start;  // in a register through the loop
    for (std::size_t k = 0; k < count; ++k) {
      const std::uint64_t bits = feeds[k];
      if (bits == 0) continue;
      const std::size_t at = block + 64 * k;
      const std::size_t first = at + static_cast<std::size_t>(std::countr_zero(bits));
      if (first - start > detail::kSwiftDetailsWidth) [[unlikely]] lines.emplace_back(start, first);
      start = at + 64 - static_cast<std::size_t>(std::countl_zero(bits));
    }
    line_start = start;
    to = end;
  }
};

// Finds line feeds 64 bytes at a time, and tells blocks that hold a special byte. Asked
// to, it also checks on the way that the text is UTF-8 without NUL bytes, which spares
// the bank-file reading a pass of its own over the text. Statement lines are short: a
// library search per line spent more in its calls than in the bytes.
class LineFeeds {
 public:
  LineFeeds(std::string_view text, bool check_utf8, LongLineNotes* long_lines) noexcept
      : text_(text), check_utf8_(check_utf8), long_lines_(long_lines) {}

  // Offset of the first line feed at or after `from`, or npos.
  std::size_t find(std::size_t from) noexcept {
    // Most lines end in the block they start in or in the next: the two blocks' line
    // feeds are read as one window, and the block that holds the feed found becomes the
    // current one without a branch on which it is.
    const std::size_t offset = from - block_;
    if (offset < kBlock && !tail_) {
      const std::size_t next = (block_ - batch_) / kBlock + 1;
      if (next < batch_size_) {
        const std::uint64_t there = blocks_.feeds[next];
        const std::uint64_t window = (mask_ >> offset) | ((there << 1) << (kBlock - 1 - offset));
        if (window != 0) {
          const std::size_t at = from + static_cast<std::size_t>(std::countr_zero(window));
          const bool crossed = at - block_ >= kBlock;
          block_ += kBlock & (0 - static_cast<std::size_t>(crossed));
          mask_ = crossed ? there : mask_;
          return at;
        }
      }
    }
    while (from < text_.size()) {
      const std::size_t into_block = from - block_;
      if (into_block >= kBlock) {
        load(from - from % kBlock);
        continue;
      }
      const std::uint64_t feeds = mask_ >> into_block;
      if (feeds != 0) return from + static_cast<std::size_t>(std::countr_zero(feeds));
      from = block_ + kBlock;
    }
    return std::string_view::npos;
  }

  // Skips the lines from `pos`, a line start, on as long as none needs a look (see
  // detail::needs_look) and no special byte stands in their blocks. Returns the start of
  // the first line not skipped and adds the number skipped to `lines`. A run of blocks
  // in which no line needs a look is passed in one step, its lines counted by the
  // batch's running count; the lines of the last bytes, too few to scan, all get a look.
  std::size_t skip(std::size_t pos, std::size_t& lines) noexcept {
    if (pos >= text_.size()) return pos;
    if (pos - block_ >= kBlock) load(pos - pos % kBlock);
    std::size_t count = 0;
    while (!tail_) {
      const std::size_t index = (block_ - batch_) / kBlock;
      const std::uint64_t bit = std::uint64_t{1} << index;
      if ((blocks_.special & bit) != 0) break;
      // pos starts a line in this block or, for a line longer than that, before it; of
      // the lines that need a look, those from pos on count: the first stops the skip.
      const std::uint64_t from = pos > block_ ? ~std::uint64_t{0} << (pos - block_) : ~std::uint64_t{0};
      const std::uint64_t ends = mask_ & from;
      const std::uint64_t looks = blocks_.looks[index] & (pos >= block_ ? from : mask_ << 1);
      if (looks != 0) {
        const std::uint64_t before = (looks & (0 - looks)) - 1;
        count += static_cast<std::size_t>(detail::popcount64(ends & before));
        pos = block_ + static_cast<std::size_t>(std::countr_zero(looks));
        break;
      }
      count += static_cast<std::size_t>(detail::popcount64(ends));
      if (ends != 0) pos = block_ + kBlock - static_cast<std::size_t>(std::countl_zero(ends));
      // The blocks up to the next that holds a line needing a look or a special byte.
      const std::size_t next = index + 1;
      std::size_t end = batch_size_;
      if (next < batch_size_) {
        const std::uint64_t busy = (blocks_.stops | blocks_.special) >> next;
        if (busy != 0) end = std::min(end, next + static_cast<std::size_t>(std::countr_zero(busy)));
        const std::size_t passed = blocks_.before[end] - blocks_.before[next];
        if (passed != 0) {
          count += passed;
          std::size_t last = end - 1;
          while (blocks_.feeds[last] == 0) --last;
          pos = batch_ + kBlock * (last + 1) - static_cast<std::size_t>(std::countl_zero(blocks_.feeds[last]));
        }
      }
      load(batch_ + kBlock * end);  // a batch is followed by bytes of the text
    }
    lines += count;
    return pos;
  }

  // False when bytes [begin, end) lie in the blocks of the last batch and none of those
  // holds a special byte; true otherwise.
  bool may_hold_special(std::size_t begin, std::size_t end) const noexcept {
    if (begin >= end) return false;
    if (begin < batch_ || end > batch_end_) return true;
    if (blocks_.special == 0) return false;  // most batches
    const std::size_t first = (begin - batch_) / kBlock;
    const std::size_t last = (end - 1 - batch_) / kBlock;
    const std::uint64_t blocks = (~std::uint64_t{0} << first) & (~std::uint64_t{0} >> (63 - last));
    return (blocks_.special & blocks) != 0;
  }

  // Whether the bytes scanned so far hold a carriage return that no line feed follows.
  bool lone_carriage_return() const noexcept { return lone_carriage_return_; }

  // False when every byte of the text was scanned and none is a '{'.
  bool may_hold_brace() const noexcept { return brace_ || scanned_to_ < text_.size(); }

  // With check_utf8: whether the bytes scanned so far hold a NUL byte or bytes that are
  // not UTF-8.
  bool failed_so_far() const noexcept { return failed_; }

  // With check_utf8: whether the text holds a NUL byte or bytes that are not UTF-8.
  bool failed() noexcept {
    if (!check_utf8_ || failed_) return failed_;
    if (checked_to_ < text_.size()) {
      const std::string_view rest = text_.substr(checked_to_);
      failed_ = find_invalid_utf8(rest).has_value() || rest.find('\0') != std::string_view::npos;
      checked_to_ = text_.size();
    }
    return failed_;
  }

 private:
  static constexpr std::size_t kBlock = 64;

  // Whether bytes [p, p + size) hold a carriage return without a line feed after it;
  // with `more`, p[size] is readable and counts as the byte after the last.
  static bool has_lone_carriage_return(const char* p, std::size_t size, bool more) noexcept {
    for (std::size_t i = 0; i + 1 < size; ++i) {
      if (p[i] == '\r' && p[i + 1] != '\n') return true;
    }
    return size != 0 && p[size - 1] == '\r' && !(more && p[size] == '\n');
  }

  // Makes the 64 bytes from `block` the current ones: from the batch where it holds
  // them, else from a new batch, or byte by byte at the end of the text.
  void load(std::size_t block) noexcept {
    block_ = block;
    if (block - batch_ >= kBlock * batch_size_) {
      if (text_.size() - block < kBlock + 2) {
        tail_ = true;
        mask_ = scan_tail(block);
        return;
      }
      scan_batch(block);
    }
    tail_ = false;
    mask_ = blocks_.feeds[(block - batch_) / kBlock];
  }

  // The whole blocks from `block` on, as many as a batch holds.
  void scan_batch(std::size_t block) noexcept {
    batch_ = block;
    batch_size_ = std::min(Blocks::kMax, (text_.size() - block - 2) / kBlock);
    batch_end_ = block + kBlock * batch_size_;
    scan_blocks_(text_.data() + block, batch_size_, blocks_);
    if (long_lines_ != nullptr) long_lines_->note(block, blocks_.feeds, batch_size_, batch_end_);
    scanned(block, batch_end_, blocks_.brace);
    lone_carriage_return_ |= blocks_.lone_carriage_return;
    if (!check_utf8_) return;
    failed_ |= blocks_.nul;
    // A batch the check has not reached (never, as blocks come in order) is left to
    // failed(); blocks of ASCII or whole pairs need no look.
    if (checked_to_ < block) return;
    for (std::uint64_t with_high = blocks_.with_high; with_high != 0; with_high &= with_high - 1) {
      const auto index = static_cast<std::size_t>(std::countr_zero(with_high));
      check(block + kBlock * index, blocks_.high[index]);
    }
    checked_to_ = std::max(checked_to_, block + kBlock * batch_size_);
  }

  // Bytes [begin, end) were scanned; `brace`: they hold a '{'. Only what is scanned in
  // order from the text's start counts.
  void scanned(std::size_t begin, std::size_t end, bool brace) noexcept {
    if (begin != scanned_to_) return;
    scanned_to_ = end;
    brace_ |= brace;
  }

  // The last bytes, too few to read past.
  std::uint64_t scan_tail(std::size_t block) noexcept {
    const char* p = text_.data() + block;
    std::uint64_t mask = 0;
    const std::size_t size = std::min(kBlock, text_.size() - block);
    bool brace = false;
    for (std::size_t i = 0; i < size; ++i) {
      mask |= std::uint64_t{p[i] == '\n'} << i;
      brace |= p[i] == '{';
    }
    if (long_lines_ != nullptr) long_lines_->note(block, &mask, 1, block + size);
    scanned(block, block + size, brace);
    lone_carriage_return_ |= has_lone_carriage_return(p, size, block + size < text_.size());
    return mask;  // failed() checks the tail
  }

  // Checks the UTF-8 sequences that start in the block, continuing a sequence begun
  // before it; bit i of `high` stands for byte block + i. The blocks between checked_to_
  // and this one are ASCII or whole two-byte sequences (detail::whole_pairs).
  void check(std::size_t block, std::uint64_t high) noexcept {
    if (failed_ || checked_to_ >= block + kBlock) return;
    const auto* p = reinterpret_cast<const unsigned char*>(text_.data());
    // Bytes before checked_to_ end a sequence that began in an earlier block.
    if (checked_to_ > block) high &= ~std::uint64_t{0} << (checked_to_ - block);
    while (high != 0) {
      const std::size_t at = block + static_cast<std::size_t>(std::countr_zero(high));
      const std::size_t length = detail::utf8_sequence_length(p + at, text_.size() - at);
      if (length == 0) {
        failed_ = true;
        return;
      }
      checked_to_ = at + length;
      if (checked_to_ >= block + kBlock) return;
      high &= ~std::uint64_t{0} << (checked_to_ - block);
    }
    checked_to_ = block + kBlock;
  }

  detail::BlockScanner scan_blocks_ = detail::block_scanner();
  Blocks blocks_;
  std::size_t batch_ = 0;       // offset of the first block in blocks_
  std::size_t batch_size_ = 0;  // blocks in blocks_
  std::size_t batch_end_ = 0;   // offset of the first byte after them
  std::size_t block_ = ~std::size_t{0} - kBlock;  // offset of the 64 bytes that mask_ describes
  std::uint64_t mask_ = 0;
  bool tail_ = false;  // block_ lies in the last bytes, not in the batch
  std::string_view text_;
  bool check_utf8_;
  LongLineNotes* long_lines_;
  std::size_t scanned_to_ = 0;  // the bytes before it were scanned in order
  bool brace_ = false;          // they hold a '{'
  bool failed_ = false;
  bool lone_carriage_return_ = false;
  std::size_t checked_to_ = 0;  // bytes before it are checked
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

  // With `check_utf8`, gives up as soon as a NUL byte or bytes that are not UTF-8 turn
  // up, and returns false.
  // With `long_lines`, notes the long lines of the input's first bytes there.
  bool run(bool check_utf8 = false, LongLineNotes* long_lines = nullptr) {
    LineFeeds line_feeds(text_, check_utf8, long_lines);
    std::size_t pos = 0;
    std::size_t number = 0;
    while (pos < text_.size()) {
      // One test for both: between the balances and not dropping.
      if (in_transactions_ > dropping_) {
        pos = skip_unchanged_lines(pos, number, line_feeds);
        if (pos >= text_.size()) break;
      }
      const std::size_t lf = line_feeds.find(pos);
      const bool has_lf = lf != std::string_view::npos;
      const std::size_t end = has_lf ? lf : text_.size();
      if (line_feeds.failed_so_far()) return false;
      physical_line(pos, end, ++number, has_lf, line_feeds.may_hold_special(pos, end));
      pos = has_lf ? end + 1 : end;
    }
    if (line_feeds.failed()) return false;
    lone_carriage_return_ = line_feeds.lone_carriage_return();
    may_hold_brace_ = line_feeds.may_hold_brace();
    flush(text_.size());
    close_unclosed_envelope();
    return true;
  }

  // The output: a piece of the input unless the framing stood inside it.
  bool copied() const noexcept { return copied_; }
  std::string_view piece() const noexcept { return text_.substr(piece_begin_, piece_end_ - piece_begin_); }
  std::string& output() noexcept { return out_; }

  const Tally& tally() const noexcept { return tally_; }
  // Whether the text holds a carriage return that no line feed follows, once run.
  bool lone_carriage_return() const noexcept { return lone_carriage_return_; }
  // False when the run found no '{' in the text.
  bool may_hold_brace() const noexcept { return may_hold_brace_; }
  std::vector<Diagnostic>& warnings() noexcept { return warnings_; }

 private:
  // A "{4:" that no "-}" closed before the next envelope or the end of the text.
  void close_unclosed_envelope() {
    if (open_block4_ == 0) return;
    warnings_.push_back({open_block4_, Severity::Warning,
                         "SWIFT envelope opened here is not closed: the file may be truncated",
                         "SWIFT envelopes not closed: the file may be truncated"});
    open_block4_ = 0;
  }

  // Between the balances only framing, special bytes and the fields that end a statement
  // change anything; the lines before them, most of a file, stay as they are without a
  // look past their first bytes. Skips such lines from `pos` on, as far as the special
  // byte at `special`, and returns the start of the first line that needs a look.
  std::size_t skip_unchanged_lines(std::size_t pos, std::size_t& number, LineFeeds& line_feeds) {
    std::size_t lines = 0;
    pos = line_feeds.skip(pos, lines);
    if (lines != 0) {
      count_line(number + 1);
      out_lines_ += lines - 1;
      number += lines;
      implied_line_ = number + 1;
    }
    return pos;
  }

  // Most lines are kept as they are: they stay in the input until a line that is dropped
  // or rewritten ends their run, and are then copied in one piece.
  void flush(std::size_t upto) {
    keep(kept_from_, upto);
    kept_from_ = upto;
  }

  // Bytes [begin, end) of the input go to the output. While they continue the piece the
  // output is so far, nothing is copied: a file whose framing stands only before and
  // after its statements is read where it is.
  void keep(std::size_t begin, std::size_t end) {
    if (begin >= end) return;
    if (!copied_ && (piece_begin_ == piece_end_ || piece_end_ == begin)) {
      if (piece_begin_ == piece_end_) piece_begin_ = begin;
      piece_end_ = end;
      return;
    }
    copy_piece();
    out_.append(text_.substr(begin, end - begin));
  }

  void append(std::string_view bytes) {
    copy_piece();
    out_ += bytes;
  }

  void copy_piece() {
    if (copied_) return;
    copied_ = true;
    out_.reserve(text_.size());
    out_.append(piece());
  }

  // Line `number` of the file is the next line of the output.
  void count_line(std::size_t number) {
    ++out_lines_;
    if (lines_ != nullptr && number != implied_line_) lines_->map(out_lines_, number);
    implied_line_ = number + 1;
  }

  // `maybe_special`: the line may hold a special byte; where the scan has seen its
  // blocks, they tell.
  void physical_line(std::size_t begin, std::size_t end, std::size_t number, bool has_lf, bool maybe_special) {
    const std::string_view raw = text_.substr(begin, end - begin);
    // A field's line, most of those looked at, has no framing to strip and is never
    // dropped: only the state follows its tag. Special bytes and carriage returns, which
    // change the line, and ":28:", which is rewritten, go the long way.
    if (!maybe_special && !raw.empty() && raw.front() == ':' && raw.back() != '\r' && is_colon_tag_line(raw)) {
      const Tag tag = classify_tag(raw);
      if (tag != Tag::OldStatementNumber) {
        follow(tag);
        count_line(number);
        return;
      }
    }
    const bool special = maybe_special && contains_special_byte(raw);
    std::string_view line = raw;
    bool in_place = true;  // `line` is a piece of the input
    if (special && contains_control_byte(raw)) {
      cleaned_.clear();
      for (char c : raw) {
        if (!is_control_byte(c)) cleaned_.push_back(c);
      }
      tally_.control_bytes += raw.size() - cleaned_.size();
      line = cleaned_;
      in_place = false;
    }

    // Carriage returns before the line feed belong to the line end and are kept with it.
    std::size_t body_size = line.size();
    while (body_size > 0 && line[body_size - 1] == '\r') --body_size;
    std::string_view line_end = line.substr(body_size);
    line = line.substr(0, body_size);
    const std::size_t next = has_lf ? end + 1 : end;

    if (special && lines_ != nullptr && has_at_break_before_tag(line)) {
      flush(begin);
      kept_from_ = next;
      // Every piece is a line of its own, mapped to the one line of the file it came from.
      for (std::size_t at = line.find("@@"); at != std::string_view::npos; at = line.find("@@")) {
        ++tally_.at_breaks;
        std::string_view piece = line.substr(0, at);
        if (!piece.empty()) {
          const Action action = logical_line(piece, number);
          if (action != Action::Drop) {
            emit(action, piece, number);
            append("\n");
          }
        }
        line.remove_prefix(at + 2);
      }
      if (!line.empty() || !line_end.empty() || has_lf) {
        const Action action = logical_line(line, number);
        if (action != Action::Drop) emit_line(action, line, line_end, has_lf, number, in_place, next);
      }
      return;
    }

    const Action action = logical_line(line, number);
    if (action == Action::Keep && line.data() == raw.data()) {
      count_line(number);
      return;
    }
    flush(begin);
    kept_from_ = next;
    if (action != Action::Drop) emit_line(action, line, line_end, has_lf, number, in_place, next);
  }

  // `line` and its end as the output's next line; in place, they are the input's bytes
  // up to `next`, the line feed included.
  void emit_line(Action action, std::string_view line, std::string_view line_end, bool has_lf,
                 std::size_t number, bool in_place, std::size_t next) {
    if (in_place) {
      if (action == Action::Rewrite) line.remove_prefix(4);
      const std::size_t begin = static_cast<std::size_t>(line.data() - text_.data());
      emit(action, {}, number);
      keep(begin, next);
      return;
    }
    emit(action, line, number);
    append(line_end);
    if (has_lf) append("\n");
  }

  // A line without its line end, counted.
  void emit(Action action, std::string_view line, std::size_t number) {
    count_line(number);
    if (action == Action::Rewrite) {
      ++tally_.old_statement_tags;
      append(":28C:");
      if (!line.empty()) line.remove_prefix(4);
    }
    if (!line.empty()) append(line);
  }

  // What becomes of `line`; takes its envelope framing away. Inline in the loop over
  // the lines: most lines that get here are fields, through in a few tests.
  [[gnu::always_inline]] Action logical_line(std::string_view& line, std::size_t number) {
    if (strip_envelope(line, number) && trim_white_space(line).empty()) return Action::Drop;
    // Between the balances a lone "-" is details text wrapped onto its own line.
    if (!in_transactions_ && is_separator_line(line)) {
      ++tally_.separator_lines;
      dropping_ = true;  // what follows up to the next field stands between statements
      return Action::Drop;
    }

    if (is_tag_line(line)) {
      const Tag tag = classify_tag(line);
      follow(tag);
      return tag == Tag::OldStatementNumber ? Action::Rewrite : Action::Keep;
    }
    if (!dropping_) return Action::Keep;
    set_aside(line, number);
    return Action::Drop;
  }

  // Where a field with `tag` leaves the statement.
  // Without a branch, as classify_tag.
  void follow(Tag tag) noexcept {
    // A balance never continues on a second line.
    dropping_ = (tag == Tag::OpeningBalance) | (tag == Tag::ClosingBalance) | (tag == Tag::OtherBalance);
    in_transactions_ = (in_transactions_ & (tag != Tag::ClosingBalance) & (tag != Tag::Statement)) |
                       (tag == Tag::OpeningBalance);
  }

  // A line that stands between statements, counted; kept out of logical_line, whose
  // other lines are many more and need no message made.
  [[gnu::noinline]] void set_aside(std::string_view line, std::size_t number) {
    std::string_view trimmed = trim_white_space(line);
    if (trimmed.empty()) return;
    if (is_header_shaped(trimmed)) {
      ++tally_.header_lines;
      return;
    }
    ++tally_.other_lines;
    // A field moved off the start of its line is data, not a header: say which.
    if (is_tag_line(trimmed)) {
      std::string message = "line between statements set aside although it holds a field: '";
      message += shortened(trimmed);
      message += '\'';
      warnings_.push_back({number, Severity::Warning, std::move(message),
                           "lines between statements set aside although they hold a field"});
    }
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
      if (i >= line.size()) {
        // An unclosed block swallows the rest of its line, but for a block 4 opened
        // inside it ("{1:{4:" of a cut header), whose fields follow.
        const std::size_t block4 = line.find("{4:", 1);
        if (block4 != std::string_view::npos) {
          line.remove_prefix(block4);
          continue;
        }
      }
      line.remove_prefix(i < line.size() ? i + 1 : line.size());
    }
  }

  std::string_view text_;
  LineMap* lines_;
  std::string out_;               // the output, once it is not one piece of the input
  bool copied_ = false;
  std::size_t piece_begin_ = 0;   // the output while it is one piece of the input
  std::size_t piece_end_ = 0;
  std::string cleaned_;           // a line without its control bytes, reused
  std::size_t kept_from_ = 0;     // start of the lines kept as they are, not yet copied
  std::size_t out_lines_ = 0;
  std::size_t implied_line_ = 1;  // the file line the map gives the next output line
  bool dropping_ = false;         // non-tag lines are dropped until the next tag line
  bool in_transactions_ = false;  // from an opening balance to the closing one
  bool header_seen_ = false;      // a "{1:" since the last "{4:"
  std::size_t open_block4_ = 0;   // line of a "{4:" not yet closed, or 0
  std::vector<Diagnostic> warnings_;  // in the order found, not by line
  Tally tally_;
  bool lone_carriage_return_ = false;
  bool may_hold_brace_ = true;
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

std::string unwrap_text(std::string_view text) {
  Unwrapper unwrapper(text, nullptr);
  unwrapper.run();
  return unwrapper.copied() ? std::move(unwrapper.output()) : std::string(unwrapper.piece());
}

UnwrappedText unwrap_statement_text(std::string_view text, std::vector<Diagnostic>& diagnostics) {
  UnwrappedText result;
  const std::string_view unwrapped = detail::unwrap_statement_view(text, result.text, result.lines, diagnostics);
  if (unwrapped.data() != result.text.data()) result.text.assign(unwrapped);
  return result;
}

namespace {

// The notes of the long lines of `input` as the long lines of `piece`, a piece of it:
// the lines that end in it, as far as the notes reach. A line that starts before the
// piece and ends in it, where the piece starts inside a line, leaves them unknown.
void hand_on(const LongLineNotes& notes, std::string_view input, std::string_view piece, detail::LongLines& out) {
  const auto begin = static_cast<std::size_t>(piece.data() - input.data());
  const std::size_t end = begin + piece.size();
  for (const auto& [first, stop] : notes.lines) {
    if (stop < begin) continue;
    if (stop >= end) break;
    if (first < begin) {
      out.lines.clear();
      return;
    }
    out.lines.emplace_back(first - begin, stop - begin);
  }
  out.covered = notes.to > begin ? std::min(notes.to, end) - begin : 0;
}

// The output of a finished run, and what it has to say.
std::string_view finish(Unwrapper& unwrapper, std::string& storage, std::vector<Diagnostic>& diagnostics) {
  std::string_view result = unwrapper.piece();
  if (unwrapper.copied()) {
    storage = std::move(unwrapper.output());
    result = storage;
  }

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

}  // namespace

std::string_view detail::unwrap_statement_view(std::string_view text, std::string& storage, LineMap& lines,
                                               std::vector<Diagnostic>& diagnostics) {
  Unwrapper unwrapper(text, &lines);
  unwrapper.run();
  return finish(unwrapper, storage, diagnostics);
}

std::optional<std::string_view> detail::unwrap_utf8_view(std::string_view bytes, std::string& storage,
                                                         LineMap& lines, std::vector<Diagnostic>& diagnostics,
                                                         bool& lone_carriage_return, LongLines* long_lines,
                                                         bool* may_hold_brace) {
  lone_carriage_return = false;
  if (may_hold_brace != nullptr) *may_hold_brace = true;
  if (long_lines != nullptr) *long_lines = LongLines{};
  constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  // What decoding takes for a PDF file depends on the whole text: left to it.
  if (bytes.starts_with("%PDF-")) return std::nullopt;
  LineMap map;
  Unwrapper unwrapper(bytes, &map);
  LongLineNotes notes;
  if (!unwrapper.run(true, long_lines != nullptr ? &notes : nullptr)) return std::nullopt;
  // Rare: the lines are split anew, and this pass is thrown away.
  lone_carriage_return = unwrapper.lone_carriage_return();
  if (lone_carriage_return) return std::nullopt;
  lines = std::move(map);
  if (long_lines != nullptr && !unwrapper.copied() && !notes.lost) hand_on(notes, bytes, unwrapper.piece(), *long_lines);
  if (may_hold_brace != nullptr) *may_hold_brace = unwrapper.may_hold_brace();
  return finish(unwrapper, storage, diagnostics);
}

}  // namespace tallyfold
