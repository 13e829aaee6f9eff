#include "tallyfold/transaction_id.hpp"

#include <charconv>
#include <string>
#include <unordered_map>

#include "util/blake2b.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kVersionLine = "tallyfold-transaction-id-1\n";

// One field: its length, ":", its bytes and a line feed, so that no field can run into
// the next whatever bytes it holds.
void append_field(std::string& out, std::string_view bytes) {
  char digits[24];
  out.append(digits, std::to_chars(digits, digits + sizeof digits, bytes.size()).ptr);
  out.push_back(':');
  out.append(bytes);
  out.push_back('\n');
}

// Fields 4 to 13: the values of one transaction, the same for identical transactions.
void append_transaction_fields(std::string& out, const Transaction& t) {
  std::string scratch;
  t.value_date.append_iso(scratch);
  append_field(out, scratch);
  scratch.clear();
  if (t.entry_date) t.entry_date->append_iso(scratch);
  append_field(out, scratch);
  append_field(out, mark_text(t.debit_credit));
  append_field(out, t.funds_code ? std::string_view(&*t.funds_code, 1) : std::string_view());
  scratch.clear();
  t.signed_amount().append_to(scratch);
  append_field(out, scratch);
  append_field(out, t.transaction_type);
  append_field(out, t.customer_reference);
  append_field(out, t.bank_reference.value_or(std::string_view()));
  append_field(out, t.extra_details.value_or(std::string_view()));
  append_field(out, t.details);
}

}  // namespace

std::vector<TransactionId> transaction_ids(const Statement& s) {
  std::string head(kVersionLine);
  append_field(head, s.account_identification);
  append_field(head, statement_currency(s));
  std::string number(s.number);
  if (s.sequence) {
    number.push_back('/');
    number.append(*s.sequence);
  }
  append_field(head, number);

  // The statement's fields hashed once; every transaction continues from that state.
  detail::Blake2b statement_state(16);
  statement_state.update(head);

  std::vector<TransactionId> ids;
  ids.reserve(s.transactions.size());
  std::unordered_map<std::string, std::size_t> seen;  // fields 4 to 13 -> occurrences so far
  std::string fields;
  for (const Transaction& t : s.transactions) {
    fields.clear();
    append_transaction_fields(fields, t);
    const std::size_t occurrence = ++seen[fields];
    char digits[24];
    append_field(fields, std::string_view(digits, std::to_chars(digits, digits + sizeof digits, occurrence).ptr));

    detail::Blake2b hash = statement_state;
    hash.update(fields);
    std::uint8_t digest[16];
    hash.finish(digest);
    TransactionId id;
    constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t i = 0; i < 16; ++i) {
      id.hex[2 * i] = kHex[digest[i] >> 4];
      id.hex[2 * i + 1] = kHex[digest[i] & 0xF];
    }
    ids.push_back(id);
  }
  return ids;
}

}  // namespace tallyfold
