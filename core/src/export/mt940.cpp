// MT940 and MT942 text from the model. What the text holds must read back to the same
// values, through the exact reading as much as through the bank-file reading: every
// amount, date and reference is written in the one form both accept, and whatever the
// form cannot hold is either said in a note (a character transliterated, a text cut)
// or keeps its statement out of the text with a warning. Nothing is invented.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "decoders/bank/text.hpp"
#include "export/camt_account.hpp"
#include "export/camt_codes.hpp"
#include "export/sink_buffer.hpp"
#include "export/statement_loop.hpp"
#include "export/swift_text.hpp"
#include "fields/field_parts.hpp"
#include "fields/rules.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/mt_export.hpp"
#include "util/ascii.hpp"

namespace tallyfold {
namespace {

constexpr std::size_t kLineWidth = 65;
constexpr std::size_t kDetailsLines = 6;
constexpr std::size_t kReferenceWidth = 16;
constexpr std::size_t kSupplementaryWidth = 34;
constexpr std::size_t kAccountWidth = 35;

using ascii::is_alnum;
using ascii::is_digit;
using ascii::is_upper;

// Counts of what was written in another form, said once per document.
struct Changes {
  std::size_t transliterated = 0;
  std::size_t slashes = 0;  // inside references and sub-fields, where "/" would part them
  std::size_t cut = 0;
  std::size_t unnumbered = 0;      // statements without a number, written as 0
  std::size_t numbers_cut = 0;     // statement numbers longer than five digits
  std::size_t no_floor_limit = 0;  // interim reports without a floor limit
};

// A text written through a pointer into room made beforehand: an entry is some thirty
// pieces, mostly short, where an append to a std::string costs a call and its checks
// each. Kept from entry to entry, it allocates only while growing to the largest.
class Text {
 public:
  Text() { grow(256); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  char* data() noexcept { return data_.get(); }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  /// The text from `at` (at most its size), `n` bytes at most: a view without the
  /// library's bounds check, which the callers' places keep.
  std::string_view view(std::size_t at, std::size_t n = std::string_view::npos) const noexcept {
    return {data_.get() + at, std::min(n, size_ - at)};
  }
  char back() const noexcept { return data_[size_ - 1]; }
  char& operator[](std::size_t i) noexcept { return data_[i]; }
  void clear() noexcept { size_ = 0; }
  /// Only ever shorter.
  void resize(std::size_t n) noexcept { size_ = n; }
  void pop_back() noexcept { --size_; }
  /// Room for `n` more bytes at the end, which end_at() then takes in.
  [[gnu::always_inline]] char* room(std::size_t n) {
    if (capacity_ - size_ < n) [[unlikely]] grow(n);
    return data_.get() + size_;
  }
  void end_at(const char* end) noexcept { size_ = static_cast<std::size_t>(end - data_.get()); }
  [[gnu::always_inline]] void push_back(char c) {
    *room(1) = c;
    ++size_;
  }
  // Pieces are a few bytes to a few dozen: copied inline, not by a library call.
  [[gnu::always_inline]] void append(std::string_view piece) {
    detail::copy_short(room(piece.size()), piece.data(), piece.size());
    size_ += piece.size();
  }
  /// A piece known when compiling, copied as its fixed number of bytes.
  template <std::size_t n>
  void append(const char (&piece)[n]) {
    std::memcpy(room(n - 1), piece, n - 1);
    size_ += n - 1;
  }
  void insert(std::size_t at, char c) {
    room(1);
    std::memmove(data_.get() + at + 1, data_.get() + at, size_ - at);
    data_[at] = c;
    ++size_;
  }

 private:
  [[gnu::cold]] [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t capacity = std::max(2 * capacity_, size_ + n + 256);
    auto data = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ != 0) std::memcpy(data.get(), data_.get(), size_);
    data_ = std::move(data);
    capacity_ = capacity;
  }
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

// Appends a value in the X set, without the characters its place may not hold, cut to
// `width` characters (no cut when 0). Where "/" is allowed and the width are known at
// each call, which they tell apart. Says how many "/" were written (or, where none is
// allowed, written as "-") and, only where none is allowed, whether a blank was.
template <bool slash_allowed, std::size_t width = 0>
detail::SwiftXWritten append_x(std::string_view text, Text& out, Changes& changes) {
  detail::SwiftXWritten written;
  // Many parts of a field are empty (a party without a BIC or a town): nothing to do,
  // and nothing to call.
  if (text.empty()) return written;
  const std::size_t mark = out.size();
  // Most values start and end with a graphic character: nothing to trim, known without
  // the call.
  if (!ascii::is_graphic(text.front()) || !ascii::is_graphic(text.back())) text = trim_white_space(text);
  // Room for the text as it is: its X form is never longer.
  char* const from = out.room(text.size());
  if constexpr (slash_allowed) {
    out.end_at(detail::put_swift_x(text, from, written));
  } else {
    out.end_at(detail::put_swift_x_dashed(text, from, written));
    changes.slashes += written.slashes;
  }
  changes.transliterated += written.changed;
  if (width > 0 && out.size() - mark > width) {
    out.resize(mark + width);
    while (out.size() > mark && out.back() == ' ') out.pop_back();
    ++changes.cut;
  }
  return written;
}

template <bool slash_allowed, std::size_t width = 0>
std::string x_text(std::string_view text, Changes& changes) {
  Text out;
  append_x<slash_allowed, width>(text, out, changes);
  return std::string(out.view());
}


// The last two digits of `n`.

void append_two_digits(unsigned n, std::string& out) {
  char digits[2];
  detail::put_two_digits(n, digits);
  out.append(digits, 2);
}


// YYMMDD at `at`, for the years the two digits name when read back (1980..2079).
bool put_date(const Date& d, char* at) noexcept {
  if (d.year() < 1980 || d.year() > 2079) return false;
  detail::put_two_digits(static_cast<unsigned>(d.year() % 100), at);
  detail::put_two_digits(d.month(), at + 2);
  detail::put_two_digits(d.day(), at + 4);
  return true;
}

bool append_date(const Date& d, std::string& out) {
  char digits[6];
  if (!put_date(d, digits)) return false;
  out.append(digits, 6);
  return true;
}

// The amount with a decimal comma and two fraction digits, the form every reading gives
// back as written: trailing zeros beyond two are dropped, any other digit makes the
// amount one MT940 cannot hold.
bool append_amount(const Decimal& amount, std::string& out) {
  const std::size_t mark = out.size();
  amount.append_to(out);
  if (out[mark] == '-') out.erase(mark, 1);
  // The text ends in "." and exactly scale() digits: its point is known without a search.
  std::size_t point = out.size() - static_cast<std::size_t>(amount.scale());
  if (amount.scale() == 0) {
    out.push_back('.');
  } else {
    --point;
  }
  out[point] = ',';
  while (out.size() > point + 3 && out.back() == '0') out.pop_back();
  if (out.size() > point + 3 || point + 3 - mark > 15) {
    out.resize(mark);
    return false;
  }
  out.append(point + 3 - out.size(), '0');
  return true;
}

// The same at `at`, which has room for 16 bytes; its length, or 0 when MT940 cannot
// hold it. Nearly every amount fits 64 bits, written without a text in between.
std::size_t put_amount(const Decimal& amount, char* at) {
  if (amount.mantissa() <= ~std::uint64_t{0}) [[likely]] {
    return detail::put_mt_amount(static_cast<std::uint64_t>(amount.mantissa()), amount.scale(), at);
  }
  std::string text;
  if (!append_amount(amount, text)) return 0;
  std::memcpy(at, text.data(), text.size());
  return text.size();
}

// Three capital letters, the only currency form a reader takes back as written.
bool append_currency(std::string_view currency, std::string& out) {
  if (currency.size() != 3 || !std::all_of(currency.begin(), currency.end(), is_upper)) return false;
  out.append(currency);
  return true;
}

bool append_balance(std::string_view tag, const Balance& b, std::string& out, std::string_view eol) {
  out.append(tag);
  // The mark carries the sign: a balance read with a signed amount keeps its value.
  const Decimal value = b.signed_amount();
  out.push_back(value.negative() ? 'D' : 'C');
  if (!append_date(b.date, out)) return false;
  if (!append_currency(b.currency, out)) return false;
  if (!append_amount(value, out)) return false;
  out.append(eol);
  return true;
}

// A SWIFT type code a reader takes back as one: not the start of "NONREF" or "NOREF",
// which right after the amount is read as the reference.
bool is_type_code(std::string_view code) noexcept {
  // The two words compared as four bytes each, not by a call.
  return code.size() == 4 && (code[0] == 'N' || code[0] == 'F') && is_alnum(code[1]) && is_alnum(code[2]) &&
         is_alnum(code[3]) && std::memcmp(code.data(), "NONR", 4) != 0 && std::memcmp(code.data(), "NORE", 4) != 0;
}

// The entry's own type, else the one its ISO bank transaction code names (an entry read
// from camt has no other), else "NMSC".
std::string_view type_code(const Transaction& t) noexcept {
  if (is_type_code(t.transaction_type)) return t.transaction_type;
  if (t.structured_details) {
    if (const auto code = camt::given_transaction_code(*t.structured_details)) return camt::swift_type_of(*code);
  }
  return "NMSC";
}

// An account or a BIC, whose blanks are only there for the eye.
void append_compact(std::string_view text, Text& out, Changes& changes) {
  const std::size_t mark = out.size();
  if (!append_x<false>(text, out, changes).blank) return;
  char* const from = out.data() + mark;
  char* const end = out.data() + out.size();
  char* kept = from;
  for (const char* p = from; p != end; ++p) {
    *kept = *p;
    kept += *p != ' ';
  }
  out.end_at(kept);
}

// The remittance text runs to the end of the details and may hold "/", but a "/" after
// "/" that opens a code would start a segment of its own when read back: it is written
// as "-". Returns where the text starts, which moves when the text itself opens a code:
// the empty issuer before it is then written as a blank, so no "//" precedes it.
std::size_t keep_in_remittance(Text& out, std::size_t start, bool slashes, Changes& changes) {
  if (detail::opens_slash_segment(out.view(start))) {
    out.insert(start - 1, ' ');
    ++start;
  }
  // Most remittance texts hold no "/" of their own, which the writing told.
  if (!slashes) return start;
  for (std::size_t i = out.view().find('/', start); i != std::string::npos && i + 1 < out.size();
       i = out.view().find('/', i + 1)) {
    if (out[i - 1] == '/' && detail::opens_slash_segment(out.view(i + 1))) {
      out[i] = '-';
      ++changes.slashes;
    }
  }
  return start;
}

// The :86: text in slash segments, which the bank-file reading's slash decoder reads back
// into the same fields; the remittance goes last, since only the last sub-field may hold
// "/" of its own.
// Where a :86: text may be cut and still read back as what it keeps.
struct DetailsShape {
  std::vector<std::size_t> segment_ends;
  std::size_t remittance = std::string::npos;  // where the remittance text starts
};

// An empty remittance: a reader knows the layout by "/CNTP/" or "/REMI/USTD" alone.
constexpr std::string_view kMark = "/REMI/USTD///";

// What one transaction's :86: is made in, kept from entry to entry so that writing an
// entry allocates nothing once the texts have grown to their largest.
struct EntryScratch {
  FieldParts fields;
  std::string rules;   // the derived fields' scratch
  std::string joined;  // a field of several parts, joined
  std::string joined_reference;
  Text details;  // the :86: text
  Text extra;    // the supplementary details
  Text entries;  // a statement's entries, appended to the output at once
  DetailsShape shape;
};

// A field as one text: nearly every one is one part, its own view; the joined text of
// several lives in `joined` until the next field is joined there.
std::string_view text_of(const TextParts& field, std::string& joined) {
  if (field.count <= 1) return field.count == 0 ? std::string_view() : field.parts[0];
  joined.clear();
  field.append_to(joined);
  return joined;
}

// The derived fields the :86: text is made of. The counter account is written without
// its blanks, IBAN or not, which is what the IBAN of the bank rules is: their check is
// spared.
const FieldParts& details_fields(const Transaction& t, EntryScratch& scratch) {
  if (t.rules == FieldRules::Bank) {
    detail::bank_rules(t, scratch.rules, scratch.fields, detail::CounterIban::Skip);
  } else {
    field_parts(t, scratch.rules, scratch.fields);
  }
  return scratch.fields;
}

void details_text(const Transaction& t, Changes& changes, EntryScratch& scratch) {
  const FieldParts& f = details_fields(t, scratch);
  std::string& joined = scratch.joined;
  Text& out = scratch.details;
  DetailsShape& shape = scratch.shape;
  out.clear();
  shape.segment_ends.clear();
  shape.remittance = std::string::npos;
  // Each segment is "/CODE/" and its values and ends with "/", so neighbours meet in "//".
  const auto segment = [&](const char(&code)[7], const TextParts& value) {
    if (value.empty()) return;
    out.append(code);
    append_x<false>(text_of(value, joined), out, changes);
    out.push_back('/');
    shape.segment_ends.push_back(out.size());
  };
  segment("/EREF/", f.end_to_end_reference);
  segment("/PREF/", f.payment_information_id);
  segment("/MARF/", f.mandate_reference);
  segment("/CRED/", f.creditor_id);
  segment("/PURP/", f.purpose_code);
  segment("/RTRN/", f.return_reason);
  segment("/ULTD/", f.ultimate_debtor);
  segment("/ULTC/", f.ultimate_creditor);
  segment("/ADDR/", f.counterparty_address);
  const TextParts& account = f.counter_iban.empty() ? f.counter_account : f.counter_iban;
  const bool has_party = !account.empty() || !f.counterparty_bic.empty() || !f.counterparty.empty() ||
                         !f.counterparty_town.empty();
  if (has_party) {
    out.append("/CNTP/");
    append_compact(text_of(account, joined), out, changes);
    out.push_back('/');
    append_compact(text_of(f.counterparty_bic, joined), out, changes);
    out.push_back('/');
    append_x<false>(text_of(f.counterparty, joined), out, changes);
    out.push_back('/');
    append_x<false>(text_of(f.counterparty_town, joined), out, changes);
    out.push_back('/');
    shape.segment_ends.push_back(out.size());
  }
  // Without any field, the bank's text as it stands is the remittance.
  const std::string_view purpose = text_of(f.purpose, joined);
  const std::string_view remittance = !purpose.empty() ? purpose : out.empty() ? t.details : std::string_view();
  if (!remittance.empty() || (!out.empty() && !has_party)) {
    // An empty remittance still marks the layout, which a reader knows by "/CNTP/" or
    // "/REMI/USTD" alone.
    const std::size_t remi_at = out.size();
    // A structured creditor reference stays one, with its issuer.
    if (!f.structured_reference.empty() && text_of(f.structured_reference, scratch.joined_reference) == remittance) {
      out.append("/REMI/STRD/");
      append_x<false>(text_of(f.reference_issuer, scratch.joined_reference), out, changes);
      out.push_back('/');
    } else {
      out.append("/REMI/USTD//");
    }
    const std::size_t start = out.size();
    const bool slashes = append_x<true>(remittance, out, changes).slashes != 0;
    if (out.size() == start && has_party) {
      out.resize(remi_at);
    } else {
      out.push_back('/');  // before the check: a code is known by the "/" after it
      const std::size_t text = keep_in_remittance(out, start, slashes, changes);
      if (out.size() > text + 1) shape.remittance = text;
    }
  }
}

// Where a continuation line would read as something else: the colon of a tag line (":"
// and a second ":", also after blanks, which a bank-file reading takes as indentation),
// or the dash of a message trailer ("-" or "-XXX" alone); npos when it reads as text.
std::size_t misread_at(std::string_view line) noexcept {
  // A line that opens with a letter or a digit, as nearly every one does, is text.
  if (!line.empty() && is_alnum(line.front())) return std::string_view::npos;
  const std::size_t first = line.find_first_not_of(' ');
  if (first == std::string_view::npos) return std::string_view::npos;
  if (line[first] == ':') return line.find(':', first + 1) != std::string_view::npos ? first : std::string_view::npos;
  const std::string_view trimmed = trim_white_space(line);
  return trimmed == "-" || trimmed == "-XXX" ? first : std::string_view::npos;
}

// How much of `text` six lines hold after `tag`, cut at the full width: a reader joins
// full lines directly, so the text reads back as it was written.
std::size_t placed(std::string_view tag, std::string_view text) noexcept {
  return std::min(text.size(), kLineWidth - tag.size() + kLineWidth * (kDetailsLines - 1));
}

// Shortens a text that six lines do not hold. A reader trims the end of a field, so the
// text ends as it would be read.
void fit_text(std::string_view tag, Text& text, Changes& changes) {
  const std::size_t room = placed(tag, text.view());
  if (room == text.size()) return;
  ++changes.cut;
  text.resize(room);
  while (!text.empty() && text.back() == ' ') text.pop_back();
}

// Shortens slash segments that six lines do not hold: the remittance loses its end
// first, then whole segments go from the end, so what stays reads back the same.
void fit_details(std::string_view tag, Text& text, const DetailsShape& shape, Changes& changes) {
  std::size_t room = placed(tag, text.view());
  if (room == text.size()) return;
  ++changes.cut;
  while (room < text.size()) {
    if (shape.remittance != std::string::npos && shape.remittance < text.size() && room > shape.remittance + 1) {
      text.resize(room - 1);
      while (text.size() > shape.remittance && text.back() == ' ') text.pop_back();
      if (text.size() > shape.remittance || shape.segment_ends.empty() ||
          text.view().substr(0, shape.remittance).find("/CNTP/") == std::string_view::npos) {
        text.push_back('/');  // the remittance, or its empty mark where nothing else marks the layout
      } else {
        text.resize(text.view().rfind("/REMI/", shape.remittance));
      }
    } else {
      // Whole segments go, with the mark where no party segment is left to tell the
      // layout; each round leaves less than there was, so this ends.
      std::size_t end = 0;
      for (const std::size_t e : shape.segment_ends) {
        const bool party = text.view().substr(0, e).find("/CNTP/") != std::string_view::npos;
        if (e + (party ? 0 : kMark.size()) <= room) end = e;
      }
      const bool party = text.view().substr(0, end).find("/CNTP/") != std::string_view::npos;
      text.resize(end);
      if (end > 0 && !party) text.append(kMark);
    }
    room = placed(tag, text.view());
  }
}

// A continuation line that would read as a tag line or a trailer has the character
// that makes it one written as ".", counted with the transliterated ones.
void append_details(std::string_view tag, Text& text, Text& out, std::string_view eol, Changes& changes) {
  const std::size_t n = text.size();
  // Room for all of it at once: the tag, the text and an end of at most two bytes for
  // each line.
  const std::size_t lines = (tag.size() + n + kLineWidth - 1) / kLineWidth;
  char* at = out.room(tag.size() + n + 2 * lines);
  std::memcpy(at, tag.data(), tag.size());
  at += tag.size();
  std::size_t width = kLineWidth - tag.size();
  for (std::size_t done = 0; done < n;) {
    if (done > 0) {
      if (const std::size_t mark = misread_at(text.view(done, kLineWidth)); mark != std::string::npos) {
        text[done + mark] = '.';
        ++changes.transliterated;
      }
    }
    const std::size_t take = std::min(width, n - done);
    // Full lines, all but the last, are a copy of a fixed size.
    if (take == kLineWidth) {
      std::memcpy(at, text.data() + done, kLineWidth);
    } else {
      detail::copy_short(at, text.data() + done, take);
    }
    at += take;
    at[0] = eol.front();
    at[eol.size() - 1] = eol.back();
    at += eol.size();
    done += take;
    width = kLineWidth;
  }
  out.end_at(at);
}

class Writer {
 public:
  Writer(const Statement& s, std::string_view eol, Changes& changes, std::string& out, EntryScratch& scratch)
      : s_(s), eol_(eol), changes_(changes), out_(out), scratch_(scratch) {}

  // Appends the message, or says why it cannot be written (and leaves a part of it,
  // which the caller takes back).
  std::optional<std::string> write() {
    const bool report = s_.kind == StatementKind::InterimReport;
    // Writing it would invent the balances it lacks.
    if (!s_.complete) return std::string("the statement is incomplete");
    // Taken from the text in SWIFT's set, so that what is written reads back as itself.
    const std::string account =
        camt::account_parts(x_text<true>(s_.account_identification, changes_), statement_currency(s_)).id;
    if (account.empty()) return std::string("it has no account");
    // Written as it is taken apart, so that reading it back takes it apart the same way.
    if (camt::account_parts(account, statement_currency(s_)).id != account) {
      return std::string("its account '") + account + "' would read back as another";
    }
    if (account.size() > kAccountWidth) return std::string("its account is longer than the 35 characters MT940 holds");
    std::string ref = x_text<false, kReferenceWidth>(s_.transaction_reference, changes_);
    if (ref.empty()) ref = "NONREF";
    line(":20:", ref);
    if (s_.related_reference) {
      const std::string related = x_text<false, kReferenceWidth>(*s_.related_reference, changes_);
      if (!related.empty()) line(":21:", related);
    }
    line(":25:", account);
    out_.append(":28C:");
    if (!append_statement_number(s_.number)) return std::string("its statement number '") + std::string(s_.number) + "' is not a number";
    if (s_.sequence && !s_.sequence->empty()) {
      out_.push_back('/');
      if (!append_number(*s_.sequence)) return std::string("its page '") + std::string(*s_.sequence) + "' is not a number";
    }
    out_.append(eol_);
    if (report) {
      if (auto refusal = write_report_header()) return refusal;
    } else {
      if (!append_balance(s_.opening_balance.intermediate ? ":60M:" : ":60F:", s_.opening_balance, out_, eol_)) {
        return std::string("its opening balance cannot be written in MT940");
      }
    }
    // The entries are put together in one text and appended at once.
    scratch_.entries.clear();
    for (const Transaction& t : s_.transactions) {
      if (auto refusal = write_entry(t)) return refusal;
    }
    out_.append(scratch_.entries.view());
    if (report) {
      if (auto refusal = write_totals()) return refusal;
    } else {
      if (!append_balance(s_.closing_balance.intermediate ? ":62M:" : ":62F:", s_.closing_balance, out_, eol_)) {
        return std::string("its closing balance cannot be written in MT940");
      }
      if (s_.closing_available_balance && !append_balance(":64:", *s_.closing_available_balance, out_, eol_)) {
        return std::string("its available balance cannot be written in MT940");
      }
      for (const Balance& b : s_.forward_balances) {
        if (!append_balance(":65:", b, out_, eol_)) return std::string("a forward balance cannot be written in MT940");
      }
    }
    if (s_.information_to_account_owner && !s_.information_to_account_owner->empty()) {
      Text& information = scratch_.details;
      information.clear();
      append_x<true>(*s_.information_to_account_owner, information, changes_);
      fit_text(":86:", information, changes_);
      if (!information.empty()) {
        Text& lines = scratch_.entries;
        lines.clear();
        append_details(":86:", information, lines, eol_, changes_);
        out_.append(lines.view());
      }
    }
    return std::nullopt;
  }

 private:
  void line(std::string_view tag, std::string_view value) {
    out_.append(tag);
    out_.append(value);
    out_.append(eol_);
  }

  // Five digits at most, as written; a number with anything else is none MT940 can hold.
  bool append_number(std::string_view n) {
    n = trim_white_space(n);
    if (n.empty() || n.size() > 5 || !std::all_of(n.begin(), n.end(), is_digit)) return false;
    out_.append(n);
    return true;
  }

  // The statement number, which :28C: cannot do without. camt numbers its statements
  // with up to 18 digits, or not at all: a longer number keeps its last five digits,
  // and none is written as 0, each counted in a note.
  bool append_statement_number(std::string_view n) {
    n = trim_white_space(n);
    if (n.empty()) {
      ++changes_.unnumbered;
      out_.push_back('0');
      return true;
    }
    if (n.size() > 5 && n.size() <= 18 && std::all_of(n.begin(), n.end(), is_digit)) {
      ++changes_.numbers_cut;
      n.remove_prefix(n.size() - 5);
    }
    return append_number(n);
  }

  std::optional<std::string> write_report_header() {
    const std::string_view currency = statement_currency(s_);
    if (currency.size() != 3) return std::string("its currency is unknown");
    if (s_.floor_limits.empty()) {
      // MT942 cannot do without :34F:. A report that names no limit (camt has none)
      // reports every entry, which a limit of zero says.
      ++changes_.no_floor_limit;
      out_.append(":34F:");
      if (!append_currency(currency, out_)) return std::string("its currency is none MT942 can write");
      out_.append("0,00");
      out_.append(eol_);
    }
    for (const FloorLimit& limit : s_.floor_limits) {
      out_.append(":34F:");
      if (!append_currency(limit.currency, out_)) return std::string("a floor limit has no currency MT942 can write");
      if (limit.debit_credit) out_.push_back(*limit.debit_credit == DebitCreditMark::Debit ? 'D' : 'C');
      if (!append_amount(limit.amount, out_)) return std::string("a floor limit cannot be written in MT942");
      out_.append(eol_);
    }
    if (s_.reported_at) {
      const ReportTime& at = *s_.reported_at;
      out_.append(":13D:");
      if (!append_date(at.date, out_)) return std::string("its report time cannot be written in MT942");
      append_two_digits(at.hour, out_);
      append_two_digits(at.minute, out_);
      const int offset = at.utc_offset_minutes.value_or(0);
      const unsigned magnitude = static_cast<unsigned>(offset < 0 ? -offset : offset);
      out_.push_back(offset < 0 ? '-' : '+');
      append_two_digits(magnitude / 60, out_);
      append_two_digits(magnitude % 60, out_);
      out_.append(eol_);
    }
    return std::nullopt;
  }

  std::optional<std::string> write_totals() {
    const auto total = [&](std::string_view tag, const std::optional<EntryTotal>& t) -> bool {
      if (!t) return true;
      out_.append(tag);
      out_.append(std::to_string(t->count));
      if (!append_currency(t->currency, out_)) return false;
      if (!append_amount(t->sum, out_)) return false;
      out_.append(eol_);
      return true;
    };
    if (!s_.debit_total && !s_.credit_total) {
      // A report without its totals (camt's summary is optional) gets them from its
      // entries, which is what they count; without them the report's own :86: would
      // read back as the last entry's.
      if (auto [debit, credit] = totals_of_entries(); debit && credit) {
        if (!total(":90D:", debit) || !total(":90C:", credit)) {
          return std::string("an entry total cannot be written in MT942");
        }
        return std::nullopt;
      }
    }
    if (!total(":90D:", s_.debit_total) || !total(":90C:", s_.credit_total)) {
      return std::string("an entry total cannot be written in MT942");
    }
    return std::nullopt;
  }

  // The count and sum of the entries of each side; none when a sum overflows.
  std::pair<std::optional<EntryTotal>, std::optional<EntryTotal>> totals_of_entries() const {
    EntryTotal debit{0, statement_currency(s_), Decimal()};
    EntryTotal credit = debit;
    for (const Transaction& t : s_.transactions) {
      EntryTotal& side = is_debit_side(t.debit_credit) ? debit : credit;
      const auto sum = side.sum.plus(t.amount);
      if (!sum) return {};
      side.sum = *sum;
      ++side.count;
    }
    return {debit, credit};
  }

  std::optional<std::string> write_entry(const Transaction& t) {
    Text& entry = scratch_.entries;
    // The tag, both dates, the mark, the funds code and the amount, at most 33 bytes.
    char* const head = entry.room(40);
    std::memcpy(head, ":61:", 4);
    if (!put_date(t.value_date, head + 4)) return std::string("a value date lies outside the years MT940 can write");
    std::size_t head_size = 10;
    if (t.entry_date) {
      detail::put_two_digits(t.entry_date->month(), head + 10);
      detail::put_two_digits(t.entry_date->day(), head + 12);
      head_size = 14;
    }
    const std::string_view mark = mark_text(t.debit_credit).substr(0, 2);  // "D", "C", "RD" or "RC"
    head[head_size++] = mark.front();
    if (mark.size() == 2) head[head_size++] = mark.back();
    if (t.funds_code && !is_reversal(t.debit_credit) && is_upper(*t.funds_code)) head[head_size++] = *t.funds_code;
    const std::size_t amount = put_amount(t.amount, head + head_size);
    if (amount == 0) {
      return std::string("the amount ") + t.amount.to_string() + " has more decimals than MT940 can write";
    }
    entry.end_at(head + head_size + amount);
    entry.append(type_code(t));
    const std::size_t customer = entry.size();
    append_x<false, kReferenceWidth>(t.customer_reference, entry, changes_);
    if (entry.size() == customer) entry.append("NONREF");
    if (t.bank_reference) {
      entry.append("//");
      const std::size_t bank = entry.size();
      append_x<false, kReferenceWidth>(*t.bank_reference, entry, changes_);
      if (entry.size() == bank) entry.resize(bank - 2);
    }
    entry.append(eol_);
    if (t.extra_details) {
      Text& extra = scratch_.extra;
      extra.clear();
      append_x<true, kSupplementaryWidth>(*t.extra_details, extra, changes_);
      // A supplementary line may not open like a tag line.
      if (const std::size_t misread = misread_at(extra.view()); misread != std::string::npos) {
        extra[misread] = '.';
        ++changes_.transliterated;
      }
      if (!extra.empty()) {
        entry.append(extra.view());
        entry.append(eol_);
      }
    }
    details_text(t, changes_, scratch_);
    fit_details(":86:", scratch_.details, scratch_.shape, changes_);
    if (!scratch_.details.empty()) append_details(":86:", scratch_.details, entry, eol_, changes_);
    return std::nullopt;
  }

  const Statement& s_;
  std::string_view eol_;
  Changes& changes_;
  std::string& out_;
  EntryScratch& scratch_;
};

std::string_view name_of(const Statement& s) noexcept {
  return s.transaction_reference.empty() ? s.account_identification : s.transaction_reference;
}

}  // namespace

Result<MtDocument> write_mt(std::span<const Statement> statements, OutputSink& sink, const MtOptions& options) {
  if (statements.empty()) return detail::nothing_to_write("MT940");
  for (const Statement& s : statements) {
    if (s.kind == StatementKind::Notification) {
      return Refusal{"a camt.054 notification cannot be written as MT940: SWIFT has no message for it "
                     "(convert it to json or csv)"};
    }
  }
  MtDocument document;
  detail::SinkBuffer buffer(sink);
  // Room for the whole text when it goes into one string, so that the string is not
  // copied over as it grows; an entry is its details and about 100 bytes more, and
  // room never written costs no memory.
  std::size_t room = 0;
  for (const Statement& s : statements) {
    room += 512;
    for (const Transaction& t : s.transactions) room += 160 + t.details.size() + t.extra_details.value_or("").size();
  }
  buffer.reserve(room);
  std::string& out = buffer.text();
  const std::string_view eol = options.crlf ? "\r\n" : "\n";
  // A statement's changes count only once it is kept.
  Changes changes;
  Changes own;
  EntryScratch scratch;
  const auto written = detail::write_statements(
      statements, out, "the MT940 text", document.warnings, name_of,
      [&](const Statement& s, std::size_t) {
        own = changes;
        return Writer(s, eol, own, out, scratch).write();
      },
      [&](std::size_t) {
        changes = own;
        return buffer.cut();
      });
  if (written.stopped) return detail::sink_refused();
  if (written.count == 0) return detail::nothing_written("MT940", written);
  if (!buffer.flush()) return detail::sink_refused();
  // Each kind of change is said once, with its count.
  const std::pair<std::size_t, std::string_view> said[] = {
      {changes.transliterated, " characters outside SWIFT's character set written in its nearest form"},
      {changes.slashes, " slashes inside references and sub-fields written as '-', since '/' parts them"},
      {changes.cut, " texts cut to the length MT940 allows"},
      {changes.unnumbered, " statements without a number written with the number 0 in :28C:"},
      {changes.numbers_cut, " statement numbers longer than the five digits of :28C: written with their last five"},
      {changes.no_floor_limit,
       " interim reports without a floor limit written with :34F: 0,00, which reports every entry"},
  };
  for (const auto& [count, text] : said) {
    if (count > 0) document.notes.push_back(std::to_string(count).append(text));
  }
  return document;
}

Result<MtDocument> export_mt(std::span<const Statement> statements, const MtOptions& options) {
  return detail::into_document(&MtDocument::text,
                               [&](OutputSink& sink) { return write_mt(statements, sink, options); });
}

}  // namespace tallyfold
