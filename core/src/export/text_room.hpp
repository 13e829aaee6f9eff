// Writing an export through a pointer into room taken from its string, and the copy
// kernels that check a text for what its format must escape while copying it.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "export/text_parts.hpp"
#include "tallyfold/model.hpp"
#include "util/short_copy.hpp"

namespace tallyfold::detail {

/// A write position in `out`: room is taken from the string a step at a time (its new
/// bytes filled once, in blocks small enough for vector stores) and written through a
/// pointer, so that a field costs a compare instead of an append's checks and call.
/// The string holds written bytes and room; settle() cuts it to what was written, for
/// whatever reads or hands it on, and resume() continues after that.
class OutRoom {
 public:
  explicit OutRoom(std::string& out) noexcept : out_(out) { resume(); }
  OutRoom(const OutRoom&) = delete;
  OutRoom& operator=(const OutRoom&) = delete;

  /// At least `n` bytes of room at the position, which may move.
  char* room(std::size_t n) {
    if (static_cast<std::size_t>(end_ - p_) < n) [[unlikely]] grow(n);
    return p_;
  }
  char* at() const noexcept { return p_; }
  /// The position after bytes written at it.
  void advance_to(char* p) noexcept { p_ = p; }
  /// Bytes written since the string was last settled or resumed.
  std::size_t written() const noexcept { return static_cast<std::size_t>(p_ - out_.data()); }
  std::string& settle() {
    out_.resize(written());
    end_ = p_;
    return out_;
  }
  void resume() noexcept {
    p_ = out_.data() + out_.size();
    end_ = p_;
  }

 private:
  // Below the size from which the library fills with string instructions.
  static constexpr std::size_t kStep = 1536;
  [[gnu::noinline]] void grow(std::size_t n) {
    const std::size_t used = written();
    const std::size_t filled = out_.size();
    const std::size_t want = used + (n > kStep ? n : kStep);
    if (want > filled) out_.resize(want);
    p_ = out_.data() + used;
    end_ = out_.data() + out_.size();
  }

  std::string& out_;
  char* p_ = nullptr;
  char* end_ = nullptr;
};

/// Copies `text` to `to`; where the copy ends.
inline char* put_bytes(char* to, std::string_view text) noexcept { return copy_short(to, text.data(), text.size()); }

/// The four bytes a CSV field is quoted for: the separator, '"', LF and CR (a CR left
/// bare ends the row in common CSV readers).
template <char Sep>
constexpr bool csv_special(char c) noexcept {
  return c == Sep || c == '"' || c == '\n' || c == '\r';
}

/// Copies `text` to `to` (room for its size) and says whether it holds a byte of
/// csv_special, in which case the copy is not the field and the caller quotes instead.
/// One pass, sixteen bytes a step; no byte outside the text is read or outside its
/// copy written, the last step overlapping the one before.
template <char Sep>
inline bool csv_copy_finds_special(std::string_view text, char* to) noexcept {
  const char* s = text.data();
  const std::size_t n = text.size();
#if defined(__SSE2__)
  const __m128i sep = _mm_set1_epi8(Sep);
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  __m128i any = _mm_setzero_si128();
  copy_looking(s, n, to, [&](__m128i v) {
    any = _mm_or_si128(any, _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(v, sep), _mm_cmpeq_epi8(v, quote)),
                                         _mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr))));
  });
  return _mm_movemask_epi8(any) != 0;
#else
  const auto special = [](std::uint64_t w) noexcept {
    return word::any_equal(w, static_cast<unsigned char>(Sep)) | word::any_equal(w, '"') |
           word::any_equal(w, '\n') | word::any_equal(w, '\r');
  };
  if (n >= 8) {
    std::uint64_t found = 0;
    std::size_t i = 0;
    for (; n - i > 8; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, s + i, 8);
      std::memcpy(to + i, &w, 8);
      found |= special(w);
    }
    std::uint64_t w;
    std::memcpy(&w, s + n - 8, 8);
    std::memcpy(to + n - 8, &w, 8);
    return (found | special(w)) != 0;
  }
  bool found = false;
  for (std::size_t i = 0; i < n; ++i) {
    to[i] = s[i];
    found = found || csv_special<Sep>(s[i]);
  }
  return found;
#endif
}

/// Copies `text` to `to` (room for its size) and says whether the copy is the body of
/// its JSON string as it is: no control byte, '"' or '\\' to escape, and well-formed
/// UTF-8, checked only when a byte above ASCII turns up. One pass, as the CSV copy.
inline bool json_copy_is_plain(std::string_view text, char* to) noexcept {
  const char* s = text.data();
  const std::size_t n = text.size();
#if defined(__SSE2__)
  const __m128i quote = _mm_set1_epi8('"');
  const __m128i backslash = _mm_set1_epi8('\\');
  const __m128i last_control = _mm_set1_epi8(0x1F);
  __m128i special = _mm_setzero_si128();
  __m128i any = _mm_setzero_si128();
  copy_looking(s, n, to, [&](__m128i v) {
    // A byte at or below 0x1F is its own minimum with 0x1F, unsigned.
    special = _mm_or_si128(special, _mm_or_si128(_mm_cmpeq_epi8(_mm_min_epu8(v, last_control), v),
                                                 _mm_or_si128(_mm_cmpeq_epi8(v, quote), _mm_cmpeq_epi8(v, backslash))));
    any = _mm_or_si128(any, v);
  });
  if (_mm_movemask_epi8(special) != 0) return false;
  return _mm_movemask_epi8(any) == 0 || !find_invalid_utf8(text);
#else
  bool escape = false;
  bool high = false;
  for (std::size_t i = 0; i < n; ++i) {
    const auto c = static_cast<unsigned char>(s[i]);
    to[i] = s[i];
    escape = escape || c < 0x20 || c == '"' || c == '\\';
    high = high || c >= 0x80;
  }
  if (escape) return false;
  return !high || !find_invalid_utf8(text);
#endif
}

/// The ISO text of a date ("2024-01-31", ten bytes) at `to`, as Date::append_iso writes
/// it; the years of four digits, nearly all, without a call.
inline char* put_iso_date(char* to, const Date& d) {
  const std::int32_t y = d.year();
  if (y < 1000 || y > 9999) [[unlikely]] {
    std::string text;
    d.append_iso(text);
    return put_bytes(to, text);
  }
  const unsigned year = static_cast<unsigned>(y);
  const unsigned m = d.month();
  const unsigned day = d.day();
  char text[10] = {static_cast<char>('0' + year / 1000),    static_cast<char>('0' + year / 100 % 10),
                   static_cast<char>('0' + year / 10 % 10), static_cast<char>('0' + year % 10),
                   '-',
                   static_cast<char>('0' + m / 10),         static_cast<char>('0' + m % 10),
                   '-',
                   static_cast<char>('0' + day / 10),       static_cast<char>('0' + day % 10)};
  std::memcpy(to, text, sizeof text);
  return to + sizeof text;
}

}  // namespace tallyfold::detail
