#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>

#include "export/sink_buffer.hpp"
#include "export/text_parts.hpp"
#include "export/text_room.hpp"
#include "fields/field_parts.hpp"
#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/transaction_id.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kHeader =
    "Statement,Account,Currency,Date,EntryDate,Type,Reference,BankRef,Counterparty,"
    "CounterIBAN,Purpose,Amount,IsReversal";
constexpr std::string_view kBankHeader =
    ",CounterAccount,CounterpartyBIC,EndToEndReference,MandateReference,CreditorId,"
    "TransactionId,StatementComplete";

// A carriage return is quoted too: left bare it ends the row in common CSV readers.
template <char Sep>
bool needs_quoting(std::string_view text) noexcept {
  // Both separators lie above '"', CR and LF: one compare rejects most bytes.
  static_assert(Sep > '"');
  for (const char c : text) {
    if (static_cast<unsigned char>(c) <= Sep &&
        (c == Sep || c == '"' || c == '\n' || c == '\r')) {
      return true;
    }
  }
  return false;
}

void append_doubling_quotes(std::string_view text, std::string& out) {
  std::size_t start = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      out.append(text.substr(start, i + 1 - start));
      out.push_back('"');
      start = i + 1;
    }
  }
  out.append(text.substr(start));
}

template <char Sep>
void append_field(std::string_view text, std::string& out, std::string_view lead = {}) {
  if (!needs_quoting<Sep>(text)) {
    out.append(lead);
    out.append(text);
    return;
  }
  out.push_back('"');
  out.append(lead);
  append_doubling_quotes(text, out);
  out.push_back('"');
}

template <char Sep>
void append_field(const TextParts& text, std::string& out) {
  bool quote = false;
  for (std::size_t i = 0; i < text.count && !quote; ++i) quote = needs_quoting<Sep>(text.parts[i]);
  if (!quote) {
    text.append_to(out);
    return;
  }
  out.push_back('"');
  for (std::size_t i = 0; i < text.count; ++i) {
    if (i != 0) out.push_back(' ');
    append_doubling_quotes(text.parts[i], out);
  }
  out.push_back('"');
}

// The first characters with which a spreadsheet starts a formula (OWASP's list).
bool starts_formula(std::string_view text) noexcept {
  if (text.empty()) return false;
  const char c = text.front();
  return c == '=' || c == '+' || c == '-' || c == '@' || c == '\t' || c == '\r';
}

// Writes the text cells of one table form into a string, for the statement columns
// that every row repeats.
template <char Sep>
class Cells {
 public:
  Cells(std::string& out, bool safe) noexcept : out_(out), safe_(safe) {}

  void text(std::string_view text) {
    if (!safe_) {
      append_field<Sep>(text, out_);
      return;
    }
    text = trim_white_space(text);
    append_field<Sep>(text, out_, starts_formula(text) ? "'" : "");
  }

 private:
  std::string& out_;
  bool safe_;
};

// Writes the cells of the rows through a pointer: a text is checked for what needs
// quoting while it is copied, and quoted, rarely, by the appending rules above.
template <char Sep>
class RowCells {
 public:
  RowCells(detail::OutRoom& room, bool safe) noexcept : room_(room), safe_(safe) {}

  void text(std::string_view text) {
    if (safe_) return safe_text(text);
    char* p = room_.room(text.size() + 1);
    if (detail::csv_copy_finds_special<Sep>(text, p)) [[unlikely]] return quoted(text, {});
    p[text.size()] = Sep;
    room_.advance_to(p + text.size() + 1);
  }
  void text(const TextParts& parts) {
    if (parts.count == 1) return text(parts.parts[0]);
    if (parts.count == 0) {
      *room_.room(1) = Sep;
      room_.advance_to(room_.at() + 1);
      return;
    }
    if (safe_) {
      // Trimmed as one text: joined first, in storage kept from cell to cell.
      joined_.clear();
      parts.append_to(joined_);
      return safe_text(joined_);
    }
    char* const start = room_.room(parts.size() + 1);
    char* p = start;
    bool special = false;
    for (std::size_t i = 0; i < parts.count; ++i) {
      if (i != 0) *p++ = ' ';
      special |= detail::csv_copy_finds_special<Sep>(parts.parts[i], p);
      p += parts.parts[i].size();
    }
    if (special) [[unlikely]] return quoted(parts);
    *p++ = Sep;
    room_.advance_to(p);
  }

 private:
  void safe_text(std::string_view text) {
    text = trim_white_space(text);
    const bool formula = starts_formula(text);
    char* p = room_.room(text.size() + 2);
    if (formula) *p++ = '\'';
    if (detail::csv_copy_finds_special<Sep>(text, p)) [[unlikely]] return quoted(text, formula ? "'" : "");
    p[text.size()] = Sep;
    room_.advance_to(p + text.size() + 1);
  }
  // The position has not moved past the field: the field is written again after it.
  [[gnu::cold, gnu::noinline]] void quoted(std::string_view text, std::string_view lead) {
    std::string& out = room_.settle();
    append_field<Sep>(text, out, lead);
    out.push_back(Sep);
    room_.resume();
  }
  [[gnu::cold, gnu::noinline]] void quoted(const TextParts& parts) {
    std::string& out = room_.settle();
    append_field<Sep>(parts, out);
    out.push_back(Sep);
    room_.resume();
  }

  detail::OutRoom& room_;
  bool safe_;
  std::string joined_;
};

// Exactly two fraction digits: missing ones filled with zeros, further ones cut off.
void append_two_decimals(const Decimal& d, std::string& out) {
  if (d.scale() > 2) {
    uint128 m = d.mantissa();
    for (int i = 2; i < d.scale(); ++i) m /= 10;
    // A smaller mantissa with a smaller scale always fits.
    Decimal::from_parts(m, 2, d.negative())->append_to(out);
    return;
  }
  d.append_to(out);
  if (d.scale() == 0) {
    out.append(".00");
  } else if (d.scale() == 1) {
    out.push_back('0');
  }
}

// The same at `to`, where 48 bytes are free, with `point` as the decimal mark: amounts
// of up to 60 bits and two decimals, nearly all, without building a text.
char* put_two_decimals(char* to, const Decimal& d, char point) {
  const uint128 m = d.mantissa();
  if (d.scale() > 2 || m >= (uint128{1} << 60)) [[unlikely]] {
    std::string text;
    append_two_decimals(d, text);
    if (point != '.') text[text.find('.')] = point;
    return detail::put_bytes(to, text);
  }
  constexpr std::uint64_t kCents[] = {100, 10, 1};
  const std::uint64_t cents = static_cast<std::uint64_t>(m) * kCents[d.scale()];
  *to = '-';
  to += d.negative() ? 1 : 0;
  to = std::to_chars(to, to + 24, cents / 100).ptr;
  const auto fraction = static_cast<unsigned>(cents % 100);
  to[0] = point;
  to[1] = static_cast<char>('0' + fraction / 10);
  to[2] = static_cast<char>('0' + fraction % 10);
  return to + 3;
}

std::size_t estimate_size(std::span<const Statement> statements) noexcept {
  std::size_t n = kBom.size() + kHeader.size() + kBankHeader.size() + 2;
  for (const Statement& s : statements) {
    const std::size_t prefix = s.number.size() + s.account_identification.size() +
                               statement_currency(s).size() + 3;
    for (const Transaction& t : s.transactions) {
      // Purpose and counterparty come from the details, which bound them roughly.
      n += prefix + 112 + t.customer_reference.size() + t.details.size() +
           (t.bank_reference ? t.bank_reference->size() : 0);
    }
  }
  return n;
}

// Sep is ',' for the standard and excel dialects and ';' for excel-eu, which also
// writes a decimal comma: the two readings a spreadsheet makes of a CSV file, after its
// locale.
// The error of the first invalid UTF-8 sequence, `at` bytes into the output.
EncodingError encoding_error(std::size_t at) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, at).ptr;
  return EncodingError{std::string("CSV encoding error: invalid UTF-8 sequence at byte ") + std::string(digits, end)};
}

// Where the rows are cut for the sink, every cut checked as UTF-8 before it leaves:
// rows end in ASCII, so no sequence spans two checks.
class CheckedCuts {
 public:
  explicit CheckedCuts(detail::SinkBuffer& buffer) noexcept : buffer_(buffer) {}
  /// Whether the rows written since the last cut are enough for one.
  bool due(const detail::OutRoom& room) const noexcept { return room.written() - checked_ >= detail::SinkBuffer::kChunk; }
  // False when the text so far holds an invalid sequence, or the sink refused it.
  bool cut(bool last = false) {
    std::string& out = buffer_.text();
    if (!last && out.size() - checked_ < detail::SinkBuffer::kChunk) return true;
    if (const auto bad = find_invalid_utf8(std::string_view(out).substr(checked_))) {
      invalid_at_ = buffer_.written() - (out.size() - checked_) + *bad;
      return false;
    }
    const bool ok = last ? buffer_.flush() : buffer_.cut();
    checked_ = out.size();
    return ok;
  }
  std::optional<std::size_t> invalid_at() const noexcept { return invalid_at_; }

 private:
  detail::SinkBuffer& buffer_;
  std::size_t checked_ = 0;
  std::optional<std::size_t> invalid_at_;
};

template <char Sep>
bool write_rows(std::span<const Statement> statements, const CsvOptions& options, std::string_view eol,
                detail::OutRoom& room, CheckedCuts& cuts) {
  std::string prefix;
  Cells<Sep> statement_cells(prefix, options.safe_cells);
  RowCells<Sep> cells(room, options.safe_cells);
  std::vector<TransactionId> ids;
  std::string scratch;
  FieldParts fields;
  for (const Statement& s : statements) {
    // The three statement columns repeat on every row: escape them once.
    prefix.clear();
    statement_cells.text(s.number);
    prefix.push_back(Sep);
    statement_cells.text(s.account_identification);
    prefix.push_back(Sep);
    statement_cells.text(statement_currency(s));
    prefix.push_back(Sep);
    if (options.bank_fields) ids = transaction_ids(s);
    for (std::size_t i = 0; i < s.transactions.size(); ++i) {
      const Transaction& t = s.transactions[i];
      char* p = room.room(prefix.size() + 2 * 13);
      p = detail::put_bytes(p, prefix);
      p = detail::put_iso_date(p, t.value_date);
      *p++ = Sep;
      p = detail::put_iso_date(p, t.entry_date ? *t.entry_date : t.value_date);
      *p++ = Sep;
      room.advance_to(p);
      cells.text(t.transaction_type);
      cells.text(t.customer_reference);
      if (t.bank_reference) {
        cells.text(*t.bank_reference);
      } else {
        *room.room(1) = Sep;
        room.advance_to(room.at() + 1);
      }
      field_parts(t, scratch, fields);
      cells.text(fields.counterparty);
      cells.text(fields.counter_iban);
      cells.text(fields.purpose);
      p = room.room(48 + 3 + 2);
      p = put_two_decimals(p, t.signed_amount(), Sep == ';' ? ',' : '.');
      *p++ = Sep;
      *p++ = is_reversal(t.debit_credit) ? 'Y' : 'N';
      if (options.bank_fields) {
        *p++ = Sep;
        room.advance_to(p);
        cells.text(fields.counter_account);
        cells.text(fields.counterparty_bic);
        cells.text(fields.end_to_end_reference);
        cells.text(fields.mandate_reference);
        cells.text(fields.creditor_id);
        const std::string_view id = ids[i].text();
        p = room.room(id.size() + 2);
        p = detail::put_bytes(p, id);
        *p++ = Sep;
        *p++ = s.complete ? 'Y' : 'N';
      }
      room.advance_to(p);
      p = room.room(2);
      p = detail::put_bytes(p, eol);
      room.advance_to(p);
      if (cuts.due(room)) {
        room.settle();
        if (!cuts.cut()) return false;
        room.resume();
      }
    }
  }
  room.settle();
  return true;
}

}  // namespace

Result<std::size_t> write_csv(std::span<const Statement> statements, OutputSink& sink, const CsvOptions& options) {
  detail::SinkBuffer buffer(sink);
  CheckedCuts cuts(buffer);
  bool ok = false;
  try {
    buffer.reserve(estimate_size(statements));
    std::string& out = buffer.text();
    out.append(kBom);
    const std::string_view eol = options.dialect == CsvDialect::Standard ? "\n" : "\r\n";
    std::string header(kHeader);
    if (options.bank_fields) header += kBankHeader;
    if (options.dialect == CsvDialect::ExcelEu) {
      // No column name holds a comma, so only separators change.
      std::replace(header.begin(), header.end(), ',', ';');
      out.append(header);
      out.append(eol);
      detail::OutRoom room(out);
      ok = write_rows<';'>(statements, options, eol, room, cuts);
    } else {
      out.append(header);
      out.append(eol);
      detail::OutRoom room(out);
      ok = write_rows<','>(statements, options, eol, room, cuts);
    }
    ok = ok && cuts.cut(true);
  } catch (const std::exception& e) {
    // Only a failed allocation or an overlong buffer can get here.
    return Other{std::string("CSV write error: ") + e.what()};
  }
  // Dates, amounts and fixed texts are ASCII; only copied field texts can be at fault.
  if (const auto bad = cuts.invalid_at()) return encoding_error(*bad);
  if (!ok) return detail::sink_refused();
  return buffer.written();
}

Result<std::string> export_csv(std::span<const Statement> statements, const CsvOptions& options) {
  return detail::into_string([&](OutputSink& sink) { return write_csv(statements, sink, options); });
}

}  // namespace tallyfold
