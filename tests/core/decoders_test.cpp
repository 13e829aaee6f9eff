#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "tallyfold/decode.hpp"

namespace tallyfold {
namespace {

// Decoded maps lie in a buffer, as they do in a parsed document; this one lives as
// long as the tests.
TextBuffer texts;

using Map = std::vector<std::pair<std::string, std::string>>;

// Both sides sorted by key, so expected maps may be written in any order.
std::optional<Map> entries(const std::optional<DecodedDetails>& decoded) {
  if (!decoded) return std::nullopt;
  return Map(decoded->begin(), decoded->end());
}
std::optional<Map> sorted(std::optional<Map> map) {
  if (map) std::sort(map->begin(), map->end());
  return map;
}

struct Row {
  std::string_view name;
  std::string_view text;
  std::optional<Map> expected;  // nullopt: no match
};

void check_rows(const Decoder& decoder, const std::vector<Row>& rows) {
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(entries(decoder.decode(row.text, texts)), sorted(row.expected));
  }
}

TEST(SwiftStructured, Decodes) {
  check_rows(swift_structured_decoder(), {
      {"eref and remi, trimmed", "/EREF/ REF 123 /REMI/Invoice 42 of May ",
       Map{{"EREF", "REF 123"}, {"REMI", "Invoice 42 of May"}}},
      {"ends with the mark", "/EREF/", Map{{"EREF", ""}}},
      {"every tag-shaped segment is a key, values included", "ABCD/1/NAME/ACME/REMI/pay",
       Map{{"ABCD", "1"}, {"NAME", "ACME"}, {"ACME", "REMI"}, {"REMI", "pay"}}},
      {"no tag shape", "/ab/x/AB/x/ABCDE/x/AB1/x/ EREF/x/A B/x/BIC/b", Map{{"BIC", "b"}}},
      {"slash cuts the value, last occurrence wins", "/EREF/A/1/IBAN/i/EREF/B/2",
       Map{{"EREF", "B"}, {"IBAN", "i"}}},
      {"unicode white space trimmed", "/REMI/\xC2\xA0x\xE3\x80\x80", Map{{"REMI", "x"}}},
      {"only other tags", "/ABCD/1/XYZ/2", std::nullopt},
      {"lower-case mark", "/eref/123", std::nullopt},
  });
}

TEST(GermanGvc, Decodes) {
  check_rows(german_gvc_decoder(), {
      {"code and subfields", "166?00GUTSCHRIFT?20 Rechnung 1 ?21Mai?32ACME GmbH",
       Map{{"gvc", "166"}, {"00", "GUTSCHRIFT"}, {"20", "Rechnung 1"}, {"21", "Mai"},
           {"32", "ACME GmbH"}, {"REMI_COMBINED", "Rechnung 1 Mai"}}},
      {"head without leading digits", " 166?30X", Map{{"30", "X"}}},
      {"combined text keeps text order and repeats", "?21a?20b?20c",
       Map{{"20", "c"}, {"21", "a"}, {"REMI_COMBINED", "a b c"}}},
      {"empty 22, 29 is the last remittance line", "?21a?22?29c?30d",
       Map{{"21", "a"}, {"22", ""}, {"29", "c"}, {"30", "d"}, {"REMI_COMBINED", "a  c"}}},
      {"non-ASCII letter after the number kept", "?32\xC3\x9C" "bel",
       Map{{"32", "\xC3\x9C" "bel"}}},
      {"no qualifying candidate", "?\xC3\x9C" "1?2?2a? 20?", std::nullopt},
      {"no question mark", "166 Gutschrift", std::nullopt},
      {"question in prose", "Why? Because? yes", std::nullopt},
  });
}

TEST(Angular, Decodes) {
  check_rows(angular_decoder(), {
      {"code and subfields", " TX1 <00 first <20 second",
       Map{{"tx_code", "TX1"}, {"00", "first"}, {"20", "second"}}},
      {"more carets choose the caret", "<a<b^00x^01y^02z",
       Map{{"tx_code", "<a<b"}, {"00", "x"}, {"01", "y"}, {"02", "z"}}},
      {"tie goes to the angle", "^00x^01y<10a<11b",
       Map{{"tx_code", "^00x^01y"}, {"10", "a"}, {"11", "b"}}},
      {"blank head, bad candidates, last wins, bare number", "  <1<2a<10a<10b<11",
       Map{{"10", "b"}, {"11", ""}}},
      {"decoding reads behind a double mark once recognised", "<10a<<20b",
       Map{{"10", "a"}, {"20", "b"}}},
      {"mark then letters", "a<bc<de", std::nullopt},
      {"double mark then digits", "x<<20", std::nullopt},
      {"multi-byte character hides the next mark", "<\xC3\xA9<20", std::nullopt},
  });
}

TEST(Chain, PrecedenceAndResolvers) {
  const std::string_view gvc = "166?20Rechnung?32ACME";
  const std::string_view gvc_with_angles = "166?20a<00b?21c";
  const Map as_detail{{"detail", std::string(gvc)}};
  const struct { std::string_view resolver, text; Map expected; } kRows[] = {
      {"auto", "", {{"detail", ""}}},
      {"auto", gvc,
       {{"gvc", "166"}, {"20", "Rechnung"}, {"32", "ACME"}, {"REMI_COMBINED", "Rechnung"}}},
      {"swift", gvc, as_detail},
      {"angular", gvc, as_detail},
      {"auto", "166?20/EREF/E1?32ACME", {{"EREF", "E1?32ACME"}}},
      {"auto", gvc_with_angles,
       {{"gvc", "166"}, {"20", "a<00b"}, {"21", "c"}, {"REMI_COMBINED", "a<00b c"}}},
      {"angular", gvc_with_angles, {{"tx_code", "166?20a"}, {"00", "b?21c"}}},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(std::string(row.resolver) + " | " + std::string(row.text));
    EXPECT_EQ(entries(decode_details(select_chain(row.resolver), row.text, texts)), sorted(row.expected));
  }
}

// Megabytes of repetitive text: a scan that revisits earlier text would not finish here.
TEST(Decoders, StayLinearOnRepetitiveText) {
  const std::size_t n = 1 << 19;
  const auto repeat = [n](std::string_view unit) {
    std::string text;
    for (std::size_t i = 0; i < n; ++i) text.append(unit);
    return text;
  };
  EXPECT_FALSE(swift_structured_decoder().decode(repeat("/AAAA"), texts));
  EXPECT_EQ(entries(swift_structured_decoder().decode(repeat("/EREF"), texts)), (Map{{"EREF", "EREF"}}));
  EXPECT_EQ(german_gvc_decoder().decode(repeat("?20"), texts)->find("REMI_COMBINED")->size(), n - 1);
  EXPECT_FALSE(angular_decoder().decode(repeat("<<<<"), texts));
  EXPECT_EQ(angular_decoder().decode(repeat("<<0") + "<00", texts)->size(), 1u);
}

// More tags or remittance lines than the decoders keep inline before spilling to the
// heap: order, last-write-wins and text order must not depend on where they are kept.
TEST(Decoders, ManyTagsAndRemittanceLines) {
  std::string swift = "/EREF/first";
  Map swift_expected;
  for (char c = 'Z'; c >= 'A'; --c) {  // 26 distinct tags, written in descending order
    const std::string tag = {'X', 'X', c};
    swift.append("/").append(tag).append("/v").push_back(c);
    swift_expected.emplace_back(tag, std::string{'v', c});
  }
  swift.append("/EREF/last");
  swift_expected.emplace_back("EREF", "last");
  EXPECT_EQ(entries(swift_structured_decoder().decode(swift, texts)), sorted(swift_expected));

  std::string gvc = "166";
  std::string combined;
  for (int i = 29; i >= 20; --i) {  // 20 remittance lines, out of number order
    for (int copy = 0; copy < 2; ++copy) {
      std::string value = std::to_string(i);
      value.append("-").append(std::to_string(copy));
      gvc.append("?").append(std::to_string(i)).append(value);
      if (!combined.empty()) combined.push_back(' ');
      combined.append(value);
    }
  }
  const auto map = german_gvc_decoder().decode(gvc, texts);
  ASSERT_TRUE(map);
  EXPECT_EQ(*map->find("REMI_COMBINED"), combined);
  EXPECT_EQ(*map->find("20"), "20-1");
  EXPECT_EQ(map->size(), 12u);  // "20".."29", "REMI_COMBINED", "gvc"
}

}  // namespace
}  // namespace tallyfold
