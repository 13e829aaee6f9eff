#include "fields/field_parts.hpp"
#include "tallyfold/arrow.hpp"

#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/fields.hpp"
#include "tallyfold/reconcile.hpp"
#include "tallyfold/transaction_id.hpp"
#include "util/utf8.hpp"

namespace tallyfold {
namespace {

// --- the shape of a table ---------------------------------------------------------

enum class Kind : std::uint8_t { Utf8, Bool, Date32, Decimal, Int64, Struct, List, Map };

const char* format_of(Kind kind) noexcept {
  switch (kind) {
    case Kind::Utf8: return "u";
    case Kind::Bool: return "b";
    case Kind::Date32: return "tdD";
    case Kind::Decimal: return "d:38,5";
    case Kind::Int64: return "l";
    case Kind::Struct: return "+s";
    case Kind::List: return "+l";
    case Kind::Map: return "+m";
  }
  return "";
}

constexpr int kScale = 5;  // of every decimal column

struct Field {
  const char* name;
  Kind kind;
  bool nullable = false;
  std::vector<Field> children = {};
};

Field text(const char* name, bool nullable = false) { return {name, Kind::Utf8, nullable}; }

Field balance_struct(const char* name, bool nullable) {
  return {name, Kind::Struct, nullable,
          {text("mark"), {"intermediate", Kind::Bool}, {"date", Kind::Date32}, text("currency"),
           {"amount", Kind::Decimal}}};
}

// Column order of the transactions table; the builder appends in the same order.
const Field& transactions_shape() {
  static const Field shape{
      "",
      Kind::Struct,
      false,
      {text("account"),
       text("reference"),
       text("number"),
       text("currency"),
       {"value_date", Kind::Date32},
       {"entry_date", Kind::Date32, true},
       text("debit_credit"),
       {"amount", Kind::Decimal},
       {"is_credit", Kind::Bool},
       {"is_debit", Kind::Bool},
       {"is_reversal", Kind::Bool},
       text("transaction_type"),
       text("customer_reference"),
       text("bank_reference", true),
       text("details"),
       {"structured_details", Kind::Map, true,
        {{"entries", Kind::Struct, false, {text("key"), text("value")}}}},
       text("counterparty"),
       text("counter_iban"),
       text("purpose"),
       text("counterparty_bic"),
       text("end_to_end_reference"),
       text("mandate_reference"),
       text("creditor_id"),
       text("transaction_id", true)}};
  return shape;
}

const Field& statements_shape() {
  static const Field shape{
      "",
      Kind::Struct,
      false,
      {text("reference"),
       text("related_reference", true),
       text("account"),
       text("number"),
       text("currency"),
       text("kind"),
       balance_struct("opening_balance", true),
       balance_struct("closing_balance", true),
       balance_struct("available_balance", true),
       {"forward_balances", Kind::List, false, {balance_struct("item", false)}},
       text("information", true),
       {"transaction_count", Kind::Int64},
       {"difference", Kind::Decimal, true},
       {"balanced", Kind::Bool, true},
       {"follows_previous", Kind::Bool, true},
       {"floor_limits", Kind::List, false,
        {{"item", Kind::Struct, false, {text("mark", true), text("currency"), {"amount", Kind::Decimal}}}}},
       {"debit_total", Kind::Struct, true, {{"count", Kind::Int64}, {"sum", Kind::Decimal}}},
       {"credit_total", Kind::Struct, true, {{"count", Kind::Int64}, {"sum", Kind::Decimal}}}}};
  return shape;
}

// One row per payment of a batch entry (Transaction::transaction_details), linked to
// its entry by the statement's columns, the entry's position and its transaction id.
const Field& transaction_details_shape() {
  static const Field shape{
      "",
      Kind::Struct,
      false,
      {text("account"),
       text("reference"),
       text("number"),
       {"transaction_index", Kind::Int64},
       text("transaction_id", true),
       {"detail_index", Kind::Int64},
       {"details", Kind::Map, false, {{"entries", Kind::Struct, false, {text("key"), text("value")}}}}}};
  return shape;
}

// --- schema -------------------------------------------------------------------------

// Names and formats are literals, so a schema owns only its array of children.
void release_schema(ArrowSchema* schema) {
  if (schema->release == nullptr) return;
  for (int64_t i = 0; i < schema->n_children; ++i) {
    ArrowSchema* child = schema->children[i];
    if (child->release != nullptr) child->release(child);
    delete child;
  }
  delete[] schema->children;
  schema->release = nullptr;
}

void export_schema(const Field& field, ArrowSchema& out) {
  out.format = format_of(field.kind);
  out.name = field.name;
  out.metadata = nullptr;
  out.flags = (field.nullable ? ARROW_FLAG_NULLABLE : 0) |
              (field.kind == Kind::Map ? ARROW_FLAG_MAP_KEYS_SORTED : 0);
  out.n_children = static_cast<int64_t>(field.children.size());
  out.children = nullptr;
  out.dictionary = nullptr;
  out.private_data = nullptr;
  out.release = &release_schema;
  if (field.children.empty()) return;
  out.children = new ArrowSchema*[field.children.size()]();
  for (std::size_t i = 0; i < field.children.size(); ++i) {
    out.children[i] = new ArrowSchema{};
    export_schema(field.children[i], *out.children[i]);
  }
}

// --- columns ------------------------------------------------------------------------

std::int32_t days_since_epoch(const Date& date) noexcept {
  // Days from civil: the year starts in March, so the leap day ends it.
  const std::int32_t y = date.year() - (date.month() <= 2 ? 1 : 0);
  const std::int32_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<std::uint32_t>(y - era * 400);
  const unsigned m = date.month();
  const std::uint32_t doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + date.day() - 1;
  const std::uint32_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int32_t>(doe) - 719468;
}

constexpr uint128 pow10(int n) noexcept {
  uint128 p = 1;
  for (int i = 0; i < n; ++i) p *= 10;
  return p;
}

// The 128-bit value of `d` at scale 5, or nullopt when digits would be lost.
std::optional<uint128> at_scale(const Decimal& d) noexcept {
  uint128 v = d.mantissa();
  if (d.scale() <= kScale) {
    v *= pow10(kScale - d.scale());  // below 2^96 * 10^5 < 2^113: no overflow
  } else {
    const uint128 divisor = pow10(d.scale() - kScale);
    if (v % divisor != 0) return std::nullopt;
    v /= divisor;
  }
  return d.negative() ? ~v + 1 : v;  // two's complement
}

void append_replacing_invalid(std::string_view text, std::string& out) {
  // Arrow's utf8 must be well-formed; what is not is shown as U+FFFD, as in JSON.
  while (!text.empty()) {
    const auto bad = find_invalid_utf8(text);
    if (!bad) {
      out.append(text);
      return;
    }
    out.append(text.substr(0, *bad));
    out.append(detail::kReplacementCharacter);
    const auto* p = reinterpret_cast<const unsigned char*>(text.data()) + *bad;
    text.remove_prefix(*bad + detail::utf8_step(p, text.size() - *bad).length);
  }
}

// One column of a batch being built, with its buffers. Values are appended row by row;
// a struct's children and a list's items are appended through child().
class Column {
 public:
  explicit Column(const Field& field) : field_(&field) {
    for (const Field& child : field.children) children_.emplace_back(child);
    // Mandatory buffers are never null, even when empty.
    validity_.reserve(1);
    data_.reserve(1);
    chars_.reserve(1);
    if (has_offsets()) offsets_.push_back(0);
  }

  std::int64_t length() const noexcept { return length_; }
  std::size_t text_bytes() const noexcept {
    std::size_t n = chars_.size();
    for (const Column& c : children_) n += c.text_bytes();
    return n;
  }
  Column& child(std::size_t i) { return children_[i]; }

  void null() {
    mark(false);
    fill();
  }
  void text(std::string_view value) {
    mark(true);
    if (find_invalid_utf8(value)) {
      append_replacing_invalid(value, chars_);
    } else {
      chars_.append(value);
    }
    offsets_.push_back(static_cast<std::int32_t>(chars_.size()));
  }
  void text(const std::string& value) { text(std::string_view(value)); }
  void text(const std::optional<std::string_view>& value) { value ? text(*value) : null(); }
  void boolean(bool value) {
    mark(true);
    set_bit(data_, length_ - 1, value);
  }
  void boolean(const std::optional<bool>& value) { value ? boolean(*value) : null(); }
  void date(const Date& value) {
    mark(true);
    put(days_since_epoch(value));
  }
  void date(const std::optional<Date>& value) { value ? date(*value) : null(); }
  void integer(std::int64_t value) {
    mark(true);
    put(value);
  }
  // False when `value` has more decimals than the column holds; nothing is appended.
  [[nodiscard]] bool decimal(const Decimal& value) {
    const auto scaled = at_scale(value);
    if (!scaled) return false;
    mark(true);
    const auto low = static_cast<std::uint64_t>(*scaled);
    const auto high = static_cast<std::uint64_t>(*scaled >> 64);
    put(low);  // little-endian halves, as Arrow lays out decimal128
    put(high);
    return true;
  }
  // A present struct row, whose children the caller appends.
  void present() { mark(true); }
  // A present list row, whose items the caller has appended to child(0).
  void end_list() {
    mark(true);
    offsets_.push_back(static_cast<std::int32_t>(children_[0].length()));
  }

  /// Moves the buffers into `out`, which then owns them.
  void release_into(ArrowArray& out) &&;

  struct Owned;

 private:
  bool has_offsets() const noexcept {
    return field_->kind == Kind::Utf8 || field_->kind == Kind::List || field_->kind == Kind::Map;
  }
  static void set_bit(std::vector<std::uint8_t>& bits, std::int64_t index, bool value) {
    const auto byte = static_cast<std::size_t>(index / 8);
    if (bits.size() <= byte) bits.resize(byte + 1, 0);
    const auto bit = static_cast<std::uint8_t>(1u << (index % 8));
    bits[byte] = static_cast<std::uint8_t>(value ? bits[byte] | bit : bits[byte] & ~bit);
  }
  void mark(bool valid) {
    if (field_->nullable) set_bit(validity_, length_, valid);
    if (!valid) ++null_count_;
    ++length_;
  }
  template <typename T>
  void put(T value) {
    const std::size_t at = data_.size();
    data_.resize(at + sizeof value);
    std::memcpy(data_.data() + at, &value, sizeof value);
  }
  // The value slot of a null row (its children need one too).
  void fill() {
    switch (field_->kind) {
      case Kind::Utf8: offsets_.push_back(static_cast<std::int32_t>(chars_.size())); break;
      case Kind::Bool: set_bit(data_, length_ - 1, false); break;
      case Kind::Date32: put(std::int32_t{0}); break;
      case Kind::Int64: put(std::int64_t{0}); break;
      case Kind::Decimal: put(std::uint64_t{0}), put(std::uint64_t{0}); break;
      case Kind::Struct:
        for (Column& c : children_) c.null_or_empty();
        break;
      case Kind::List:
      case Kind::Map: offsets_.push_back(static_cast<std::int32_t>(children_[0].length())); break;
    }
  }
  // A placeholder row under a null parent: null where the field allows it.
  void null_or_empty() {
    if (field_->nullable) {
      null();
      return;
    }
    ++length_;
    fill();
  }

  const Field* field_;
  std::vector<Column> children_;
  std::vector<std::uint8_t> validity_;
  std::vector<std::uint8_t> data_;
  std::vector<std::int32_t> offsets_;
  std::string chars_;
  std::int64_t length_ = 0;
  std::int64_t null_count_ = 0;
};

struct Column::Owned {
  std::vector<std::uint8_t> validity;
  std::vector<std::uint8_t> data;
  std::vector<std::int32_t> offsets;
  std::string chars;
  std::vector<ArrowArray> children;
  std::vector<ArrowArray*> child_pointers;
  const void* buffers[3] = {};
};

void release_owned_array(ArrowArray* array);

void Column::release_into(ArrowArray& out) && {
  auto owned = std::make_unique<Owned>();
  owned->children.resize(children_.size());
  for (std::size_t i = 0; i < children_.size(); ++i) {
    std::move(children_[i]).release_into(owned->children[i]);
    owned->child_pointers.push_back(&owned->children[i]);
  }
  owned->validity = std::move(validity_);
  owned->data = std::move(data_);
  owned->offsets = std::move(offsets_);
  owned->chars = std::move(chars_);
  const void* validity = null_count_ > 0 ? owned->validity.data() : nullptr;
  int64_t n_buffers = 0;
  switch (field_->kind) {
    case Kind::Utf8:
      owned->buffers[0] = validity;
      owned->buffers[1] = owned->offsets.data();
      owned->buffers[2] = owned->chars.data();
      n_buffers = 3;
      break;
    case Kind::List:
    case Kind::Map:
      owned->buffers[0] = validity;
      owned->buffers[1] = owned->offsets.data();
      n_buffers = 2;
      break;
    case Kind::Struct:
      owned->buffers[0] = validity;
      n_buffers = 1;
      break;
    default:
      owned->buffers[0] = validity;
      owned->buffers[1] = owned->data.data();
      n_buffers = 2;
      break;
  }
  out.length = length_;
  out.null_count = null_count_;
  out.offset = 0;
  out.n_buffers = n_buffers;
  out.n_children = static_cast<int64_t>(owned->children.size());
  out.buffers = owned->buffers;
  out.children = owned->child_pointers.empty() ? nullptr : owned->child_pointers.data();
  out.dictionary = nullptr;
  out.release = &release_owned_array;
  out.private_data = owned.release();
}

void release_owned_array(ArrowArray* array) {
  if (array->release == nullptr) return;
  for (int64_t i = 0; i < array->n_children; ++i) {
    ArrowArray* child = array->children[i];
    if (child->release != nullptr) child->release(child);  // a consumer may have moved it
  }
  delete static_cast<Column::Owned*>(array->private_data);
  array->release = nullptr;
}

// --- rows ---------------------------------------------------------------------------

// A batch holds at most this many rows, and is cut early once its texts reach kBatchText
// bytes, so that 32-bit offsets never overflow.
constexpr std::size_t kBatchRows = 1 << 16;
constexpr std::size_t kBatchText = std::size_t{1} << 30;

// An amount the table cannot hold exactly.
struct Unrepresentable {
  std::string what;
};

void decimal(Column& c, const Decimal& value, const char* what) {
  if (!c.decimal(value)) {
    throw Unrepresentable{std::string(what) + " " + value.to_string() + " has more than " +
                          std::to_string(kScale) + " decimals, which the table's decimal128(38, " +
                          std::to_string(kScale) + ") cannot hold"};
  }
}

std::string number_of(const Statement& s) {
  std::string text(s.number);
  if (s.sequence) {
    text += '/';
    text += *s.sequence;
  }
  return text;
}

void append_map(Column& map, const DecodedDetails& details) {
  Column& entries = map.child(0);
  for (const auto& [key, value] : details) {
    entries.present();
    entries.child(0).text(key);
    entries.child(1).text(value);
  }
  map.end_list();
}

void append_transaction(std::vector<Column>& c, const Statement& s, std::string_view number, const Transaction& t,
                        const TransactionId* id, FieldScratch& scratch) {
  c[0].text(s.account_identification);
  c[1].text(s.transaction_reference);
  c[2].text(number);
  c[3].text(statement_currency(s));
  c[4].date(t.value_date);
  c[5].date(t.entry_date);
  c[6].text(mark_text(t.debit_credit));
  decimal(c[7], t.signed_amount(), "amount");
  c[8].boolean(is_credit_side(t.debit_credit));
  c[9].boolean(is_debit_side(t.debit_credit));
  c[10].boolean(is_reversal(t.debit_credit));
  c[11].text(t.transaction_type);
  c[12].text(t.customer_reference);
  c[13].text(t.bank_reference);
  c[14].text(t.details);
  if (t.structured_details) {
    append_map(c[15], *t.structured_details);
  } else {
    c[15].null();
  }
  const FieldViews f = field_views(t, scratch);
  c[16].text(f.counterparty);
  c[17].text(f.counter_iban);
  c[18].text(f.purpose);
  c[19].text(f.counterparty_bic);
  c[20].text(f.end_to_end_reference);
  c[21].text(f.mandate_reference);
  c[22].text(f.creditor_id);
  c[23].text(id ? std::optional(id->text()) : std::nullopt);
}

void append_balance(Column& c, const Balance& b) {
  c.present();
  c.child(0).text(mark_text(b.debit_credit));
  c.child(1).boolean(b.intermediate);
  c.child(2).date(b.date);
  c.child(3).text(b.currency);
  decimal(c.child(4), b.signed_amount(), "balance");
}

void append_total(Column& c, const std::optional<EntryTotal>& total) {
  if (!total) {
    c.null();
    return;
  }
  c.present();
  c.child(0).integer(static_cast<std::int64_t>(total->count));
  decimal(c.child(1), total->sum, "entry total");
}

void append_statement(std::vector<Column>& c, const Statement& s, const StatementCheck& check) {
  const bool report = s.kind != StatementKind::Statement;
  c[0].text(s.transaction_reference);
  c[1].text(s.related_reference);
  c[2].text(s.account_identification);
  c[3].text(number_of(s));
  c[4].text(statement_currency(s));
  c[5].text(std::string_view(s.kind == StatementKind::InterimReport  ? "interim_report"
                             : s.kind == StatementKind::Notification ? "notification"
                                                                     : "statement"));
  // A report or notification has only the balances it gives (an MT942 report none); an
  // incomplete statement may lack one. Only a whole statement's are checked.
  const bool checked = !report && s.opening_balance_given && s.closing_balance_given;
  if (s.opening_balance_given) {
    append_balance(c[6], s.opening_balance);
  } else {
    c[6].null();
  }
  if (s.closing_balance_given) {
    append_balance(c[7], s.closing_balance);
  } else {
    c[7].null();
  }
  if (s.closing_available_balance) {
    append_balance(c[8], *s.closing_available_balance);
  } else {
    c[8].null();
  }
  for (const Balance& b : s.forward_balances) append_balance(c[9].child(0), b);
  c[9].end_list();
  c[10].text(s.information_to_account_owner);
  c[11].integer(static_cast<std::int64_t>(s.transactions.size()));
  if (report || !check.difference) {
    c[12].null();
  } else {
    decimal(c[12], *check.difference, "difference");
  }
  c[13].boolean(checked ? std::optional<bool>(check.balanced) : std::nullopt);
  c[14].boolean(report || !s.opening_balance_given ? std::nullopt : check.continues_previous);
  Column& limits = c[15].child(0);
  for (const FloorLimit& limit : s.floor_limits) {
    limits.present();
    limits.child(0).text(limit.debit_credit ? std::optional<std::string_view>(mark_text(*limit.debit_credit))
                                            : std::nullopt);
    limits.child(1).text(limit.currency);
    decimal(limits.child(2), limit.amount, "floor limit");
  }
  c[15].end_list();
  append_total(c[16], s.debit_total);
  append_total(c[17], s.credit_total);
}

// --- the stream ---------------------------------------------------------------------

struct StreamState {
  std::shared_ptr<const std::vector<Statement>> statements;
  ArrowTable table = ArrowTable::Transactions;
  std::vector<StatementCheck> checks;  // the statements table's reconciliation
  std::size_t statement = 0;           // where the next batch starts
  std::size_t transaction = 0;
  std::size_t detail = 0;  // of the transaction, in the details table
  std::string last_error;
  // The ids of statement `ids_of`, kept while its transactions span batches.
  std::vector<TransactionId> ids;
  std::size_t ids_of = static_cast<std::size_t>(-1);
  FieldScratch fields;

  const Field& shape() const {
    switch (table) {
      case ArrowTable::Transactions: return transactions_shape();
      case ArrowTable::Statements: return statements_shape();
      case ArrowTable::TransactionDetails: break;
    }
    return transaction_details_shape();
  }

  // The ids of statement `at`, computed once while its rows span batches.
  const std::vector<TransactionId>& ids_for(std::size_t at) {
    if (ids_of != at) {
      const Statement& s = (*statements)[at];
      // Transactions the exact reading's decoders read have no ids.
      const bool bank = !s.transactions.empty() && s.transactions.front().rules == FieldRules::Bank;
      ids = bank ? transaction_ids(s) : std::vector<TransactionId>();
      ids_of = at;
    }
    return ids;
  }

  // The next batch's columns; empty when every row has been given.
  std::vector<Column> next_batch() {
    const auto& all = *statements;
    std::vector<Column> columns;
    for (const Field& f : shape().children) columns.emplace_back(f);
    std::size_t rows = 0;
    auto room = [&] { return rows < kBatchRows && batch_text(columns) < kBatchText; };
    if (table == ArrowTable::Transactions) {
      while (statement < all.size() && room()) {
        const Statement& s = all[statement];
        const std::string number = number_of(s);
        ids_for(statement);
        for (; transaction < s.transactions.size() && room(); ++transaction) {
          append_transaction(columns, s, number, s.transactions[transaction],
                             ids.empty() ? nullptr : &ids[transaction], fields);
          ++rows;
        }
        if (transaction < s.transactions.size()) break;
        ++statement;
        transaction = 0;
      }
    } else if (table == ArrowTable::TransactionDetails) {
      while (statement < all.size() && room()) {
        const Statement& s = all[statement];
        const std::string number = number_of(s);
        for (; transaction < s.transactions.size() && room(); ++transaction, detail = 0) {
          const auto& payments = s.transactions[transaction].transaction_details;
          if (payments.empty()) continue;
          const std::vector<TransactionId>& known = ids_for(statement);
          const std::optional<std::string_view> id =
              known.empty() ? std::nullopt : std::optional(known[transaction].text());
          for (; detail < payments.size() && room(); ++detail, ++rows) {
            columns[0].text(s.account_identification);
            columns[1].text(s.transaction_reference);
            columns[2].text(number);
            columns[3].integer(static_cast<std::int64_t>(transaction));
            columns[4].text(id);
            columns[5].integer(static_cast<std::int64_t>(detail));
            append_map(columns[6], payments[detail]);
          }
          if (detail < payments.size()) break;
        }
        if (transaction < s.transactions.size()) break;
        ++statement;
        transaction = 0;
      }
    } else {
      if (checks.empty()) checks = check_statements(all);
      for (; statement < all.size() && room(); ++statement) {
        append_statement(columns, all[statement], checks[statement]);
        ++rows;
      }
    }
    return columns;
  }

  static std::size_t batch_text(const std::vector<Column>& columns) {
    std::size_t n = 0;
    for (const Column& c : columns) n += c.text_bytes();
    return n;
  }
};

StreamState& state_of(ArrowArrayStream* stream) { return *static_cast<StreamState*>(stream->private_data); }

int stream_get_schema(ArrowArrayStream* stream, ArrowSchema* out) {
  StreamState& state = state_of(stream);
  try {
    export_schema(state.shape(), *out);
    return 0;
  } catch (const std::bad_alloc&) {
    state.last_error = "out of memory";
    return ENOMEM;
  }
}

int stream_get_next(ArrowArrayStream* stream, ArrowArray* out) {
  StreamState& state = state_of(stream);
  try {
    std::vector<Column> columns = state.next_batch();
    if (columns.empty() || columns.front().length() == 0) {
      out->release = nullptr;  // the end of the stream
      return 0;
    }
    // The batch is a struct array of its columns, without nulls of its own.
    const std::int64_t rows = columns.front().length();
    struct BatchOwned {
      std::vector<ArrowArray> children;
      std::vector<ArrowArray*> pointers;
      const void* buffers[1] = {nullptr};
    };
    auto holder = std::make_unique<BatchOwned>();
    holder->children.resize(columns.size());
    for (std::size_t i = 0; i < columns.size(); ++i) {
      std::move(columns[i]).release_into(holder->children[i]);
      holder->pointers.push_back(&holder->children[i]);
    }
    ArrowArray assembled{};
    assembled.length = rows;
    assembled.null_count = 0;
    assembled.offset = 0;
    assembled.n_buffers = 1;
    assembled.n_children = static_cast<int64_t>(holder->children.size());
    assembled.buffers = holder->buffers;
    assembled.children = holder->pointers.data();
    assembled.dictionary = nullptr;
    assembled.release = [](ArrowArray* array) {
      if (array->release == nullptr) return;
      for (int64_t i = 0; i < array->n_children; ++i) {
        ArrowArray* child = array->children[i];
        if (child->release != nullptr) child->release(child);
      }
      delete static_cast<BatchOwned*>(array->private_data);
      array->release = nullptr;
    };
    assembled.private_data = holder.release();
    *out = assembled;
    return 0;
  } catch (const Unrepresentable& e) {
    state.last_error = e.what;
    return EINVAL;
  } catch (const std::bad_alloc&) {
    state.last_error = "out of memory";
    return ENOMEM;
  } catch (const std::exception& e) {
    state.last_error = std::string("internal error: ") + e.what();
    return EIO;
  }
}

const char* stream_get_last_error(ArrowArrayStream* stream) {
  const StreamState& state = state_of(stream);
  return state.last_error.empty() ? nullptr : state.last_error.c_str();
}

void stream_release(ArrowArrayStream* stream) {
  if (stream->release == nullptr) return;
  delete static_cast<StreamState*>(stream->private_data);
  stream->private_data = nullptr;
  stream->release = nullptr;
}

}  // namespace

void export_arrow_stream(std::shared_ptr<const std::vector<Statement>> statements, ArrowTable table,
                         ArrowArrayStream& out) {
  auto state = std::make_unique<StreamState>();
  state->statements = std::move(statements);
  state->table = table;
  out.get_schema = &stream_get_schema;
  out.get_next = &stream_get_next;
  out.get_last_error = &stream_get_last_error;
  out.release = &stream_release;
  out.private_data = state.release();
}

}  // namespace tallyfold
