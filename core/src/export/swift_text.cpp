#include "export/swift_text.hpp"

#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

#include "util/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold::detail {
namespace {

// Base letters of U+00C0..U+00FF and U+0100..U+017F; "*" marks the ones written as two
// letters, found in kDouble.
constexpr std::string_view kLatin1 =
    "AAAAAA*CEEEEIIII"   // C0..CF (C6 Æ)
    "DNOOOOO.OUUUUY**"   // D0..DF (D7 ×, DE Þ, DF ß)
    "aaaaaa*ceeeeiiii"   // E0..EF (E6 æ)
    "dnooooo.ouuuuy*y";  // F0..FF (F7 ÷, FE þ)
constexpr std::string_view kLatinA =
    "AaAaAaCcCcCcCcDd"   // 100..10F
    "DdEeEeEeEeEeGgGg"   // 110..11F
    "GgGgHhHhIiIiIiIi"   // 120..12F
    "Ii**JjKkkLlLlLlL"   // 130..13F (132 Ĳ, 133 ĳ)
    "lLlNnNnNnnNnOoOo"   // 140..14F
    "Oo**RrRrRrSsSsSs"   // 150..15F (152 Œ, 153 œ)
    "SsTtTtTtUuUuUuUu"   // 160..16F
    "UuUuWwYyYZzZzZzs";  // 170..17F
static_assert(kLatin1.size() == 64 && kLatinA.size() == 128);

std::string_view double_letter(std::uint32_t cp) noexcept {
  switch (cp) {
    case 0xC6: return "AE";
    case 0xE6: return "ae";
    case 0xDE: return "TH";
    case 0xFE: return "th";
    case 0xDF: return "ss";
    case 0x132: return "IJ";
    case 0x133: return "ij";
    case 0x152: return "OE";
    case 0x153: return "oe";
    default: return ".";
  }
}

// The X form of a character outside the set.
std::string_view x_form(std::uint32_t cp) noexcept {
  switch (cp) {
    case '\t': case '\n': case '\r': case 0xA0: case 0x2007: case 0x202F: return " ";
    case '&': return "+";
    case '"': case 0x2018: case 0x2019: case 0x201A: case 0x201C: case 0x201D: case 0x201E: case '`': return "'";
    case ';': return ",";
    case '<': case '[': case '{': return "(";
    case '>': case ']': case '}': return ")";
    case '_': case '=': case '~': case '\\': case '|': case 0x2010: case 0x2011: case 0x2012:
    case 0x2013: case 0x2014: case 0xAD: return "-";
    case 0x20AC: return "EUR";
    default: break;
  }
  if (cp >= 0xC0 && cp <= 0xFF) {
    const char c = kLatin1[cp - 0xC0];
    return c == '*' ? double_letter(cp) : std::string_view(&kLatin1[cp - 0xC0], 1);
  }
  if (cp >= 0x100 && cp <= 0x17F) {
    const char c = kLatinA[cp - 0x100];
    return c == '*' ? double_letter(cp) : std::string_view(&kLatinA[cp - 0x100], 1);
  }
  return ".";
}

// The code point at the start of `text` and its length; an ill-formed sequence is one
// byte long and has no code point.
std::uint32_t decode(std::string_view text, std::size_t& length) noexcept {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const detail::Utf8Step step = detail::utf8_step(p, text.size());
  length = step.valid ? step.length : 1;
  return step.valid ? detail::code_point(p, step.length) : 0xFFFFFFFF;
}

#if defined(__SSE2__)
// Bit i for byte i of `b` in the X set. Bytes from 0x80 compare as negative, so the
// ranges below, all under 0x80, never take them.
std::uint32_t swift_x_bits(__m128i b) noexcept {
  const auto in = [](__m128i x, char low, char high) {
    return _mm_and_si128(_mm_cmpgt_epi8(x, _mm_set1_epi8(static_cast<char>(low - 1))),
                         _mm_cmpgt_epi8(_mm_set1_epi8(static_cast<char>(high + 1)), x));
  };
  // Letters of either case fold to the lower one; nothing else lands in a..z.
  const __m128i letter = in(_mm_or_si128(b, _mm_set1_epi8(0x20)), 'a', 'z');
  // ' ( ) + , - . / 0..9 : are one range but for "*".
  const __m128i middle = _mm_andnot_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8('*')), in(b, '\'', ':'));
  const __m128i single = _mm_or_si128(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')), _mm_cmpeq_epi8(b, _mm_set1_epi8('?')));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_or_si128(letter, _mm_or_si128(middle, single))));
}

std::uint32_t swift_x_bits16(const char* p) noexcept {
  return swift_x_bits(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
}

// A text of 4 to 15 bytes in one register, from two loads of 8 (or 4) bytes that
// overlap in its middle and stay within it: the first in the low lanes, the last in the
// high ones. `width` is the size of each load.
[[gnu::always_inline]] inline __m128i short_text_ends(const char* p, std::size_t n, std::size_t& width) noexcept {
  if (n >= 8) {
    width = 8;
    return _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)),
                              _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8)));
  }
  std::int32_t a;
  std::int32_t b;
  std::memcpy(&a, p, 4);
  std::memcpy(&b, p + n - 4, 4);
  width = 4;
  return _mm_unpacklo_epi64(_mm_cvtsi32_si128(a), _mm_cvtsi32_si128(b));
}

// What swift_x_bits16 says, for a text of 4 to 15 bytes.
std::uint32_t swift_x_bits_short(const char* p, std::size_t n) noexcept {
  std::size_t width;
  const std::uint32_t bits = swift_x_bits(short_text_ends(p, n, width));
  const std::uint32_t keep = (std::uint32_t{1} << width) - 1;
  return (bits & keep) | ((bits >> 8 & keep) << (n - width));
}
#endif

// Inline in append_swift_x, which asks it of every value written, mostly short ones.
[[gnu::always_inline]] inline std::size_t x_run(std::string_view text) noexcept {
  const char* p = text.data();
  const std::size_t n = text.size();
  std::size_t run = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    for (; n - run >= 16; run += 16) {
      const std::uint32_t bits = swift_x_bits16(p + run);
      if (bits != 0xFFFF) return run + static_cast<std::size_t>(std::countr_one(bits));
    }
    if (run == n) return run;
    // The last bytes, loaded with some before them again so that no load passes the end.
    const std::size_t again = 16 - (n - run);
    return run + static_cast<std::size_t>(std::countr_one(swift_x_bits16(p + n - 16) >> again));
  }
  if (n >= 4) return static_cast<std::size_t>(std::countr_one(swift_x_bits_short(p, n)));
#endif
  while (run + 4 <= n && is_swift_x(p[run]) & is_swift_x(p[run + 1]) & is_swift_x(p[run + 2]) & is_swift_x(p[run + 3])) {
    run += 4;
  }
  while (run < n && is_swift_x(p[run])) ++run;
  return run;
}

}  // namespace

std::size_t swift_x_run(std::string_view text) noexcept { return x_run(text); }

namespace {

#if defined(__SSE2__)
// Rewrites the slashes among the 16 bytes at `p`. Loads that overlap ones before them
// find those already rewritten, so none is counted twice.
[[gnu::always_inline]] inline std::size_t dash16(char* p, __m128i b) noexcept {
  auto bits = static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8('/'))));
  std::size_t count = 0;
  for (; bits != 0; bits &= bits - 1, ++count) p[std::countr_zero(bits)] = '-';
  return count;
}
#endif

}  // namespace

std::size_t slashes_to_dashes(char* p, std::size_t n) noexcept {
  std::size_t count = 0;
  std::size_t i = 0;
#if defined(__SSE2__)
  if (n >= 16) {
    for (; n - i >= 16; i += 16) count += dash16(p + i, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)));
    if (i < n) count += dash16(p + n - 16, _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + n - 16)));
    return count;
  }
  if (n >= 8) {
    // Two loads of 8 that meet or overlap in the middle, each checked on its own.
    count += dash16(p, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)));
    return count + dash16(p + n - 8, _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + n - 8)));
  }
#endif
  for (; i < n; ++i) {
    if (p[i] == '/') {
      p[i] = '-';
      ++count;
    }
  }
  return count;
}

namespace {

// put_swift_x and put_swift_x_dashed: the X set's runs found, copied and (with `dash`)
// their slashes rewritten 16 bytes at a time, texts and tails under 16 bytes from two
// loads that overlap in their middle, a character outside the set one at a time.
template <bool dash>
char* put_x(std::string_view text, char* at, SwiftXWritten& written) noexcept {
  const char* p = text.data();
  const char* const end = p + text.size();
  for (;;) {
    const auto n = static_cast<std::size_t>(end - p);
    std::size_t run = 0;
#if defined(__SSE2__)
    if (n >= 16) {
      __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
      run = static_cast<std::size_t>(std::countr_one(swift_x_bits(b)));
      const std::uint32_t in_run = (std::uint32_t{1} << run) - 1;
      const __m128i slash = _mm_cmpeq_epi8(b, _mm_set1_epi8('/'));
      // Counted a bit at a time: most blocks have none, and a count instruction is not
      // one every machine this is built for has.
      for (std::uint32_t bits = static_cast<std::uint32_t>(_mm_movemask_epi8(slash)) & in_run; bits != 0;
           bits &= bits - 1) {
        ++written.slashes;
      }
      if constexpr (dash) {
        written.blank |= (static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')))) & in_run) != 0;
        b = _mm_or_si128(_mm_andnot_si128(slash, b), _mm_and_si128(slash, _mm_set1_epi8('-')));
      }
      // All 16 bytes, past the run too: the room holds them (what is written never runs
      // ahead of what is read), and what follows the run overwrites them.
      _mm_storeu_si128(reinterpret_cast<__m128i*>(at), b);
      at += run;
      p += run;
      if (run == 16) continue;
    } else if (n >= 4) {
      std::size_t width;
      const __m128i b = short_text_ends(p, n, width);
      // Lane i of the first load is byte i, lane 8 + i of the last byte n - width + i.
      const std::uint32_t keep = (std::uint32_t{1} << width) - 1;
      const auto spread = [&](std::uint32_t lanes) { return (lanes & keep) | ((lanes >> 8 & keep) << (n - width)); };
      run = static_cast<std::size_t>(std::countr_one(spread(swift_x_bits(b))));
      copy_short(at, p, run);
      const std::uint32_t in_run = (std::uint32_t{1} << run) - 1;
      std::uint32_t slashes = spread(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8('/'))))) & in_run;
      if constexpr (dash) {
        written.blank |= (spread(static_cast<std::uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8(' '))))) & in_run) != 0;
      }
      for (; slashes != 0; slashes &= slashes - 1) {
        if constexpr (dash) at[std::countr_zero(slashes)] = '-';
        ++written.slashes;
      }
      at += run;
      p += run;
    } else
#endif
    {
      for (; run < n && is_swift_x(p[run]); ++run) {
        char c = p[run];
        if (c == '/') {
          ++written.slashes;
          if constexpr (dash) c = '-';
        }
        if constexpr (dash) written.blank |= c == ' ';
        at[run] = c;
      }
      at += run;
      p += run;
    }
    if (p == end) return at;
    std::size_t length = 1;
    const std::string_view form = x_form(decode(std::string_view(p, static_cast<std::size_t>(end - p)), length));
    // At most three bytes, never more than `length`, never a "/"; a blank for a tab or a
    // line break.
    for (const char c : form) *at++ = c;
    if constexpr (dash) written.blank |= form.front() == ' ';
    ++written.changed;
    p += length;
  }
}

}  // namespace

char* put_swift_x(std::string_view text, char* at, SwiftXWritten& written) noexcept {
  return put_x<false>(text, at, written);
}

char* put_swift_x_dashed(std::string_view text, char* at, SwiftXWritten& written) noexcept {
  return put_x<true>(text, at, written);
}


std::size_t put_mt_amount(std::uint64_t mantissa, int scale, char* at) noexcept {
  constexpr std::uint64_t kPowers[] = {1,
                                       10,
                                       100,
                                       1000,
                                       10000,
                                       100000,
                                       1000000,
                                       10000000,
                                       100000000,
                                       1000000000,
                                       10000000000,
                                       100000000000,
                                       1000000000000,
                                       10000000000000,
                                       100000000000000,
                                       1000000000000000,
                                       10000000000000000,
                                       100000000000000000,
                                       1000000000000000000,
                                       10000000000000000000u};
  // The amount in hundredths: twelve integer digits at most, with the comma and two
  // fraction digits the fifteen characters of the field.
  constexpr std::uint64_t kLimit = 100000000000000;  // 10^14 hundredths
  std::uint64_t cents;
  if (scale <= 2) {
    const std::uint64_t factor = kPowers[2 - scale];
    if (mantissa >= kLimit / factor) return 0;
    cents = mantissa * factor;
  } else {
    // A digit beyond two that is not zero is an amount MT940 cannot hold; with more
    // than 19 of them, only zero has none.
    if (scale - 2 >= static_cast<int>(std::size(kPowers))) {
      if (mantissa != 0) return 0;
      cents = 0;
    } else {
      const std::uint64_t divisor = kPowers[scale - 2];
      if (mantissa % divisor != 0) return 0;
      cents = mantissa / divisor;
      if (cents >= kLimit) return 0;
    }
  }
  // Written backwards from the middle of a buffer of twice the room, then copied as 16
  // bytes whatever their number: the bytes past the amount fall in the room, unread.
  char digits[32] = {};
  char* first = digits + 16;
  *--first = static_cast<char>('0' + cents % 10);
  *--first = static_cast<char>('0' + cents / 10 % 10);
  *--first = ',';
  // Two digits a step: half the divisions, half the turns of a loop whose end the
  // amounts' lengths make hard to foresee.
  std::uint64_t whole = cents / 100;
  for (; whole >= 100; whole /= 100) {
    first -= 2;
    put_two_digits(static_cast<unsigned>(whole % 100), first);
  }
  if (whole >= 10) {
    first -= 2;
    put_two_digits(static_cast<unsigned>(whole), first);
  } else {
    *--first = static_cast<char>('0' + whole);
  }
  std::memcpy(at, first, 16);
  return static_cast<std::size_t>(digits + 16 - first);
}

std::size_t append_swift_x(std::string_view text, std::string& out) {
  std::size_t changed = 0;
  while (!text.empty()) {
    if (is_swift_x(text.front())) {
      out.push_back(text.front());
      text.remove_prefix(1);
      continue;
    }
    std::size_t length = 1;
    out.append(x_form(decode(text, length)));
    ++changed;
    text.remove_prefix(length);
  }
  return changed;
}

}  // namespace tallyfold::detail
