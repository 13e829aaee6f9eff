// A small seeded generator for the tests' generated texts: the same cases on every
// platform and standard library, which std's distributions do not promise.
#pragma once

#include <cstdint>

namespace tallyfold::test {

class XorShift {
 public:
  explicit constexpr XorShift(std::uint64_t seed) noexcept : state_(seed) {}
  std::uint64_t operator()() noexcept {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 7;
    state_ ^= state_ << 17;
    return state_;
  }

 private:
  std::uint64_t state_;
};

}  // namespace tallyfold::test
