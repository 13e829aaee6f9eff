// What the unwrapper wants to know of each 64-byte block of a text, found by one of
// three interchangeable kernels: AVX2 where the processor has it, SSE2 on any x86-64,
// and plain C++ everywhere else. Every kernel gives the same answer for the same bytes;
// the choice is made once per process, and tests may force any kernel that is built.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tallyfold::detail {

/// Whether a line starting at `p` (three bytes readable) needs a look between the
/// balances: framing, or a field that ends the statement or its transactions. Without
/// branches: the first byte changes from line to line.
constexpr bool needs_look(const char* p) noexcept {
  const bool field_end = (p[1] == '2') | ((p[1] == '6') & (p[2] != '1'));
  return (p[0] == '{') | (p[0] == '-') | ((p[0] == ':') & field_end);
}

/// Control bytes and the "@" of the "@@" form: few lines of few files hold one.
constexpr bool is_control_byte(char c) noexcept { return (c == '\x01') | (c == '\x03') | (c == '\x1a'); }
constexpr bool is_special_byte(char c) noexcept { return is_control_byte(c) | (c == '@'); }

/// What the blocks of 64 bytes of one batch hold. Scanning many blocks in one call keeps
/// the call, which goes through a pointer, out of the loop over the blocks.
struct Blocks {
  static constexpr std::size_t kMax = 64;
  std::uint64_t feeds[kMax];        // bit i: byte i of the block is a line feed
  std::uint64_t high[kMax];         // bit i: byte i of the block is not ASCII
  std::uint64_t look[kMax];         // bit i: needs_look(byte i of the block)
  std::uint16_t before[kMax + 1];   // line feeds in the blocks before block k
  // bit k: block k holds a byte up to 3, 0x1A or "@", or a carriage return that no line
  // feed follows (the byte after the block counts)
  std::uint64_t maybe_special = 0;
  // bit k: a line that starts in block k needs a look; the first block's first byte
  // counts as a line start, as what precedes it is not scanned
  std::uint64_t stops = 0;
  std::uint64_t with_high = 0;      // bit k: high[k] is not 0
};

/// What every kernel adds about block k once it has the block's masks, so that a run of
/// blocks with nothing to look at is passed in one step. `starts_line`: the last block
/// ended in a line feed (true before the first). `bit` is bit k, which a kernel keeps
/// at hand rather than shift a one this far for each mask.
inline void add_block(Blocks& out, std::size_t k, std::uint64_t bit, std::uint64_t feeds, std::uint64_t high,
                      std::uint64_t look, unsigned lines, std::uint64_t& starts_line) noexcept {
  out.feeds[k] = feeds;
  out.high[k] = high;
  out.look[k] = look;
  out.before[k + 1] = static_cast<std::uint16_t>(out.before[k] + lines);
  out.stops |= ((feeds << 1 | starts_line) & look) != 0 ? bit : 0;
  out.with_high |= high != 0 ? bit : 0;
  starts_line = feeds >> 63;
}

/// Clears what add_block accumulates.
inline void start_blocks(Blocks& out) noexcept {
  out.maybe_special = 0;
  out.stops = 0;
  out.with_high = 0;
  out.before[0] = 0;
}

/// Fills `out` for the `count` (at most Blocks::kMax) blocks from `text` on, reading two
/// bytes past the last block for needs_look.
using BlockScanner = void (*)(const char* text, std::size_t count, Blocks& out) noexcept;

void scan_blocks_scalar(const char* text, std::size_t count, Blocks& out) noexcept;
#if defined(__SSE2__)
#define TALLYFOLD_SSE2_SCAN 1
void scan_blocks_sse2(const char* text, std::size_t count, Blocks& out) noexcept;
#endif
#if defined(__SSE2__) && defined(__GNUC__) && defined(__x86_64__)
#define TALLYFOLD_AVX2_SCAN 1  // chosen at run time, where the processor has it
void scan_blocks_avx2(const char* text, std::size_t count, Blocks& out) noexcept;
#endif

enum class ScanKernel : std::uint8_t { Widest, Sse2, Scalar };

/// The kernel later scans use: the widest the build and the processor allow, unless a
/// kernel is forced (by force_scan_kernel, or for the whole build by the CMake option
/// TALLYFOLD_SCALAR_SCAN).
BlockScanner block_scanner() noexcept;

/// Whether `kernel` is built and the processor runs it.
bool scan_kernel_available(ScanKernel kernel) noexcept;

/// Makes later scans use `kernel` (Widest: the default choice), so that tests reach
/// every way of scanning. An unavailable kernel leaves the choice as it is.
void force_scan_kernel(ScanKernel kernel) noexcept;

}  // namespace tallyfold::detail
