// What the unwrapper wants to know of each 64-byte block of a text, found by one of
// three interchangeable kernels: AVX2 where the processor has it, SSE2 on any x86-64,
// and plain C++ everywhere else. Every kernel gives the same answer for the same bytes;
// the choice is made once per process, and tests may force any kernel that is built.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>

namespace tallyfold::detail {

/// Whether a line starting at `p` (three bytes readable) needs a look between the
/// balances: framing, or a field that ends the statement or its transactions. ":61:"
/// and ":21:" change nothing there; "| 4" takes '2' and '6' in one compare. A colon
/// starts most lines that get this far, so it is tested first.
constexpr bool needs_look(const char* p) noexcept {
  if (p[0] == ':') return ((p[1] | 4) == '6') && p[2] != '1';
  return (p[0] == '{') | (p[0] == '-');
}

/// Control bytes and the "@" of the "@@" form: few lines of few files hold one.
constexpr bool is_control_byte(char c) noexcept { return (c == '\x01') | (c == '\x03') | (c == '\x1a'); }
constexpr bool is_special_byte(char c) noexcept { return is_control_byte(c) | (c == '@'); }

/// What the blocks of 64 bytes of one batch hold. Scanning many blocks in one call keeps
/// the call, which goes through a pointer, out of the loop over the blocks.
struct Blocks {
  static constexpr std::size_t kMax = 64;
  std::uint64_t feeds[kMax];       // bit i: byte i of the block is a line feed
  // bit i: a line starts at byte i and needs a look (needs_look); the first block's
  // first byte counts as a line start, as what precedes it is not scanned
  std::uint64_t looks[kMax];
  std::uint64_t high[kMax];        // bit i: byte i is not ASCII; set for the blocks of with_high only
  std::uint16_t before[kMax + 1];  // line feeds in the blocks before block k
  // bit k: a line that starts in block k needs a look; the first block's first byte
  // counts as a line start, as what precedes it is not scanned
  std::uint64_t stops = 0;
  std::uint64_t special = 0;    // bit k: block k holds a special byte (is_special_byte)
  // bit k: block k holds bytes not ASCII other than whole pairs (see whole_pairs)
  std::uint64_t with_high = 0;
  bool nul = false;             // a NUL byte in the blocks
  bool brace = false;           // a '{' in the blocks
  // a carriage return that no line feed follows (the byte after the last block counts)
  bool lone_carriage_return = false;
  // Kept from batch to batch, a kernel's guess and no part of its answer: the batch
  // before held carriage returns, so this one likely does too (a file whose lines end
  // in them), and a kernel may tell them its own way, not as rare bytes.
  bool returns_ahead = false;
};

/// Clears what the kernels accumulate.
inline void start_blocks(Blocks& out) noexcept {
  out.stops = 0;
  out.special = 0;
  out.with_high = 0;
  out.nul = false;
  out.brace = false;
  out.lone_carriage_return = false;
  out.before[0] = 0;
}

/// What every kernel adds about block k once it has its line feeds and `needed`, the
/// bytes at which needs_look holds, whether a line starts there or not. Deciding every
/// byte, not the lines one by one, leaves no branch on how many lines a block holds or
/// which of them opens with what. `starts_line`: the last block ended in a line feed
/// (true before the first). `lines`: the line feeds so far.
inline void add_block(Blocks& out, std::size_t k, std::uint64_t feeds, std::uint64_t needed, unsigned count,
                      unsigned& lines, std::uint64_t& starts_line) noexcept {
  out.feeds[k] = feeds;
  lines += count;
  out.before[k + 1] = static_cast<std::uint16_t>(lines);
  const std::uint64_t looks = ((feeds << 1) | starts_line) & needed;
  out.looks[k] = looks;
  out.stops |= std::uint64_t{looks != 0} << k;
  starts_line = feeds >> 63;
}

/// Whether the bytes of a block that are not ASCII (`high`) are whole two-byte UTF-8
/// sequences: a lead C2 to DF (`leads`) and a continuation byte (`continuations`) after
/// it, inside the block. Letters of Latin scripts come so; such a block needs no check
/// of its own, and neither begins nor ends inside a sequence.
constexpr bool whole_pairs(std::uint64_t high, std::uint64_t leads, std::uint64_t continuations) noexcept {
  return (leads >> 63) == 0 && continuations == leads << 1 && high == (leads | continuations);
}

/// Adds what the block k holds beyond ASCII, as whole_pairs judges it.
inline void add_high(Blocks& out, std::size_t k, std::uint64_t high, std::uint64_t leads,
                     std::uint64_t continuations) noexcept {
  if (whole_pairs(high, leads, continuations)) return;
  out.high[k] = high;
  out.with_high |= std::uint64_t{1} << k;
}

/// Whether block `p`, whose line feeds are `feeds`, holds a carriage return (bits of
/// `returns`) that no line feed follows; p[64] is readable and counts.
constexpr bool has_lone_return(const char* p, std::uint64_t feeds, std::uint64_t returns) noexcept {
  const std::uint64_t followed = (feeds >> 1) | (std::uint64_t{p[64] == '\n'} << 63);
  return (returns & ~followed) != 0;
}

/// How far past the block it reads a vector kernel asks for the text's bytes. The scan
/// is the first pass over a text that mostly comes from memory far off (a file just read,
/// a caller's buffer), where the processor's own prefetching keeps one core's stream well
/// below the kernels' pace: asking 2 KB ahead took 4 % off the whole bank-file reading
/// of a 10 MB text. A prefetch past the text's end is harmless: it never faults, and the
/// address is made as an integer, so no pointer points past the text.
inline constexpr std::size_t kScanPrefetchDistance = 2048;
[[gnu::always_inline]] inline void prefetch_ahead(const char* block) noexcept {
  __builtin_prefetch(reinterpret_cast<const void*>(reinterpret_cast<std::uintptr_t>(block) + kScanPrefetchDistance));
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
