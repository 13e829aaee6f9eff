// The tags that steer unwrapping: where a field's line leaves the statement it stands in.
#pragma once

#include <cstdint>
#include <string_view>

namespace tallyfold::detail {

enum class SteeringTag : std::uint8_t {
  Other,
  Statement,           // ":20:"
  OldStatementNumber,  // ":28:", the older form of ":28C:"
  OpeningBalance,      // ":60F:", ":60M:"
  ClosingBalance,      // ":62F:", ":62M:"
  OtherBalance,        // ":64:", ":65:"
};

/// The steering tag of a tag line, read from its bytes. Inline: it is asked once for each
/// field line looked at. Those lines come one of each tag in a statement's order, a
/// sequence no branch predictor learns: the tag is put together from the byte tests
/// without a branch on any of them.
[[gnu::always_inline]] inline SteeringTag classify_tag(std::string_view line) noexcept {
  if (line.size() < 4) return SteeringTag::Other;
  const char a = line[1];
  const char b = line[2];
  const char c = line[3];
  const char d = line.size() >= 5 ? line[4] : '\0';
  const bool short_tag = c == ':';
  const bool balance = ((c == 'F') | (c == 'M')) & (d == ':') & (a == '6');
  const bool two = (a == '2') & short_tag;
  const auto times = [](SteeringTag tag, bool holds) {
    return static_cast<unsigned>(tag) * static_cast<unsigned>(holds);
  };
  // At most one of the tests holds.
  return static_cast<SteeringTag>(times(SteeringTag::Statement, two & (b == '0')) +
                                  times(SteeringTag::OldStatementNumber, two & (b == '8')) +
                                  times(SteeringTag::OtherBalance, (a == '6') & ((b == '4') | (b == '5')) & short_tag) +
                                  times(SteeringTag::OpeningBalance, balance & (b == '0')) +
                                  times(SteeringTag::ClosingBalance, balance & (b == '2')));
}

}  // namespace tallyfold::detail
