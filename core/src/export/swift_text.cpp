#include "export/swift_text.hpp"
#include "util/ascii.hpp"

#include <cstdint>

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
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char b = byte(0);
  length = 1;
  if (b < 0x80) return b;
  std::size_t n = 0;
  std::uint32_t cp = 0;
  std::uint32_t min = 0;
  if (b >= 0xC2 && b <= 0xDF) { n = 1; cp = b & 0x1F; min = 0x80; }
  else if (b >= 0xE0 && b <= 0xEF) { n = 2; cp = b & 0x0F; min = 0x800; }
  else if (b >= 0xF0 && b <= 0xF4) { n = 3; cp = b & 0x07; min = 0x10000; }
  else return 0xFFFFFFFF;
  if (text.size() <= n) return 0xFFFFFFFF;
  for (std::size_t i = 1; i <= n; ++i) {
    if ((byte(i) & 0xC0) != 0x80) return 0xFFFFFFFF;
    cp = cp << 6 | (byte(i) & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0xFFFFFFFF;
  length = n + 1;
  return cp;
}

}  // namespace

std::size_t append_swift_x(std::string_view text, std::string& out) {
  std::size_t changed = 0;
  while (!text.empty()) {
    // Runs of the set itself, which is nearly everything, are copied whole.
    std::size_t run = 0;
    const char* p = text.data();
    while (run + 4 <= text.size() && is_swift_x(p[run]) & is_swift_x(p[run + 1]) & is_swift_x(p[run + 2]) &
                                         is_swift_x(p[run + 3])) {
      run += 4;
    }
    while (run < text.size() && is_swift_x(p[run])) ++run;
    out.append(text.substr(0, run));
    text.remove_prefix(run);
    if (text.empty()) break;
    std::size_t length = 1;
    const std::uint32_t cp = decode(text, length);
    out.append(x_form(cp));
    ++changed;
    text.remove_prefix(length);
  }
  return changed;
}

}  // namespace tallyfold::detail
