// Where an export writes its bytes, so that a document of hundreds of megabytes can be
// written to a file as it is made instead of being held whole in memory first.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace tallyfold {

/// The receiver of an export's bytes, in order. Exports hand it pieces of a bounded
/// size (a transaction, or a statement where a statement may still be rolled back).
class OutputSink {
 public:
  virtual ~OutputSink() = default;
  /// Takes the next bytes; false when they could not be kept, which stops the export.
  virtual bool write(std::string_view bytes) = 0;
  /// True when rewrite() can go back over what was written (a string, a regular file,
  /// never a pipe). A writer that needs to go back finds what it needs before writing
  /// from a sink that cannot.
  virtual bool rewritable() const noexcept { return false; }
  /// Overwrites `bytes.size()` bytes written earlier, `offset` bytes from the first byte
  /// this sink took; false when that fails. Only called when rewritable().
  virtual bool rewrite(std::size_t offset, std::string_view bytes) {
    (void)offset;
    (void)bytes;
    return false;
  }
  /// The string this sink appends to, when it is one: exports then write into it
  /// directly, without a buffer between.
  virtual std::string* string() noexcept { return nullptr; }
};

/// Keeps everything in one string, as the string-returning exports give it.
class StringSink final : public OutputSink {
 public:
  bool write(std::string_view bytes) override {
    text.append(bytes);
    return true;
  }
  bool rewritable() const noexcept override { return true; }
  bool rewrite(std::size_t offset, std::string_view bytes) override {
    if (offset > text.size() || bytes.size() > text.size() - offset) return false;
    text.replace(offset, bytes.size(), bytes);
    return true;
  }
  std::string* string() noexcept override { return &text; }

  std::string text;
};

}  // namespace tallyfold
