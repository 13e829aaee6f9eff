#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <atomic>
#include <random>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "tallyfold/text.hpp"
#include "util/bits.hpp"
#include "util/byte_bits.hpp"
#include "util/codes.hpp"
#include "util/tag_line.hpp"
#include "util/thread_scratch.hpp"
#include "util/utf8.hpp"
#include "util/xml_text.hpp"

namespace tallyfold::detail {
namespace {

// A decoder written from the definition of UTF-8 rather than from byte ranges: the
// scalar value a well-formed sequence of `length` bytes holds, or -1.
long decoded(const unsigned char* p, std::size_t length) {
  static constexpr unsigned char kLeadBits[] = {0, 0, 0x1F, 0x0F, 0x07};
  static constexpr std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
  if (length < 2 || length > 4 || (p[0] & ~kLeadBits[length] & 0xFF) != (0xF00 >> length & 0xFF)) return -1;
  std::uint32_t value = p[0] & kLeadBits[length];
  for (std::size_t i = 1; i < length; ++i) {
    if ((p[i] & 0xC0) != 0x80) return -1;
    value = value << 6 | (p[i] & 0x3Fu);
  }
  const bool scalar = value >= kLeast[length] && value <= 0x10FFFF && !(value >= 0xD800 && value <= 0xDFFF);
  return scalar ? static_cast<long>(value) : -1;
}

TEST(Utf8Step, AgreesWithTheDefinitionOnEveryTwoAndThreeByteSequence) {
  for (unsigned a = 0x80; a <= 0xFF; ++a) {
    for (unsigned b = 0; b <= 0xFF; ++b) {
      for (unsigned c : {0x00u, 0x7Fu, 0x80u, 0x8Fu, 0x90u, 0x9Fu, 0xA0u, 0xBFu, 0xC0u}) {
        const unsigned char bytes[4] = {static_cast<unsigned char>(a), static_cast<unsigned char>(b),
                                        static_cast<unsigned char>(c), 0x80};
        const Utf8Step step = utf8_step(bytes, 4);
        const bool expected = decoded(bytes, 2) >= 0 || decoded(bytes, 3) >= 0 || decoded(bytes, 4) >= 0;
        ASSERT_EQ(step.valid, expected) << std::hex << a << ' ' << b << ' ' << c;
        if (step.valid) {
          ASSERT_EQ(static_cast<long>(code_point(bytes, step.length)), decoded(bytes, step.length));
        }
        // Cut short, no sequence is valid, and the step never reaches past the end.
        ASSERT_LE(utf8_step(bytes, 1).length, 1u);
        ASSERT_FALSE(utf8_step(bytes, 1).valid);
      }
    }
  }
}

// Against a byte-by-byte search, on views of every length up to a few blocks cut from a
// text whose bytes around each view are the byte looked for: none of them may be found.
TEST(ByteBits, FindsEachOccurrenceInTheViewAlone) {
  std::mt19937 random(64);
  for (std::size_t size = 0; size <= 200; ++size) {
    for (int round = 0; round < 20; ++round) {
      std::string text(size + 40, '/');
      for (std::size_t i = 20; i < size + 20; ++i) text[i] = "/a\xff/"[random() % 4];
      const std::string_view view = std::string_view(text).substr(20, size);
      std::vector<std::size_t> expected;
      for (std::size_t i = 0; i < size; ++i) {
        if (view[i] == '/') expected.push_back(i);
      }
      std::vector<std::size_t> found;
      ByteBits bits(view, '/');
      for (std::size_t at = bits.next(); at != ByteBits::npos; at = bits.next()) found.push_back(at);
      ASSERT_EQ(found, expected) << view;
      ASSERT_EQ(bits.next(), ByteBits::npos);
    }
  }
}

TEST(TagLength, FindsTheTagEveryReadingSplitsFieldsAt) {
  const struct {
    std::string_view line;
    std::size_t expected;
  } kRows[] = {
      {":20:REF", 4}, {":28C:1/1", 5}, {"::", 2},  {":86:a:b", 4},
      {":", 0},       {":20", 0},      {"", 0},    {" :20:", 0},
      {"20:", 0},     {":12:11", 4},
  };
  for (const auto& row : kRows) EXPECT_EQ(tag_length(row.line), row.expected) << row.line;
}

std::atomic<int> scratches_alive{0};
struct CountedScratch {
  CountedScratch() { ++scratches_alive; }
  ~CountedScratch() { --scratches_alive; }
  CountedScratch(const CountedScratch&) = delete;
  CountedScratch& operator=(const CountedScratch&) = delete;
  std::string text;
};

// The decoders keep a text's working storage here: a storage shared between threads, or
// between two tags, would let one decoding overwrite another's.
TEST(ThreadScratch, OneStoragePerThreadAndTagThatEndsWithItsThread) {
  struct Other;
  CountedScratch& mine = thread_scratch<CountedScratch>();
  EXPECT_EQ(&mine, &thread_scratch<CountedScratch>());
  EXPECT_NE(&mine, (&thread_scratch<CountedScratch, Other>()));
  mine.text = "main";
  const int alive = scratches_alive;

  const CountedScratch* theirs = nullptr;
  std::string seen = "unset";
  std::thread([&] {
    CountedScratch& scratch = thread_scratch<CountedScratch>();
    theirs = &scratch;
    seen = scratch.text;
    scratch.text = "thread";
    EXPECT_EQ(&scratch, &thread_scratch<CountedScratch>());
  }).join();
  EXPECT_NE(theirs, &mine);
  EXPECT_EQ(seen, "");
  EXPECT_EQ(mine.text, "main");
  EXPECT_EQ(scratches_alive, alive) << "the thread's storage outlived it";
}

TEST(Popcount64, CountsAsTheStandardDoes) {
  std::mt19937_64 random(11);
  std::vector<std::uint64_t> words = {0, 1, ~std::uint64_t{0}, std::uint64_t{1} << 63, 0x8000000000000001u,
                                      0x5555555555555555u, 0xAAAAAAAAAAAAAAAAu, 0x00FF00FF00FF00FFu};
  for (int i = 0; i < 1000; ++i) words.push_back(random() & random());
  for (const std::uint64_t word : words) ASSERT_EQ(popcount64(word), std::popcount(word)) << std::hex << word;
}

TEST(XmlStep, RefusesWhatNoDocumentMayHold) {
  const struct {
    std::string bytes;
    XmlStep expected;
  } kRows[] = {
      {"a", {1, true}},           {"\t", {1, true}},           {"\r", {1, true}},
      {std::string(1, '\0'), {1, false}}, {"\x1B", {1, false}},        {"\xC3\xBC", {2, true}},
      {"\xEF\xBF\xBD", {3, true}},  {"\xEF\xBF\xBE", {3, false}},  {"\xEF\xBF\xBF", {3, false}},
      {"\xED\xA0\x80", {1, false}}, {"\xF0\x9F\x92\xB6", {4, true}},
  };
  for (const auto& row : kRows) {
    const XmlStep step = xml_step(reinterpret_cast<const unsigned char*>(row.bytes.data()), row.bytes.size());
    EXPECT_EQ(step.length, row.expected.length) << row.bytes;
    EXPECT_EQ(step.allowed, row.expected.allowed) << row.bytes;
  }
}

TEST(CharacterPrefix, CutsOnlyBetweenCharacters) {
  EXPECT_EQ(character_prefix("\xC3\xBC\xC3\xBC" "a", 1), 2u);
  EXPECT_EQ(character_prefix("ab", 5), 2u);
  EXPECT_EQ(character_prefix("\xF0\x9F\x92\xB6" "b", 1), 4u);
  EXPECT_EQ(character_count("\xC3\xBC" "a\xE2\x82\xAC"), 3u);
}

TEST(Codes, CurrencyAndBicShapes) {
  EXPECT_TRUE(is_currency_code("EUR"));
  for (std::string_view bad : {"EU", "EURO", "eur", "E1R", ""}) EXPECT_FALSE(is_currency_code(bad)) << bad;
  EXPECT_TRUE(is_bic("DEUTDEFF"));
  EXPECT_TRUE(is_bic("DEUTDEFF500"));
  for (std::string_view bad : {"DEUTDEF", "DEUTDEFF50", "deutdeff", "DEU1DEFF"}) EXPECT_FALSE(is_bic(bad)) << bad;
}

// What the front ends make of texts from a file: nothing that steers a terminal, and a
// file name that never leaves its folder or hides.
TEST(FrontEndText, KeepsTerminalsAndFileNamesSafe) {
  struct Row {
    std::string_view account;
    std::string_view file;
  };
  static constexpr Row kRows[] = {
      {"NL92NRDK0417552093", "s.NL92NRDK0417552093.xml"},
      {"50880050/0194787400888", "s.50880050_0194787400888.xml"},
      {"../etc", "s._._etc.xml"},
      {".hidden", "s._hidden.xml"},
      {"a..b", "s.a._b.xml"},
      {"K\xC3\xB6ln 1", "s.K__ln_1.xml"},
      {"", "s..xml"},
  };
  for (const Row& row : kRows) EXPECT_EQ(account_file_name("s", row.account), row.file) << row.account;

  std::string shown;
  append_printable(std::string_view("a\x1b[2J\tb\x7f\xC3\xBC\0", 11), shown);
  EXPECT_EQ(shown, "a?[2J?b?\xC3\xBC?");
  EXPECT_EQ(ascii_lower("CAMT053 \xC3\x9C"), "camt053 \xC3\x9C");
}

}  // namespace
}  // namespace tallyfold::detail
