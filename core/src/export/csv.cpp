#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>
#include <optional>

#include "export/sink_buffer.hpp"
#include "export/text_parts.hpp"
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

// Writes the text cells of one table form.
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
  void text(const TextParts& parts) {
    if (!safe_) {
      append_field<Sep>(parts, out_);
    } else if (parts.count <= 1) {
      text(parts.count == 0 ? std::string_view() : parts.parts[0]);
    } else {
      // Trimmed as one text: joined first, in storage kept from cell to cell.
      joined_.clear();
      parts.append_to(joined_);
      text(std::string_view(joined_));
    }
  }
  std::string& out() noexcept { return out_; }

 private:
  std::string& out_;
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
                std::string& out, CheckedCuts& cuts) {
  std::string prefix;
  Cells<Sep> statement_cells(prefix, options.safe_cells);
  Cells<Sep> cells(out, options.safe_cells);
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
      out.append(prefix);
      t.value_date.append_iso(out);
      out.push_back(Sep);
      (t.entry_date ? *t.entry_date : t.value_date).append_iso(out);
      out.push_back(Sep);
      cells.text(t.transaction_type);
      out.push_back(Sep);
      cells.text(t.customer_reference);
      out.push_back(Sep);
      if (t.bank_reference) cells.text(*t.bank_reference);
      out.push_back(Sep);
      field_parts(t, scratch, fields);
      cells.text(fields.counterparty);
      out.push_back(Sep);
      cells.text(fields.counter_iban);
      out.push_back(Sep);
      cells.text(fields.purpose);
      out.push_back(Sep);
      const std::size_t amount_start = out.size();
      append_two_decimals(t.signed_amount(), out);
      if constexpr (Sep == ';') out[out.find('.', amount_start)] = ',';
      out.push_back(Sep);
      out.push_back(is_reversal(t.debit_credit) ? 'Y' : 'N');
      if (options.bank_fields) {
        for (const TextParts* text : {&fields.counter_account, &fields.counterparty_bic,
                                      &fields.end_to_end_reference, &fields.mandate_reference,
                                      &fields.creditor_id}) {
          out.push_back(Sep);
          cells.text(*text);
        }
        out.push_back(Sep);
        out.append(ids[i].text());
        out.push_back(Sep);
        out.push_back(s.complete ? 'Y' : 'N');
      }
      out.append(eol);
      if (!cuts.cut()) return false;
    }
  }
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
      ok = write_rows<';'>(statements, options, eol, out, cuts);
    } else {
      out.append(header);
      out.append(eol);
      ok = write_rows<','>(statements, options, eol, out, cuts);
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
