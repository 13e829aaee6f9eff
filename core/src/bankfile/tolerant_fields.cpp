#include "bankfile/tolerant_fields.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "parser/field_parsers.hpp"
#include "parser/statement_line.hpp"
#include "tallyfold/parse.hpp"
#include "util/ascii.hpp"
#include "util/quote.hpp"
#include "util/tag_line.hpp"
#include "util/utf8.hpp"

namespace tallyfold::detail {
namespace {

using ascii::is_digit;

std::string quoted(std::string_view s) { return quote_value(s); }

void note(std::vector<Repair>& repairs, std::string message, std::string kind) {
  repairs.push_back(Repair{Severity::Note, std::move(message), std::move(kind)});
}

// A date as the exact parser reads it, or past the end of its month with a note that
// says what was written and what it became.
std::optional<Date> read_date(std::string_view text, std::string_view what, std::vector<Repair>& repairs) {
  if (auto exact = parse_date(text)) return *exact;
  auto repaired = read_date_past_month_end(text);
  if (repaired) {
    note(repairs, std::string(what) + " " + std::string(text) + " read as " + repaired->to_iso(),
         std::string(what) + "s past the end of their month read as its last day");
  }
  return repaired;
}

// Where the 16th character of `s` ends, or npos when `s` is not longer than that.
std::size_t sixteen_characters(std::string_view s) noexcept {
  const std::size_t cut = character_prefix(s, 16);
  return cut == s.size() ? std::string_view::npos : cut;
}

// `raw` is the customer reference as written, from its first byte to its end.
void split_padded_reference(std::string_view raw, Transaction& t, TextBuffer& texts, std::vector<Repair>& repairs) {
  const std::size_t cut = sixteen_characters(raw);
  // Two blanks before the cut: one could as well separate two words of a reference.
  if (cut == std::string_view::npos || raw[cut - 1] != ' ' || raw[cut - 2] != ' ' || raw[cut] == ' ' ||
      raw.front() == ' ') {
    return;
  }
  const std::string_view reference = trim_white_space(raw.substr(0, cut));
  const std::string_view rest = trim_white_space(raw.substr(cut));
  if (reference.empty() || rest.empty()) return;
  note(repairs,
       ":61: customer reference padded to 16 characters read as " + quoted(reference) + "; " + quoted(rest) +
           " kept as supplementary details",
       ":61: customer references padded to 16 characters read trimmed, the rest as supplementary details");
  texts.append(rest);
  if (t.extra_details) {
    texts.append("\n");
    texts.append(*t.extra_details);
  }
  t.customer_reference = reference;
  t.extra_details = texts.close();
}

}  // namespace

std::optional<Date> read_date_past_month_end(std::string_view text) noexcept {
  if (text.size() != 6) return std::nullopt;
  for (const char c : text) {
    if (!is_digit(c)) return std::nullopt;
  }
  const int part = (text[0] - '0') * 10 + (text[1] - '0');
  const auto month = static_cast<unsigned>((text[2] - '0') * 10 + (text[3] - '0'));
  const auto day = static_cast<unsigned>((text[4] - '0') * 10 + (text[5] - '0'));
  const std::int32_t year = statement_year(part);
  if (month < 1 || month > 12 || day > 31 || Date::from_ymd(year, month, day)) return std::nullopt;
  for (unsigned last = 30; last >= 28; --last) {
    if (auto date = Date::from_ymd(year, month, last)) return date;
  }
  return std::nullopt;
}

namespace {

// What the reading says of each deviation it read a line with, in the order they stand
// in the line; the type codes' two notes exclude each other.
struct DeviationNote {
  LineDeviation deviation;
  std::string_view kind;
};
constexpr DeviationNote kDeviationNotes[] = {
    {kBlankEntryDate, ":61: blanks in place of the entry date read as no entry date"},
    {kLowerCaseMark, ":61: lower-case marks read as capitals"},
    {kBlankBeforeFundsCode, ":61: blanks before the funds code skipped"},
    {kAmountWithoutComma, ":61: amounts without a decimal comma read as whole amounts"},
    {kAmountWithPoint, ":61: amounts with a decimal point read as decimals"},
    {kBlankBeforeType, ":61: blanks before the transaction type skipped"},
    {kNoType, ":61: lines without a transaction type read with none"},
    {kPaddedType, ":61: type codes padded with blanks read trimmed"},
    {kTypeNotNorF, ":61: type codes that start with neither N nor F read as written"},
};

std::string deviation_message(LineDeviation deviation, const StatementLineTokens& tokens, const Transaction& t) {
  switch (deviation) {
    case kBlankEntryDate: return ":61: four blanks in place of the entry date read as no entry date";
    case kLowerCaseMark:
      return ":61: lower-case mark " + quoted(tokens.mark) + " read as " + quoted(mark_text(t.debit_credit));
    case kBlankBeforeFundsCode: return ":61: blank before the funds code skipped";
    case kAmountWithoutComma:  // the amount is its integer alone
      return ":61: amount without a decimal comma " + quoted(tokens.amount) + " read as " + t.amount.to_string();
    case kAmountWithPoint: return ":61: amount with a decimal point read as " + t.amount.to_string();
    case kBlankBeforeType: return ":61: blank before the transaction type skipped";
    case kNoType: return ":61: no transaction type: read with none";
    case kPaddedType:
      // The type's four bytes, blanks included, stand in the line.
      return ":61: transaction type " + quoted(std::string_view(tokens.transaction_type.data(), 4)) +
             " padded with blanks read as " + quoted(t.transaction_type);
    case kTypeNotNorF: return ":61: transaction type " + quoted(t.transaction_type) + " read as written";
    case kSlashInReference: break;
  }
  return {};
}

}  // namespace

bool read_statement_line_tolerantly(std::string_view content, Transaction& t, TextBuffer& texts,
                                    std::vector<Repair>& repairs) {
  const std::size_t line_feed = content.find('\n');
  const std::string_view line = content.substr(0, line_feed);
  const std::size_t mark_at = repairs.size();  // repairs are dropped again on failure
  // A carriage return left inside the line is nothing a bank meant; no guess is made.
  if (line.find('\r') != std::string_view::npos) return false;
  StatementLineTokens tokens;
  if (!tokenise_statement_line(line, kEveryDeviation, tokens)) return false;
  auto value_date = read_date(tokens.value_date, ":61: value date", repairs);
  if (!value_date) {
    repairs.resize(mark_at);
    return false;
  }
  t.value_date = *value_date;
  if (tokens.entry_date) t.entry_date = entry_date_near(t.value_date, tokens.entry_month, tokens.entry_day);

  t.debit_credit = tokens.debit_credit;
  if (tokens.funds_code && !is_reversal(t.debit_credit)) t.funds_code = tokens.funds_code->front();
  // The amount's digits as the exact reading reads them with a decimal comma.
  t.amount = *Decimal::from_parts(*tokens.amount_cents, 2, false);
  t.transaction_type = tokens.transaction_type;

  for (const DeviationNote& n : kDeviationNotes) {
    if ((tokens.deviations & n.deviation) != 0) {
      note(repairs, deviation_message(n.deviation, tokens, t), std::string(n.kind));
    }
  }

  t.customer_reference = trim_white_space(tokens.customer_reference);
  if (tokens.bank_reference) t.bank_reference.emplace(*tokens.bank_reference);
  if (line_feed != std::string_view::npos) {
    const std::string_view extra = trim_white_space(content.substr(line_feed + 1));
    if (!extra.empty()) t.extra_details.emplace(extra);
  }
  split_padded_reference(tokens.customer_reference, t, texts, repairs);
  // Told of the reference as it is read: padding cut off may have taken the "/" with it.
  if (t.customer_reference.find('/') != std::string_view::npos) {
    note(repairs, ":61: customer reference with a single '/' read as " + quoted(t.customer_reference),
         ":61: customer references with a single '/' read whole");
  }
  return true;
}

std::optional<Balance> read_balance_tolerantly(std::string_view tag, std::string_view content,
                                               std::vector<Repair>& repairs) {
  std::string_view trimmed = content;
  while (!trimmed.empty() && trimmed.back() == ' ') trimmed.remove_suffix(1);
  if (trimmed.size() < 11 || (trimmed[0] != 'C' && trimmed[0] != 'D')) return std::nullopt;
  const std::size_t mark_at = repairs.size();
  Balance balance;
  balance.debit_credit = trimmed[0] == 'C' ? DebitCreditMark::Credit : DebitCreditMark::Debit;
  auto date = read_date(trimmed.substr(1, 6), std::string(tag) + " date", repairs);
  auto amount = parse_amount(trimmed.substr(10));
  if (!date || !amount) {
    repairs.resize(mark_at);
    return std::nullopt;
  }
  balance.date = *date;
  balance.currency = trimmed.substr(7, 3);
  balance.amount = *amount;
  if (trimmed.size() < content.size()) {
    note(repairs, std::string(tag) + " blanks after the amount skipped", std::string(tag) + " blanks after the amount skipped");
  }
  return balance;
}

void reread_padded_reference(std::string_view content, Transaction& t, TextBuffer& texts,
                             std::vector<Repair>& repairs) {
  const std::string_view reference = t.customer_reference;
  // Two byte comparisons settle nearly every line; the full check follows only for
  // references that have a blank where a padded field would end.
  if (reference.size() <= 16 || (reference[14] != ' ' && static_cast<unsigned char>(reference[14]) < 0x80)) return;
  const std::string_view line = content.substr(0, content.find('\n'));
  const std::size_t at = line.find(reference);
  if (at == std::string_view::npos || at == 0 || line[at - 1] == ' ') return;
  const std::string_view raw = line.substr(at, t.bank_reference ? line.size() - at - t.bank_reference->size() - 2
                                                                 : std::string_view::npos);
  split_padded_reference(raw, t, texts, repairs);
}


namespace {

// Whether [begin, stop) of `data` is a tag line, and if so whether its field is :86:.
struct LineTag {
  bool tag;
  bool details;
};
LineTag line_tag(const char* data, std::size_t begin, std::size_t stop) noexcept {
  const std::string_view line(data + begin, stop - begin);
  if (tag_length(line) == 0) return {false, false};
  return {true, line.size() >= 4 && line[1] == '8' && line[2] == '6' && line[3] == ':'};
}

// The line feeds of the 64 bytes at `p`, as bits.
std::uint64_t feeds_of_block(const char* p) noexcept {
#if defined(__SSE2__)
  const __m128i feed = _mm_set1_epi8('\n');
  std::uint64_t bits = 0;
  for (unsigned i = 0; i < 4; ++i) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16 * i));
    bits |= std::uint64_t{static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)))} << (16 * i);
  }
  return bits;
#else
  std::uint64_t bits = 0;
  for (unsigned i = 0; i < 64; ++i) bits |= std::uint64_t{p[i] == '\n'} << i;
  return bits;
#endif
}

// The judgement of details_line_width, handed the long lines of the judged bytes in
// order. Which field a long line belongs to is found by walking back to the last tag
// line, no further than the long line before it, whose field is known.
class WidthJudgement {
 public:
  explicit WidthJudgement(std::string_view text) noexcept : data_(text.data()), size_(text.size()) {}

  // The line [begin, stop), longer than SWIFT's width, that the line feed at `stop` ends.
  void long_line(std::size_t begin, std::size_t stop) noexcept {
    const LineTag own = line_tag(data_, begin, stop);
    bool in_details = own.details;
    if (!own.tag) {
      in_details = known_in_details_;
      for (std::size_t line_start = begin; line_start > known_;) {
        const std::size_t previous_stop = line_start - 1;
        std::size_t previous = previous_stop;
        while (previous > known_ && data_[previous - 1] != '\n') --previous;
        const LineTag tag = line_tag(data_, previous, previous_stop);
        if (tag.tag) {
          in_details = tag.details;
          break;
        }
        line_start = previous;
      }
    }
    known_ = stop + 1;
    known_in_details_ = in_details;
    // Counted when the field goes on on the next line, one that holds no tag; the last
    // line of the judged bytes, cut or not, is a line of its own.
    if (!in_details || stop + 1 >= size_) return;
    const std::size_t next = stop + 1;
    if (data_[next] == ':') {
      for (std::size_t i = next + 1; i < size_ && data_[i] != '\n'; ++i) {
        if (data_[i] == ':') return;
      }
    }
    std::string_view line(data_ + begin, stop - begin);
    while (line.size() > kSwiftDetailsWidth && line.back() == '\r') line.remove_suffix(1);
    const std::size_t length = line.size() <= kSwiftDetailsWidth ? 0 : character_count(line);
    if (length < broken_.size()) ++broken_[length];
  }

  std::size_t width() const noexcept {
    // Never narrower than SWIFT's lines: a narrower judgement would hang on which lines a
    // download happens to hold, and the same transaction would read differently.
    for (std::size_t length = broken_.size() - 1; length > kSwiftDetailsWidth; --length) {
      if (broken_[length] >= 2) return length;
    }
    return kSwiftDetailsWidth;
  }

 private:
  const char* data_;
  std::size_t size_;
  std::array<std::uint32_t, 256> broken_{};  // lines followed by more of their text, by length
  std::size_t known_ = 0;          // a line start: the field of the lines before it is known
  bool known_in_details_ = false;  // it is :86: (and not before the first tag line)
};

// Enough lines of any file to see its width, at a cost that does not grow with it.
constexpr std::size_t kJudgedBytes = std::size_t{1} << 18;

}  // namespace

std::size_t details_line_width(std::string_view text) noexcept {
  text = text.substr(0, kJudgedBytes);
  WidthJudgement judgement(text);
  const char* const data = text.data();
  const std::size_t size = text.size();
  // Only a line longer than SWIFT's width can make the judgement wider, and a line has
  // no more characters than bytes: the others, nearly all, are never looked at. A line
  // longer than a block ends at the first line feed of the block it ends in: one test
  // per block of 64 bytes finds it.
  std::size_t start = 0;  // of the line that the next line feed ends
  const auto block = [&](std::size_t at, std::uint64_t feeds) {
    if (feeds == 0) return;
    const std::size_t first = at + static_cast<std::size_t>(std::countr_zero(feeds));
    if (first - start > kSwiftDetailsWidth) [[unlikely]] judgement.long_line(start, first);
    start = at + 64 - static_cast<std::size_t>(std::countl_zero(feeds));
  };
  std::size_t at = 0;
  for (; size - at >= 64; at += 64) block(at, feeds_of_block(data + at));
  std::uint64_t tail = 0;
  for (std::size_t i = at; i < size; ++i) tail |= std::uint64_t{data[i] == '\n'} << (i - at);
  block(at, tail);
  return judgement.width();
}

std::size_t details_line_width(std::string_view text, const LongLines& long_lines) noexcept {
  text = text.substr(0, kJudgedBytes);
  if (long_lines.covered < text.size()) return details_line_width(text);
  WidthJudgement judgement(text);
  for (const auto& [begin, stop] : long_lines.lines) {
    if (stop >= text.size()) break;
    judgement.long_line(begin, stop);
  }
  return judgement.width();
}

std::optional<Decimal> read_amount_without_currency(std::string_view content) noexcept {
  if (content.size() < 8) return std::nullopt;
  std::string_view text = content.substr(7);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  auto amount = parse_amount(text);
  if (!amount) return std::nullopt;
  return *amount;
}

}  // namespace tallyfold::detail
