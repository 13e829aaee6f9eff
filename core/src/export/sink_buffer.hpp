// The buffer between an export and its sink: the export appends to text() and says
// where the output may be cut; once a chunk has gathered there, it goes to the sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#if defined(__linux__)
#include <sys/mman.h>
#endif

#include "tallyfold/error.hpp"
#include "tallyfold/result.hpp"
#include "tallyfold/sink.hpp"

namespace tallyfold::detail {

class SinkBuffer {
 public:
  // Large enough that the sink's calls cost nothing beside the writing, small enough
  // that it stays in the cache's reach.
  static constexpr std::size_t kChunk = 256 * 1024;

  // One export per sink: offsets count from the first byte the export writes.
  explicit SinkBuffer(OutputSink& sink) : sink_(sink), direct_(sink.string()) {
    if (direct_) {
      start_ = direct_->size();
    } else {
      own_.reserve(kChunk + kChunk / 2);
    }
  }
  SinkBuffer(const SinkBuffer&) = delete;
  SinkBuffer& operator=(const SinkBuffer&) = delete;

  std::string& text() noexcept { return direct_ ? *direct_ : own_; }
  /// Room for `bytes` when the whole output stays in one string, so that it is not
  /// copied over and over as it grows; nothing otherwise.
  void reserve(std::size_t bytes) {
    if (!direct_) return;
    direct_->reserve(direct_->size() + bytes);
    ask_for_large_pages(*direct_);
  }
  /// The output may be cut here: hands the chunk over once it is large enough.
  bool cut() {
    if (!direct_ && own_.size() >= kChunk) return flush();
    return ok_;
  }
  /// Hands over whatever is gathered; false once the sink has refused anything.
  bool flush() {
    if (direct_ || own_.empty() || !ok_) return ok_;
    ok_ = sink_.write(own_);
    flushed_ += own_.size();
    own_.clear();
    return ok_;
  }
  /// Bytes written so far, handed over or not.
  std::size_t written() const noexcept { return direct_ ? direct_->size() - start_ : flushed_ + own_.size(); }
  /// Overwrites bytes at `offset` from the first byte the export wrote.
  bool rewrite(std::size_t offset, std::string_view bytes) {
    if (direct_) {
      direct_->replace(start_ + offset, bytes.size(), bytes);
      return true;
    }
    if (offset >= flushed_) {
      own_.replace(offset - flushed_, bytes.size(), bytes);
      return true;
    }
    if (!flush()) return false;
    ok_ = sink_.rewrite(offset, bytes);
    return ok_;
  }
  bool rewritable() const noexcept { return direct_ != nullptr || sink_.rewritable(); }
  /// Whether text() keeps the whole output: nothing written is handed on before flush().
  bool keeps_all() const noexcept { return direct_ != nullptr; }
  bool ok() const noexcept { return ok_; }

 private:
  // A document of tens of megabytes written into fresh memory takes a page fault every
  // 4 KB, which cost as much as a fifth of the writing; in pages of 2 MB, where the
  // system gives them, it takes a few dozen. Only the whole large pages inside the
  // room not yet written are asked for; the bytes are the same either way.
  static void ask_for_large_pages(std::string& text) noexcept {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr std::uintptr_t kLarge = std::uintptr_t{1} << 21;
    if (text.capacity() - text.size() < 4 * kLarge) return;
    const auto from = reinterpret_cast<std::uintptr_t>(text.data() + text.size());
    const auto to = reinterpret_cast<std::uintptr_t>(text.data() + text.capacity());
    const std::uintptr_t begin = (from + kLarge - 1) & ~(kLarge - 1);
    const std::uintptr_t end = to & ~(kLarge - 1);
    if (end > begin) madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#else
    (void)text;
#endif
  }

  OutputSink& sink_;
  std::string* direct_;
  std::string own_;
  std::size_t flushed_ = 0;
  std::size_t start_ = 0;
  bool ok_ = true;
};

/// The error of an export whose sink refused its bytes; the sink knows why.
inline Refusal sink_refused() { return Refusal{"the output could not be written"}; }

/// The string form of a writer: what `write(sink)` writes, kept in one string. The
/// writer gives a Result of the bytes written; its error is passed on.
template <typename Write>
Result<std::string> into_string(Write&& write) {
  StringSink sink;
  if (auto written = write(sink); !written) return std::move(written).error();
  return std::move(sink.text);
}

/// The same for a writer that gives a document: the string becomes its member `text`.
template <typename Document, typename Write>
Result<Document> into_document(std::string Document::*text, Write&& write) {
  StringSink sink;
  Result<Document> document = write(sink);
  if (document) (*document).*text = std::move(sink.text);
  return document;
}

}  // namespace tallyfold::detail
