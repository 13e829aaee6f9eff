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


std::size_t details_line_width(std::string_view text) noexcept {
  constexpr std::size_t kSwiftWidth = kSwiftDetailsWidth;
  // Enough lines of any file to see its width, at a cost that does not grow with it.
  text = text.substr(0, std::size_t{1} << 18);
  std::array<std::uint32_t, 256> broken{};  // lines followed by more of their text, by length
  bool in_details = false;
  std::size_t open_length = 0;  // of the last :86: line, while its field may continue
  const char* const data = text.data();
  // The line from `start` to `stop`, its line feed excluded. Carriage returns that end
  // it change neither whether it holds a tag nor which, so only a long line's are taken
  // off.
  const auto read_line = [&](std::size_t start, std::size_t stop) {
    std::string_view line(data + start, stop - start);
    if (tag_length(line) != 0) {
      in_details = line.size() >= 4 && line[1] == '8' && line[2] == '6' && line[3] == ':';
    } else if (in_details && open_length < broken.size()) {
      ++broken[open_length];
    }
    if (!in_details) return;
    // Only lengths beyond SWIFT's width are judged, and a line has no more characters
    // than bytes: most lines need no counting.
    while (line.size() > kSwiftWidth && line.back() == '\r') line.remove_suffix(1);
    open_length = line.size() <= kSwiftWidth ? 0 : character_count(line);
  };
  std::size_t start = 0;  // of the line not yet read
  std::size_t at = 0;     // bytes before it hold no line feed not yet read
#if defined(__SSE2__)
  // Line feeds found thirty-two bytes a step: lines are a few dozen bytes, where a
  // library search per line costs more in its setup than in the bytes it passes.
  const __m128i feed = _mm_set1_epi8('\n');
  const auto feeds = [&](std::size_t from) {
    const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(data + from));
    return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, feed)));
  };
  for (; text.size() - at >= 32; at += 32) {
    for (std::uint32_t bits = feeds(at) | feeds(at + 16) << 16; bits != 0; bits &= bits - 1) {
      const std::size_t stop = at + static_cast<std::size_t>(std::countr_zero(bits));
      read_line(start, stop);
      start = stop + 1;
    }
  }
#endif
  while (true) {
    const auto* found = static_cast<const char*>(std::memchr(data + at, '\n', text.size() - at));
    if (found == nullptr) break;
    const auto stop = static_cast<std::size_t>(found - data);
    read_line(start, stop);
    start = at = stop + 1;
  }
  if (start < text.size()) read_line(start, text.size());
  // Never narrower than SWIFT's lines: a narrower judgement would hang on which lines a
  // download happens to hold, and the same transaction would read differently.
  for (std::size_t length = broken.size() - 1; length > kSwiftWidth; --length) {
    if (broken[length] >= 2) return length;
  }
  return kSwiftWidth;
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
