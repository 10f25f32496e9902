// Rijndael-256 encryption with AES-NI: the state as two 128-bit halves
// (columns 0-3 and 4-7), each round a blend between the halves, one byte
// shuffle per half, and AESENC per half with that half of the round key.
// Compiled with -maes -msse4.1 -mssse3 and called only when the CPU has
// them; everything here but the two entry points has internal linkage, so no
// code built for these instructions can stand in for baseline code.
#include "cipher/rijndael_paths.h"
#include "cipher/rijndael_x86_permutation.h"

#include <immintrin.h>

namespace {

using namespace x86_permutation;

// Blocks in flight to hide the latency of the round instructions; 8
// measured a few per cent faster than 4 (docs/PERFORMANCE.md).
constexpr int blocks_in_flight = 8;

struct constants {
    __m128i blend;
    __m128i shuffle;
};

inline __attribute__((always_inline)) constants load_constants() {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(blend_mask.b)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(half_shuffle.b))};
}

// Round key r, half h: words 8r + 4h .. 8r + 4h + 3, already bytes in
// memory order as the instructions take them.
inline __attribute__((always_inline)) __m128i round_key(const key_schedule* schedule, int r, int h) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule->round_keys + 8 * r + 4 * h));
}

// Blend and shuffle block i's halves into the arrangement the round
// instruction expects (see rijndael_x86_permutation.h).
inline __attribute__((always_inline)) void prepare(__m128i& lo, __m128i& hi, constants k) {
    const __m128i x = _mm_blendv_epi8(lo, hi, k.blend);
    const __m128i y = _mm_blendv_epi8(hi, lo, k.blend);
    lo = _mm_shuffle_epi8(x, k.shuffle);
    hi = _mm_shuffle_epi8(y, k.shuffle);
}

// N blocks at once: lo[i], hi[i] are the halves of block i.
template <int N>
inline __attribute__((always_inline)) void encrypt_n(__m128i* lo, __m128i* hi, const key_schedule* schedule,
                                                     constants k) {
    const int rounds = schedule->rounds;
    __m128i key_lo = round_key(schedule, 0, 0);
    __m128i key_hi = round_key(schedule, 0, 1);
    for (int i = 0; i < N; ++i) {
        lo[i] = _mm_xor_si128(lo[i], key_lo);
        hi[i] = _mm_xor_si128(hi[i], key_hi);
    }
    for (int r = 1; r < rounds; ++r) {
        key_lo = round_key(schedule, r, 0);
        key_hi = round_key(schedule, r, 1);
        for (int i = 0; i < N; ++i) {
            prepare(lo[i], hi[i], k);
            lo[i] = _mm_aesenc_si128(lo[i], key_lo);
            hi[i] = _mm_aesenc_si128(hi[i], key_hi);
        }
    }
    key_lo = round_key(schedule, rounds, 0);
    key_hi = round_key(schedule, rounds, 1);
    for (int i = 0; i < N; ++i) {
        prepare(lo[i], hi[i], k);
        lo[i] = _mm_aesenclast_si128(lo[i], key_lo);
        hi[i] = _mm_aesenclast_si128(hi[i], key_hi);
    }
}

template <int N>
inline __attribute__((always_inline)) void encrypt_run(const std::uint8_t* in, std::uint8_t* out,
                                                       const key_schedule* schedule, constants k) {
    __m128i lo[N], hi[N];
    for (int i = 0; i < N; ++i) {
        lo[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i));
        hi[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i + 16));
    }
    encrypt_n<N>(lo, hi, schedule, k);
    for (int i = 0; i < N; ++i) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * i), lo[i]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 32 * i + 16), hi[i]);
    }
}

}  // namespace

void aesni_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule) {
    encrypt_run<1>(block, block, schedule, load_constants());
}

void aesni_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                              const key_schedule* schedule) {
    const constants k = load_constants();
    std::size_t i = 0;
    // All blocks of a run are loaded before any is stored, so in == out is safe.
    for (; i + blocks_in_flight <= count; i += blocks_in_flight)
        encrypt_run<blocks_in_flight>(in + 32 * i, out + 32 * i, schedule, k);
    if (i + blocks_in_flight / 2 <= count) {
        encrypt_run<blocks_in_flight / 2>(in + 32 * i, out + 32 * i, schedule, k);
        i += blocks_in_flight / 2;
    }
    for (; i < count; ++i) encrypt_run<1>(in + 32 * i, out + 32 * i, schedule, k);
}
