// Rijndael-256 encryption with the ARMv8 Cryptography Extension: the state
// as two 128-bit halves (columns 0-3 and 4-7); per round one two-register
// TBL per half builds the prepared halves (rijndael_permutation.h), then
// AESE and AESMC per half. AESE adds its round key before its ShiftRows and
// SubBytes, so round key r enters at the start of round r + 1's AESE,
// permuted like the state, and the last round key is a plain XOR after the
// last AESE. Compiled with the crypto extension enabled and called only when
// the auxiliary vector reports AES; everything here but the entry points has
// internal linkage, so no code built for these instructions can stand in for
// baseline code.
#include "rijndael_paths.h"
#include "rijndael_permutation.h"

#include <arm_neon.h>

namespace {

using namespace round_permutation;

// Blocks in flight to hide the latency of TBL, AESE and AESMC: a round of 4
// blocks is 24 instructions, more than its latency on two vector pipelines.
// With 8, GCC 12 forms TBL's register pairs through the stack, which would
// leave cipher state there. Not measured on an arm64 CPU
// (docs/PERFORMANCE.md).
constexpr int blocks_in_flight = 4;

// Both halves of a block (columns 0-3, then 4-7) as one register pair: TBL
// needs its table in consecutive registers, and with the halves kept as a
// pair throughout GCC forms it without going through the stack, which two
// separate vectors made it do once several blocks were in flight.
using halves = uint8x16x2_t;

// The TBL indices that build prepared half 0 and half 1 from the 32 bytes
// of both state halves.
inline __attribute__((always_inline)) halves load_lookup() {
    return vld1q_u8_x2(full_permutation.b);
}

inline __attribute__((always_inline)) halves load(const std::uint8_t* from) {
    return vld1q_u8_x2(from);
}

inline __attribute__((always_inline)) void store(std::uint8_t* to, halves x) { vst1q_u8_x2(to, x); }

inline __attribute__((always_inline)) halves xor_halves(halves a, halves b) {
    return {{veorq_u8(a.val[0], b.val[0]), veorq_u8(a.val[1], b.val[1])}};
}

// Round key r as it stands in memory order: words 8r .. 8r + 7.
inline __attribute__((always_inline)) halves round_key(const key_schedule* schedule, int r) {
    return load(reinterpret_cast<const std::uint8_t*>(schedule->round_keys + 8 * r));
}

inline __attribute__((always_inline)) halves prepare(halves x, halves lookup) {
    return {{vqtbl2q_u8(x, lookup.val[0]), vqtbl2q_u8(x, lookup.val[1])}};
}

// A full round but AddRoundKey, whose key came in with the AESE: the state
// in memory order before, and after.
inline __attribute__((always_inline)) halves round(halves state, halves prepared_key,
                                                   halves lookup) {
    const halves s = prepare(state, lookup);
    return {{vaesmcq_u8(vaeseq_u8(s.val[0], prepared_key.val[0])),
             vaesmcq_u8(vaeseq_u8(s.val[1], prepared_key.val[1]))}};
}

// The last round without its key, which the caller XORs in its own way.
inline __attribute__((always_inline)) halves last_round(halves state, halves prepared_key,
                                                        halves lookup) {
    const halves s = prepare(state, lookup);
    return {{vaeseq_u8(s.val[0], prepared_key.val[0]), vaeseq_u8(s.val[1], prepared_key.val[1])}};
}

// N blocks at once. Each round key is permuted once per call, beside the
// rounds rather than on their path. `rounds` comes from the schedule, so a
// shortened schedule (tests) is honoured.
template <int N>
inline __attribute__((always_inline)) void encrypt_n(halves* s, const key_schedule* schedule,
                                                     halves lookup) {
    const int rounds = schedule->rounds;
    for (int r = 0; r < rounds - 1; ++r) {
        const halves key = prepare(round_key(schedule, r), lookup);
#pragma GCC unroll 8
        for (int i = 0; i < N; ++i) s[i] = round(s[i], key, lookup);
    }
    const halves key = prepare(round_key(schedule, rounds - 1), lookup);
    const halves last = round_key(schedule, rounds);
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) s[i] = xor_halves(last_round(s[i], key, lookup), last);
}

template <int N>
inline __attribute__((always_inline)) void encrypt_run(const std::uint8_t* in, std::uint8_t* out,
                                                       const key_schedule* schedule,
                                                       halves lookup) {
    halves s[N];
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) s[i] = load(in + 32 * i);
    encrypt_n<N>(s, schedule, lookup);
#pragma GCC unroll 8
    for (int i = 0; i < N; ++i) store(out + 32 * i, s[i]);
}

} // namespace

void armv8_encrypt_block_256(std::uint8_t* block, const key_schedule* schedule) {
    encrypt_run<1>(block, block, schedule, load_lookup());
}

void armv8_encrypt_blocks_256(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                              const key_schedule* schedule) {
    const halves lookup = load_lookup();
    std::size_t i = 0;
    // All blocks of a run are loaded before any is stored, so in == out is safe.
    for (; i + blocks_in_flight <= count; i += blocks_in_flight)
        encrypt_run<blocks_in_flight>(in + 32 * i, out + 32 * i, schedule, lookup);
    if (i + blocks_in_flight / 2 <= count) {
        encrypt_run<blocks_in_flight / 2>(in + 32 * i, out + 32 * i, schedule, lookup);
        i += blocks_in_flight / 2;
    }
    for (; i < count; ++i) encrypt_run<1>(in + 32 * i, out + 32 * i, schedule, lookup);
}

// The chain carries y, the last AESE's output of the previous block, whose
// ciphertext is y ^ K14 ^ plaintext. AESE adds its key before anything else,
// so the next block's first AESE takes y itself, prepared, with the key
// K14 ^ plaintext ^ K0, prepared: per block the critical path is 14 TBL
// pairs, 14 AESE pairs and 13 AESMC pairs, and the ciphertext for `out` and
// the next block's first key are computed beside it. The round keys are read
// and permuted per block (loads and TBLs off the chain); 26 prepared key
// halves would not fit in the registers beside the rest.
void armv8_cfb_encrypt_blocks_256(std::uint8_t feedback[32], const std::uint8_t* in,
                                  std::uint8_t* out, std::size_t count,
                                  const key_schedule* schedule) {
    if (count == 0) return;
    constexpr int rounds = 14; // every key length with Nb = 8
    const halves lookup = load_lookup();
    halves y = load(feedback);
    halves first_key = prepare(round_key(schedule, 0), lookup);
    halves cipher_text{};
    for (std::size_t i = 0; i < count; ++i) {
        // Read before the store below, so in == out is safe.
        const halves plain_and_last = xor_halves(load(in + 32 * i), round_key(schedule, rounds));
        halves s = round(y, first_key, lookup);
        // Not unrolled: unrolled, GCC 12 passes the state through the stack
        // to re-pair it for a TBL once a block.
        for (int r = 1; r < rounds - 1; ++r)
            s = round(s, prepare(round_key(schedule, r), lookup), lookup);
        y = last_round(s, prepare(round_key(schedule, rounds - 1), lookup), lookup);
        cipher_text = xor_halves(y, plain_and_last);
        store(out + 32 * i, cipher_text);
        first_key = prepare(xor_halves(plain_and_last, round_key(schedule, 0)), lookup);
    }
    store(feedback, cipher_text);
}
