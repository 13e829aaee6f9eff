// The element writer of the ISO 20022 documents: one element per line, indented by
// depth. Element names are literals; every text passes through fit() and xml_escape().
#pragma once

#include <cstring>
#include <string>
#include <string_view>

#include "export/iso20022_limits.hpp"
#include "export/text_parts.hpp"
#include "tallyfold/export.hpp"

namespace tallyfold::camt {

class Xml {
 public:
  Xml(std::string& out, int depth) : out_(out), depth_(depth) {}

  void open(std::string_view name) {
    char* p = line(name.size() + 3);
    *p++ = '<';
    p = put(p, name);
    *p++ = '>';
    *p = '\n';
    ++depth_;
  }
  void close(std::string_view name) {
    --depth_;
    char* p = line(name.size() + 4);
    *p++ = '<';
    *p++ = '/';
    p = put(p, name);
    *p++ = '>';
    *p = '\n';
  }
  // A value that needs no escaping: codes, dates, numbers, checked identifiers.
  void value(std::string_view name, std::string_view v) {
    char* p = line(2 * name.size() + v.size() + 6);
    *p++ = '<';
    p = put(p, name);
    *p++ = '>';
    p = put(p, v);
    *p++ = '<';
    *p++ = '/';
    p = put(p, name);
    *p++ = '>';
    *p = '\n';
  }
  // A text cut to `max` characters; left out when nothing of it is left.
  void text(std::string_view name, std::string_view t, std::size_t max) {
    if (fits_as_it_is(t, max)) return escaped(name, t);
    const std::string fitted = fit(t, max);
    if (!fitted.empty()) escaped(name, fitted);
  }
  // A text that is fitted already.
  void escaped(std::string_view name, std::string_view fitted) {
    // The usual text has nothing to escape: written in place like a value.
    if (detail::xml_plain(fitted)) return value(name, fitted);
    char* p = line(name.size() + 2);
    *p++ = '<';
    p = put(p, name);
    *p = '>';
    detail::xml_escape(fitted, out_);
    end(name);
  }
  // Where the output is, and going back there to drop elements opened since.
  struct Mark {
    std::size_t size;
    int depth;
  };
  Mark mark() const noexcept { return {out_.size(), depth_}; }
  void back_to(Mark m) {
    out_.resize(m.size);
    depth_ = m.depth;
  }
  std::size_t size() const noexcept { return out_.size(); }

  void amount(std::string_view name, std::string_view amount, std::string_view currency) {
    constexpr std::string_view kCurrency = " Ccy=\"";
    char* p = line(2 * name.size() + currency.size() + amount.size() + kCurrency.size() + 7);
    *p++ = '<';
    p = put(p, name);
    p = put(p, kCurrency);
    p = put(p, currency);
    *p++ = '"';
    *p++ = '>';
    p = put(p, amount);
    *p++ = '<';
    *p++ = '/';
    p = put(p, name);
    *p++ = '>';
    *p = '\n';
  }

 private:
  // An element's line is most of what a document is: each is made room for once and
  // filled in place, rather than grown piece by piece.
  static char* put(char* p, std::string_view text) noexcept {
    std::memcpy(p, text.data(), text.size());
    return p + text.size();
  }
  // Room for the indentation and `rest` more bytes at the end; where `rest` starts.
  char* line(std::size_t rest) {
    const std::size_t indent = static_cast<std::size_t>(2 * depth_);
    const std::size_t at = out_.size();
    // Filled with blanks at once: the indentation, and the rest is written over.
    out_.append(indent + rest, ' ');
    return out_.data() + at + indent;
  }
  void end(std::string_view name) {
    const std::size_t at = out_.size();
    out_.append(name.size() + 4, ' ');
    char* p = out_.data() + at;
    *p++ = '<';
    *p++ = '/';
    p = put(p, name);
    *p++ = '>';
    *p = '\n';
  }
  std::string& out_;
  int depth_;
};

}  // namespace tallyfold::camt
