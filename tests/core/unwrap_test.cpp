#include <string>

#include <gtest/gtest.h>

#include "tallyfold/unwrap.hpp"

namespace tallyfold {
namespace {

TEST(Unwrap, RemovesFramingAndNothingElse) {
  const struct {
    std::string_view name;
    std::string input;
    std::string expected;
  } kRows[] = {
      {"envelope on one line, trailer followed by the next envelope",
       "{1:F01BANKNL2AXXXX0000000000}{2:O940BANKNL2AXXXXN}{3:}{4:\n:20:A\n:62F:C200101EUR1,00\n"
       "-}{5:}{1:F01BANKNL2AXXXX0000000000}{2:O940BANKNL2AXXXXN}{4:\n:20:B\n"
       "-}{5:{MAC:ABCDEF}{CHK:123}}\n",
       ":20:A\n:62F:C200101EUR1,00\n:20:B\n"},
      {"envelope blocks on lines of their own",
       "{1:D02AASDISLNETAXXXX}\r\n{2:E623XN}\r\n{4:\r\n:20:A\r\n-}\r\n", ":20:A\r\n"},
      {"text after the opening of block 4 stays", "{1:X}{4::20:A\n", ":20:A\n"},
      {"framing pieces in any order on one line", "-}{4:{CHK:1}-}{5:}\n:20:A\n", ":20:A\n"},
      {"an unclosed block swallows its line", "{1:F01BANK\n:20:A\n", ":20:A\n"},
      {"lone dash separators, line ends kept", ":62F:C1\r\n-\r\n:20:B\r\n- \n",
       ":62F:C1\r\n:20:B\r\n"},
      {"bank header lines and prose between statements",
       ":62F:C200101EUR1,00\n-\nABNANL2A\n940\nABNANL2A\n\n2. Second example\n:20:B\n",
       ":62F:C200101EUR1,00\n:20:B\n"},
      {"header lines after a separator that follows statement-level details",
       ":62F:C1\n:86:/SUM/1/0\n-XXX\n0000 01INGBNL2AXXXX00002\n940 00\n:20:B\n"
       ":62F:C1\n:86:/OSDR/X\n-\nABNANL2A\n940\n:20:C\n",
       ":62F:C1\n:86:/SUM/1/0\n:20:B\n:62F:C1\n:86:/OSDR/X\n:20:C\n"},
      {"every balance tag ends its field",
       ":60F:C1\nx\n:60M:C1\nx\n:62M:C1\nx\n:64:C1\nx\n:65:C1\nx\n:62F:C1\nx",
       ":60F:C1\n:60M:C1\n:62M:C1\n:64:C1\n:65:C1\n:62F:C1\n"},
      {"header lines before the first field are left to the parser",
       "0000 01INGBNL2AXXXX00001\n940 00\n:20:A\n", "0000 01INGBNL2AXXXX00001\n940 00\n:20:A\n"},
      {"a lone dash inside transaction details stays",
       ":60F:C1\n:61:2001010101C1,00NTRF\n:86:/MARF/MND\n-\nEV01\n:62F:C1\n-\n",
       ":60F:C1\n:61:2001010101C1,00NTRF\n:86:/MARF/MND\n-\nEV01\n:62F:C1\n"},
      {"continuations of other fields stay", ":61:2001010101C1,00NTRF\nsecond\n:86:a\n-b\nc\n",
       ":61:2001010101C1,00NTRF\nsecond\n:86:a\n-b\nc\n"},
      {"statement-level details after the closing balance stay",
       ":62F:C1\n:86:info\nmore\n", ":62F:C1\n:86:info\nmore\n"},
      {"braces in details are not envelopes", ":86:x\n{text}\n{1234:y}\n",
       ":86:x\n{text}\n{1234:y}\n"},
      {"control bytes", "\x01:20:A\x03\n:62F:C1\x1a", ":20:A\n:62F:C1"},
      {"DOS end-of-file byte on its own line", ":62F:C1\r\n\x1a", ":62F:C1\r\n"},
      {"older statement number tag", ":28:1/1\n:28C:2\n :28:x\n", ":28C:1/1\n:28C:2\n :28:x\n"},
      {"empty", "", ""},
  };
  for (const auto& row : kRows) {
    SCOPED_TRACE(row.name);
    std::string once = unwrap_text(row.input);
    EXPECT_EQ(once, row.expected);
    EXPECT_EQ(unwrap_text(once), once) << "unwrapping twice changes the text";
  }
}

TEST(Unwrap, DeepNestingAndStrayBytesStayLinear) {
  std::string nested = "{1:" + std::string(200000, '{') + "\n:20:A\n";
  EXPECT_EQ(unwrap_text(nested), ":20:A\n");
  std::string every_byte;
  for (int i = 0; i < 256; ++i) every_byte.push_back(static_cast<char>(i));
  std::string text = ":62F:C1\n" + every_byte + every_byte;
  EXPECT_EQ(unwrap_text(text), ":62F:C1\n");
}

}  // namespace
}  // namespace tallyfold
