// The element writer of the ISO 20022 documents: one element per line, indented by
// depth. Element names are literals; every text passes through fit() and xml_escape().
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "export/iso20022_hash.hpp"
#include "export/iso20022_limits.hpp"
#include "tallyfold/export.hpp"
#include "tallyfold/model.hpp"

namespace tallyfold::camt {

// An element's name with its start and end tags spelled out, each in a block of a fixed
// size: a line's markup is then a copy of a size known while compiling, whatever the name.
struct Tag {
  static constexpr std::size_t kRoom = 24;
  static constexpr std::size_t kLongest = kRoom - 5;  // "</" name ">\n" fits the block
  char start[kRoom]{};  // "<Name>\n"
  char end[kRoom]{};    // "</Name>\n"
  std::uint8_t size = 0;

  template <std::size_t N>
  consteval Tag(const char (&name)[N]) : Tag(std::string_view(name, N - 1)) {
    static_assert(N - 1 <= kLongest);
  }
  constexpr explicit Tag(std::string_view name) noexcept {
    const std::size_t n = name.size() <= kLongest ? name.size() : kLongest;
    size = static_cast<std::uint8_t>(n);
    start[0] = '<';
    end[0] = '<';
    end[1] = '/';
    for (std::size_t i = 0; i < n; ++i) start[1 + i] = end[2 + i] = name[i];
    start[n + 1] = '>';
    start[n + 2] = '\n';
    end[n + 2] = '>';
    end[n + 3] = '\n';
  }
};

/// The tag of a literal name, made once while compiling: `x.open(tag<"Ntry">)`.
template <Tag T>
inline constexpr Tag tag = T;

// An element's line is most of what a document is: each is written in place through a
// pointer into room the string holds already. The string is grown a little ahead at a
// time (filled once, while the bytes are in the cache), so that an element costs neither
// a call to grow nor one to fill; it is trimmed to what was written when the writer is
// done (release(), or when it goes). Until then the string holds bytes past the written.
class Xml {
 public:
  /// `trailing`, where given, takes a step with each line.
  Xml(std::string& out, int depth, TrailingHash* trailing = nullptr) noexcept
      : out_(out), trailing_(trailing), depth_(depth) {
    adopt();
  }
  ~Xml() { release(); }
  Xml(const Xml&) = delete;
  Xml& operator=(const Xml&) = delete;

  /// Trims the string to the bytes written; later elements follow them.
  void release() noexcept {
    out_.resize(size());
    adopt();
  }

  void open(const Tag& name);
  void close(const Tag& name);
  // A value that needs no escaping: codes, dates, numbers, checked identifiers.
  void value(const Tag& name, std::string_view v);
  /// A date as the schema's ISODate: "2024-01-31".
  void date(const Tag& name, const Date& d);
  // A text cut to `max` characters; left out when nothing of it is left.
  void text(const Tag& name, std::string_view t, std::size_t max);
  // A text that is fitted already.
  void escaped(const Tag& name, std::string_view fitted);
  void amount(const Tag& name, std::string_view amount, std::string_view currency);

  // Names known only while running.
  void open(std::string_view name) { open(Tag(name)); }
  void close(std::string_view name) { close(Tag(name)); }
  void value(std::string_view name, std::string_view v) { value(Tag(name), v); }
  void text(std::string_view name, std::string_view t, std::size_t max) { text(Tag(name), t, max); }

  // Where the output is, and going back there to drop elements opened since.
  struct Mark {
    std::size_t size;
    int depth;
  };
  Mark mark() const noexcept { return {size(), depth_}; }
  void back_to(Mark m) noexcept {
    p_ = out_.data() + m.size;
    depth_ = m.depth;
  }
  std::size_t size() const noexcept { return static_cast<std::size_t>(p_ - out_.data()); }

 private:
  // The string's bytes from the written end on are room to write in.
  void adopt() noexcept {
    p_ = out_.data() + out_.size();
    end_ = p_;
  }
  void grow(std::size_t bytes);
  char* line(std::size_t rest);
  char* start(const Tag& name, std::size_t n);
  void finish(char* p, const Tag& name) noexcept;
  void escaped_by_rules(const Tag& name, std::string_view fitted);
  void text_by_rules(const Tag& name, std::string_view t, std::size_t max);

  std::string& out_;
  TrailingHash* trailing_;
  char* p_ = nullptr;    // where the next byte goes
  char* end_ = nullptr;  // the end of the string, written or not
  int depth_;
};

}  // namespace tallyfold::camt
