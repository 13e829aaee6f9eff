#include "export/iso20022_xml.hpp"

#include <cstring>

#include "export/iso20022_copy.hpp"

namespace tallyfold::camt {
namespace {

// Blanks enough for the indentation of every depth the documents reach, written as one
// copy of a fixed size; a deeper line takes them one by one.
constexpr std::size_t kBlanks = 32;
constexpr char kSpaces[kBlanks + 1] = "                                ";

}  // namespace

[[gnu::noinline]] void Xml::grow(std::size_t bytes) {
  // Under the size from which the C library fills with a string instruction, which costs
  // more than its vector stores on a few kilobytes.
  constexpr std::size_t kAhead = 1920;
  const std::size_t at = size();
  const std::size_t capacity = out_.capacity();
  std::size_t to = at + (bytes > kAhead ? bytes : kAhead);
  // Within the capacity reserved where it suffices: past it, the string is moved.
  if (to > capacity && at + bytes <= capacity) to = capacity;
  out_.resize(to);
  p_ = out_.data() + at;
  end_ = out_.data() + out_.size();
}

// Room for the indentation and `rest` more bytes, with a tag's block of slack; where
// `rest` starts.
inline char* Xml::line(std::size_t rest) {
  const auto indent = static_cast<std::size_t>(2 * depth_);
  const std::size_t bytes = indent + kBlanks + Tag::kRoom + rest;
  if (static_cast<std::size_t>(end_ - p_) < bytes) [[unlikely]] grow(bytes);
  if (trailing_ != nullptr) trailing_->step(out_.data());
  std::memcpy(p_, kSpaces, kBlanks);
  if (indent > kBlanks) [[unlikely]] std::memset(p_, ' ', indent);
  return p_ + indent;
}

// The start tag on its line, with room for a value of `n` bytes and the end tag; where
// the value goes.
inline char* Xml::start(const Tag& name, std::size_t n) {
  char* p = line(name.size + n + Tag::kRoom);
  std::memcpy(p, name.start, Tag::kRoom);
  return p + name.size + 2;
}

inline void Xml::finish(char* p, const Tag& name) noexcept {
  std::memcpy(p, name.end, Tag::kRoom);
  p_ = p + name.size + 4;
}

void Xml::open(const Tag& name) {
  char* p = line(0);
  std::memcpy(p, name.start, Tag::kRoom);
  p_ = p + name.size + 3;
  ++depth_;
}

void Xml::close(const Tag& name) {
  --depth_;
  finish(line(0), name);
}

void Xml::value(const Tag& name, std::string_view v) {
  char* p = start(name, v.size());
  finish(tallyfold::detail::copy_short(p, v.data(), v.size()), name);
}

void Xml::date(const Tag& name, const Date& d) {
  if (d.year() < 1000 || d.year() > 9999) [[unlikely]] {
    return value(name, d.to_iso());
  }
  char* p = start(name, 10);
  auto two = [](char* at, unsigned v) noexcept {
    at[0] = static_cast<char>('0' + v / 10);
    at[1] = static_cast<char>('0' + v % 10);
  };
  const auto year = static_cast<unsigned>(d.year());
  two(p, year / 100);
  two(p + 2, year % 100);
  p[4] = '-';
  two(p + 5, d.month());
  p[7] = '-';
  two(p + 8, d.day());
  finish(p + 10, name);
}

void Xml::text(const Tag& name, std::string_view t, std::size_t max) {
  // The usual text is printable ASCII with graphic ends that fits: fit() would give it
  // back as it is, and there is nothing to escape. Checked as it is copied.
  if (!t.empty() && t.size() <= max && ascii::is_graphic(t.front()) && ascii::is_graphic(t.back())) {
    char* p = start(name, t.size());
    if (copy::plain_bytes(p, t.data(), t.size())) return finish(p + t.size(), name);
  }
  text_by_rules(name, t, max);
}

void Xml::escaped(const Tag& name, std::string_view fitted) {
  char* p = start(name, fitted.size());
  // The usual text has nothing to escape: copied and checked at once.
  if (copy::plain_bytes(p, fitted.data(), fitted.size())) return finish(p + fitted.size(), name);
  escaped_by_rules(name, fitted);
}

// A text that holds something to escape, from the start of its line on.
[[gnu::noinline]] void Xml::escaped_by_rules(const Tag& name, std::string_view fitted) {
  char* p = start(name, copy::escaped_room(fitted.size()));
  finish(copy::escaped(p, fitted), name);
}

[[gnu::noinline]] void Xml::text_by_rules(const Tag& name, std::string_view t, std::size_t max) {
  if (fits_as_it_is(t, max)) return escaped_by_rules(name, t);
  const std::string fitted = fit(t, max);
  if (!fitted.empty()) escaped(name, fitted);
}

void Xml::amount(const Tag& name, std::string_view amount, std::string_view currency) {
  constexpr std::string_view kCurrency = " Ccy=\"";
  char* p = line(name.size + currency.size() + amount.size() + kCurrency.size() + 2 * Tag::kRoom);
  std::memcpy(p, name.start, Tag::kRoom);
  p += name.size + 1;
  std::memcpy(p, kCurrency.data(), kCurrency.size());
  p = tallyfold::detail::copy_short(p + kCurrency.size(), currency.data(), currency.size());
  *p++ = '"';
  *p++ = '>';
  finish(tallyfold::detail::copy_short(p, amount.data(), amount.size()), name);
}

}  // namespace tallyfold::camt
