#include "export/swift_text.hpp"

#include <cstdint>

#include "util/utf8.hpp"

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
