// Rijndael-256 encryption with VAES and AVX-512: a whole block in one 256-bit
// register, one byte permutation (VPERMB) per round doing the work of the
// AES-NI path's blend and shuffles, then VAESENC on both lanes at once. Many
// blocks go two to a 512-bit register, several registers in flight.
// Compiled with -mvaes -mavx512f -mavx512bw -mavx512vl -mavx512vbmi and
// called only when the CPU has them; everything here but the entry points
// has internal linkage.
#include "cipher/rijndael_paths.h"
#include "cipher/rijndael_x86_permutation.h"

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

using namespace x86_permutation;

// 512-bit registers in flight, two blocks each; 8 measured a little faster
// than 4 (docs/PERFORMANCE.md), and the 32 vector registers hold them all.
constexpr int registers_in_flight = 8;

inline __attribute__((always_inline)) __m256i round_key_256(const key_schedule* schedule, int r)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(schedule->round_keys + 8 * r));
}

inline __attribute__((always_inline)) __m512i round_key_512(const key_schedule* schedule, int r)
{
    return _mm512_broadcast_i64x4(round_key_256(schedule, r));
}

inline __attribute__((always_inline)) __m256i encrypt_one(__m256i state,
                                                          const key_schedule* schedule)
{
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
                                                         __m512i permutation)
{
    const int rounds = schedule->rounds;
    __m512i s[N];
    __m512i key = round_key_512(schedule, 0);
    for (int i = 0; i < N; ++i)
        s[i] = _mm512_xor_si512(_mm512_loadu_si512(in + 64 * i), key);
    for (int r = 1; r < rounds; ++r) {
        key = round_key_512(schedule, r);
        for (int i = 0; i < N; ++i)
            s[i] = _mm512_aesenc_epi128(_mm512_permutexvar_epi8(permutation, s[i]), key);
    }
    key = round_key_512(schedule, rounds);
    for (int i = 0; i < N; ++i)
        s[i] = _mm512_aesenclast_epi128(_mm512_permutexvar_epi8(permutation, s[i]), key);
    for (int i = 0; i < N; ++i)
        _mm512_storeu_si512(out + 64 * i, s[i]);
}

inline constexpr permutation32 prepare_index = prepare_permutation();
inline constexpr permutation32 boundary_index = boundary_permutation();
inline constexpr permutation32 unprepare_index = inverse(prepare_permutation());

inline __attribute__((always_inline)) __m256i load_permutation(const permutation32& p)
{
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p.index));
}

} // namespace

void vaes_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule)
{
    auto* p = reinterpret_cast<__m256i*>(block);
    _mm256_storeu_si256(p, encrypt_one(_mm256_loadu_si256(p), schedule));
}

void vaes_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                             const key_schedule* schedule)
{
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

// As on the AES-NI path the chain runs in the prepared arrangement, with
// the boundary permutation between blocks and plaintext and K0 folded into
// the last round key (see rijndael_aesni.cpp). Per block the critical path
// is 13 VPERMB, 13 VAESENC and one VAESENCLAST on one 256-bit register; the
// 15 round keys stay in registers for the whole call. VPERMB's three cycles
// make a round one cycle longer than the AES-NI chain's shuffle and blend,
// so the dispatcher uses that chain instead (rijndael.cpp); this one stays
// to be measured against it on other CPUs.
void vaes_cfb_encrypt_blocks_256(std::uint8_t feedback[32], const std::uint8_t* in,
                                 std::uint8_t* out, std::size_t count, const key_schedule* schedule)
{
    if (count == 0)
        return;
    constexpr int rounds = 14; // every key length with Nb = 8
    const __m256i prepare = load_permutation(prepare_index);
    const __m256i boundary = load_permutation(boundary_index);
    const __m256i unprepare = load_permutation(unprepare_index);
    __m256i key[rounds + 1];
    // Unrolled, each key goes straight into its register; as a loop GCC
    // copies the keys through the stack and would leave them there.
#pragma GCC unroll 16
    for (int r = 0; r <= rounds; ++r)
        key[r] = round_key_256(schedule, r);
    const __m256i last = _mm256_permutexvar_epi8(prepare, _mm256_xor_si256(key[rounds], key[0]));

    auto* const feedback_register = reinterpret_cast<__m256i*>(feedback);
    __m256i z = _mm256_permutexvar_epi8(
        prepare, _mm256_xor_si256(_mm256_loadu_si256(feedback_register), key[0]));
    __m256i cipher_text = _mm256_setzero_si256();
    for (std::size_t i = 0; i < count; ++i) {
        const __m256i plain = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 32 * i));
        const __m256i last_key = _mm256_xor_si256(_mm256_permutexvar_epi8(prepare, plain), last);
        __m256i s = _mm256_aesenc_epi128(z, key[1]);
        for (int r = 2; r < rounds; ++r)
            s = _mm256_aesenc_epi128(_mm256_permutexvar_epi8(prepare, s), key[r]);
        z = _mm256_aesenclast_epi128(_mm256_permutexvar_epi8(boundary, s), last_key);
        // The plaintext group was read above, so in == out is safe.
        cipher_text = _mm256_xor_si256(_mm256_permutexvar_epi8(unprepare, z), key[0]);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32 * i), cipher_text);
    }
    _mm256_storeu_si256(feedback_register, cipher_text);
}
