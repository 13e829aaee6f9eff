#include "util/blake2b.hpp"

#include <atomic>
#include <bit>
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#include <cstring>
#include <utility>
#include <vector>

namespace tallyfold::detail {
namespace {

constexpr std::uint64_t kIv[8] = {
    0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL, 0xa54ff53a5f1d36f1ULL,
    0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL, 0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL,
};

constexpr std::uint8_t kSigma[12][16] = {
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
    {11, 8, 12, 0, 5, 2, 15, 13, 10, 14, 3, 6, 7, 1, 9, 4}, {7, 9, 3, 1, 13, 12, 11, 14, 2, 6, 5, 10, 4, 0, 15, 8},
    {9, 0, 5, 7, 2, 4, 10, 15, 14, 1, 11, 12, 6, 8, 3, 13}, {2, 12, 6, 10, 0, 11, 8, 3, 4, 13, 7, 5, 15, 14, 1, 9},
    {12, 5, 1, 15, 14, 13, 4, 10, 0, 7, 6, 3, 9, 2, 8, 11}, {13, 11, 7, 14, 12, 1, 3, 9, 5, 0, 15, 4, 8, 6, 2, 10},
    {6, 15, 14, 9, 11, 3, 0, 8, 12, 2, 13, 7, 1, 4, 10, 5}, {10, 2, 8, 4, 7, 6, 1, 5, 15, 11, 9, 14, 3, 12, 13, 0},
    {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15}, {14, 10, 4, 8, 9, 15, 13, 6, 1, 12, 0, 2, 11, 7, 5, 3},
};

constexpr std::uint64_t rotr(std::uint64_t x, int n) noexcept { return (x >> n) | (x << (64 - n)); }

[[gnu::always_inline]] inline void mix(std::uint64_t* v, int a, int b, int c, int d, std::uint64_t x,
                                       std::uint64_t y) noexcept {
  v[a] = v[a] + v[b] + x;
  v[d] = rotr(v[d] ^ v[a], 32);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 24);
  v[a] = v[a] + v[b] + y;
  v[d] = rotr(v[d] ^ v[a], 16);
  v[c] = v[c] + v[d];
  v[b] = rotr(v[b] ^ v[c], 63);
}

// One round with its message schedule known while compiling: unrolled so, the sixteen
// working words stay in registers instead of being indexed in memory.
template <std::size_t R>
[[gnu::always_inline]] inline void round(std::uint64_t* v, const std::uint64_t* m) noexcept {
  constexpr const std::uint8_t* s = kSigma[R];
  mix(v, 0, 4, 8, 12, m[s[0]], m[s[1]]);
  mix(v, 1, 5, 9, 13, m[s[2]], m[s[3]]);
  mix(v, 2, 6, 10, 14, m[s[4]], m[s[5]]);
  mix(v, 3, 7, 11, 15, m[s[6]], m[s[7]]);
  mix(v, 0, 5, 10, 15, m[s[8]], m[s[9]]);
  mix(v, 1, 6, 11, 12, m[s[10]], m[s[11]]);
  mix(v, 2, 7, 8, 13, m[s[12]], m[s[13]]);
  mix(v, 3, 4, 9, 14, m[s[14]], m[s[15]]);
}

template <std::size_t... R>
[[gnu::always_inline]] inline void rounds(std::uint64_t* v, const std::uint64_t* m, std::index_sequence<R...>) noexcept {
  (round<R>(v, m), ...);
}

// The state and the block's words on entry, the working words' initial rows: the part
// both kernels share.
struct Block {
  std::uint64_t h[8];
  std::uint64_t m[16];
  std::uint64_t counted;
  bool last;
};

void compress_scalar(Block& b) noexcept {
  std::uint64_t v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = b.h[i];
    v[i + 8] = kIv[i];
  }
  v[12] ^= b.counted;
  if (b.last) v[14] = ~v[14];
  rounds(v, b.m, std::make_index_sequence<12>());
  for (int i = 0; i < 8; ++i) b.h[i] ^= v[i] ^ v[i + 8];
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TALLYFOLD_BLAKE2B_AVX2 1

// The four mixes of a step at once: each row of the working words in one register, the
// diagonal step's rows turned into columns and back.
#define TALLYFOLD_G(b, rot_a, rot_b)                        \
  row1 = _mm256_add_epi64(_mm256_add_epi64(row1, row2), b); \
  row4 = rot_a(_mm256_xor_si256(row4, row1));               \
  row3 = _mm256_add_epi64(row3, row4);                      \
  row2 = rot_b(_mm256_xor_si256(row2, row3))

__attribute__((target("avx2"))) void compress_avx2(Block& b) noexcept {
  const std::uint64_t* m = b.m;
  const __m256i r24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7, 0, 1, 2,
                                       11, 12, 13, 14, 15, 8, 9, 10);
  const __m256i r16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6, 7, 0, 1,
                                       10, 11, 12, 13, 14, 15, 8, 9);
  // Lambdas would not inherit the target: the rotations are macros.
#define TALLYFOLD_ROT32(x) _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1))
#define TALLYFOLD_ROT24(x) _mm256_shuffle_epi8(x, r24)
#define TALLYFOLD_ROT16(x) _mm256_shuffle_epi8(x, r16)
#define TALLYFOLD_ROT63(x) _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x))
  const __m256i h0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b.h));
  const __m256i h1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(b.h + 4));
  __m256i row1 = h0;
  __m256i row2 = h1;
  __m256i row3 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(kIv));
  __m256i row4 = _mm256_xor_si256(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(kIv + 4)),
                                  _mm256_set_epi64x(0, b.last ? -1 : 0, 0, static_cast<long long>(b.counted)));
#pragma GCC unroll 12
  for (const std::uint8_t* s : kSigma) {
    __m256i x = _mm256_set_epi64x(static_cast<long long>(m[s[6]]), static_cast<long long>(m[s[4]]),
                                  static_cast<long long>(m[s[2]]), static_cast<long long>(m[s[0]]));
    TALLYFOLD_G(x, TALLYFOLD_ROT32, TALLYFOLD_ROT24);
    x = _mm256_set_epi64x(static_cast<long long>(m[s[7]]), static_cast<long long>(m[s[5]]),
                          static_cast<long long>(m[s[3]]), static_cast<long long>(m[s[1]]));
    TALLYFOLD_G(x, TALLYFOLD_ROT16, TALLYFOLD_ROT63);
    row2 = _mm256_permute4x64_epi64(row2, _MM_SHUFFLE(0, 3, 2, 1));
    row3 = _mm256_permute4x64_epi64(row3, _MM_SHUFFLE(1, 0, 3, 2));
    row4 = _mm256_permute4x64_epi64(row4, _MM_SHUFFLE(2, 1, 0, 3));
    x = _mm256_set_epi64x(static_cast<long long>(m[s[14]]), static_cast<long long>(m[s[12]]),
                          static_cast<long long>(m[s[10]]), static_cast<long long>(m[s[8]]));
    TALLYFOLD_G(x, TALLYFOLD_ROT32, TALLYFOLD_ROT24);
    x = _mm256_set_epi64x(static_cast<long long>(m[s[15]]), static_cast<long long>(m[s[13]]),
                          static_cast<long long>(m[s[11]]), static_cast<long long>(m[s[9]]));
    TALLYFOLD_G(x, TALLYFOLD_ROT16, TALLYFOLD_ROT63);
    row2 = _mm256_permute4x64_epi64(row2, _MM_SHUFFLE(2, 1, 0, 3));
    row3 = _mm256_permute4x64_epi64(row3, _MM_SHUFFLE(1, 0, 3, 2));
    row4 = _mm256_permute4x64_epi64(row4, _MM_SHUFFLE(0, 3, 2, 1));
  }
#undef TALLYFOLD_ROT32
#undef TALLYFOLD_ROT24
#undef TALLYFOLD_ROT16
#undef TALLYFOLD_ROT63
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(b.h), _mm256_xor_si256(h0, _mm256_xor_si256(row1, row3)));
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(b.h + 4), _mm256_xor_si256(h1, _mm256_xor_si256(row2, row4)));
}
#undef TALLYFOLD_G

// One block of each of four messages, lane by lane: the state words, the block's
// words, the counters and the final flags of lane i in element i of each vector.
#define TALLYFOLD_ROT32(x) _mm256_shuffle_epi32(x, _MM_SHUFFLE(2, 3, 0, 1))
#define TALLYFOLD_ROT24(x) _mm256_shuffle_epi8(x, r24)
#define TALLYFOLD_ROT16(x) _mm256_shuffle_epi8(x, r16)
#define TALLYFOLD_ROT63(x) _mm256_or_si256(_mm256_srli_epi64(x, 63), _mm256_add_epi64(x, x))
#define TALLYFOLD_G4(a, b, c, d, x, y)                                  \
  v[a] = _mm256_add_epi64(_mm256_add_epi64(v[a], v[b]), m[x]);         \
  v[d] = TALLYFOLD_ROT32(_mm256_xor_si256(v[d], v[a]));                \
  v[c] = _mm256_add_epi64(v[c], v[d]);                                 \
  v[b] = TALLYFOLD_ROT24(_mm256_xor_si256(v[b], v[c]));                \
  v[a] = _mm256_add_epi64(_mm256_add_epi64(v[a], v[b]), m[y]);         \
  v[d] = TALLYFOLD_ROT16(_mm256_xor_si256(v[d], v[a]));                \
  v[c] = _mm256_add_epi64(v[c], v[d]);                                 \
  v[b] = TALLYFOLD_ROT63(_mm256_xor_si256(v[b], v[c]))
#define TALLYFOLD_ROUND4(r)                                                          \
  TALLYFOLD_G4(0, 4, 8, 12, kSigma[r][0], kSigma[r][1]);                             \
  TALLYFOLD_G4(1, 5, 9, 13, kSigma[r][2], kSigma[r][3]);                             \
  TALLYFOLD_G4(2, 6, 10, 14, kSigma[r][4], kSigma[r][5]);                            \
  TALLYFOLD_G4(3, 7, 11, 15, kSigma[r][6], kSigma[r][7]);                            \
  TALLYFOLD_G4(0, 5, 10, 15, kSigma[r][8], kSigma[r][9]);                            \
  TALLYFOLD_G4(1, 6, 11, 12, kSigma[r][10], kSigma[r][11]);                          \
  TALLYFOLD_G4(2, 7, 8, 13, kSigma[r][12], kSigma[r][13]);                           \
  TALLYFOLD_G4(3, 4, 9, 14, kSigma[r][14], kSigma[r][15])

__attribute__((target("avx2"))) void compress_lanes(__m256i* h, const __m256i* m, __m256i counters, __m256i last,
                                                    __m256i active) noexcept {
  const __m256i r24 = _mm256_setr_epi8(3, 4, 5, 6, 7, 0, 1, 2, 11, 12, 13, 14, 15, 8, 9, 10, 3, 4, 5, 6, 7, 0, 1, 2,
                                       11, 12, 13, 14, 15, 8, 9, 10);
  const __m256i r16 = _mm256_setr_epi8(2, 3, 4, 5, 6, 7, 0, 1, 10, 11, 12, 13, 14, 15, 8, 9, 2, 3, 4, 5, 6, 7, 0, 1,
                                       10, 11, 12, 13, 14, 15, 8, 9);
  __m256i v[16];
  for (int i = 0; i < 8; ++i) {
    v[i] = h[i];
    v[i + 8] = _mm256_set1_epi64x(static_cast<long long>(kIv[i]));
  }
  v[12] = _mm256_xor_si256(v[12], counters);
  v[14] = _mm256_xor_si256(v[14], last);
  // A loop over the rounds: unrolled, the code would outgrow the instruction cache
  // between one statement and the next.
  for (int r = 0; r < 12; ++r) {
    TALLYFOLD_ROUND4(r);
  }
  // A lane whose message has no more blocks keeps its state.
  for (int i = 0; i < 8; ++i) {
    const __m256i next = _mm256_xor_si256(h[i], _mm256_xor_si256(v[i], v[i + 8]));
    h[i] = _mm256_blendv_epi8(h[i], next, active);
  }
}
#undef TALLYFOLD_ROUND4
#undef TALLYFOLD_G4
#undef TALLYFOLD_ROT32
#undef TALLYFOLD_ROT24
#undef TALLYFOLD_ROT16
#undef TALLYFOLD_ROT63

bool avx2_runs() noexcept {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2");
}
#endif

using Compress = void (*)(Block&) noexcept;

Compress widest() noexcept {
#if defined(TALLYFOLD_BLAKE2B_AVX2)
  if (avx2_runs()) return compress_avx2;
#endif
  return compress_scalar;
}

// The kernel is chosen on the first block, whenever that is: no hash waits for the
// order in which static objects are made.
void choose(Block& b) noexcept;
std::atomic<Compress> chosen{choose};

void choose(Block& b) noexcept {
  const Compress kernel = widest();
  chosen.store(kernel, std::memory_order_relaxed);
  kernel(b);
}

}  // namespace

bool Blake2b::available(Kernel kernel) noexcept {
#if defined(TALLYFOLD_BLAKE2B_AVX2)
  if (kernel == Kernel::Avx2) return avx2_runs();
#endif
  return kernel != Kernel::Avx2;
}

void Blake2b::force(Kernel kernel) noexcept {
  if (!available(kernel)) return;
  Compress compress = widest();
  if (kernel == Kernel::Scalar) compress = compress_scalar;
  chosen.store(compress, std::memory_order_relaxed);
}

Blake2b::Blake2b(std::size_t digest_size) noexcept : digest_size_(digest_size) {
  for (int i = 0; i < 8; ++i) h_[i] = kIv[i];
  // Parameter block: digest length, no key, fanout 1, depth 1.
  h_[0] ^= 0x01010000ULL ^ digest_size;
}

void Blake2b::compress(bool last) noexcept {
  Block b;
  std::memcpy(b.h, h_.data(), sizeof b.h);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(b.m, block_.data(), sizeof b.m);
  } else {
    for (int i = 0; i < 16; ++i) {
      std::uint64_t word = 0;
      for (int j = 7; j >= 0; --j) word = word << 8 | block_[8 * i + j];
      b.m[i] = word;
    }
  }
  b.counted = counted_;
  b.last = last;
  chosen.load(std::memory_order_relaxed)(b);
  std::memcpy(h_.data(), b.h, sizeof b.h);
}

void Blake2b::finish_each(const Blake2b& start, std::span<const std::string_view> messages,
                          std::uint8_t* digests) noexcept {
  std::size_t i = 0;
#if defined(TALLYFOLD_BLAKE2B_AVX2)
  if (chosen.load(std::memory_order_relaxed) == compress_avx2) {
    // Messages of as many blocks side by side, so that few lanes wait for the others:
    // the messages in the order of their blocks (a count sort; the longest together).
    constexpr std::size_t kKinds = 8;
    const std::size_t n = messages.size();
    auto kind = [&](std::size_t k) noexcept {
      const std::size_t blocks = (start.filled_ + messages[k].size() + 127) / 128;
      return blocks < kKinds ? blocks : kKinds - 1;
    };
    std::size_t first[kKinds + 1] = {};
    for (std::size_t k = 0; k < n; ++k) ++first[kind(k) + 1];
    for (std::size_t b = 1; b <= kKinds; ++b) first[b] += first[b - 1];
    std::vector<std::size_t> order(n);
    for (std::size_t k = 0; k < n; ++k) order[first[kind(k)]++] = k;
    for (; i < n; i += 4) {
      const std::size_t count = n - i < 4 ? n - i : 4;
      std::string_view four[4];
      std::uint8_t* out[4];
      for (std::size_t l = 0; l < count; ++l) {
        four[l] = messages[order[i + l]];
        out[l] = digests + order[i + l] * start.digest_size_;
      }
      finish_four(start, four, count, out);
    }
    return;
  }
#endif
  for (; i < messages.size(); ++i) {
    Blake2b hash = start;
    hash.update(messages[i]);
    hash.finish(digests + i * start.digest_size_);
  }
}

#if defined(TALLYFOLD_BLAKE2B_AVX2)
__attribute__((target("avx2"))) void Blake2b::finish_four(const Blake2b& start, const std::string_view* messages,
                                                          std::size_t count, std::uint8_t* const* digests) noexcept {
  // Each lane's bytes: what `start` holds uncompressed, then its message; a lane beyond
  // `count` repeats the first, and its digest is not written.
  std::string_view message[4];
  std::size_t length[4];
  std::size_t blocks[4];
  std::size_t most = 0;
  for (std::size_t l = 0; l < 4; ++l) {
    message[l] = messages[l < count ? l : 0];
    length[l] = start.filled_ + message[l].size();
    blocks[l] = length[l] == 0 ? 1 : (length[l] + 127) / 128;
    most = blocks[l] > most ? blocks[l] : most;
  }
  __m256i h[8];
  for (int w = 0; w < 8; ++w) h[w] = _mm256_set1_epi64x(static_cast<long long>(start.h_[w]));
  alignas(32) std::uint64_t words[16][4];
  for (std::size_t j = 0; j < most; ++j) {
    alignas(32) std::uint64_t counter[4];
    alignas(32) std::uint64_t last[4];
    alignas(32) std::uint64_t active[4];
    for (std::size_t l = 0; l < 4; ++l) {
      // Block j of the lane: bytes [128 j, 128 j + 128) of its bytes, zeros past them;
      // read in place where the message holds them all.
      std::uint8_t block[128];
      const std::uint8_t* bytes = block;
      const std::size_t from = 128 * j;
      if (j < blocks[l] && from >= start.filled_ && from - start.filled_ + 128 <= message[l].size()) {
        bytes = reinterpret_cast<const std::uint8_t*>(message[l].data()) + (from - start.filled_);
      } else if (j < blocks[l]) {
        std::memset(block, 0, sizeof block);
        std::size_t at = 0;
        if (from < start.filled_) {
          at = start.filled_ - from < 128 ? start.filled_ - from : 128;
          std::memcpy(block, start.block_.data() + from, at);
        }
        const std::size_t in_message = from + at - start.filled_;
        if (at < 128 && in_message < message[l].size()) {
          const std::size_t take = message[l].size() - in_message < 128 - at ? message[l].size() - in_message : 128 - at;
          std::memcpy(block + at, message[l].data() + in_message, take);
        }
      } else {
        std::memset(block, 0, sizeof block);
      }
      for (int w = 0; w < 16; ++w) {
        std::uint64_t word = 0;
        if constexpr (std::endian::native == std::endian::little) {
          std::memcpy(&word, bytes + 8 * w, 8);
        } else {
          for (int b = 7; b >= 0; --b) word = word << 8 | bytes[8 * w + b];
        }
        words[w][l] = word;
      }
      const bool final_block = j + 1 == blocks[l];
      counter[l] = start.counted_ + (final_block ? length[l] : 128 * (j + 1));
      last[l] = final_block ? ~std::uint64_t{0} : 0;
      active[l] = j < blocks[l] ? ~std::uint64_t{0} : 0;
    }
    __m256i m[16];
    for (int w = 0; w < 16; ++w) m[w] = _mm256_load_si256(reinterpret_cast<const __m256i*>(words[w]));
    compress_lanes(h, m, _mm256_load_si256(reinterpret_cast<const __m256i*>(counter)),
                   _mm256_load_si256(reinterpret_cast<const __m256i*>(last)),
                   _mm256_load_si256(reinterpret_cast<const __m256i*>(active)));
  }
  alignas(32) std::uint64_t state[8][4];
  for (int w = 0; w < 8; ++w) _mm256_store_si256(reinterpret_cast<__m256i*>(state[w]), h[w]);
  for (std::size_t l = 0; l < count; ++l) {
    for (std::size_t b = 0; b < start.digest_size_; ++b) {
      digests[l][b] = static_cast<std::uint8_t>(state[b / 8][l] >> (8 * (b % 8)));
    }
  }
}
#else
void Blake2b::finish_four(const Blake2b& start, const std::string_view* messages, std::size_t count,
                          std::uint8_t* const* digests) noexcept {
  for (std::size_t l = 0; l < count; ++l) {
    Blake2b hash = start;
    hash.update(messages[l]);
    hash.finish(digests[l]);
  }
}
#endif

void Blake2b::update(std::string_view bytes) noexcept {
  const char* p = bytes.data();
  std::size_t n = bytes.size();
  while (n > 0) {
    // The last block is compressed only in finish(), with its final flag: a full block
    // waits until more input shows that it is not the last.
    if (filled_ == block_.size()) {
      counted_ += block_.size();
      compress(false);
      filled_ = 0;
    }
    const std::size_t take = n < block_.size() - filled_ ? n : block_.size() - filled_;
    std::memcpy(block_.data() + filled_, p, take);
    filled_ += take;
    p += take;
    n -= take;
  }
}

void Blake2b::finish(std::uint8_t* out) noexcept {
  counted_ += filled_;
  std::memset(block_.data() + filled_, 0, block_.size() - filled_);
  compress(true);
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(out, h_.data(), digest_size_);
  } else {
    for (std::size_t i = 0; i < digest_size_; ++i) out[i] = static_cast<std::uint8_t>(h_[i / 8] >> (8 * (i % 8)));
  }
}

}  // namespace tallyfold::detail
