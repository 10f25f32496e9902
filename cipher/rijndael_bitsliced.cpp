// The portable path: Rijndael bitsliced over 64-bit words.
//
// A state is eight words q[0..7]; q[i] holds bit i of every state byte. The
// byte of row r, column c, block slot k sits at bit 16r + 8k + c: each row is
// a 16-bit lane, each slot's eight columns one byte of it. Two independent
// 256-bit blocks fill the two slots; a single block is held in both at once
// ("doubled"), which makes its row rotation cheap: row r rotated by s columns
// is the lane shifted down by s, read in its low byte. Shorter blocks leave
// the high columns of a slot unused; nothing carries from a column into
// another except the row rotation, which masks to the used ones.
//
// Per round: the substitution is a Boolean circuit (rijndael_sbox_circuit.h),
// the row rotation masks and shifts, the column mixing rotates whole lanes,
// the round key is XORed. Every operation and every memory address is the
// same whatever the key and the data: nothing here is indexed by a secret or
// branches on one (the valgrind test in tests/cipher checks it).
#include "rijndael_paths.h"
#include "rijndael_sbox_circuit.h"

#include <string.h>

#include <bit>
#include <cstring>
#include <initializer_list>

#define OSTREL_INLINE inline __attribute__((always_inline))

namespace {

using planes = std::uint64_t[8];

// Two 64-bit words side by side, for four 256-bit blocks per pass: GCC's
// vector extension, which compilers lower to whatever vectors the target has
// (SSE2 on every x86-64) or to pairs of 64-bit operations. Shifts and
// bitwise operations act on each half; a 64-bit operand stands for both.
using wide = std::uint64_t __attribute__((vector_size(16)));

// Bytes p[0..3] (rows 0..3 of a column) as a word with row r in bits
// 8r..8r+7, whatever the host byte order.
OSTREL_INLINE std::uint32_t load_column(const std::uint8_t* p) {
    return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
           std::uint32_t{p[3]} << 24;
}

OSTREL_INLINE void store_column(std::uint8_t* p, std::uint32_t w) {
    p[0] = static_cast<std::uint8_t>(w);
    p[1] = static_cast<std::uint8_t>(w >> 8);
    p[2] = static_cast<std::uint8_t>(w >> 16);
    p[3] = static_cast<std::uint8_t>(w >> 24);
}

// The four bytes of x moved to bytes 0, 2, 4 and 6.
OSTREL_INLINE std::uint64_t spread(std::uint32_t x) {
    std::uint64_t v = x;
    v = (v | v << 16) & 0x0000FFFF0000FFFFull;
    return (v | v << 8) & 0x00FF00FF00FF00FFull;
}

// Bytes 0, 2, 4 and 6 of v, gathered; the inverse of spread.
OSTREL_INLINE std::uint32_t gather(std::uint64_t v) {
    v &= 0x00FF00FF00FF00FFull;
    v = (v | v >> 8) & 0x0000FFFF0000FFFFull;
    return static_cast<std::uint32_t>(v | v >> 16);
}

// Exchanges the bits of `a` selected by mask << n with the bits of `b`
// selected by mask.
OSTREL_INLINE void swap_bits(std::uint64_t& a, std::uint64_t& b, std::uint64_t mask, int n) {
    const std::uint64_t t = ((a >> n) ^ b) & mask;
    b ^= t;
    a ^= t << n;
}

// Within every byte position m: bit i of word j trades places with bit j of
// word i. Its own inverse.
OSTREL_INLINE void transpose(planes& x) {
    for (int j = 0; j < 8; j += 2) swap_bits(x[j], x[j + 1], 0x5555555555555555ull, 1);
    for (int j : {0, 1, 4, 5}) swap_bits(x[j], x[j + 2], 0x3333333333333333ull, 2);
    for (int j = 0; j < 4; ++j) swap_bits(x[j], x[j + 4], 0x0F0F0F0F0F0F0F0Full, 4);
}

// Blocks a (slot 0) and b (slot 1), NB columns each, into bit planes: word c
// first gathers column c, row r of slot k in byte 2r + k, then the transpose
// turns bit i of that byte into bit 8(2r + k) + c of plane i.
template <int NB>
OSTREL_INLINE void to_planes(const std::uint8_t* a, const std::uint8_t* b, planes& q) {
    for (int c = 0; c < 8; ++c)
        q[c] = c < NB ? spread(load_column(a + 4 * c)) | spread(load_column(b + 4 * c)) << 8 : 0;
    transpose(q);
}

// Slot 0 to a, and slot 1 to b unless b is null.
template <int NB>
OSTREL_INLINE void from_planes(const planes& q, std::uint8_t* a, std::uint8_t* b) {
    planes x;
    std::memcpy(x, q, sizeof x);
    transpose(x);
    for (int c = 0; c < NB; ++c) {
        store_column(a + 4 * c, gather(x[c]));
        if (b != nullptr) store_column(b + 4 * c, gather(x[c] >> 8));
    }
}

// Columns [from, to) of both slots of row r.
constexpr std::uint64_t columns(int r, int from, int to) {
    std::uint64_t m = 0;
    for (int k = 0; k < 2; ++k)
        for (int c = from; c < to; ++c) m |= std::uint64_t{1} << (16 * r + 8 * k + c);
    return m;
}

// Row R of each slot rotated so that column c takes column (c + S) mod W.
template <int W, int R, int S, class Word> OSTREL_INLINE Word rotated_row(Word x) {
    return ((x >> S) & columns(R, 0, W - S)) | ((x << (W - S)) & columns(R, W - S, W));
}

// The row rotation on one plane, rows 1..3 by S1..S3 columns of W; both slots
// independently.
template <int W, int S1, int S2, int S3, class Word> OSTREL_INLINE Word rotate_rows(Word x) {
    return (x & columns(0, 0, W)) | rotated_row<W, 1, S1>(x) | rotated_row<W, 2, S2>(x) |
           rotated_row<W, 3, S3>(x);
}

// The same for a doubled 256-bit block (offsets 1, 3, 4): slot 1 repeats
// slot 0, so each lane shifted down by s already holds the rotated row in its
// low byte; those are gathered and copied up into slot 1.
OSTREL_INLINE std::uint64_t rotate_rows_doubled(std::uint64_t x) {
    constexpr std::uint64_t low = 0xFF;
    const std::uint64_t rows =
        (x & low) | ((x >> 1) & low << 16) | ((x >> 3) & low << 32) | ((x >> 4) & low << 48);
    return rows | rows << 8;
}

// Row offsets 0, s1, s2, s3 by block length: 1 2 3 below 8 columns, 1 3 4 at 8.
template <int NB, bool Inverse, class Word> OSTREL_INLINE void rotate(Word (&q)[8]) {
    constexpr int s1 = 1, s2 = NB == 8 ? 3 : 2, s3 = NB == 8 ? 4 : 3;
    for (auto& x : q) {
        if constexpr (Inverse)
            x = rotate_rows<NB, NB - s1, NB - s2, NB - s3>(x);
        else
            x = rotate_rows<NB, s1, s2, s3>(x);
    }
}

OSTREL_INLINE void rotate_doubled(planes& q) {
    for (auto& x : q) x = rotate_rows_doubled(x);
}

// Rows moved up by n: row r takes row r + n (mod 4) of the same column.
OSTREL_INLINE std::uint64_t rows_up(std::uint64_t x, int n) { return std::rotr(x, 16 * n); }

OSTREL_INLINE wide rows_up(wide x, int n) { return (x >> (16 * n)) | (x << (64 - 16 * n)); }

// Each column times (03 01 01 02) over GF(2^8): with a' the column moved
// one row up and t = a ^ a', row r becomes 2t + a' + (t two rows up). The
// multiplication by 2 is a shift of the planes with the reduction by
// x^8 + x^4 + x^3 + x + 1 folded into planes 1, 3 and 4.
template <class Word> OSTREL_INLINE void mix_columns(Word (&q)[8]) {
    Word up[8], t[8];
    for (int i = 0; i < 8; ++i) {
        up[i] = rows_up(q[i], 1);
        t[i] = q[i] ^ up[i];
    }
    q[0] = t[7] ^ up[0] ^ rows_up(t[0], 2);
    q[1] = t[0] ^ t[7] ^ up[1] ^ rows_up(t[1], 2);
    q[2] = t[1] ^ up[2] ^ rows_up(t[2], 2);
    q[3] = t[2] ^ t[7] ^ up[3] ^ rows_up(t[3], 2);
    q[4] = t[3] ^ t[7] ^ up[4] ^ rows_up(t[4], 2);
    q[5] = t[4] ^ up[5] ^ rows_up(t[5], 2);
    q[6] = t[5] ^ up[6] ^ rows_up(t[6], 2);
    q[7] = t[6] ^ up[7] ^ rows_up(t[7], 2);
}

// v times x over GF(2^8), per byte.
OSTREL_INLINE void times_x(planes& v) {
    const std::uint64_t top = v[7];
    for (int i = 7; i > 0; --i) v[i] = v[i - 1];
    v[0] = top;
    v[1] ^= top;
    v[3] ^= top;
    v[4] ^= top;
}

// The inverse mixing (0B 0D 09 0E) is the mixing applied after (00 04 00 05):
// each byte plus 4 times (itself + the byte two rows up).
OSTREL_INLINE void unmix_columns(planes& q) {
    planes w;
    for (int i = 0; i < 8; ++i) w[i] = q[i] ^ rows_up(q[i], 2);
    times_x(w);
    times_x(w);
    for (int i = 0; i < 8; ++i) q[i] ^= w[i];
    mix_columns(q);
}

template <class Word> OSTREL_INLINE void substitute(Word (&q)[8]) {
    rijndael_circuit::substitute_without_constant(q);
}

// The linear part of the affine map's inverse: bit i of the result is bits
// i+2, i+5 and i+7 (mod 8) of the input.
OSTREL_INLINE void unaffine(planes& q) {
    planes y;
    std::memcpy(y, q, sizeof y);
    for (int i = 0; i < 8; ++i) q[i] = y[(i + 2) % 8] ^ y[(i + 5) % 8] ^ y[(i + 7) % 8];
}

// With S(x) ^ 0x63 = L(inverse(x)) for the linear map L, its inverse is
// L^-1(S(L^-1(y)) ^ 0x63): the same circuit between two linear layers.
OSTREL_INLINE void unsubstitute(planes& q) {
    unaffine(q);
    substitute(q);
    unaffine(q);
}

template <class Word> OSTREL_INLINE void add_key(Word (&q)[8], const std::uint64_t* key) {
    for (int i = 0; i < 8; ++i) q[i] ^= key[i];
}

// Encryption of the planes. The substitution leaves out its constant 0x63,
// which the round keys of rounds 1..Nr carry instead (slice_round_keys).
template <int NB, bool Doubled, class Word = std::uint64_t>
OSTREL_INLINE void encrypt_planes(Word (&q)[8], const key_schedule* schedule) {
    const int rounds = schedule->rounds;
    add_key(q, schedule->sliced_keys[0]);
    for (int r = 1; r <= rounds; ++r) {
        substitute(q);
        if constexpr (Doubled)
            rotate_doubled(q);
        else
            rotate<NB, false>(q);
        if (r != rounds) mix_columns(q);
        add_key(q, schedule->sliced_keys[r]);
    }
}

// The inverse, step by step, with the same (constant-carrying) round keys.
template <int NB> OSTREL_INLINE void decrypt_planes(planes& q, const key_schedule* schedule) {
    const int rounds = schedule->rounds;
    for (int r = rounds; r >= 1; --r) {
        add_key(q, schedule->sliced_keys[r]);
        if (r != rounds) unmix_columns(q);
        rotate<NB, true>(q);
        unsubstitute(q);
    }
    add_key(q, schedule->sliced_keys[0]);
}

template <int NB> void encrypt_one(std::uint8_t* block, const key_schedule* schedule) {
    planes q;
    to_planes<NB>(block, block, q);
    encrypt_planes<NB, NB == 8>(q, schedule);
    from_planes<NB>(q, block, nullptr);
}

template <int NB> void decrypt_one(std::uint8_t* block, const key_schedule* schedule) {
    planes q;
    to_planes<NB>(block, block, q);
    decrypt_planes<NB>(q, schedule);
    from_planes<NB>(q, block, nullptr);
}

template <int NB> void slice_keys(key_schedule* schedule) {
    const auto* words = reinterpret_cast<const std::uint8_t*>(schedule->round_keys);
    std::memset(schedule->sliced_keys, 0, sizeof schedule->sliced_keys);
    for (int r = 0; r <= schedule->rounds; ++r) {
        const std::uint8_t* key = words + 4 * NB * r;
        planes q;
        to_planes<NB>(key, key, q);
        if (r > 0) {
            // 0x63: bits 0, 1, 5 and 6 of every byte.
            for (int i : {0, 1, 5, 6}) q[i] = ~q[i];
        }
        std::memcpy(schedule->sliced_keys[r], q, sizeof q);
        explicit_bzero(q, sizeof q);
    }
}

} // namespace

void slice_round_keys(key_schedule* schedule) {
    switch (schedule->block_words) {
    case 4: slice_keys<4>(schedule); break;
    case 6: slice_keys<6>(schedule); break;
    default: slice_keys<8>(schedule); break;
    }
}

void portable_encrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    switch (schedule->block_words) {
    case 4: encrypt_one<4>(block, schedule); break;
    case 6: encrypt_one<6>(block, schedule); break;
    default: encrypt_one<8>(block, schedule); break;
    }
}

void portable_decrypt_block(std::uint8_t* block, const key_schedule* schedule) {
    switch (schedule->block_words) {
    case 4: decrypt_one<4>(block, schedule); break;
    case 6: decrypt_one<6>(block, schedule); break;
    default: decrypt_one<8>(block, schedule); break;
    }
}

// 256-bit blocks four per pass (two in each half of a wide word), then two
// (one in each slot); shorter ones one at a time.
void portable_encrypt_blocks(const std::uint8_t* in, std::uint8_t* out, std::size_t count,
                             const key_schedule* schedule) {
    const std::size_t bytes = 4 * static_cast<std::size_t>(schedule->block_words);
    std::size_t i = 0;
    if (schedule->block_words == 8) {
        for (; i + 4 <= count; i += 4) {
            planes low, high;
            to_planes<8>(in + 32 * i, in + 32 * i + 32, low);
            to_planes<8>(in + 32 * i + 64, in + 32 * i + 96, high);
            wide q[8];
            for (int j = 0; j < 8; ++j) q[j] = wide{low[j], high[j]};
            encrypt_planes<8, false>(q, schedule);
            for (int j = 0; j < 8; ++j) {
                low[j] = q[j][0];
                high[j] = q[j][1];
            }
            from_planes<8>(low, out + 32 * i, out + 32 * i + 32);
            from_planes<8>(high, out + 32 * i + 64, out + 32 * i + 96);
        }
        for (; i + 2 <= count; i += 2) {
            planes q;
            to_planes<8>(in + 32 * i, in + 32 * i + 32, q);
            encrypt_planes<8, false>(q, schedule);
            from_planes<8>(q, out + 32 * i, out + 32 * i + 32);
        }
    }
    for (; i < count; ++i) {
        if (in != out) std::memcpy(out + i * bytes, in + i * bytes, bytes);
        portable_encrypt_block(out + i * bytes, schedule);
    }
}

// The register stays in planes from group to group; each plaintext group is
// turned into planes and XORed in, each ciphertext group turned back out.
void portable_cfb_encrypt_blocks(std::uint8_t feedback[32], const std::uint8_t* in,
                                 std::uint8_t* out, std::size_t count,
                                 const key_schedule* schedule) {
    if (count == 0) return;
    planes f;
    to_planes<8>(feedback, feedback, f);
    for (std::size_t i = 0; i < count; ++i) {
        encrypt_planes<8, true>(f, schedule);
        planes p;
        to_planes<8>(in + 32 * i, in + 32 * i, p);
        for (int j = 0; j < 8; ++j) f[j] ^= p[j];
        from_planes<8>(f, out + 32 * i, nullptr);
    }
    from_planes<8>(f, feedback, nullptr);
}
