// Rijndael-256 encryption with VAES and AVX-512: a whole block in one 256-bit
// register, one byte permutation (VPERMB) per round doing the work of the
// AES-NI path's blend and shuffles, then VAESENC on both lanes at once. Many
// blocks go two to a 512-bit register, several registers in flight.
// Compiled with -mvaes -mavx512f -mavx512bw -mavx512vl -mavx512vbmi and
// called only when the CPU has them; everything here but the entry points
// has internal linkage.
#include "rijndael_paths.h"
#include "rijndael_permutation.h"

// GCC 12's AVX-512 intrinsics fill "undefined" vectors by self-initialising
// them, which its own -Wuninitialized reports (GCC bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace {

using namespace round_permutation;

// 512-bit registers in flight, two blocks each; 8 measured a little faster
// than 4 (docs/PERFORMANCE.md), and the 32 vector registers hold them all.
constexpr int registers_in_flight = 8;

inline __attribute__((always_inline)) __m256i round_key_256(const key_schedule* schedule, int r) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(schedule->round_keys + 8 * r));
}

inline __attribute__((always_inline)) __m512i round_key_512(const key_schedule* schedule, int r) {
    return _mm512_broadcast_i64x4(round_key_256(schedule, r));
}

inline __attribute__((always_inline)) __m256i encrypt_one(__m256i state,
                                                          const key_schedule* schedule) {
    const __m256i permutation =
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(full_permutation.b));
    const int rounds = schedule->rounds;
    state = _mm256_xor_si256(state, round_key_256(schedule, 0));
    for (int r = 1; r < rounds; ++r)
        state = _mm256_aesenc_epi128(_mm256_permutexvar_epi8(permutation, state),
                                     round_key_256(schedule, r));
    return _mm256_aesenclast_epi128(_mm256_permutexvar_epi8(permutation, state),
                                    round_key_256(schedule, rounds));
}

// N registers of two blocks each, 64 * N bytes from `in` to `out`.
template <int N>
inline __attribute__((always_inline)) void encrypt_pairs(const std::uint8_t* in, std::uint8_t* out,
                                                         const key_schedule* schedule,
                                                         __m512i permutation) {
    const int rounds = schedule->rounds;
    __m512i s[N];
    __m512i key = round_key_512(schedule, 0);
    for (int i = 0; i < N; ++i) s[i] = _mm512_xor_si512(_mm512_loadu_si512(in + 64 * i), key);
    for (int r = 1; r < rounds; ++r) {
        key = round_key_512(schedule, r);
        for (int i = 0; i < N; ++i)
            s[i] = _mm512_aesenc_epi128(_mm512_permutexvar_epi8(permutation, s[i]), key);
    }
    key = round_key_512(schedule, rounds);
    for (int i = 0; i < N; ++i)
        s[i] = _mm512_aesenclast_epi128(_mm512_permutexvar_epi8(permutation, s[i]), key);
    for (int i = 0; i < N; ++i) _mm512_storeu_si512(out + 64 * i, s[i]);
}

} // namespace

void vaes_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule) {
    auto* p = reinterpret_cast<__m256i*>(block);
    _mm256_storeu_si256(p, encrypt_one(_mm256_loadu_si256(p), schedule));
}

void vaes_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                             const key_schedule* schedule) {
    const __m512i permutation = _mm512_loadu_si512(full_permutation.b);
    std::size_t i = 0;
    // Each run loads all its blocks before it stores any, so in == out is safe.
    for (; i + 2 * registers_in_flight <= count; i += 2 * registers_in_flight)
        encrypt_pairs<registers_in_flight>(in + 32 * i, out + 32 * i, schedule, permutation);
    // The rest, fewer than 2 * registers_in_flight blocks, in halving runs.
    if (i + registers_in_flight <= count) {
        encrypt_pairs<registers_in_flight / 2>(in + 32 * i, out + 32 * i, schedule, permutation);
        i += registers_in_flight;
    }
    if (i + registers_in_flight / 2 <= count) {
        encrypt_pairs<registers_in_flight / 4>(in + 32 * i, out + 32 * i, schedule, permutation);
        i += registers_in_flight / 2;
    }
    for (; i + 2 <= count; i += 2)
        encrypt_pairs<1>(in + 32 * i, out + 32 * i, schedule, permutation);
    if (i < count) {
        const auto* src = reinterpret_cast<const __m256i*>(in + 32 * i);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i),
                            encrypt_one(_mm256_loadu_si256(src), schedule));
    }
}
