// Transaction ids: the hash against its published vectors, the documented canonical
// text against an id computed from it independently, and over the corpus the two
// promises a booking program relies on.
#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/bankfile.hpp"
#include "tallyfold/transaction_id.hpp"
#include "util/blake2b.hpp"
#include "support/shared_data.hpp"

namespace tallyfold {
namespace {

namespace fs = std::filesystem;

std::string hex_digest(std::string_view data, std::size_t size, std::size_t piece) {
  detail::Blake2b hash(size);
  for (std::size_t at = 0; at < data.size(); at += piece) hash.update(data.substr(at, piece));
  std::uint8_t digest[64];
  hash.finish(digest);
  std::string out;
  for (std::size_t i = 0; i < size; ++i) {
    out += "0123456789abcdef"[digest[i] >> 4];
    out += "0123456789abcdef"[digest[i] & 0xF];
  }
  return out;
}

constexpr detail::Blake2b::Kernel kKernels[] = {detail::Blake2b::Kernel::Widest, detail::Blake2b::Kernel::Avx2,
                                                detail::Blake2b::Kernel::Scalar};

// Each kernel the processor runs, for the known digests of RFC 7693 and Python's hashlib.
TEST(Blake2b, KnownDigestsWhateverThePiecesFed) {
  std::string pattern;
  for (int i = 0; i < 512; ++i) pattern += static_cast<char>(i % 256);
  const struct {
    std::string data;
    std::size_t size;
    const char* digest;
  } cases[] = {
      {"abc", 64,
       "ba80a53f981c4d0d6a2797b69f12f6e94c212f14685ac4b74b12bb6fdbffa2d1"
       "7d87c5392aab792dc252d5de4533cc9518d38aa8dbf1925ab92386edd4009923"},
      {"", 16, "cae66941d9efbd404e4d88758ea67670"},
      {std::string(128, 'a'), 16, "1271d28e731afb57bdfba6bdaf3501be"},  // exactly one block
      {std::string(1000, 'a'), 16, "a0e5a332e985551c28a377c40f4139c3"},
      {pattern, 32, "540b20132d8aeae54057cb69c24f95d26a1c472cc700dd450defe9bb796d4f14"},
  };
  for (const auto kernel : kKernels) {
    if (!detail::Blake2b::available(kernel)) continue;
    detail::Blake2b::force(kernel);
    for (const auto& c : cases) {
      for (const std::size_t piece : {std::size_t{1}, std::size_t{7}, std::size_t{128}, std::size_t{4096}}) {
        EXPECT_EQ(hex_digest(c.data, c.size, piece), c.digest)
            << c.data.size() << " bytes in pieces of " << piece << ", kernel " << static_cast<int>(kernel);
      }
    }
  }
  detail::Blake2b::force(detail::Blake2b::Kernel::Widest);
}

// Every kernel against the one that takes a word at a time, over every length of a few
// blocks and every digest size: the vectors above pin a handful, this the rest.
TEST(Blake2b, KernelsAgree) {
  std::string data;
  std::uint64_t x = 0x9E3779B97F4A7C15ULL;
  for (int i = 0; i < 600; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data.push_back(static_cast<char>(x));
  }
  for (std::size_t n = 0; n <= data.size(); n += 1 + n / 64) {
    for (std::size_t size = 1; size <= 64; size += 7) {
      detail::Blake2b::force(detail::Blake2b::Kernel::Scalar);
      const std::string scalar = hex_digest(std::string_view(data).substr(0, n), size, 100);
      for (const auto kernel : kKernels) {
        if (!detail::Blake2b::available(kernel)) continue;
        detail::Blake2b::force(kernel);
        EXPECT_EQ(hex_digest(std::string_view(data).substr(0, n), size, 100), scalar)
            << n << " bytes, " << size << "-byte digest, kernel " << static_cast<int>(kernel);
      }
    }
  }
  detail::Blake2b::force(detail::Blake2b::Kernel::Widest);
}

// Messages hashed side by side against each hashed alone: after starts that hold no
// bytes, part of a block, exactly a block or more, with counts that leave lanes empty
// and lengths around the blocks' ends, so that lanes finish at different blocks.
TEST(Blake2b, MessagesSideBySideAgreeWithEachAlone) {
  std::string data;
  std::uint64_t x = 0x2545F4914F6CDD1DULL;
  for (int i = 0; i < 1200; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    data.push_back(static_cast<char>(x));
  }
  const std::size_t kStarts[] = {0, 1, 60, 127, 128, 129, 255, 256, 300};
  const std::size_t kLengths[] = {0, 1, 67, 68, 127, 128, 129, 255, 256, 257, 600, 1000};
  for (const auto kernel : kKernels) {
    if (!detail::Blake2b::available(kernel)) continue;
    detail::Blake2b::force(kernel);
    for (const std::size_t start_size : kStarts) {
      detail::Blake2b start(16);
      start.update(std::string_view(data).substr(1000 - start_size, start_size));
      for (std::size_t count = 0; count <= 9; ++count) {
        std::vector<std::string_view> messages;
        for (std::size_t i = 0; i < count; ++i) {
          messages.push_back(std::string_view(data).substr(i, kLengths[(i * 5 + start_size + count) % std::size(kLengths)]));
        }
        std::vector<std::uint8_t> digests(16 * count + 1, 0xAB);
        detail::Blake2b::finish_each(start, messages, digests.data());
        EXPECT_EQ(digests.back(), 0xAB) << "written past the digests";
        for (std::size_t i = 0; i < count; ++i) {
          detail::Blake2b alone = start;
          alone.update(messages[i]);
          std::uint8_t digest[16];
          alone.finish(digest);
          EXPECT_TRUE(std::equal(digest, digest + 16, digests.begin() + static_cast<std::ptrdiff_t>(16 * i)))
              << "start " << start_size << ", message " << i << " of " << count << " (" << messages[i].size()
              << " bytes), kernel " << static_cast<int>(kernel);
        }
      }
    }
  }
  detail::Blake2b::force(detail::Blake2b::Kernel::Widest);
}

const std::string kStatement =
    ":20:REF\n:25:NL92NRDK0417552093\n:28C:00042/1\n:60F:C240101EUR100,00\n"
    ":61:2401020102D79,70NTRFINV-1//BANK-1\nsupplementary\n:86:/EREF/E1/REMI/Coffee\n"
    ":61:2401020102D79,70NTRFINV-1//BANK-1\nsupplementary\n:86:/EREF/E1/REMI/Coffee\n"
    ":62F:D240102EUR59,40\n";

std::vector<std::string> ids_of(const std::string& text, std::size_t statement = 0) {
  auto file = read_bank_file(text, {});
  EXPECT_TRUE(file) << text;
  if (!file || file->statements.size() <= statement) return {};
  std::vector<std::string> out;
  for (const TransactionId& id : transaction_ids(file->statements[statement])) out.emplace_back(id.text());
  return out;
}

// Computed with Python's hashlib from the canonical text as documented, so a change of
// the text or the hash that the documentation does not follow shows here.
TEST(TransactionId, FollowsTheDocumentedCanonicalText) {
  EXPECT_EQ(ids_of(kStatement),
            (std::vector<std::string>{"a8a8f0239b53019babcad4de7d725f40", "9871378ecf14f79024a6db38c380bdd0"}));
}

// The canonical text as documented, put together field by field and hashed: what the
// ids are made of, spelled out apart from how they are made.
std::string id_by_the_documented_text(const Statement& s, std::size_t i) {
  auto field = [](std::string& out, std::string_view bytes) {
    out += std::to_string(bytes.size()) + ":" + std::string(bytes) + "\n";
  };
  auto own_fields = [&field](const Transaction& t) {
    std::string out;
    field(out, t.value_date.to_iso());
    field(out, t.entry_date ? t.entry_date->to_iso() : "");
    field(out, mark_text(t.debit_credit));
    field(out, t.funds_code ? std::string(1, *t.funds_code) : "");
    field(out, t.signed_amount().to_string());
    field(out, t.transaction_type);
    field(out, t.customer_reference);
    field(out, t.bank_reference.value_or(""));
    field(out, t.extra_details.value_or(""));
    field(out, t.details);
    return out;
  };
  std::string text = "tallyfold-transaction-id-1\n";
  field(text, s.account_identification);
  field(text, statement_currency(s));
  field(text, std::string(s.number) + (s.sequence ? "/" + std::string(*s.sequence) : ""));
  const std::string own = own_fields(s.transactions[i]);
  std::size_t occurrence = 1;
  for (std::size_t k = 0; k < i; ++k) occurrence += own_fields(s.transactions[k]) == own;
  text += own;
  field(text, std::to_string(occurrence));
  return hex_digest(text, 16, text.size() + 1);
}

// Values of every shape the fields take, each transaction's id against the documented
// text: lengths of one to four digits, dates outside four-digit years, absent values,
// repeats.
TEST(TransactionId, EveryShapeOfValueFollowsTheDocumentedText) {
  auto file = read_bank_file(kStatement, {});
  ASSERT_TRUE(file);
  Statement s = file->statements[0];
  const Transaction base = s.transactions[0];
  std::vector<std::string> texts;  // the transactions' views point into these
  texts.reserve(64);
  const std::size_t kSizes[] = {0, 1, 9, 10, 99, 100, 999, 1000, 1001, 12345};
  for (const std::size_t size : kSizes) {
    Transaction t = base;
    texts.push_back(std::string(size, 'd'));
    t.details = texts.back();
    s.transactions.push_back(t);
    t.transaction_type = texts.back();
    t.extra_details.reset();
    t.bank_reference.reset();
    s.transactions.push_back(t);
  }
  const int kYears[] = {1, 99, 999, 1000, 2024, 9999, 10000, 32767, -5};
  for (const int year : kYears) {
    Transaction t = base;
    t.value_date = *Date::from_ymd(year, 2, 3);
    s.transactions.push_back(t);
    t.entry_date = Date::from_ymd(year, 12, 31);
    s.transactions.push_back(t);
    t.entry_date.reset();
    t.funds_code.reset();
    s.transactions.push_back(t);
  }
  s.transactions.push_back(base);  // a third repeat
  const std::vector<TransactionId> ids = transaction_ids(s);
  ASSERT_EQ(ids.size(), s.transactions.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    EXPECT_EQ(std::string(ids[i].text()), id_by_the_documented_text(s, i)) << "transaction " << i;
  }
}

// Every value the bank wrote takes part: changing any one gives the first transaction
// another id.
TEST(TransactionId, EveryValueTakesPart) {
  const std::string first = ids_of(kStatement)[0];
  const struct {
    const char* what;
    const char* from;
    const char* to;
  } changes[] = {
      {"account", ":25:NL92NRDK0417552093", ":25:NL92NRDK0417552094"},
      {"currency", "EUR100,00", "USD100,00"},
      {"statement number", ":28C:00042/1", ":28C:42/1"},
      {"sequence", ":28C:00042/1", ":28C:00042/2"},
      {"value date", ":61:2401020102D79", ":61:2401030102D79"},
      {"entry date", ":61:2401020102D79", ":61:240102D79"},
      {"mark", "0102D79,70", "0102RC79,70"},
      {"funds code", "0102D79,70", "0102DR79,70"},
      {"amount", "D79,70", "D79,71"},
      {"type", "NTRFINV-1", "NMSCINV-1"},
      {"customer reference", "INV-1//", "INV-2//"},
      {"bank reference", "//BANK-1", "//BANK-2"},
      {"supplementary details", "\nsupplementary\n", "\nsupplementarY\n"},
      {"details", "/REMI/Coffee\n", "/REMI/Coffe\n"},
  };
  for (const auto& c : changes) {
    std::string text = kStatement;
    text.replace(text.find(c.from), std::string_view(c.from).size(), c.to);
    const auto ids = ids_of(text);
    ASSERT_FALSE(ids.empty()) << c.what;
    EXPECT_NE(ids[0], first) << c.what;
  }
}

TEST(TransactionId, RepeatedStatementKeepsItsIdsAndNothingElseMatters) {
  const auto ids = ids_of(kStatement);
  // The statement again after another one, with another :20: and other balances: the
  // file around it and its own reference are not part of the ids.
  std::string later = kStatement;
  later.replace(later.find(":20:REF"), 7, ":20:OTHER");
  later.replace(later.find("C240101EUR100,00"), 16, "C240101EUR200,00");
  later.replace(later.find("D240102EUR59,40"), 15, "C240102EUR40,60");
  EXPECT_EQ(ids_of(kStatement + later, 1), ids);
  EXPECT_EQ(ids_of(kStatement + kStatement, 1), ids);
}

using StatementKey = std::tuple<std::string, std::string, std::string, std::string>;

StatementKey key_of(const Statement& s) {
  return {std::string(s.account_identification), std::string(s.number),
          std::string(s.sequence.value_or("")), std::string(s.transaction_reference)};
}

// Byte offsets of the lines that open a statement.
std::vector<std::size_t> statement_starts(std::string_view bytes) {
  std::vector<std::size_t> starts;
  for (std::size_t at = 0; at != std::string_view::npos; at = bytes.find('\n', at)) {
    if (at != 0) ++at;
    if (bytes.substr(at).starts_with(":20:")) starts.push_back(at);
  }
  return starts;
}

// Two downloads cut from one file, overlapping in all but its first and last statement:
// each statement keeps its ids in whichever download holds it. And no statement of any
// file gives two of its transactions one id.
TEST(TransactionId, CorpusIdsAreStableAcrossDownloadsAndDistinctWithinStatements) {
  TALLYFOLD_SHARED_DATA(corpus, "corpus");
  std::size_t transactions = 0;
  std::size_t overlapping = 0;
  for (const auto& data : test::data_files(corpus)) {
    SCOPED_TRACE(data.name);
    const std::string bytes = test::read_bytes(data.path);
    const auto whole = read_bank_file(bytes, {});
    if (!whole) continue;
    std::multimap<StatementKey, std::vector<TransactionId>> known;
    for (const Statement& s : whole->statements) {
      auto ids = transaction_ids(s);
      std::set<std::string_view> distinct;
      for (const TransactionId& id : ids) distinct.insert(id.text());
      EXPECT_EQ(distinct.size(), ids.size()) << "statement " << s.transaction_reference;
      transactions += ids.size();
      known.emplace(key_of(s), std::move(ids));
    }
    const auto starts = statement_starts(bytes);
    if (starts.size() < 3) continue;
    for (const std::string_view part : {std::string_view(bytes).substr(0, starts.back()),
                                        std::string_view(bytes).substr(starts[1])}) {
      const auto file = read_bank_file(part, {});
      if (!file) continue;
      for (const Statement& s : file->statements) {
        const auto ids = transaction_ids(s);
        const auto [from, to] = known.equal_range(key_of(s));
        bool found = false;
        for (auto it = from; it != to && !found; ++it) found = it->second == ids;
        EXPECT_TRUE(found) << "statement " << s.transaction_reference << " got other ids";
        overlapping += ids.size();
      }
    }
  }
  // Enough that a corpus reading nothing would not pass.
  EXPECT_GE(transactions, 500u);
  EXPECT_GE(overlapping, 100u);
}

}  // namespace
}  // namespace tallyfold
