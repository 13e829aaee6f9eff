// The hash behind a camt document's message id, of the bytes of its statements.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tallyfold::camt {

// A 64-bit hash of the bytes fed to it, eight at a time: the body of a document runs to
// hundreds of megabytes, where a byte-at-a-time hash would cost a fifth of the writing.
// Fed in pieces, it gives what it gives for the same bytes at once.
class ContentHash {
 public:
  explicit ContentHash(std::uint64_t seed = 0xcbf29ce484222325ULL) noexcept : h_(seed) {}

  void feed(std::string_view bytes) noexcept {
    size_ += bytes.size();
    std::size_t i = 0;
    if (held_ > 0) {
      const std::size_t take = std::min(bytes.size(), 8 - held_);
      std::memcpy(pending_ + held_, bytes.data(), take);
      held_ += take;
      i = take;
      if (held_ < 8) return;
      h_ = mixed(h_, load(pending_));
      held_ = 0;
    }
    // Four words a round: the words depend on each other, the loop's own steps need not.
    std::uint64_t h = h_;
    const char* p = bytes.data();
    for (; i + 32 <= bytes.size(); i += 32) h = mixed4(h, p + i);
    for (; i + 8 <= bytes.size(); i += 8) h = mixed(h, load(p + i));
    h_ = h;
    held_ = bytes.size() - i;
    std::memcpy(pending_, bytes.data() + i, held_);
  }
  /// feed() of the 32 bytes at `p`, for a hash fed whole words only so far.
  void feed_words(const char* p) noexcept {
    size_ += 32;
    h_ = mixed4(h_, p);
  }
  std::uint64_t finish() noexcept {
    std::uint64_t last = 0;
    std::memcpy(&last, pending_, held_);
    h_ = mixed(h_, last ^ (static_cast<std::uint64_t>(size_) << 56));
    return h_;
  }

 private:
  static std::uint64_t load(const char* p) noexcept {
    std::uint64_t word;
    std::memcpy(&word, p, 8);
    return word;
  }
  static std::uint64_t mixed(std::uint64_t h, std::uint64_t word) noexcept {
    constexpr std::uint64_t kMultiplier = 0x9E3779B97F4A7C15ULL;
    h = (h ^ word) * kMultiplier;
    return h ^ (h >> 29);
  }
  static std::uint64_t mixed4(std::uint64_t h, const char* p) noexcept {
    h = mixed(h, load(p));
    h = mixed(h, load(p + 8));
    h = mixed(h, load(p + 16));
    return mixed(h, load(p + 24));
  }
  std::uint64_t h_;
  std::size_t size_ = 0;
  std::size_t held_ = 0;
  char pending_[8] = {};
};

// The hash of a document's statements taken a few words at a time as the elements of
// the next are written: its words wait on each other, a chain of multiplications the
// processor runs beside the writing rather than in a loop of its own. Only the bytes of
// statements written whole are hashed, in whole words until the last.
class TrailingHash {
 public:
  /// `hash` fed whole words only so far, and fed nothing else until catch_up(); `from`:
  /// where the statements start.
  TrailingHash(ContentHash& hash, std::size_t from) noexcept : hash_(hash), done_(from), end_(from) {}

  /// A step beside an element: 32 bytes of the output at `text`, where there are. Out
  /// of line, as it is taken with every line: inline, it would crowd the lines' code.
  [[gnu::noinline]] void step(const char* text) noexcept {
    if (end_ - done_ >= 32) {
      hash_.feed_words(text + done_);
      done_ += 32;
    }
  }
  /// The output up to `end` stays as it is.
  void stays(std::size_t end) noexcept { end_ = end; }
  /// Hashes whatever stays and is not hashed yet.
  void catch_up(std::string_view text) noexcept {
    hash_.feed(text.substr(done_, end_ - done_));
    done_ = end_;
  }

 private:
  ContentHash& hash_;
  std::size_t done_;  // hashed up to here
  std::size_t end_;   // staying up to here
};

}  // namespace tallyfold::camt
