#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <tuple>
#include <utility>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/error.hpp"
#include "tallyfold/model.hpp"
#include "support/details_map.hpp"
#include "model/fixed_keys.hpp"

namespace tallyfold {
namespace {

Decimal dec(uint128 mantissa, int scale, bool negative = false) {
  return *Decimal::from_parts(mantissa, scale, negative);
}

TEST(Decimal, TextForm) {
  const struct { Decimal d; std::string_view text; } kRows[] = {
      {dec(0, 2), "0.00"},          {dec(0, 2, true), "-0.00"},   {dec(5, 2), "0.05"},
      {dec(123456, 2), "1234.56"},  {dec(7, 0), "7"},             {dec(1999, 3, true), "-1.999"},
      {dec(1, 28), "0.0000000000000000000000000001"},
  };
  EXPECT_EQ(dec(Decimal::kMaxMantissa, 0).to_string(), "79228162514264337593543950335");
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(row.d.to_string(), row.text);
  }
}

TEST(Decimal, RejectsWhatDoesNotFit) {
  EXPECT_FALSE(Decimal::from_parts(Decimal::kMaxMantissa + 1, 2, false));
  EXPECT_FALSE(Decimal::from_parts(1, 29, false));
  EXPECT_FALSE(Decimal::from_parts(1, -1, false));
}

TEST(Decimal, EqualityIgnoresScaleAndSignOfZero) {
  EXPECT_EQ(dec(15, 1), dec(150, 2));
  EXPECT_EQ(dec(0, 2), dec(0, 0, true));
  EXPECT_NE(dec(15, 1), dec(15, 1, true));
  EXPECT_NE(dec(Decimal::kMaxMantissa, 0), dec(Decimal::kMaxMantissa, 28));
}

TEST(Decimal, ExactAddition) {
  EXPECT_EQ(dec(1050, 2).plus(dec(25, 1, true))->to_string(), "8.00");
  EXPECT_EQ(dec(100, 2).plus(dec(100, 2, true))->to_string(), "0.00");
  EXPECT_EQ(dec(1, 3, true).plus(dec(1, 3, true))->to_string(), "-0.002");
  EXPECT_FALSE(dec(Decimal::kMaxMantissa, 0).plus(dec(1, 0)));
}

TEST(Decimal, ToDoubleIsCorrectlyRounded) {
  EXPECT_EQ(decimal_to_double(dec(123456, 2)), 1234.56);
  EXPECT_EQ(decimal_to_double(dec(1, 1)), 0.1);
  const double neg_zero = decimal_to_double(dec(0, 2, true));
  EXPECT_EQ(neg_zero, 0.0);
  EXPECT_TRUE(std::signbit(neg_zero));
  // 2^53 + 1 lies halfway between two doubles: ties go to the even one.
  EXPECT_EQ(decimal_to_double(dec(9007199254740993ULL, 0)), 9007199254740992.0);
}

TEST(Date, OnlyCalendarDatesExist) {
  EXPECT_TRUE(Date::from_ymd(2024, 2, 29));
  EXPECT_FALSE(Date::from_ymd(2023, 2, 29));
  EXPECT_FALSE(Date::from_ymd(1900, 2, 29));
  EXPECT_TRUE(Date::from_ymd(2000, 2, 29));
  EXPECT_FALSE(Date::from_ymd(2024, 0, 1));
  EXPECT_FALSE(Date::from_ymd(2024, 4, 31));
  EXPECT_EQ(Date::from_ymd(1991, 3, 9)->to_iso(), "1991-03-09");
}

// Every month and day around the edges of the calendar, in years of each leap rule,
// against the standard library's calendar.
TEST(Date, FromYmdAgreesWithTheStandardCalendar) {
  for (const int year : {1900, 1979, 1980, 2000, 2023, 2024, 2099, 2100}) {
    for (unsigned month = 0; month <= 13; ++month) {
      for (unsigned day = 0; day <= 32; ++day) {
        const std::chrono::year_month_day ymd{std::chrono::year{year}, std::chrono::month{month}, std::chrono::day{day}};
        const auto date = Date::from_ymd(year, month, day);
        ASSERT_EQ(date.has_value(), ymd.ok()) << year << "-" << month << "-" << day;
        if (date) {
          EXPECT_TRUE(date->year() == year && date->month() == month && date->day() == day);
        }
      }
    }
  }
}

// from_iso reads back exactly what to_iso writes, and nothing near it.
TEST(Date, FromIsoReadsOnlyWhatToIsoWrites) {
  for (const auto& [y, m, d] : {std::tuple{1991, 3u, 9u}, {2024, 2u, 29u}, {0, 1u, 1u}, {9999, 12u, 31u}}) {
    const Date date = *Date::from_ymd(y, m, d);
    EXPECT_EQ(Date::from_iso(date.to_iso()), date) << date.to_iso();
  }
  for (std::string_view bad : {"2023-02-29", "2024-1-01", "2024-01-1", "2024/01/01", "+024-01-01", "2024-01-01T",
                               " 2024-01-01", "2024-0a-01", "", "2024-13-01"}) {
    EXPECT_FALSE(Date::from_iso(bad)) << bad;
  }
}

// The calendar rule is written out for speed: it must say what std::chrono says, for
// every day number around every month of years that test each leap rule and the range.
TEST(Date, AgreesWithTheStandardCalendar) {
  for (const int year : {-32768, -32767, -400, -100, -4, -1, 0, 1, 1600, 1900, 1999, 2000, 2023, 2024, 2100, 32767, 32768}) {
    for (unsigned month = 0; month <= 13; ++month) {
      for (unsigned day = 0; day <= 32; ++day) {
        const bool in_range = year >= -32767 && year <= 32767;
        const bool ok = in_range && std::chrono::year_month_day{std::chrono::year{year}, std::chrono::month{month},
                                                                std::chrono::day{day}}.ok();
        EXPECT_EQ(Date::from_ymd(year, month, day).has_value(), ok) << year << "-" << month << "-" << day;
      }
    }
  }
}

TEST(Trim, WhiteSpaceSet) {
  const struct { std::string_view in, out; } kRows[] = {
      {" \t\r\n\v\fa b\n", "a b"},
      {"\xC2\xA0x\xC2\x85", "x"},
      {"\xE2\x80\x80\xE2\x80\x8Ax\xE2\x80\xAF\xE2\x81\x9F\xE3\x80\x80\xE1\x9A\x80", "x"},
      {"\xE2\x80\xA8x\xE2\x80\xA9", "x"},
      {"\xE2\x80\x8Bx", "\xE2\x80\x8Bx"},  // zero width space is not White_Space
      {"\xC2", "\xC2"},                    // a lone lead byte is kept
      {"   ", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(trim_white_space(row.in), row.out);
  }
}

TEST(DecodedDetails, LastWriteWinsAndKeysAreSorted) {
  TextBuffer texts;
  auto d = test::details_map({{"gvc", "1"}, {"20", "a"}, {"REMI_COMBINED", "x"}, {"20", "b"}}, texts);
  ASSERT_EQ(d.size(), 3u);
  EXPECT_EQ(*d.find("20"), "b");
  EXPECT_FALSE(d.find("21"));
  std::vector<std::string> keys;
  for (const auto& [k, v] : d) keys.emplace_back(k);
  EXPECT_EQ(keys, (std::vector<std::string>{"20", "REMI_COMBINED", "gvc"}));

  // Many writes, in reverse order, each key twice: sorted, and the later write wins.
  for (int n : {8, 40}) {
    SCOPED_TRACE(n);
    std::vector<DecodedDetails::Entry> writes;
    for (int round = 0; round < 2; ++round) {
      for (int i = n - 1; i >= 0; --i) writes.emplace_back(std::to_string(10 + i), std::to_string(round));
    }
    const auto many = test::details_map(writes, texts);
    ASSERT_EQ(many.size(), static_cast<std::size_t>(n));
    int expected_key = 10;
    for (const auto& [k, v] : many) {
      EXPECT_EQ(k, std::to_string(expected_key++));
      EXPECT_EQ(v, "1");
    }
  }
}

TEST(DecodedDetails, KeepsWhatTheSourceHoldsAsPositions) {
  TextBuffer texts;
  auto source = std::make_unique<std::string>("/EREF/e1/REMI/rent");
  const std::string_view s = *source;
  DecodedDetails::Builder b(texts, s, 3, 4 + 2 + 4 + 4 + 4 + 2);
  b.add_key(s.substr(1, 4));   // EREF
  b.append_value(s.substr(6, 1));
  b.append_value(s.substr(7, 1));  // adjacent: still one run of the source
  b.add_key("JOIN");                // not in the source: copied
  b.append_value(s.substr(14, 2));
  b.append_value(s.substr(6, 2));   // not adjacent: the value is written out
  b.add_key(s.substr(9, 4));   // REMI
  b.append_value(s.substr(14, 4));
  const DecodedDetails map = std::move(b).finish();
  source.reset();  // the map refers to its own copy of the source
  const std::string_view copy = map.source();
  EXPECT_EQ(copy, "/EREF/e1/REMI/rent");
  const auto within = [copy](std::string_view v) { return v.data() >= copy.data() && v.data() + v.size() <= copy.data() + copy.size(); };
  const DecodedDetails::EntryView expected[] = {{"EREF", "e1"}, {"JOIN", "ree1"}, {"REMI", "rent"}};
  ASSERT_EQ(map.size(), 3u);
  for (std::size_t i = 0; i < 3; ++i) {
    const auto [key, value] = map.begin()[static_cast<std::ptrdiff_t>(i)];
    EXPECT_EQ(key, expected[i].first);
    EXPECT_EQ(value, expected[i].second);
    EXPECT_EQ(within(key), i != 1) << key;
    EXPECT_EQ(within(value), i != 1) << value;
  }
  EXPECT_EQ(map, test::details_map({{"REMI", "rent"}, {"JOIN", "ree1"}, {"EREF", "e1"}}, texts));
  EXPECT_NE(map, test::details_map({{"REMI", "rend"}, {"JOIN", "ree1"}, {"EREF", "e1"}}, texts));
  EXPECT_NE(map, DecodedDetails());
  EXPECT_TRUE(test::details_map({}, texts).empty());
  EXPECT_EQ(*test::details_map({{"EREF", ""}}, texts).find("EREF"), std::string_view());
}

// Whole entries store positions in the source as key-then-value writes do; one that
// does not lie in the source is copied, between entries that do, in both widths.
TEST(DecodedDetails, WholeEntriesMatchKeyThenValue) {
  for (const std::size_t size : {std::size_t{20}, std::size_t{70000}}) {
    SCOPED_TRACE(size);
    std::string text = "AB/xy/CD/zw/EF/uv";
    text.resize(size, '.');
    const std::string_view s = text;
    TextBuffer texts;
    DecodedDetails::Builder b(texts, s, 5, 4);
    b.add_entry(s.substr(0, 2), s.substr(3, 2));
    b.add_entry_in_order("BB", "in");  // not in the source
    b.add_entry_in_order(s.substr(6, 2), s.substr(9, 2));
    const DecodedDetails::SourceEntry by_position[] = {{12, 2, 15, 2}, {15, 2, 0, 0}};
    b.add_source_entries_in_order(by_position);
    const DecodedDetails map = std::move(b).finish();
    EXPECT_EQ(map, test::details_map({{"AB", "xy"}, {"BB", "in"}, {"CD", "zw"}, {"EF", "uv"}, {"uv", ""}}, texts));
    const std::string_view copy = map.source();
    EXPECT_EQ(map.find("CD")->data(), copy.data() + 9);
  }
}

// The entries read a run at a time against the iterator: runs of every size up to past
// the map's end, from every first entry, in both block widths.
TEST(DecodedDetails, EntryRunsAgreeWithTheIterator) {
  for (const std::size_t size : {std::size_t{40}, std::size_t{70000}}) {
    for (const std::size_t count : {std::size_t{0}, std::size_t{1}, std::size_t{5}, std::size_t{17}}) {
      SCOPED_TRACE(::testing::Message() << "source " << size << ", " << count << " entries");
      TextBuffer texts;
      std::string source = "/EREF/e1/REMI/rent";
      source.resize(size, '.');
      const std::string_view s = source;
      std::vector<std::string> keys;
      for (std::size_t i = 0; i < count; ++i) {
        // Fixed keys ("2x"), keys in the source, and copied ones, ascending.
        keys.push_back(i % 3 == 0 ? std::to_string(20 + i) : i % 3 == 1 ? "K" + std::to_string(100 + i) : "k" + std::to_string(100 + i));
      }
      if (count >= 5) {
        keys[1] = "EREF";  // in the source
        keys[4] = "REMI";
      }
      std::sort(keys.begin(), keys.end());
      std::size_t bytes = 0;
      for (const std::string& key : keys) bytes += key.size() + 3;
      DecodedDetails::Builder b(texts, s, keys.size(), bytes);
      for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::size_t in_source = s.substr(0, 18).find("/" + keys[i] + "/");
        b.add_key(in_source != std::string_view::npos ? s.substr(in_source + 1, 4) : std::string_view(keys[i]));
        b.append_value(i % 2 == 0 ? s.substr(1, 4) : std::string_view("cpy"));
      }
      const DecodedDetails map = std::move(b).finish();
      ASSERT_EQ(map.size(), count);
      for (std::size_t run = 1; run <= count + 1; ++run) {
        for (std::size_t first = 0; first <= count + 1; ++first) {
          std::vector<DecodedDetails::EntryBytes> got(run);
          const std::size_t n = map.entries(first, got);
          ASSERT_EQ(n, first >= count ? 0 : std::min(run, count - first));
          for (std::size_t i = 0; i < n; ++i) {
            const DecodedDetails::EntryView expected = map.begin()[static_cast<std::ptrdiff_t>(first + i)];
            EXPECT_EQ(got[i].key(), expected.first);
            EXPECT_EQ(got[i].value(), expected.second);
            EXPECT_EQ(got[i].key_data, expected.first.data());
            EXPECT_EQ(got[i].value_data, expected.second.data());
          }
        }
      }
    }
  }
}

// Keys the source does not hold: the names decoders write ("20", "gvc", ...) are kept
// once for all maps, others are copied; both read back alike in either block width,
// and an empty key copied to a narrow block's last position stays an empty key.
TEST(DecodedDetails, KeysOutsideTheSource) {
  const struct {
    const char* name;
    std::size_t source_size;
    std::vector<std::string> keys;  // ascending
  } cases[] = {
      {"narrow", 20, {"20", "99", "EREF", "REMI_COMBINED", "gvc", "tx_code", "zz"}},
      {"wide", 70000, {"00", "SVWZ", "text", "zz"}},
      {"empty key last in a narrow block", 0xFFFF - 6 - 8, {""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TextBuffer texts;
    const std::string source = "SRC" + std::string(c.source_size - 3, 'x');
    std::size_t bytes = 0;
    for (const std::string& key : c.keys) bytes += key.size();
    DecodedDetails::Builder b(texts, source, c.keys.size(), bytes);
    std::vector<DecodedDetails::EntryView> writes;
    for (const std::string& key : c.keys) {
      b.add_key(key);
      b.append_value(std::string_view(source).substr(0, 3));
      writes.emplace_back(key, "SRC");
    }
    const DecodedDetails map = std::move(b).finish();
    ASSERT_EQ(map.size(), c.keys.size());
    std::size_t i = 0;
    for (const auto& [key, value] : map) {
      EXPECT_EQ(key, c.keys[i++]);
      EXPECT_EQ(value, "SRC");
    }
    for (const std::string& key : c.keys) EXPECT_EQ(map.find(key), "SRC") << key;
    EXPECT_EQ(map, DecodedDetails::from_view_writes(writes, texts));
  }
}

// A decoder names a table key by its number, found when compiled: each must read back
// as the key it names, in both block widths, and be refused out of order like any key.
template <std::size_t... I>
constexpr auto all_fixed_keys(std::index_sequence<I...>) {
  return std::array{detail::FixedKey(detail::kNamedKeys[I])...};
}
TEST(DecodedDetails, FixedKeysReadBackAsTheirNames) {
  constexpr auto fixed = all_fixed_keys(std::make_index_sequence<std::size(detail::kNamedKeys)>());
  for (const std::size_t source_size : {std::size_t{20}, std::size_t{70000}}) {
    SCOPED_TRACE(source_size);
    TextBuffer texts;
    const std::string source(source_size, 'v');
    DecodedDetails::Builder b(texts, source, fixed.size(), 0);
    std::vector<std::string_view> names(std::begin(detail::kNamedKeys), std::end(detail::kNamedKeys));
    std::sort(names.begin(), names.end());
    for (const std::string_view name : names) {
      const auto* key = std::find_if(fixed.begin(), fixed.end(), [name](const auto& k) { return k.key == name; });
      detail::add_key(b, *key);
      b.append_value(std::string_view(source).substr(0, 1));
    }
    const DecodedDetails map = std::move(b).finish();
    std::size_t i = 0;
    for (const auto& [key, value] : map) EXPECT_EQ(key, names[i++]);
    EXPECT_EQ(i, names.size());
  }
  TextBuffer texts;
  DecodedDetails::Builder b(texts, "x", 2, 0);
  detail::add_key(b, detail::FixedKey("gvc"));
  EXPECT_THROW(detail::add_key(b, detail::FixedKey("REMI_COMBINED")), InternalError);
}

// The inline walk of a map gives what its iterator gives, in both widths: keys of the
// source, keys copied beside it and keys of the table (as their numbers), with values
// of the source, copied and empty.
TEST(DecodedDetails, ForEachEntryAgreesWithTheIterator) {
  for (const std::size_t source_size : {std::size_t{40}, std::size_t{70000}}) {
    SCOPED_TRACE(source_size);
    TextBuffer texts;
    const std::string source = "SVWZ+Miete" + std::string(source_size - 10, 'x');
    const std::string_view in_source(source);
    DecodedDetails::Builder b(texts, source, 6, 64);
    b.add_fixed_key("00", 1);
    b.append_value(in_source.substr(5, 5));
    b.add_fixed_key("20", 21);
    detail::add_key(b, detail::FixedKey("EREF"));
    b.append_value("copied value");
    b.add_key(in_source.substr(0, 4));
    b.append_value(in_source.substr(5));
    b.add_key("XYZ/NAME");
    b.append_value(in_source.substr(0, 1));
    detail::add_key(b, detail::FixedKey("gvc"));
    b.append_value("166");
    const DecodedDetails map = std::move(b).finish();
    std::vector<std::pair<std::string, std::string>> walked;
    map.for_each_entry([&](std::string_view key, std::size_t number, std::string_view value) {
      if (number != 0) {
        EXPECT_TRUE(key.empty());
        key = number <= detail::kSubfieldKeys ? std::string_view(detail::kSubfieldNumbers + 2 * (number - 1), 2)
                                              : detail::kNamedKeys[number - detail::kSubfieldKeys - 1];
      }
      walked.emplace_back(key, value);
    });
    const std::vector<std::pair<std::string, std::string>> iterated(map.begin(), map.end());
    EXPECT_EQ(walked, iterated);
    EXPECT_EQ(walked.size(), 6u);
  }
  std::size_t calls = 0;
  DecodedDetails().for_each_entry([&](std::string_view, std::size_t, std::string_view) { ++calls; });
  EXPECT_EQ(calls, 0u);
}

// Joining in one step writes what appending piece by piece writes, whether the pieces
// lie in the source or not and whatever came before them in the value.
TEST(DecodedDetails, JoinedValueIsThePiecesAppended) {
  const std::string source = "ab cd?20ef";
  const std::string_view s = source;
  const std::vector<std::vector<std::string_view>> kRows = {
      {}, {s.substr(0, 2)}, {s.substr(0, 2), s.substr(3, 2)}, {s.substr(8, 2), "", s.substr(0, 5)},
      {"", ""}, {"lit", s.substr(0, 1)},
  };
  for (const bool prefix : {false, true}) {
    for (const auto& pieces : kRows) {
      TextBuffer texts;
      std::size_t bytes = 8;
      for (const std::string_view piece : pieces) bytes += piece.size() + 1;
      DecodedDetails::Builder joined(texts, s, 1, bytes);
      joined.add_key("k");
      if (prefix) joined.append_value(s.substr(5, 3));
      joined.append_joined(pieces, ' ');
      std::string expected = prefix ? "?20" : "";
      for (std::size_t i = 0; i < pieces.size(); ++i) expected.append(i == 0 ? "" : " ").append(pieces[i]);
      EXPECT_EQ(std::move(joined).finish().find("k"), expected);
    }
  }
}

// A value put together in room the builder gives out stays where it was written, even
// when an earlier value holds the same bytes, so later entries may be views into it;
// other values go in as they would key then value, in both block widths.
TEST(DecodedDetails, LaterEntriesReferToWrittenBytes) {
  // Both block widths; the written entry added in one step, or as its key then its room.
  const std::pair<std::size_t, bool> kRows[] = {{24, false}, {24, true}, {70000, false}, {70000, true}};
  for (const auto& [size, whole] : kRows) {
    SCOPED_TRACE(size);
    SCOPED_TRACE(whole);
    std::string text = "gh ab cdefgh ij";
    text.resize(size, '.');
    const std::string_view s = text;
    TextBuffer texts;
    DecodedDetails::Builder b(texts, s, 6, 40);
    b.add_key("10");
    b.append_value(s.substr(3, 2));
    b.append_value(s.substr(6, 4));  // copied: "abcdef"
    char* room = nullptr;
    if (whole) {
      room = b.add_fixed_entry_room("NAME", detail::FixedKey("NAME").number, 6);
    } else {
      detail::add_key(b, detail::FixedKey("NAME"));
      room = b.extend_value(6);
    }
    std::memcpy(room, "abcdef", 6);  // the bytes of the value before: not searched for
    const std::string_view written(room, 6);
    b.add_fixed_entry_in_order("OAMT", detail::FixedKey("OAMT").number, written.substr(2, 3));
    b.add_fixed_entry_in_order("PURP", detail::FixedKey("PURP").number, s.substr(0, 2));
    b.add_fixed_entry_in_order("SVWZ", detail::FixedKey("SVWZ").number, "xyz");  // copied
    b.add_fixed_entry_in_order("gvc", detail::FixedKey("gvc").number, written);
    const DecodedDetails map = std::move(b).finish();
    EXPECT_EQ(map, test::details_map({{"10", "abcdef"}, {"NAME", "abcdef"}, {"OAMT", "cde"}, {"PURP", "gh"},
                                      {"SVWZ", "xyz"}, {"gvc", "abcdef"}},
                                     texts));
    EXPECT_EQ(map.find("NAME")->data(), room);
    EXPECT_EQ(map.find("OAMT")->data(), room + 2);
    EXPECT_EQ(map.find("gvc")->data(), room);
    EXPECT_EQ(map.find("PURP")->data(), map.source().data());
  }
}

TEST(DecodedDetails, BuilderRefusesBrokenAnnouncements) {
  using B = DecodedDetails::Builder;
  const struct {
    const char* name;
    std::size_t entries, bytes;
    void (*steps)(B&);
    bool ok;
  } kRows[] = {
      {"exact", 2, 4, [](B& b) { b.add_key("a"); b.append_value("x"); b.add_key("b"); b.append_value("y"); }, true},
      {"nothing", 0, 0, [](B&) {}, true},
      {"fewer bytes", 1, 3, [](B& b) { b.add_key("a"); }, true},
      {"one entry too many", 1, 2, [](B& b) { b.add_key("a"); b.add_key("b"); }, false},
      {"one byte too many", 1, 2, [](B& b) { b.add_key("a"); b.append_value("xy"); }, false},
      {"equal keys", 2, 2, [](B& b) { b.add_key("a"); b.add_key("a"); }, false},
      {"descending keys", 2, 3, [](B& b) { b.add_key("b"); b.add_key("ab"); }, false},
      {"value before key", 1, 2, [](B& b) { b.append_value("x"); }, false},
      {"fewer entries", 2, 1, [](B& b) { b.add_key("a"); }, false},
      {"joined exactly", 1, 4, [](B& b) {
         const std::string_view pieces[] = {"x", "y"};
         b.add_key("a");
         b.append_joined(pieces, ' ');
       }, true},
      {"joined one byte too many", 1, 3, [](B& b) {
         const std::string_view pieces[] = {"x", "y"};
         b.add_key("a");
         b.append_joined(pieces, ' ');
       }, false},
      {"whole entries", 3, 6, [](B& b) { b.add_entry("a", "x"); b.add_entry_in_order("b", "y"); b.add_entry("c", "z"); }, true},
      {"whole entry after a key", 2, 3, [](B& b) { b.add_key("a"); b.add_entry_in_order("b", "y"); }, true},
      {"whole entry descending", 2, 4, [](B& b) { b.add_entry("b", "x"); b.add_entry("a", "y"); }, false},
      {"whole entry too many", 1, 4, [](B& b) { b.add_entry("a", "x"); b.add_entry_in_order("b", "y"); }, false},
      {"value after a whole entry", 1, 3, [](B& b) { b.add_entry("a", "x"); b.append_value("y"); }, false},
      {"source entries", 2, 0, [](B& b) {
         const DecodedDetails::SourceEntry e[] = {{0, 0, 0, 0}, {0, 0, 0, 0}};
         b.add_source_entries_in_order(e);
       }, true},
      {"source entries too many", 1, 0, [](B& b) {
         const DecodedDetails::SourceEntry e[] = {{0, 0, 0, 0}, {0, 0, 0, 0}};
         b.add_source_entries_in_order(e);
       }, false},
      {"source entry outside its source", 1, 0, [](B& b) {
         const DecodedDetails::SourceEntry e[] = {{0, 0, 0, 1}};
         b.add_source_entries_in_order(e);
       }, false},
      {"second of two source entries outside", 2, 0, [](B& b) {
         const DecodedDetails::SourceEntry e[] = {{0, 0, 0, 0}, {0, 1, 0, 0}};
         b.add_source_entries_in_order(e);
       }, false},
      {"source entry beyond 16 bits", 2, 0, [](B& b) {
         const DecodedDetails::SourceEntry e[] = {{0x10000, 0, 0, 0}, {0, 0, 0, 0}};
         b.add_source_entries_in_order(e);
       }, false},
      {"value room one byte too many", 1, 2, [](B& b) {
         b.add_key("a");
         b.extend_value(2);
       }, false},
      {"entry with its room", 2, 4, [](B& b) {
         b.add_key("a");
         b.add_fixed_entry_room("gvc", detail::FixedKey("gvc").number, 3);
       }, true},
      {"entry room one byte too many", 1, 2, [](B& b) { b.add_fixed_entry_room("gvc", detail::FixedKey("gvc").number, 3); }, false},
      {"entry room one entry too many", 1, 4, [](B& b) {
         b.add_key("a");
         b.add_fixed_entry_room("gvc", detail::FixedKey("gvc").number, 1);
       }, false},
      {"joined before key", 1, 4, [](B& b) {
         const std::string_view pieces[] = {"x", "y"};
         b.append_joined(pieces, ' ');
       }, false},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    TextBuffer texts;
    const auto run = [&] {
      B b(texts, {}, row.entries, row.bytes);
      row.steps(b);
      return std::move(b).finish();
    };
    if (row.ok) {
      EXPECT_EQ(run().size(), row.entries);
    } else {
      EXPECT_THROW(run(), InternalError);
    }
  }
  TextBuffer texts;
  texts.append("open");
  EXPECT_THROW(B(texts, "other", 1, 2), InternalError);  // another text is being written
}

// Views handed out stay put while the buffer grows; an open piece that no longer fits
// moves whole to the next chunk.
TEST(TextBuffer, ViewsSurviveGrowth) {
  TextBuffer texts(16);
  std::vector<std::pair<std::string_view, std::string>> kept;
  for (int i = 0; i < 2000; ++i) {
    const std::string text = "text " + std::to_string(i);
    if (i % 3 == 0) {
      texts.append("text ");
      texts.append(std::to_string(i));
      kept.emplace_back(texts.close(), text);
    } else {
      kept.emplace_back(texts.keep(text), text);
    }
  }
  for (const auto& [view, text] : kept) EXPECT_EQ(view, text);
  EXPECT_EQ(texts.keep(kept.back().first).data(), kept.back().first.data());  // not copied twice
}

// A transaction kept in a buffer of its own outlives the statement it came from.
TEST(Transaction, KeptCopyOutlivesItsOrigin) {
  auto origin = std::make_unique<TextBuffer>();
  Transaction t;
  t.transaction_type = origin->keep("NTRF");
  t.customer_reference = origin->keep("REF");
  t.bank_reference = origin->keep("BANK");
  t.extra_details = origin->keep("extra");
  origin->append("/EREF/e1/REMI/a b");
  DecodedDetails::Builder b(*origin, origin->open_piece(), 2, 11);
  const std::string_view source = origin->open_piece();
  b.add_key(source.substr(1, 4));
  b.append_value(source.substr(6, 2));
  b.add_key(source.substr(9, 4));
  b.append_value(source.substr(14, 3));
  t.structured_details = std::move(b).finish();
  t.details = t.structured_details->source();

  TextBuffer own(kept_size(t));
  const Transaction copy = keep_transaction(t, own);
  origin.reset();
  EXPECT_EQ(copy.transaction_type, "NTRF");
  EXPECT_EQ(copy.customer_reference, "REF");
  EXPECT_EQ(copy.bank_reference, "BANK");
  EXPECT_EQ(copy.extra_details, "extra");
  EXPECT_EQ(copy.details, "/EREF/e1/REMI/a b");
  ASSERT_TRUE(copy.structured_details);
  EXPECT_EQ(copy.structured_details->source(), copy.details);
  EXPECT_EQ(*copy.structured_details->find("EREF"), "e1");
  EXPECT_EQ(*copy.structured_details->find("REMI"), "a b");
}

// A list gives back each transaction as it was given: the same values, and views of
// the very bytes it was given (never copies), whether the record holds them as short
// positions or, for texts far apart or long, whole.
TEST(TransactionList, GivesBackWhatItWasGiven) {
  TextBuffer texts;
  const auto near = [&] {
    Transaction t;
    t.value_date = *Date::from_ymd(2024, 2, 29);
    t.entry_date = *Date::from_ymd(-32767, 12, 31);
    t.debit_credit = DebitCreditMark::ReversalDebit;
    t.rules = FieldRules::Bank;
    t.amount = *Decimal::from_parts(Decimal::kMaxMantissa, 28, true);
    t.transaction_type = texts.keep("NTRF");
    t.customer_reference = texts.keep("REF");
    t.bank_reference = texts.keep("BANK");
    texts.append("/EREF/e1");
    DecodedDetails::Builder b(texts, texts.open_piece(), 1, 0);
    const std::string_view source = texts.open_piece();
    b.add_key(source.substr(1, 4));
    b.append_value(source.substr(6, 2));
    t.structured_details = std::move(b).finish(Layout::SlashSegments);
    t.details = t.structured_details->source();
    return t;
  };
  const std::string heap(40, 'h');
  const std::string long_text(70000, 'x');
  std::vector<std::pair<std::string_view, Transaction>> cases;
  cases.emplace_back("near", near());
  Transaction empty_texts;  // no texts at all; an empty bank reference is still given
  empty_texts.bank_reference = std::string_view();
  empty_texts.funds_code = 'X';
  cases.emplace_back("empty texts", empty_texts);
  Transaction apart = near();  // a literal, a heap string and the buffer
  apart.customer_reference = "literal";
  apart.extra_details = heap;
  cases.emplace_back("far apart", apart);
  Transaction empty_map = near();
  empty_map.structured_details = DecodedDetails::from_view_writes({}, texts, Layout::Unstructured);
  cases.emplace_back("empty map", empty_map);
  Transaction no_map = near();
  no_map.structured_details.reset();
  no_map.details = long_text;
  cases.emplace_back("long details", no_map);

  TransactionList list;
  for (const auto& item : cases) list.push_back(item.second);
  ASSERT_EQ(list.size(), cases.size());
  std::size_t i = 0;
  for (const Transaction& got : list) {
    const auto& [name, want] = cases[i++];
    SCOPED_TRACE(name);
    EXPECT_EQ(got.value_date, want.value_date);
    EXPECT_EQ(got.entry_date, want.entry_date);
    EXPECT_EQ(got.debit_credit, want.debit_credit);
    EXPECT_EQ(got.funds_code, want.funds_code);
    EXPECT_EQ(got.rules, want.rules);
    EXPECT_EQ(got.amount.to_string(), want.amount.to_string());
    const auto same_view = [](std::string_view a, std::string_view b) {
      EXPECT_EQ(a, b);
      if (!b.empty()) {
        EXPECT_EQ(static_cast<const void*>(a.data()), static_cast<const void*>(b.data()));
      }
    };
    same_view(got.transaction_type, want.transaction_type);
    same_view(got.customer_reference, want.customer_reference);
    same_view(got.details, want.details);
    for (const auto member : {&Transaction::bank_reference, &Transaction::extra_details}) {
      ASSERT_EQ((got.*member).has_value(), (want.*member).has_value());
      if (want.*member) same_view(*(got.*member), *(want.*member));
    }
    ASSERT_EQ(got.structured_details.has_value(), want.structured_details.has_value());
    if (want.structured_details) {
      EXPECT_EQ(got.structured_details->layout(), want.structured_details->layout());
      EXPECT_EQ(*got.structured_details, *want.structured_details);
      same_view(got.structured_details->source(), want.structured_details->source());
    }
  }
  EXPECT_THROW(static_cast<void>(list.at(list.size())), std::out_of_range);
}

// The amounts alone, as reconciling reads them, carry the very sign flag, digits and
// scale of the whole transaction's signed amount: a zero's flag shows in the text, and
// a wide record keeps its amount in the record like any other.
TEST(TransactionList, SignedAmountAloneMatchesTheTransaction) {
  const std::string long_text(70000, 'x');
  TransactionList list;
  std::vector<std::string> want;
  for (const DebitCreditMark mark : {DebitCreditMark::Credit, DebitCreditMark::Debit,
                                     DebitCreditMark::ReversalCredit, DebitCreditMark::ReversalDebit}) {
    for (const auto& [mantissa, scale, negative] :
         {std::tuple{uint128{0}, 2, false}, std::tuple{uint128{0}, 0, true}, std::tuple{uint128{12345}, 2, false},
          std::tuple{Decimal::kMaxMantissa, 28, true}, std::tuple{uint128{1} << 64, 5, false}}) {
      for (const bool wide : {false, true}) {
        Transaction t;
        t.debit_credit = mark;
        t.amount = *Decimal::from_parts(mantissa, scale, negative);
        if (wide) t.details = long_text;
        list.push_back(t);
        want.push_back(t.signed_amount().to_string());
      }
    }
  }
  for (std::size_t i = 0; i < list.size(); ++i) {
    EXPECT_EQ(list.signed_amount(i).to_string(), want[i]) << i;
    EXPECT_EQ(list.signed_amount(i).to_string(), list[i].signed_amount().to_string()) << i;
  }
}

TEST(ParseError, DisplayTexts) {
  const struct { ParseError error; std::string_view text; } kMessages[] = {
      {NoData{}, "Input contains no MT940 data"},
      {MissingMandatoryTag{":60F:", "REF1"}, "Missing mandatory tag :60F: (REF1)"},
      {MissingMandatoryTag{":25:", ""}, "Missing mandatory tag :25: ()"},
      {InvalidDate{"230230", kDateField}, "Invalid date '230230' in tag (date field)"},
      {InvalidAmount{"1,2'3\n", kAmountField}, "Invalid amount '1,2'3\n' in tag (amount field)"},
      {InvalidFormat{kBalanceField, "C24", kReasonTooShort}, "Invalid format in tag balance: 'C24': too short"},
      {InvalidFormat{kStatementLineField, "x", kReasonNoMatch},
       "Invalid format in tag :61:: 'x': does not match expected format"},
      {Other{"JSON serialization error: boom"}, "Parse error: JSON serialization error: boom"},
      {EncodingError{"not valid UTF-8 (byte 3)"}, "not valid UTF-8 (byte 3)"},
      {NotStatementFile{"not a statement file"}, "not a statement file"},
      {Refusal{"no statement to write as camt"}, "no statement to write as camt"},
  };
  for (const auto& row : kMessages) {
    SCOPED_TRACE(row.text);
    EXPECT_EQ(message(row.error), row.text);
  }
}

}  // namespace
}  // namespace tallyfold
