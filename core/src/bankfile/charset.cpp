// Step 1 of the bank-file reading: bytes to UTF-8.
//
// Forced encodings go through the system's iconv. Detection does not: it scores each
// candidate code page with a 128-entry table (built from iconv once) and decodes with the
// winner's table, so the text it returns is exactly the text it judged.

#include <iconv.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "bankfile/steps.hpp"
#include "tallyfold/bankfile.hpp"
#include "text_views.hpp"
#include "util/utf8.hpp"
#include "util/tag_line.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace tallyfold {
namespace {

using detail::find_high_byte;

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// RAII for one conversion descriptor; a descriptor is never shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (ok()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool ok() const noexcept { return cd_ != reinterpret_cast<iconv_t>(-1); }
  iconv_t get() const noexcept { return cd_; }

 private:
  iconv_t cd_;
};

std::size_t line_at(std::string_view text, std::size_t offset) {
  return 1 + static_cast<std::size_t>(std::count(text.begin(), text.begin() + offset, '\n'));
}

// The offset of the input byte that converts to byte `output_offset` of the output:
// iconv converts whole characters only, so with room for exactly that many bytes it
// stops in front of it.
std::size_t input_offset(std::string_view in, const std::string& encoding, std::size_t output_offset) {
  Converter converter("UTF-8", encoding.c_str());
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  std::string out(output_offset, '\0');
  char* dst = out.data();
  std::size_t dst_left = out.size();
  iconv(converter.get(), &src, &src_left, &dst, &dst_left);
  return in.size() - src_left;
}

Result<std::string, LocatedError> convert_to_utf8(std::string_view in, const std::string& encoding) {
  Converter converter("UTF-8", encoding.c_str());
  if (!converter.ok()) return LocatedError{0, Refusal{"unknown encoding " + encoding}};
  std::string out;
  // iconv takes a non-const input pointer but never writes through it.
  char* src = const_cast<char*>(in.data());
  std::size_t src_left = in.size();
  char buffer[1 << 14];
  bool flushing = false;
  for (;;) {
    char* dst = buffer;
    std::size_t dst_left = sizeof buffer;
    std::size_t rc = flushing ? iconv(converter.get(), nullptr, nullptr, &dst, &dst_left)
                              : iconv(converter.get(), &src, &src_left, &dst, &dst_left);
    out.append(buffer, static_cast<std::size_t>(dst - buffer));
    if (rc != static_cast<std::size_t>(-1)) {
      if (!flushing) {
        flushing = true;
        continue;
      }
      // Some converters let through what Unicode lacks, such as UTF-8 forms above
      // U+10FFFF; the text must be UTF-8 all the same.
      const auto bad = find_invalid_utf8(out);
      if (!bad) return out;
      return LocatedError{line_at(out, *bad), EncodingError{"not valid " + encoding + " at byte " +
                                                            std::to_string(input_offset(in, encoding, *bad))}};
    }
    if (errno == E2BIG) continue;
    // Lines are counted in the converted text, which is right for any source encoding.
    const std::size_t line = line_at(out, out.size());
    if (errno == EINVAL) {
      return LocatedError{line, EncodingError{"incomplete " + encoding + " character at the end of the input"}};
    }
    return LocatedError{line, EncodingError{"not valid " + encoding + " at byte " +
                                            std::to_string(in.size() - src_left)}};
  }
}

// What a byte of a code page is, as far as judging a text goes.
enum class Kind : std::uint8_t {
  Invalid,     // undefined, or a control character: never in a statement written in it
  Upper,
  Lower,
  Caseless,    // ß: German writes it inside capitalised words
  Separator,   // apostrophes, no-break and soft hyphens: fine inside a word or between two
  Symbol,      // punctuation, signs, box drawing
};

// Latin-1 and Latin Extended-A hold every letter of the six code pages; their capitals
// and small letters alternate in known runs.
Kind kind_of(char32_t c) {
  if (c >= 0xC0 && c <= 0xFF && c != 0xD7 && c != 0xF7) {
    if (c == 0xDF) return Kind::Caseless;
    return c < 0xDF ? Kind::Upper : Kind::Lower;
  }
  if (c >= 0x100 && c <= 0x17F) {
    if (c == 0x138 || c == 0x149 || c == 0x17F) return Kind::Lower;  // ĸ ŉ ſ: no capitals
    if (c == 0x178) return Kind::Upper;                               // Ÿ
    const bool odd_capitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
    return ((c & 1) != 0) == odd_capitals ? Kind::Upper : Kind::Lower;
  }
  if (c == 0 || (c >= 0x80 && c <= 0x9F)) return Kind::Invalid;
  if (c == 0x2019 || c == 0xB4 || c == 0xA0 || c == 0xAD) return Kind::Separator;
  return Kind::Symbol;
}

char32_t to_lower(char32_t c) {
  if (kind_of(c) != Kind::Upper) return c;
  if (c < 0x100) return c + 0x20;
  return c == 0x178 ? 0xFF : c + 1;
}

// The non-ASCII letters of the languages written in these code pages. A text's letters
// should mostly come from one of them; a wrong code page scatters them across several.
constexpr std::u32string_view kAlphabets[] = {
    U"äöüß",                          // German
    U"àâæçéèêëîïôœùûüÿ",              // French
    U"áéíñóúü",                       // Spanish
    U"áâãàçéêíóôõú",                  // Portuguese
    U"àèéìíîòóùú",                    // Italian
    U"áéíóúàèëïöü",                   // Dutch
    U"àçèéíïòóú",                     // Catalan
    U"æøåé",                          // Danish, Norwegian
    U"åäöé",                          // Swedish, Finnish
    U"áðéíóúýþæö",                    // Icelandic
    U"ąćęłńóśźż",                     // Polish
    U"áčďéěíňóřšťúůýž",               // Czech
    U"áäčďéíĺľňóôŕšťúýž",             // Slovak
    U"áéíóöőúüű",                     // Hungarian
    U"čćđšž",                         // Slovenian, Croatian
    U"ăâîşţ",                         // Romanian
    U"çë",                            // Albanian
};
constexpr std::size_t kLanguages = std::size(kAlphabets);
static_assert(kLanguages <= 32);

struct CodePage {
  std::string_view name;
  std::array<char32_t, 128> code{};  // 0: undefined
  std::array<Kind, 128> kind{};
  std::array<std::uint32_t, 128> languages{};  // bit i: a letter of kAlphabets[i]
};

void append_utf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out.push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (c >> 6)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    // The code pages hold nothing beyond the Basic Multilingual Plane.
    out.push_back(static_cast<char>(0xE0 | (c >> 12)));
    out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

CodePage load_code_page(std::string_view name, const char* iconv_name) {
  CodePage page;
  page.name = name;
  Converter converter("UTF-32LE", iconv_name);
  for (unsigned b = 0; b < 128; ++b) {
    char32_t c = 0;
    if (converter.ok()) {
      char in = static_cast<char>(0x80 + b);
      unsigned char out[4] = {};
      char* src = &in;
      char* dst = reinterpret_cast<char*>(out);
      std::size_t src_left = 1, dst_left = sizeof out;
      iconv(converter.get(), nullptr, nullptr, nullptr, nullptr);
      if (iconv(converter.get(), &src, &src_left, &dst, &dst_left) != static_cast<std::size_t>(-1) &&
          dst_left == 0) {
        c = out[0] | (out[1] << 8) | (out[2] << 16) | (static_cast<char32_t>(out[3]) << 24);
      }
    }
    page.code[b] = c;
    page.kind[b] = kind_of(c);
    const char32_t lower = to_lower(c);
    for (std::size_t i = 0; i < kLanguages; ++i) {
      if (c != 0 && kAlphabets[i].find(lower) != std::u32string_view::npos) page.languages[b] |= 1u << i;
    }
  }
  return page;
}

// In the order that breaks ties.
const std::vector<CodePage>& candidates() {
  static const std::vector<CodePage> pages = {
      load_code_page("windows-1252", "WINDOWS-1252"), load_code_page("ISO-8859-1", "ISO-8859-1"),
      load_code_page("windows-1250", "WINDOWS-1250"), load_code_page("ISO-8859-2", "ISO-8859-2"),
      load_code_page("CP850", "IBM850"),              load_code_page("CP852", "IBM852"),
  };
  return pages;
}


bool is_ascii_letter(unsigned char c) { return static_cast<unsigned char>((c | 0x20) - 'a') < 26; }

bool is_letter(Kind kind) { return kind == Kind::Upper || kind == Kind::Lower || kind == Kind::Caseless; }

// What one code page makes of the text: how many of its non-ASCII bytes read as letters
// of well-formed words, against those that read as controls, as signs inside words or
// as capitals in the middle of small letters.
class Judge {
 public:
  explicit Judge(const CodePage& page) : page_(page) {}

  // One run of ASCII letters and non-ASCII bytes holding at least one non-ASCII byte.
  void add_run(const unsigned char* p, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
      const unsigned char c = p[i];
      if (c < 0x80) {
        add_letter(c, c < 'a' ? Kind::Upper : Kind::Lower);
        continue;
      }
      if (repeated(p, n, i)) {
        // No language triples a letter: such bytes draw a line or a frame.
        end_word();
        continue;
      }
      const Kind kind = page_.kind[c - 0x80];
      if (is_letter(kind)) {
        add_letter(c, kind);
      } else if (kind == Kind::Invalid) {
        score_ -= 3;
        end_word();
      } else {
        // Signs are punctuation at the edge of a word and noise inside one.
        if (kind == Kind::Symbol && i > 0 && i + 1 < n) --score_;
        end_word();
      }
    }
    end_word();
  }

  long score() const {
    // The letters of the best-fitting language count twice.
    long best = 0;
    for (std::size_t language = 0; language < kLanguages; ++language) {
      long sum = 0;
      for (std::size_t b = 0; b < 128; ++b) {
        if (page_.languages[b] & (1u << language)) sum += fitting_[b];
      }
      best = std::max(best, sum);
    }
    return score_ + best;
  }

 private:
  static bool repeated(const unsigned char* p, std::size_t n, std::size_t i) {
    const std::size_t from = i >= 2 ? i - 2 : 0, to = std::min(n, i + 3);
    std::size_t same = 0;
    for (std::size_t k = from; k < to && same < 3; ++k) same = p[k] == p[i] ? same + 1 : 0;
    return same >= 3;
  }

  void add_letter(unsigned char c, Kind kind) {
    ++letters_;
    if (kind == Kind::Upper) {
      if (cased_) misplaced_capital_ = true;
      cased_ = true;
    } else if (kind == Kind::Lower) {
      has_lower_ = true;
      cased_ = true;
    }
    if (c >= 0x80) word_bytes_.push_back(static_cast<unsigned char>(c - 0x80));
  }

  // A word is all capitals, all small letters or one capital followed by small letters.
  // Single letters say nothing.
  void end_word() {
    const bool well_formed = !(misplaced_capital_ && has_lower_);
    if (letters_ >= 2) {
      for (unsigned char b : word_bytes_) {
        if (well_formed) {
          ++score_;
          ++fitting_[b];
        } else {
          --score_;
        }
      }
    }
    word_bytes_.clear();
    letters_ = 0;
    cased_ = has_lower_ = misplaced_capital_ = false;
  }

  const CodePage& page_;
  long score_ = 0;
  std::array<long, 128> fitting_{};
  std::vector<unsigned char> word_bytes_;
  std::size_t letters_ = 0;
  bool cased_ = false, has_lower_ = false, misplaced_capital_ = false;
};

const CodePage& most_plausible(std::string_view bytes) {
  const auto& pages = candidates();
  std::vector<Judge> judges;
  judges.reserve(pages.size());
  for (const CodePage& page : pages) judges.emplace_back(page);

  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  // Only the runs of letters around non-ASCII bytes are judged; the rest is skipped fast.
  std::size_t judged = 0;  // end of the last run
  for (std::size_t i = find_high_byte(bytes, 0); i < n; i = find_high_byte(bytes, i)) {
    std::size_t start = i;
    while (start > judged && is_ascii_letter(p[start - 1])) --start;
    while (i < n && (p[i] >= 0x80 || is_ascii_letter(p[i]))) ++i;
    for (Judge& judge : judges) judge.add_run(p + start, i - start);
    judged = i;
  }
  std::size_t best = 0;
  long best_score = judges[0].score();
  for (std::size_t k = 1; k < judges.size(); ++k) {
    const long score = judges[k].score();
    if (score > best_score) best = k, best_score = score;
  }
  return pages[best];
}

std::string decode_with(const CodePage& page, std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 4);
  std::size_t i = 0;
  while (i < bytes.size()) {
    const std::size_t high = find_high_byte(bytes, i);
    out.append(bytes.substr(i, high - i));
    if (high == bytes.size()) break;
    // A byte the code page leaves undefined keeps its own value, as web browsers read it.
    const auto c = static_cast<unsigned char>(bytes[high]);
    const char32_t code = page.code[c - 0x80];
    append_utf8(out, code != 0 ? code : c);
    i = high + 1;
  }
  return out;
}

bool has_tag_line(std::string_view bytes) {
  std::size_t pos = 0;
  while (pos < bytes.size()) {
    std::size_t end = bytes.find('\n', pos);
    if (end == std::string_view::npos) end = bytes.size();
    if (detail::tag_length(bytes.substr(pos, end - pos)) != 0) return true;
    pos = end + 1;
  }
  return false;
}

bool looks_binary(std::string_view bytes) {
  return bytes.starts_with("%PDF-") || bytes.find('\0') != std::string_view::npos;
}

}  // namespace

std::optional<std::string> resolve_encoding(std::string_view name) {
  std::string candidates[2] = {std::string(name), {}};
  for (char c : name) {
    if (c != '-' && c != '_' && c != ' ') candidates[1].push_back(c);
  }
  for (const std::string& candidate : candidates) {
    if (candidate.empty()) continue;
    if (Converter("UTF-8", candidate.c_str()).ok()) return candidate;
  }
  return std::nullopt;
}

Result<std::string, Refusal> named_encoding(std::string_view name) {
  if (auto resolved = resolve_encoding(name)) return std::move(*resolved);
  return Refusal{"unknown encoding '" + std::string(name) + "'"};
}


std::optional<std::string_view> detail::unicode_encoding(std::string_view bytes) noexcept {
  // UTF-32LE first: its mark starts like UTF-16LE's.
  if (bytes.starts_with(std::string_view("\xFF\xFE\0\0", 4))) return "UTF-32LE";
  if (bytes.starts_with(std::string_view("\0\0\xFE\xFF", 4))) return "UTF-32BE";
  if (bytes.starts_with("\xFF\xFE")) return "UTF-16LE";
  if (bytes.starts_with("\xFE\xFF")) return "UTF-16BE";
  return std::nullopt;
}

std::optional<std::string_view> detail::other_format(std::string_view bytes) noexcept {
  if (bytes.starts_with("PK\x03\x04") || bytes.starts_with("PK\x05\x06")) return kZipArchive;
  if (bytes.starts_with("\x1F\x8B")) return kGzipFile;
  if (bytes.starts_with("%PDF-")) return kPdfDocument;
  return std::nullopt;
}

bool detail::has_lone_carriage_return(std::string_view text) noexcept {
  // Most files have a carriage return on every line, each followed by its line feed:
  // the test runs 16 bytes at a time, against the bytes one further on.
  if (text.empty()) return false;
  const char* p = text.data();
  const std::size_t n = text.size() - 1;  // bytes that have a next byte
  std::size_t i = 0;
#if defined(__SSE2__)
  const __m128i cr = _mm_set1_epi8('\r');
  const __m128i lf = _mm_set1_epi8('\n');
  __m128i lone = _mm_setzero_si128();
  for (; i + 16 <= n; i += 16) {
    const __m128i here = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
    const __m128i next = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i + 1));
    lone = _mm_or_si128(lone, _mm_andnot_si128(_mm_cmpeq_epi8(next, lf), _mm_cmpeq_epi8(here, cr)));
  }
  if (_mm_movemask_epi8(lone) != 0) return true;
#endif
  for (; i < n; ++i) {
    if (p[i] == '\r' && p[i + 1] != '\n') return true;
  }
  return p[n] == '\r';
}

std::string_view detail::with_line_feeds(std::string_view text, std::string& storage,
                                         std::vector<Diagnostic>& diagnostics) {
  storage.assign(text);
  std::size_t changed = 0;
  for (std::size_t i = 0; i < storage.size(); ++i) {
    if (storage[i] == '\r' && (i + 1 == storage.size() || storage[i + 1] != '\n')) {
      storage[i] = '\n';
      ++changed;
    }
  }
  diagnostics.push_back(Diagnostic{1, Severity::Note,
                                   std::to_string(changed) + " line " + (changed == 1 ? "end" : "ends") +
                                       " of a carriage return alone read as line breaks"});
  return storage;
}

Result<DecodedText, LocatedError> decode_statement_bytes(std::string_view bytes,
                                                          const std::optional<std::string>& encoding,
                                                          std::vector<Diagnostic>& diagnostics) {
  DecodedText decoded;
  auto text = detail::decode_statement_view(bytes, encoding, decoded.text, decoded.charset, diagnostics);
  if (!text) return std::move(text).error();
  if (text->data() != decoded.text.data()) decoded.text.assign(*text);
  return decoded;
}

Result<std::string_view, LocatedError> detail::decode_statement_view(std::string_view bytes,
                                                                     const std::optional<std::string>& encoding,
                                                                     std::string& storage, std::string& charset,
                                                                     std::vector<Diagnostic>& diagnostics) {
  if (encoding) {
    auto converted = convert_to_utf8(bytes, *encoding);
    if (!converted) return std::move(converted).error();
    storage = std::move(converted).value();
    if (std::string_view(storage).starts_with(kByteOrderMark)) storage.erase(0, kByteOrderMark.size());
    charset = *encoding;
    return std::string_view(storage);
  }

  if (const auto other = detail::other_format(bytes)) return LocatedError{0, NotStatementFile{*other}};
  if (const auto unicode = detail::unicode_encoding(bytes)) {
    auto converted = convert_to_utf8(bytes, std::string(*unicode));
    if (!converted) return std::move(converted).error();
    storage = std::move(converted).value();
    if (std::string_view(storage).starts_with(kByteOrderMark)) storage.erase(0, kByteOrderMark.size());
    charset = *unicode;
    return std::string_view(storage);
  }
  if (bytes.starts_with(kByteOrderMark)) bytes.remove_prefix(kByteOrderMark.size());
  if (looks_binary(bytes) && !has_tag_line(bytes)) return LocatedError{0, NotStatementFile{detail::kNotStatementFile}};
  const auto bad = find_invalid_utf8(bytes);
  if (!bad) {
    charset = "UTF-8";
    return bytes;
  }

  const CodePage& page = most_plausible(bytes);
  diagnostics.push_back(Diagnostic{line_at(bytes, *bad), Severity::Note,
                                   "not UTF-8; read as " + std::string(page.name)});
  storage = decode_with(page, bytes);
  charset = page.name;
  return std::string_view(storage);
}

}  // namespace tallyfold
