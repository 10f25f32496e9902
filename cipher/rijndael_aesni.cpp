// Rijndael-256 encryption with AES-NI: the state as two 128-bit halves
// (columns 0-3 and 4-7), each round a blend between the halves, one byte
// shuffle per half, and AESENC per half with that half of the round key.
// Compiled with -maes -msse4.1 -mssse3 and called only when the CPU has
// them; everything here but the entry points has internal linkage, so no
// code built for these instructions can stand in for baseline code.
#include "rijndael_paths.h"
#include "rijndael_permutation.h"

#include <immintrin.h>

namespace {

using namespace round_permutation;

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
inline __attribute__((always_inline)) __m128i round_key(const key_schedule* schedule, int r,
                                                        int h) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(schedule->round_keys + 8 * r + 4 * h));
}

// Blend and shuffle block i's halves into the arrangement the round
// instruction expects (see rijndael_permutation.h).
inline __attribute__((always_inline)) void prepare(__m128i& lo, __m128i& hi, constants k) {
    const __m128i x = _mm_blendv_epi8(lo, hi, k.blend);
    const __m128i y = _mm_blendv_epi8(hi, lo, k.blend);
    lo = _mm_shuffle_epi8(x, k.shuffle);
    hi = _mm_shuffle_epi8(y, k.shuffle);
}

// N blocks at once: lo[i], hi[i] are the halves of block i.
template <int N>
inline __attribute__((always_inline)) void encrypt_n(__m128i* lo, __m128i* hi,
                                                     const key_schedule* schedule, constants k) {
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

} // namespace

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

namespace {

// A permutation in split form (see rijndael_permutation.h), in registers.
struct split_masks {
    __m128i shuffle;
    __m128i select;
};

inline __attribute__((always_inline)) split_masks load_split(const split_permutation& s) {
    return {_mm_loadu_si128(reinterpret_cast<const __m128i*>(s.shuffle.b)),
            _mm_loadu_si128(reinterpret_cast<const __m128i*>(s.select.b))};
}

// Shuffle first, then blend: both shuffles start as soon as the round
// instructions finish, and PBLENDVB (legacy encoding) takes one cycle.
inline __attribute__((always_inline)) void permute(__m128i& lo, __m128i& hi, split_masks m) {
    const __m128i x = _mm_shuffle_epi8(lo, m.shuffle);
    const __m128i y = _mm_shuffle_epi8(hi, m.shuffle);
    lo = _mm_blendv_epi8(x, y, m.select);
    hi = _mm_blendv_epi8(y, x, m.select);
}

// The ciphertext group from a prepared state z = prepare(C ^ K0).
inline __attribute__((always_inline)) void store_cipher_text(std::uint8_t* to, __m128i z_lo,
                                                             __m128i z_hi, split_masks unprepare,
                                                             __m128i first_lo, __m128i first_hi) {
    permute(z_lo, z_hi, unprepare);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to), _mm_xor_si128(z_lo, first_lo));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(to + 16), _mm_xor_si128(z_hi, first_hi));
}

inline constexpr split_permutation prepare_split = split(prepare_permutation());
inline constexpr split_permutation boundary_split = split(boundary_permutation());
inline constexpr split_permutation unprepare_split = split(inverse(prepare_permutation()));

} // namespace

// The chain runs in the prepared arrangement: z is the next block's state
// after round 0, already permuted for round 1. Per block the critical path
// is 13 AESENC pairs, 12 preparations, one boundary permutation and one
// AESENCLAST pair, whose key K14 ^ K0 ^ plaintext (prepared) yields the
// next z directly; turning z back into the ciphertext for `out` is off the
// chain. The 16 xmm registers cannot hold the 30 round-key halves; they are
// read from the schedule per block, which keeps them off the stack and costs
// nothing measurable, since no load is on the chain.
void aesni_cfb_encrypt_blocks_256(std::uint8_t feedback[32], const std::uint8_t* in,
                                  std::uint8_t* out, std::size_t count,
                                  const key_schedule* schedule) {
    if (count == 0) return;
    constexpr int rounds = 14; // every key length with Nb = 8
    const split_masks prepare = load_split(prepare_split);
    const split_masks boundary = load_split(boundary_split);
    const split_masks unprepare = load_split(unprepare_split);
    const __m128i first_lo = round_key(schedule, 0, 0);
    const __m128i first_hi = round_key(schedule, 0, 1);
    __m128i last_lo = _mm_xor_si128(round_key(schedule, rounds, 0), first_lo);
    __m128i last_hi = _mm_xor_si128(round_key(schedule, rounds, 1), first_hi);
    permute(last_lo, last_hi, prepare);

    __m128i z_lo =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(feedback)), first_lo);
    __m128i z_hi =
        _mm_xor_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(feedback + 16)), first_hi);
    permute(z_lo, z_hi, prepare);
    for (std::size_t i = 0; i < count; ++i) {
        __m128i k_lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i));
        __m128i k_hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 32 * i + 16));
        permute(k_lo, k_hi, prepare);
        k_lo = _mm_xor_si128(k_lo, last_lo);
        k_hi = _mm_xor_si128(k_hi, last_hi);

        __m128i lo = _mm_aesenc_si128(z_lo, round_key(schedule, 1, 0));
        __m128i hi = _mm_aesenc_si128(z_hi, round_key(schedule, 1, 1));
#pragma GCC unroll 16
        for (int r = 2; r < rounds; ++r) {
            permute(lo, hi, prepare);
            lo = _mm_aesenc_si128(lo, round_key(schedule, r, 0));
            hi = _mm_aesenc_si128(hi, round_key(schedule, r, 1));
        }
        permute(lo, hi, boundary);
        z_lo = _mm_aesenclast_si128(lo, k_lo);
        z_hi = _mm_aesenclast_si128(hi, k_hi);
        // The plaintext group was read above, so in == out is safe.
        store_cipher_text(out + 32 * i, z_lo, z_hi, unprepare, first_lo, first_hi);
    }
    store_cipher_text(feedback, z_lo, z_hi, unprepare, first_lo, first_hi);
}
