// The exact decoders beyond what cases/details/exact_decoders.txt pins text by text:
// linear time, and maps larger than they keep inline.
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
