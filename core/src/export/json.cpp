#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <iterator>

#include "export/sink_buffer.hpp"
#include "export/text_parts.hpp"
#include "export/text_room.hpp"
#include "fields/field_parts.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/transaction_id.hpp"

namespace tallyfold {
namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Pretty-printing writer: two spaces per level, ": " after keys, empty containers
// written without inner whitespace; or, compact, all on one line with no whitespace.
// The document nests five levels at most. Everything goes through a pointer into room
// taken from the output; the rare text that needs escaping is appended byte by byte.
class JsonWriter {
 public:
  JsonWriter(detail::OutRoom& room, const JsonOptions& options, bool compact = false) noexcept
      : room_(room), exact_amounts_(options.exact_amounts), compact_(compact) {}

  /// Where the derived fields put what they rewrite; kept across transactions, so it
  /// is allocated once per export.
  std::string& scratch() noexcept { return scratch_; }
  FieldParts& parts() noexcept { return parts_; }

  void open(char bracket) {
    char* p = room_.room(1);
    *p = bracket;
    room_.advance_to(p + 1);
    has_items_[++level_] = false;
  }
  void close(char bracket) {
    const bool had_items = has_items_[level_--];
    char* p = room_.room(kIndentRoom + 1);
    if (had_items) p = newline(p);
    *p++ = bracket;
    room_.advance_to(p);
  }
  /// Starts the next array element.
  void element() { room_.advance_to(start_item(room_.room(kIndentRoom + 1))); }
  /// Starts a member whose key is a fixed ASCII name that needs no escaping.
  void key(std::string_view name) {
    char* p = start_item(room_.room(kIndentRoom + 1 + name.size() + 3));
    *p++ = '"';
    p = detail::put_bytes(p, name);
    std::memcpy(p, "\": ", 3);
    room_.advance_to(p + (compact_ ? 2 : 3));
  }
  /// Starts a member whose key is data.
  void escaped_key(std::string_view name) {
    element();
    string(name);
    char* p = room_.room(2);
    std::memcpy(p, ": ", 2);
    room_.advance_to(p + (compact_ ? 1 : 2));
  }
  void string(std::string_view text) {
    char* p = room_.room(text.size() + 2);
    *p++ = '"';
    if (!detail::json_copy_is_plain(text, p)) [[unlikely]] {
      room_.advance_to(p);
      escaped_body(text);
      p = room_.room(1);
    } else {
      p += text.size();
    }
    *p++ = '"';
    room_.advance_to(p);
  }
  /// The joined text, escaped part by part: the blank between parts needs no escaping.
  void string(const TextParts& text) {
    if (text.count == 1) return string(text.parts[0]);
    char* p = room_.room(1);
    *p = '"';
    room_.advance_to(p + 1);
    for (std::size_t i = 0; i < text.count; ++i) {
      p = room_.room(text.parts[i].size() + 1);
      if (i != 0) *p++ = ' ';
      if (!detail::json_copy_is_plain(text.parts[i], p)) [[unlikely]] {
        room_.advance_to(p);
        escaped_body(text.parts[i]);
      } else {
        room_.advance_to(p + text.parts[i].size());
      }
    }
    p = room_.room(1);
    *p = '"';
    room_.advance_to(p + 1);
  }
  /// An amount: its written digits, or the nearest binary64 value.
  void amount(const Decimal& d) {
    char* p = room_.room(kNumberRoom);
    room_.advance_to(exact_amounts_ ? put_decimal(p, d) : put_nearest_double(p, d));
  }
  void boolean(bool b) {
    char* p = room_.room(5);
    std::memcpy(p, b ? "true " : "false", 5);
    room_.advance_to(p + (b ? 4 : 5));
  }
  void null() {
    char* p = room_.room(4);
    std::memcpy(p, "null", 4);
    room_.advance_to(p + 4);
  }
  void integer(std::uint64_t v) {
    char* p = room_.room(24);
    room_.advance_to(std::to_chars(p, p + 24, v).ptr);
  }
  /// A date needs no escaping; `suffix` follows it inside the quotes.
  void date(const Date& d, std::string_view suffix = {}) {
    char* p = room_.room(14 + suffix.size());
    *p++ = '"';
    p = detail::put_iso_date(p, d);
    p = detail::put_bytes(p, suffix);
    *p++ = '"';
    room_.advance_to(p);
  }

 private:
  static constexpr std::size_t kIndentRoom = 1 + 1 + 2 * 8;  // ",", "\n", the deepest indent
  static constexpr std::size_t kNumberRoom = 64;

  char* newline(char* p) const noexcept {
    if (compact_) return p;
    // One fixed-size copy of blanks, as many kept as the level asks for.
    static constexpr char kBlanks[2 * 8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' ',
                                            ' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
    *p++ = '\n';
    std::memcpy(p, kBlanks, sizeof kBlanks);
    return p + 2 * level_;
  }
  char* start_item(char* p) noexcept {
    *p = ',';
    p += has_items_[level_] ? 1 : 0;
    has_items_[level_] = true;
    return newline(p);
  }
  static char* put_decimal(char* p, const Decimal& d) {
    std::string text;
    d.append_to(text);
    return detail::put_bytes(p, text);
  }
  static char* put_nearest_double(char* p, const Decimal& d);
  void escaped_body(std::string_view text) {
    std::string& out = room_.settle();
    body(text, out);
    room_.resume();
  }
  static void body(std::string_view text, std::string& out);

  detail::OutRoom& room_;
  bool exact_amounts_;
  bool compact_;
  int level_ = 0;
  bool has_items_[8] = {};
  std::string scratch_;
  FieldParts parts_;
};

// The layout of a number given as its significant digits `d` (no leading or trailing
// zero) and the power of ten of the first one: plain from 1e-5 up to below 1e16,
// exponential otherwise.
char* put_number_layout(char* p, bool negative, std::string_view d, int e) {
  if (negative) *p++ = '-';
  const int n = static_cast<int>(d.size());
  if (e < -5 || e > 15) {
    *p++ = d[0];
    if (n > 1) {
      *p++ = '.';
      p = detail::put_bytes(p, d.substr(1));
    }
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    return std::to_chars(p, p + 8, e < 0 ? -e : e).ptr;
  }
  if (e >= n - 1) {
    p = detail::put_bytes(p, d);
    for (int i = n - 1; i < e; ++i) *p++ = '0';
    *p++ = '.';
    *p++ = '0';
  } else if (e < 0) {
    *p++ = '0';
    *p++ = '.';
    for (int i = -1; i > e; --i) *p++ = '0';
    p = detail::put_bytes(p, d);
  } else {
    p = detail::put_bytes(p, d.substr(0, static_cast<std::size_t>(e + 1)));
    *p++ = '.';
    p = detail::put_bytes(p, d.substr(static_cast<std::size_t>(e + 1)));
  }
  return p;
}

// A decimal of at most fifteen significant digits is the shortest text that reads back
// as its nearest binary64 value, as no other text of as many digits reads as that value:
// its digits are written as they are, without the conversion there and back.
char* JsonWriter::put_nearest_double(char* p, const Decimal& d) {
  const uint128 m = d.mantissa();
  if (m == 0 || m >= 1'000'000'000'000'000) [[unlikely]] {
    std::string text;
    detail::format_json_number(decimal_to_double(d), text);
    return detail::put_bytes(p, text);
  }
  auto v = static_cast<std::uint64_t>(m);
  int e = -d.scale();
  while (v % 10 == 0) {
    v /= 10;
    ++e;
  }
  char digits[24];
  const char* end = std::to_chars(digits, digits + sizeof digits, v).ptr;
  const std::string_view text(digits, static_cast<std::size_t>(end - digits));
  return put_number_layout(p, d.negative(), text, e + static_cast<int>(text.size()) - 1);
}

// Byte-wise escaping. An ill-formed UTF-8 sequence becomes U+FFFD so that the text
// stays UTF-8, which JSON requires and the Python str built from it needs.
void JsonWriter::body(std::string_view text, std::string& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* const end = p + text.size();
  const auto* run = p;
  auto flush = [&](const unsigned char* upto) {
    out.append(reinterpret_cast<const char*>(run), static_cast<std::size_t>(upto - run));
  };
  while (p < end) {
    while (end - p >= 8) {
      const std::uint64_t w = detail::word::load(p);
      if (detail::word::any_non_ascii(w) | detail::word::any_below(w, 0x20) |
          detail::word::any_equal(w, '"') | detail::word::any_equal(w, '\\')) {
        break;
      }
      p += 8;
    }
    if (p == end) break;
    const unsigned char c = *p;
    if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
      ++p;
      continue;
    }
    if (c >= 0x80) {
      const detail::Utf8Step step = detail::utf8_step(p, static_cast<std::size_t>(end - p));
      if (step.valid) {
        p += step.length;
        continue;
      }
      flush(p);
      out.append(detail::kReplacementCharacter);
      p += step.length;
      run = p;
      continue;
    }
    flush(p);
    switch (c) {
      case '"': out.append("\\\""); break;
      case '\\': out.append("\\\\"); break;
      case '\b': out.append("\\b"); break;
      case '\t': out.append("\\t"); break;
      case '\n': out.append("\\n"); break;
      case '\f': out.append("\\f"); break;
      case '\r': out.append("\\r"); break;
      default: {
        const char u[] = {'\\', 'u', '0', '0', kHexDigits[c >> 4], kHexDigits[c & 0xF]};
        out.append(u, sizeof u);
      }
    }
    ++p;
    run = p;
  }
  flush(p);
}

// Hands what is written to the sink once a chunk has gathered, as SinkBuffer::cut does;
// the string is settled for it only then, and never for a sink that is the string.
class RoomCuts {
 public:
  RoomCuts(detail::SinkBuffer& buffer, detail::OutRoom& room, bool direct) noexcept
      : buffer_(buffer), room_(room), direct_(direct) {}
  bool cut() {
    if (direct_ || room_.written() < detail::SinkBuffer::kChunk) return buffer_.ok();
    room_.settle();
    const bool ok = buffer_.cut();
    room_.resume();
    return ok;
  }

 private:
  detail::SinkBuffer& buffer_;
  detail::OutRoom& room_;
  bool direct_;
};

constexpr std::string_view kMidnight = "T00:00:00.000Z";

// The derived fields, so that programs need not derive them again; empty when the
// details do not carry them, as in the CSV and the Python attributes.
void write_bank_fields(JsonWriter& w, const Transaction& t) {
  FieldParts& f = w.parts();
  field_parts(t, w.scratch(), f);
  w.key("purpose");
  w.string(f.purpose);
  w.key("counterparty");
  w.string(f.counterparty);
  w.key("counterIban");
  w.string(f.counter_iban);
  w.key("counterpartyBic");
  w.string(f.counterparty_bic);
  w.key("endToEndReference");
  w.string(f.end_to_end_reference);
  w.key("mandateReference");
  w.string(f.mandate_reference);
  w.key("creditorId");
  w.string(f.creditor_id);
}

// The members of a transaction's object; `id` is written when the form asks for it.
void write_map(JsonWriter& w, const DecodedDetails& map) {
  w.open('{');
  // The map keeps its keys in ascending byte order, the order this text requires.
  DecodedDetails::EntryBytes run[16];
  for (std::size_t first = 0;;) {
    const std::size_t n = map.entries(first, run);
    for (std::size_t i = 0; i < n; ++i) {
      w.escaped_key(run[i].key());
      w.string(run[i].value());
    }
    if (n < std::size(run)) break;
    first += n;
  }
  w.close('}');
}

void write_transaction_members(JsonWriter& w, const Transaction& t, std::string_view currency,
                               const JsonOptions& options, const TransactionId* id) {
  w.key("date");
  w.date(t.value_date);
  if (t.entry_date) {
    w.key("entryDate");
    w.date(*t.entry_date);
  }
  if (t.funds_code) {
    w.key("fundsCode");
    w.string(std::string_view(&*t.funds_code, 1));
  }
  w.key("amount");
  w.amount(t.signed_amount());
  w.key("isReversal");
  w.boolean(is_reversal(t.debit_credit));
  w.key("transactionType");
  w.string(t.transaction_type);
  w.key("reference");
  w.string(t.customer_reference);
  w.key("bankReference");
  w.string(t.bank_reference ? *t.bank_reference : std::string_view());
  w.key("extraDetails");
  w.string(t.extra_details ? *t.extra_details : std::string_view());
  w.key("currency");
  w.string(currency);
  w.key("details");
  w.string(t.details);
  if (t.structured_details) {
    w.key("structuredDetails");
    write_map(w, *t.structured_details);
  }
  if (!t.transaction_details.empty()) {
    w.key("transactionDetails");
    w.open('[');
    for (const DecodedDetails& payment : t.transaction_details) {
      w.element();
      write_map(w, payment);
    }
    w.close(']');
  }
  if (options.bank_fields) {
    write_bank_fields(w, t);
    w.key("transactionId");
    w.string(id->text());
  }
}

// The trailer balances as the statement has them: an absent one is null, and every
// :65: is listed.
void write_bank_balance(JsonWriter& w, std::string_view date_key, std::string_view amount_key,
                        const std::optional<Balance>& balance) {
  w.key(date_key);
  if (balance) {
    w.date(balance->date);
  } else {
    w.null();
  }
  w.key(amount_key);
  if (balance) {
    w.amount(balance->signed_amount());
  } else {
    w.null();
  }
}

// A balance the statement lacks is null, never a zero it did not say.
void write_given_balance(JsonWriter& w, std::string_view key, const Balance& balance, bool given) {
  w.key(key);
  if (given) {
    w.amount(balance.signed_amount());
  } else {
    w.null();
  }
}

void write_forward_balances(JsonWriter& w, const Statement& s) {
  w.key("forwardAvailableBalances");
  w.open('[');
  for (const Balance& b : s.forward_balances) {
    w.element();
    w.open('{');
    w.key("date");
    w.date(b.date);
    w.key("amount");
    w.amount(b.signed_amount());
    w.close('}');
  }
  w.close(']');
}

void write_bank_trailer(JsonWriter& w, const Statement& s) {
  w.key("currency");
  w.string(statement_currency(s));
  write_given_balance(w, "openingBalance", s.opening_balance, s.opening_balance_given);
  write_given_balance(w, "closingBalance", s.closing_balance, s.closing_balance_given);
  write_bank_balance(w, "closingAvailableBalanceDate", "closingAvailableBalance", s.closing_available_balance);
  write_bank_balance(w, "forwardAvailableBalanceDate", "forwardAvailableBalance", s.forward_available_balance);
  write_forward_balances(w, s);
  w.key("complete");
  w.boolean(s.complete);
}

// The plain trailer: an absent :64: or :65: stands in as the closing balance, its date
// written as a midnight time.
void write_exact_trailer(JsonWriter& w, const Statement& s) {
  const Balance& closing = s.closing_balance;
  const Balance& closing_available =
      s.closing_available_balance ? *s.closing_available_balance : closing;
  const Balance& forward_available =
      s.forward_available_balance ? *s.forward_available_balance : closing;
  w.key("closingAvailableBalanceDate");
  w.date(closing_available.date, kMidnight);
  w.key("forwardAvailableBalanceDate");
  w.date(forward_available.date, kMidnight);
  w.key("currency");
  w.string(s.opening_balance.currency);
  // Balances carry their mark as the sign, so an overdrawn account reads negative.
  w.key("openingBalance");
  w.amount(s.opening_balance.signed_amount());
  w.key("closingBalance");
  w.amount(closing.signed_amount());
  w.key("closingAvailableBalance");
  w.amount(closing_available.signed_amount());
  w.key("forwardAvailableBalance");
  w.amount(forward_available.signed_amount());
}

// An MT942 interim report gives no balance, a camt report or notification may give
// some: null where it gives none, as in a statement of the bank-file reading, then its
// own fields.
void write_report_trailer(JsonWriter& w, const Statement& s) {
  write_bank_trailer(w, s);
  w.key("kind");
  w.string(s.kind == StatementKind::Notification ? "notification" : "interimReport");
  w.key("floorLimits");
  w.open('[');
  for (const FloorLimit& limit : s.floor_limits) {
    w.element();
    w.open('{');
    w.key("mark");
    if (limit.debit_credit) {
      w.string(mark_text(*limit.debit_credit));
    } else {
      w.null();
    }
    w.key("amount");
    w.amount(limit.amount);
    w.close('}');
  }
  w.close(']');
  w.key("reportedAt");
  if (s.reported_at) {
    const ReportTime& t = *s.reported_at;
    std::string text = t.date.to_iso();
    char clock[16];
    std::snprintf(clock, sizeof clock, "T%02u:%02u:00", unsigned{t.hour}, unsigned{t.minute});
    text += clock;
    if (t.utc_offset_minutes) {
      const int offset = *t.utc_offset_minutes;
      const int magnitude = offset < 0 ? -offset : offset;
      std::snprintf(clock, sizeof clock, "%c%02d:%02d", offset < 0 ? '-' : '+', magnitude / 60, magnitude % 60);
      text += clock;
    }
    w.string(text);
  } else {
    w.null();
  }
  for (const bool debit : {true, false}) {
    const std::optional<EntryTotal>& total = debit ? s.debit_total : s.credit_total;
    w.key(debit ? "debitEntries" : "creditEntries");
    if (!total) {
      w.null();
      continue;
    }
    w.open('{');
    w.key("count");
    w.integer(total->count);
    w.key("amount");
    w.amount(total->sum);
    w.close('}');
  }
}

void write_statement(JsonWriter& w, const Statement& s, const JsonOptions& options, RoomCuts& cuts) {
  const Balance& closing = s.closing_balance;
  const bool report = s.kind != StatementKind::Statement;
  w.element();
  w.open('{');
  w.key("transactionReference");
  w.string(s.transaction_reference);
  w.key("relatedReference");
  w.string(s.related_reference ? *s.related_reference : std::string_view());
  w.key("accountIdentification");
  w.string(s.account_identification);
  w.key("number");
  w.open('{');
  w.key("statement");
  w.string(s.number);
  if (s.sequence) {
    w.key("sequence");
    w.string(*s.sequence);
  }
  w.key("section");
  w.string("");
  w.close('}');
  w.key("statementDate");
  if (!report && s.closing_balance_given) {
    w.date(closing.date);
  } else if (report && s.reported_at) {
    w.date(s.reported_at->date);
  } else {
    w.null();
  }
  w.key("openingBalanceDate");
  if (!s.opening_balance_given) {
    w.null();
  } else {
    w.date(s.opening_balance.date);
  }
  w.key("closingBalanceDate");
  if (!s.closing_balance_given) {
    w.null();
  } else {
    w.date(closing.date);
  }
  if (report) {
    write_report_trailer(w, s);
  } else if (options.bank_fields) {
    write_bank_trailer(w, s);
  } else {
    write_exact_trailer(w, s);
  }
  w.key("informationToAccountOwner");
  w.string(s.information_to_account_owner ? *s.information_to_account_owner
                                          : std::string_view());
  if (s.source_details) {
    w.key("sourceDetails");
    write_map(w, *s.source_details);
  }
  w.key("transactions");
  w.open('[');
  const std::vector<TransactionId> ids = options.bank_fields ? transaction_ids(s) : std::vector<TransactionId>();
  for (std::size_t i = 0; i < s.transactions.size(); ++i) {
    w.element();
    w.open('{');
    write_transaction_members(w, s.transactions[i], statement_currency(s), options,
                              options.bank_fields ? &ids[i] : nullptr);
    w.close('}');
    if (!cuts.cut()) return;
  }
  w.close(']');
  w.close('}');
}

std::size_t estimate_size(std::span<const Statement> statements) noexcept {
  std::size_t n = 2;
  for (const Statement& s : statements) {
    n += 900 + s.transaction_reference.size() + s.account_identification.size() +
         (s.information_to_account_owner ? s.information_to_account_owner->size() : 0);
    for (const Transaction& t : s.transactions) {
      n += 420 + t.customer_reference.size() + t.details.size() +
           (t.extra_details ? t.extra_details->size() : 0);
      // A map's values are mostly runs of the details, some joined from several: twice
      // the details (or the map's source) bound them roughly, without reading every entry.
      if (const auto& map = t.structured_details) {
        n += 24 * map->size() + 2 * std::max(t.details.size(), map->source().size());
      }
    }
  }
  return n;
}

}  // namespace

void detail::format_json_number(double x, std::string& out) {
  if (x == 0) {
    out.append(std::signbit(x) ? "-0.0" : "0.0");
    return;
  }
  if (!std::isfinite(x)) {
    out.append("null");
    return;
  }
  // Shortest round-trip digits in the form [-]d[.ddd]e(+|-)xx.
  char buf[40];
  const auto res = std::to_chars(buf, buf + sizeof buf, x, std::chars_format::scientific);
  const char* p = buf;
  const bool negative = *p == '-';
  p += negative ? 1 : 0;
  char digits[24];
  int n = 0;
  while (*p != 'e') {
    if (*p != '.') digits[n++] = *p;
    ++p;
  }
  ++p;
  const bool negative_power = *p == '-';
  ++p;  // the exponent's sign is always written
  int e = 0;
  for (; p != res.ptr; ++p) e = e * 10 + (*p - '0');
  char text[48];
  const char* end = put_number_layout(text, negative, std::string_view(digits, static_cast<std::size_t>(n)),
                                      negative_power ? -e : e);
  out.append(text, static_cast<std::size_t>(end - text));
}

Result<std::size_t> write_json(std::span<const Statement> statements, OutputSink& sink, const JsonOptions& options) {
  // Every key is a fixed string and every number finite: only the sink can fail.
  detail::SinkBuffer buffer(sink);
  buffer.reserve(estimate_size(statements));
  detail::OutRoom room(buffer.text());
  RoomCuts cuts(buffer, room, sink.string() != nullptr);
  JsonWriter w(room, options);
  w.open('[');
  for (const Statement& s : statements) {
    write_statement(w, s, options, cuts);
    if (!buffer.ok()) break;
  }
  w.close(']');
  room.settle();
  if (!buffer.flush()) return detail::sink_refused();
  return buffer.written();
}

Result<std::size_t> write_json_lines(std::span<const Statement> statements, OutputSink& sink,
                                     const JsonOptions& options) {
  detail::SinkBuffer buffer(sink);
  buffer.reserve(estimate_size(statements));
  detail::OutRoom room(buffer.text());
  RoomCuts cuts(buffer, room, sink.string() != nullptr);
  for (const Statement& s : statements) {
    const std::vector<TransactionId> ids = options.bank_fields ? transaction_ids(s) : std::vector<TransactionId>();
    for (std::size_t i = 0; i < s.transactions.size(); ++i) {
      JsonWriter w(room, options, true);
      w.open('{');
      w.key("transactionReference");
      w.string(s.transaction_reference);
      w.key("relatedReference");
      w.string(s.related_reference.value_or(std::string_view()));
      w.key("accountIdentification");
      w.string(s.account_identification);
      w.key("statement");
      w.string(s.number);
      w.key("sequence");
      w.string(s.sequence.value_or(std::string_view()));
      w.key("complete");
      w.boolean(s.complete);
      write_transaction_members(w, s.transactions[i], statement_currency(s), options,
                                options.bank_fields ? &ids[i] : nullptr);
      w.close('}');
      *room.room(1) = '\n';
      room.advance_to(room.at() + 1);
      if (!cuts.cut()) {
        room.settle();
        return detail::sink_refused();
      }
    }
  }
  room.settle();
  if (!buffer.flush()) return detail::sink_refused();
  return buffer.written();
}

Result<std::string> export_json(std::span<const Statement> statements, const JsonOptions& options) {
  return detail::into_string([&](OutputSink& sink) { return write_json(statements, sink, options); });
}

Result<std::string> export_json_lines(std::span<const Statement> statements, const JsonOptions& options) {
  return detail::into_string([&](OutputSink& sink) { return write_json_lines(statements, sink, options); });
}

}  // namespace tallyfold
