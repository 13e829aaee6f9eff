#include "tallyfold/transaction_id.hpp"

#include <charconv>
#include <cstring>
#include <memory>
#include <string>
#include <bit>

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

// The most bytes a field's length, ":" and "\n" take besides its bytes, and the most
// the dates, mark, funds code and amount of fields 4 to 8 take.
constexpr std::size_t kFieldFrame = 22;
constexpr std::size_t kShortFields = 2 * 12 + 2 + 1 + 48;

// The bytes of fields 4 to 13 of `t` at most.
std::size_t fields_room(const Transaction& t) noexcept {
  return 10 * kFieldFrame + kShortFields + t.transaction_type.size() + t.customer_reference.size() +
         t.details.size() + t.bank_reference.value_or(std::string_view()).size() +
         t.extra_details.value_or(std::string_view()).size();
}

// The same field written at `p`, which has room for it; where it ends. A transaction's
// fields are a few short values and texts: their lengths are one to three digits.
char* put_field(char* p, std::string_view bytes) noexcept {
  const std::size_t n = bytes.size();
  if (n < 10) {
    *p++ = static_cast<char>('0' + n);
  } else if (n < 100) {
    p[0] = static_cast<char>('0' + n / 10);
    p[1] = static_cast<char>('0' + n % 10);
    p += 2;
  } else if (n < 1000) {
    p[0] = static_cast<char>('0' + n / 100);
    p[1] = static_cast<char>('0' + n / 10 % 10);
    p[2] = static_cast<char>('0' + n % 10);
    p += 3;
  } else {
    p = std::to_chars(p, p + 20, n).ptr;
  }
  *p++ = ':';
  if (n != 0) std::memcpy(p, bytes.data(), n);
  p += n;
  *p++ = '\n';
  return p;
}

// A date's field as Date::append_iso writes it; `scratch` for the years it writes
// otherwise than with four digits.
char* put_date_field(char* p, const Date& d, std::string& scratch) {
  if (d.year() < 1000 || d.year() > 9999) [[unlikely]] {
    scratch.clear();
    d.append_iso(scratch);
    return put_field(p, scratch);
  }
  auto two = [](char* at, unsigned v) noexcept {
    at[0] = static_cast<char>('0' + v / 10);
    at[1] = static_cast<char>('0' + v % 10);
  };
  const auto year = static_cast<unsigned>(d.year());
  std::memcpy(p, "10:", 3);
  two(p + 3, year / 100);
  two(p + 5, year % 100);
  p[7] = '-';
  two(p + 8, d.month());
  p[10] = '-';
  two(p + 11, d.day());
  p[13] = '\n';
  return p + 14;
}

// Fields 4 to 13: the values of one transaction, the same for identical transactions;
// written at `p`, which has fields_room(t) bytes of room. Where they end.
char* put_transaction_fields(char* p, const Transaction& t, std::string& scratch) {
  p = put_date_field(p, t.value_date, scratch);
  if (t.entry_date) {
    p = put_date_field(p, *t.entry_date, scratch);
  } else {
    p = put_field(p, {});
  }
  p = put_field(p, mark_text(t.debit_credit));
  p = put_field(p, t.funds_code ? std::string_view(&*t.funds_code, 1) : std::string_view());
  scratch.clear();
  t.signed_amount().append_to(scratch);
  p = put_field(p, scratch);
  p = put_field(p, t.transaction_type);
  p = put_field(p, t.customer_reference);
  p = put_field(p, t.bank_reference.value_or(std::string_view()));
  p = put_field(p, t.extra_details.value_or(std::string_view()));
  return put_field(p, t.details);
}

// Which slot of the table a transaction's fields start from: all their bytes, in four
// lanes of words that do not wait on each other.
std::size_t fields_hash(std::string_view own) noexcept {
  constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
  auto load = [](const char* p) noexcept {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
  };
  auto mixed = [](std::uint64_t h, std::uint64_t w) noexcept {
    h = (h ^ w) * kMultiplier;
    return h ^ (h >> 29);
  };
  const char* p = own.data();
  const std::size_t n = own.size();
  std::uint64_t lane[4] = {n, 0x243F6A8885A308D3ULL, 0x13198A2E03707344ULL, 0xA4093822299F31D0ULL};
  std::size_t i = 0;
  for (; i + 32 <= n; i += 32) {
    for (int k = 0; k < 4; ++k) lane[k] = mixed(lane[k], load(p + i + 8 * k));
  }
  for (int k = 0; i + 8 <= n; i += 8, ++k) lane[k] = mixed(lane[k], load(p + i));
  std::uint64_t last = 0;
  std::memcpy(&last, p + i, n - i);
  std::uint64_t h = mixed(lane[0], last);
  for (int k = 1; k < 4; ++k) h = mixed(h, lane[k]);
  return static_cast<std::size_t>(h);
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

  // Fields 4 to 13 of every transaction followed by field 14, one after another, and a
  // table of the distinct fields 4 to 13 seen so far (open addressing, at most half
  // full) that counts occurrences without an allocation per transaction.
  const std::size_t n = s.transactions.size();
  // Room for every transaction's fields at once, never filled before they are written.
  constexpr std::size_t kOccurrenceRoom = 20 + kFieldFrame;
  std::size_t room = 0;
  for (const Transaction& t : s.transactions) room += fields_room(t) + kOccurrenceRoom;
  const std::unique_ptr<char[]> fields(new char[room]);
  std::string scratch;
  std::vector<std::pair<std::size_t, std::size_t>> spans(n);  // of fields 4 to 13
  std::vector<std::string_view> messages(n);                    // fields 4 to 14
  struct Slot {
    std::size_t hash = 0;
    std::size_t first = 0;  // the first transaction with these fields
    std::size_t count = 0;  // 0: an empty slot
  };
  const std::size_t mask = std::bit_ceil(2 * n + 1) - 1;
  std::vector<Slot> slots(mask + 1);

  char* end = fields.get();
  for (std::size_t i = 0; i < n; ++i) {
    char* const start = end;
    end = put_transaction_fields(start, s.transactions[i], scratch);
    const std::string_view own(start, static_cast<std::size_t>(end - start));
    spans[i] = {static_cast<std::size_t>(start - fields.get()), own.size()};
    const std::size_t hash = fields_hash(own);
    std::size_t occurrence = 0;
    for (std::size_t k = hash & mask;; k = (k + 1) & mask) {
      Slot& slot = slots[k];
      if (slot.count == 0) {
        slot = Slot{hash, i, 1};
        occurrence = 1;
        break;
      }
      if (slot.hash == hash &&
          std::string_view(fields.get() + spans[slot.first].first, spans[slot.first].second) == own) {
        occurrence = ++slot.count;
        break;
      }
    }
    char digits[24];
    const std::string_view count(digits, static_cast<std::size_t>(
                                             std::to_chars(digits, digits + sizeof digits, occurrence).ptr - digits));
    end = put_field(end, count);
    messages[i] = std::string_view(start, static_cast<std::size_t>(end - start));
  }

  // Every transaction's hash continues from the statement's state: several side by side.
  std::vector<std::uint8_t> digests(16 * n);
  detail::Blake2b::finish_each(statement_state, messages, digests.data());
  std::vector<TransactionId> ids(n);
  constexpr char kHex[] = "0123456789abcdef";
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* digest = digests.data() + 16 * i;
    for (std::size_t b = 0; b < 16; ++b) {
      ids[i].hex[2 * b] = kHex[digest[b] >> 4];
      ids[i].hex[2 * b + 1] = kHex[digest[b] & 0xF];
    }
  }
  return ids;
}

}  // namespace tallyfold
