// BLAKE2b (RFC 7693), unkeyed, for identifiers that anyone can recompute with a
// standard tool (Python: hashlib.blake2b(data, digest_size=n)). Chosen over SHA-256
// for its speed in plain 64-bit code: ids are hashed over every details text of an
// export. Not for secrets: nothing here is hardened against timing.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace tallyfold::detail {

class Blake2b {
 public:
  /// A hash giving `digest_size` bytes (1 to 64); the size is part of the hash, so the
  /// 16-byte digest is not the start of the 64-byte one.
  explicit Blake2b(std::size_t digest_size) noexcept;
  void update(std::string_view bytes) noexcept;
  /// Writes the digest's `digest_size` bytes to `out`. No update may follow.
  void finish(std::uint8_t* out) noexcept;

  /// The digests of `messages`, each what `start` gives when it is fed the message too
  /// and finished: `digest_size` bytes each, one after another at `digests`. Where the
  /// processor has AVX2, four messages are hashed side by side, one in each lane.
  static void finish_each(const Blake2b& start, std::span<const std::string_view> messages,
                          std::uint8_t* digests) noexcept;

  /// The ways one block is compressed: 64-bit words one at a time, or four at once where
  /// the build and the processor have AVX2. Widest, the widest there is, is the default.
  enum class Kernel : std::uint8_t { Widest, Avx2, Scalar };
  /// Whether `kernel` is built and the processor runs it.
  static bool available(Kernel kernel) noexcept;
  /// Makes later hashes use `kernel`, so that tests reach each; an unavailable kernel
  /// leaves the choice as it is.
  static void force(Kernel kernel) noexcept;

 private:
  void compress(bool last) noexcept;
  // Up to four messages side by side (count 1 to 4).
  static void finish_four(const Blake2b& start, const std::string_view* messages, std::size_t count,
                          std::uint8_t* const* digests) noexcept;

  std::array<std::uint64_t, 8> h_;
  std::array<std::uint8_t, 128> block_{};
  std::size_t filled_ = 0;       // bytes waiting in block_
  std::uint64_t counted_ = 0;    // bytes compressed so far (inputs stay far below 2^64)
  std::size_t digest_size_;
};

}  // namespace tallyfold::detail
