// Two-digit subfields shared by the German GVC and angular decoders: a subfield is the
// text after one separator mark, numbered by its first two bytes.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "decoders/text.hpp"
#include "tallyfold/model.hpp"
#include "util/ascii.hpp"
#include "util/bits.hpp"

namespace tallyfold::detail {

struct Subfield {
  int number;              // 0..99
  const char* digits;      // its two digits in the text, which serve as its key
  std::string_view value;  // from the third byte on, trimmed
};

/// The subfield that `candidate` holds when its first two bytes are ASCII digits, else
/// nullopt. The value points into `candidate`.
inline std::optional<Subfield> read_subfield(std::string_view candidate) noexcept {
  if (candidate.size() < 2 || !ascii::is_digit(candidate[0]) || !ascii::is_digit(candidate[1])) {
    return std::nullopt;
  }
  return Subfield{(candidate[0] - '0') * 10 + (candidate[1] - '0'), candidate.data(),
                  trimmed(candidate.substr(2))};
}

/// The last value seen for each subfield number, as views into the decoded text.
/// A fixed table rather than a list of writes: however often a number repeats, the
/// map is built from at most one write per number.
class SubfieldTable {
 public:
  void set(const Subfield& field) noexcept {
    const auto n = static_cast<unsigned>(field.number);
    present_[n / 64] |= std::uint64_t{1} << (n % 64);
    values_[n] = {field.digits, field.value.data(), field.value.size()};
  }

  bool empty() const noexcept { return (present_[0] | present_[1]) == 0; }

  std::size_t count() const noexcept {
    return static_cast<std::size_t>(popcount64(present_[0]) + popcount64(present_[1]));
  }

  /// Bytes of keys and values together, for DecodedDetails::Builder.
  std::size_t bytes() const noexcept {
    std::size_t n = 0;
    for_each([&n](std::string_view key, std::string_view value) { n += key.size() + value.size(); });
    return n;
  }

  /// One entry per number present, keys "00" to "99" in ascending order. The keys are
  /// the digits as the text has them, so the map stores them as positions.
  void write_to(DecodedDetails::Builder& builder) const {
    bool first = true;
    for_each([&builder, &first](std::string_view key, std::string_view value) {
      // The first key is checked against what the map holds before the table; the
      // table's own keys ascend by construction.
      if (first) {
        builder.add_entry(key, value);
        first = false;
      } else {
        builder.add_entry_in_order(key, value);
      }
    });
  }

 private:
  // Trivial on purpose: only slots marked in present_ are ever read, so the table
  // costs nothing to set up for each decoded text.
  struct View {
    const char* digits;
    const char* data;
    std::size_t size;
  };
  template <typename F>
  void for_each(F f) const {
    for (unsigned word = 0; word < 2; ++word) {
      for (std::uint64_t bits = present_[word]; bits != 0; bits &= bits - 1) {
        const unsigned n = word * 64 + static_cast<unsigned>(std::countr_zero(bits));
        f(std::string_view(values_[n].digits, 2), std::string_view(values_[n].data, values_[n].size));
      }
    }
  }

  std::uint64_t present_[2] = {0, 0};
  View values_[100];
};

}  // namespace tallyfold::detail
