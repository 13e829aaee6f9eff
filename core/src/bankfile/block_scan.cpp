#include "bankfile/block_scan.hpp"

#include <atomic>
#include <bit>

#include "util/bits.hpp"

namespace tallyfold::detail {
namespace {

// The widest kernel this build and this processor have.
BlockScanner widest() noexcept {
#if defined(TALLYFOLD_SCALAR_SCAN_ONLY)
  return scan_blocks_scalar;
#elif defined(TALLYFOLD_AVX2_SCAN)
  static const BlockScanner scanner = [] {
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt");
    return avx2 ? scan_blocks_avx2 : scan_blocks_sse2;
  }();
  return scanner;
#elif defined(TALLYFOLD_SSE2_SCAN)
  return scan_blocks_sse2;
#else
  return scan_blocks_scalar;
#endif
}

std::atomic<BlockScanner> g_forced{nullptr};

}  // namespace

// The reference the vector kernels are tested against: byte by byte, as the comments of
// Blocks describe each mask.
void scan_blocks_scalar(const char* text, std::size_t count, Blocks& out) noexcept {
  start_blocks(out);
  std::uint64_t starts_line = 1;
  unsigned lines = 0;
  for (std::size_t k = 0; k < count; ++k) {
    const char* p = text + 64 * k;
    std::uint64_t feeds = 0;
    std::uint64_t needed = 0;
    std::uint64_t high = 0;
    std::uint64_t leads = 0;
    std::uint64_t continuations = 0;
    std::uint64_t returns = 0;
    bool special = false;
    for (unsigned i = 0; i < 64; ++i) {
      const char c = p[i];
      feeds |= std::uint64_t{c == '\n'} << i;
      needed |= std::uint64_t{needs_look(p + i)} << i;
      const auto byte = static_cast<unsigned char>(c);
      high |= std::uint64_t{byte >= 0x80} << i;
      leads |= std::uint64_t{byte >= 0xC2 && byte <= 0xDF} << i;
      continuations |= std::uint64_t{byte >= 0x80 && byte <= 0xBF} << i;
      returns |= std::uint64_t{c == '\r'} << i;
      special |= is_special_byte(c);
      out.nul |= c == '\0';
      out.brace |= c == '{';
    }
    add_block(out, k, feeds, needed, static_cast<unsigned>(popcount64(feeds)), lines, starts_line);
    out.special |= std::uint64_t{special} << k;
    if (high != 0) add_high(out, k, high, leads, continuations);
    out.lone_carriage_return |= has_lone_return(p, feeds, returns);
  }
}

BlockScanner block_scanner() noexcept {
  const BlockScanner forced = g_forced.load(std::memory_order_relaxed);
  return forced != nullptr ? forced : widest();
}

bool scan_kernel_available(ScanKernel kernel) noexcept {
  switch (kernel) {
    case ScanKernel::Widest:
    case ScanKernel::Scalar:
      return true;
    case ScanKernel::Sse2:
#if defined(TALLYFOLD_SSE2_SCAN) && !defined(TALLYFOLD_SCALAR_SCAN_ONLY)
      return true;
#else
      return false;
#endif
  }
  return false;
}

void force_scan_kernel(ScanKernel kernel) noexcept {
  if (!scan_kernel_available(kernel)) return;
  BlockScanner scanner = nullptr;
  if (kernel == ScanKernel::Scalar) scanner = scan_blocks_scalar;
#if defined(TALLYFOLD_SSE2_SCAN)
  if (kernel == ScanKernel::Sse2) scanner = scan_blocks_sse2;
#endif
  g_forced.store(scanner, std::memory_order_relaxed);
}

}  // namespace tallyfold::detail
