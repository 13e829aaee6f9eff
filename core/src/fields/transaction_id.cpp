#include "tallyfold/transaction_id.hpp"

#include <charconv>
#include <string>
#include <bit>
#include <functional>

#include "util/blake2b.hpp"

namespace tallyfold {
namespace {

constexpr std::string_view kVersionLine = "tallyfold-transaction-id-1\n";

// One field: its length, ":", its bytes and a line feed, so that no field can run into
// the next whatever bytes it holds.
void append_field(std::string& out, std::string_view bytes) {
  char head[24];
  char* end = std::to_chars(head, head + sizeof head - 1, bytes.size()).ptr;
  *end++ = ':';
  out.append(head, static_cast<std::size_t>(end - head));
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

  // Fields 4 to 13 of every transaction, one after another, and a table of the distinct
  // ones seen so far (open addressing, at most half full) that counts occurrences
  // without an allocation per transaction.
  const std::size_t n = s.transactions.size();
  // Room for every transaction's fields at once: the texts and about 100 bytes of
  // dates, marks, amount and lengths each.
  std::size_t room = 0;
  for (const Transaction& t : s.transactions) {
    room += 100 + t.transaction_type.size() + t.customer_reference.size() + t.details.size() +
            t.bank_reference.value_or(std::string_view()).size() + t.extra_details.value_or(std::string_view()).size();
  }
  std::string fields;
  fields.reserve(room);
  std::vector<std::pair<std::size_t, std::size_t>> spans(n);
  struct Slot {
    std::size_t hash = 0;
    std::size_t first = 0;  // the first transaction with these fields
    std::size_t count = 0;  // 0: an empty slot
  };
  const std::size_t mask = std::bit_ceil(2 * n + 1) - 1;
  std::vector<Slot> slots(mask + 1);

  std::vector<TransactionId> ids;
  ids.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    const std::size_t start = fields.size();
    append_transaction_fields(fields, s.transactions[i]);
    spans[i] = {start, fields.size() - start};
    const std::string_view own = std::string_view(fields).substr(start);
    const std::size_t hash = std::hash<std::string_view>{}(own);
    std::size_t occurrence = 0;
    for (std::size_t k = hash & mask;; k = (k + 1) & mask) {
      Slot& slot = slots[k];
      if (slot.count == 0) {
        slot = Slot{hash, i, 1};
        occurrence = 1;
        break;
      }
      if (slot.hash == hash &&
          std::string_view(fields).substr(spans[slot.first].first, spans[slot.first].second) == own) {
        occurrence = ++slot.count;
        break;
      }
    }

    detail::Blake2b hash_state = statement_state;
    hash_state.update(own);
    char digits[24];
    std::string occurrence_field;
    append_field(occurrence_field,
                 std::string_view(digits, std::to_chars(digits, digits + sizeof digits, occurrence).ptr));
    hash_state.update(occurrence_field);
    std::uint8_t digest[16];
    hash_state.finish(digest);
    TransactionId id;
    constexpr char kHex[] = "0123456789abcdef";
    for (std::size_t b = 0; b < 16; ++b) {
      id.hex[2 * b] = kHex[digest[b] >> 4];
      id.hex[2 * b + 1] = kHex[digest[b] & 0xF];
    }
    ids.push_back(id);
  }
  return ids;
}

}  // namespace tallyfold
