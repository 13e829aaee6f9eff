// Short texts compared and copied inline: element names and detail paths are mostly a
// few bytes to a few dozen, where a library call costs more than the bytes, and each
// call site keeps its own branch history for the sizes it meets.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string_view>

#include "util/short_copy.hpp"

namespace tallyfold::camt {

/// a == b, for texts of any size.
inline bool same_text(std::string_view a, std::string_view b) noexcept {
  std::size_t n = a.size();
  if (n != b.size()) return false;
  const char* p = a.data();
  const char* q = b.data();
  if (n >= 8) {
    // Whole words, the last one overlapping the one before it.
    for (; n > 8; n -= 8, p += 8, q += 8) {
      std::uint64_t x;
      std::uint64_t y;
      std::memcpy(&x, p, 8);
      std::memcpy(&y, q, 8);
      if (x != y) return false;
    }
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, p + n - 8, 8);
    std::memcpy(&y, q + n - 8, 8);
    return x == y;
  }
  if (n >= 4) {
    std::uint32_t x0, y0, x1, y1;
    std::memcpy(&x0, p, 4);
    std::memcpy(&y0, q, 4);
    std::memcpy(&x1, p + n - 4, 4);
    std::memcpy(&y1, q + n - 4, 4);
    return ((x0 ^ y0) | (x1 ^ y1)) == 0;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (p[i] != q[i]) return false;
  }
  return true;
}

/// a < b, bytes compared as unsigned (as std::string_view's <).
inline bool less_text(std::string_view a, std::string_view b) noexcept {
  const std::size_t n = a.size() < b.size() ? a.size() : b.size();
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    std::uint64_t x;
    std::uint64_t y;
    std::memcpy(&x, a.data() + i, 8);
    std::memcpy(&y, b.data() + i, 8);
    if (x != y) {
      // The first differing byte decides; in a little-endian word it is the lowest.
      const int shift = __builtin_ctzll(x ^ y) & ~7;
      return ((x >> shift) & 0xFF) < ((y >> shift) & 0xFF);
    }
  }
  for (; i < n; ++i) {
    if (a[i] != b[i]) return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
  }
  return a.size() < b.size();
}

/// Copies n bytes; the ranges do not overlap.
inline void copy_bytes(char* to, const char* from, std::size_t n) noexcept {
  if (n > 16) {
    std::memcpy(to, from, n);
  } else {
    detail::copy_at_most_16(to, from, n);
  }
}

/// A growing run of bytes, appended to with copy_bytes. What is appended may be a part
/// of the run itself.
class Bytes {
 public:
  const char* data() const noexcept { return data_.get(); }
  char* data() noexcept { return data_.get(); }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  char back() const noexcept { return data_[size_ - 1]; }
  std::string_view view() const noexcept { return {data_.get(), size_}; }
  void clear() noexcept { size_ = 0; }
  void resize(std::size_t size) noexcept { size_ = size; }  // never larger than it was
  void append(std::string_view text) {
    // The old room stays until the text is copied: the text may lie in it.
    std::unique_ptr<char[]> old;
    if (capacity_ - size_ < text.size()) old = grow(size_ + text.size());
    copy_bytes(data_.get() + size_, text.data(), text.size());
    size_ += text.size();
  }
  void push_back(char c) {
    if (capacity_ == size_) grow(size_ + 1);
    data_[size_++] = c;
  }
  void assign(std::string_view text) {
    size_ = 0;
    append(text);
  }

 private:
  // Returns the old room.
  [[gnu::noinline]] std::unique_ptr<char[]> grow(std::size_t need) {
    std::size_t capacity = capacity_ < 256 ? 256 : capacity_ * 2;
    while (capacity < need) capacity *= 2;
    auto bigger = std::make_unique_for_overwrite<char[]>(capacity);
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    std::swap(data_, bigger);
    capacity_ = capacity;
    return bigger;
  }

  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;
};

}  // namespace tallyfold::camt
