#include <algorithm>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <exception>

#include "export/text_parts.hpp"
#include "tallyfold/bank_details.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kBom = "\xEF\xBB\xBF";
constexpr std::string_view kHeader =
    "Statement,Account,Currency,Date,EntryDate,Type,Reference,BankRef,Counterparty,"
    "CounterIBAN,Purpose,Amount,IsReversal\n";

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
void append_field(std::string_view text, std::string& out) {
  if (!needs_quoting<Sep>(text)) {
    out.append(text);
    return;
  }
  out.push_back('"');
  append_doubling_quotes(text, out);
  out.push_back('"');
}

template <char Sep>
void append_field(const detail::TextParts& text, std::string& out) {
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

// Offset of the first byte that does not start a well-formed UTF-8 character, or npos.
std::size_t first_invalid_utf8(std::string_view text) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Skip ASCII eight bytes at a time; it is nearly all of a statement's text.
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, p + i, 8);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i >= n) break;
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    const detail::Utf8Step step = detail::utf8_step(p + i, n - i);
    if (!step.valid) return i;
    i += step.length;
  }
  return std::string_view::npos;
}

std::size_t estimate_size(std::span<const Statement> statements) noexcept {
  std::size_t n = kBom.size() + kHeader.size();
  for (const Statement& s : statements) {
    const std::size_t prefix = s.number.size() + s.account_identification.size() +
                               statement_currency(s).size() + 3;
    for (const Transaction& t : s.transactions) {
      // Purpose and counterparty come from the details, which bound them roughly.
      n += prefix + 64 + t.customer_reference.size() + t.details.size() +
           (t.bank_reference ? t.bank_reference->size() : 0);
    }
  }
  return n;
}

// Sep is ',' for the standard dialect and ';' for excel-eu, which also writes a decimal
// comma: the two readings a spreadsheet makes of a CSV file, after its locale.
template <char Sep>
void write_rows(std::span<const Statement> statements, std::string& out) {
  std::string prefix;
  for (const Statement& s : statements) {
    // The three statement columns repeat on every row: escape them once.
    prefix.clear();
    append_field<Sep>(s.number, prefix);
    prefix.push_back(Sep);
    append_field<Sep>(s.account_identification, prefix);
    prefix.push_back(Sep);
    append_field<Sep>(statement_currency(s), prefix);
    prefix.push_back(Sep);
    for (const Transaction& t : s.transactions) {
      out.append(prefix);
      t.value_date.append_iso(out);
      out.push_back(Sep);
      (t.entry_date ? *t.entry_date : t.value_date).append_iso(out);
      out.push_back(Sep);
      append_field<Sep>(t.transaction_type, out);
      out.push_back(Sep);
      append_field<Sep>(t.customer_reference, out);
      out.push_back(Sep);
      if (t.bank_reference) append_field<Sep>(*t.bank_reference, out);
      out.push_back(Sep);
      if (s.reading == Reading::BankFile) {
        const BankFields fields = bank_fields(t);
        append_field<Sep>(fields.counterparty, out);
        out.push_back(Sep);
        append_field<Sep>(fields.counter_iban, out);
        out.push_back(Sep);
        append_field<Sep>(fields.purpose, out);
      } else {
        const detail::DerivedParts derived = detail::derive_parts(t);
        append_field<Sep>(derived.counterparty, out);
        out.push_back(Sep);
        append_field<Sep>(derived.counter_iban, out);
        out.push_back(Sep);
        append_field<Sep>(derived.purpose, out);
      }
      out.push_back(Sep);
      const std::size_t amount_start = out.size();
      append_two_decimals(t.signed_amount(), out);
      if constexpr (Sep == ';') out[out.find('.', amount_start)] = ',';
      out.push_back(Sep);
      out.append(is_reversal(t.debit_credit) ? "Y\n" : "N\n");
    }
  }
}

}  // namespace

Result<std::string> export_csv(std::span<const Statement> statements, CsvDialect dialect) {
  std::string out;
  try {
    out.reserve(estimate_size(statements));
    out.append(kBom);
    if (dialect == CsvDialect::ExcelEu) {
      // No column name holds a comma, so only separators change.
      std::string header(kHeader);
      std::replace(header.begin(), header.end(), ',', ';');
      out.append(header);
      write_rows<';'>(statements, out);
    } else {
      out.append(kHeader);
      write_rows<','>(statements, out);
    }
  } catch (const std::exception& e) {
    // Only a failed allocation or an overlong buffer can get here.
    return Other{std::string("CSV write error: ") + e.what()};
  }
  // Dates, amounts and fixed texts are ASCII; only copied field texts can be at fault.
  const std::size_t bad = first_invalid_utf8(out);
  if (bad != std::string_view::npos) {
    char digits[24];
    const auto end = std::to_chars(digits, digits + sizeof digits, bad).ptr;
    return Other{std::string("CSV encoding error: invalid UTF-8 sequence at byte ") +
                 std::string(digits, end)};
  }
  return out;
}

}  // namespace tallyfold
