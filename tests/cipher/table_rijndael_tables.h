// Constant tables of the reference Rijndael (table_rijndael.cpp), generated at compile time
// from the field GF(2^8) with the polynomial x^8 + x^4 + x^3 + x + 1.
//
// A table word holds one column: its four bytes in memory order are rows
// 0..3, whatever the host's integer byte order, so that XOR with a round key
// word (which is key bytes in memory order) needs no conversion. On a
// little-endian host row 0 is the low-order byte.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace rijndael_tables {

constexpr std::uint8_t gf_double(std::uint8_t x) {
    return static_cast<std::uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0x00));
}

constexpr std::uint8_t gf_mul(std::uint8_t a, std::uint8_t b) {
    std::uint8_t product = 0;
    for (; b != 0; b >>= 1) {
        if (b & 1) product ^= a;
        a = gf_double(a);
    }
    return product;
}

// x^254 is the multiplicative inverse of x (x^255 = 1), and 0 maps to 0.
constexpr std::uint8_t gf_inverse(std::uint8_t x) {
    std::uint8_t result = 1;
    std::uint8_t square = x;
    for (int e = 254; e != 0; e >>= 1) {
        if (e & 1) result = gf_mul(result, square);
        square = gf_mul(square, square);
    }
    return x == 0 ? 0 : result;
}

constexpr std::uint8_t rotl8(std::uint8_t x, int n) {
    return static_cast<std::uint8_t>((x << n) | (x >> (8 - n)));
}

constexpr std::array<std::uint8_t, 256> make_sbox() {
    std::array<std::uint8_t, 256> s{};
    for (int i = 0; i < 256; ++i) {
        std::uint8_t b = gf_inverse(static_cast<std::uint8_t>(i));
        s[i] = static_cast<std::uint8_t>(b ^ rotl8(b, 1) ^ rotl8(b, 2) ^ rotl8(b, 3) ^ rotl8(b, 4) ^
                                         0x63);
    }
    return s;
}

constexpr std::array<std::uint8_t, 256> invert(const std::array<std::uint8_t, 256>& s) {
    std::array<std::uint8_t, 256> inv{};
    for (int i = 0; i < 256; ++i) inv[s[i]] = static_cast<std::uint8_t>(i);
    return inv;
}

constexpr std::array<std::uint8_t, 30> make_round_constants() {
    std::array<std::uint8_t, 30> rc{};
    std::uint8_t x = 1;
    for (auto& c : rc) {
        c = x;
        x = gf_double(x);
    }
    return rc;
}

// One column word from its row bytes, rows in memory order.
constexpr std::uint32_t pack_column(std::uint8_t r0, std::uint8_t r1, std::uint8_t r2,
                                    std::uint8_t r3) {
    if constexpr (std::endian::native == std::endian::little) {
        return std::uint32_t{r0} | std::uint32_t{r1} << 8 | std::uint32_t{r2} << 16 |
               std::uint32_t{r3} << 24;
    } else {
        return std::uint32_t{r0} << 24 | std::uint32_t{r1} << 16 | std::uint32_t{r2} << 8 |
               std::uint32_t{r3};
    }
}

// Table j maps an input byte of row j (already substituted where the round
// wants it) to its contribution to the mixed column: x times `factors`,
// rotated down by j rows.
constexpr std::array<std::uint32_t, 256> make_mix_table(const std::array<std::uint8_t, 4>& factors,
                                                        int row) {
    std::array<std::uint32_t, 256> t{};
    for (int x = 0; x < 256; ++x) {
        std::uint8_t b[4];
        for (int k = 0; k < 4; ++k)
            b[k] = gf_mul(static_cast<std::uint8_t>(x), factors[(k - row + 4) % 4]);
        t[x] = pack_column(b[0], b[1], b[2], b[3]);
    }
    return t;
}

inline constexpr std::array<std::uint8_t, 256> sbox = make_sbox();
inline constexpr std::array<std::uint8_t, 256> inv_sbox = invert(sbox);
inline constexpr std::array<std::uint8_t, 30> round_constants = make_round_constants();

// MixColumns: column (02, 01, 01, 03) for row 0, rotated for rows 1..3.
inline constexpr std::array<std::uint8_t, 4> mix_factors{0x02, 0x01, 0x01, 0x03};
// InvMixColumns: column (0E, 09, 0D, 0B) for row 0, rotated likewise.
inline constexpr std::array<std::uint8_t, 4> unmix_factors{0x0E, 0x09, 0x0D, 0x0B};

inline constexpr std::array<std::array<std::uint32_t, 256>, 4> mix{
    make_mix_table(mix_factors, 0), make_mix_table(mix_factors, 1), make_mix_table(mix_factors, 2),
    make_mix_table(mix_factors, 3)};
inline constexpr std::array<std::array<std::uint32_t, 256>, 4> unmix{
    make_mix_table(unmix_factors, 0), make_mix_table(unmix_factors, 1),
    make_mix_table(unmix_factors, 2), make_mix_table(unmix_factors, 3)};

// Row offsets by block length: index 0 for Nb = 4, 1 for 6, 2 for 8.
struct row_offsets {
    std::int32_t shift[4];
    std::int32_t unshift[4];
};
inline constexpr row_offsets offsets_by_block[3] = {
    {{0, 1, 2, 3}, {0, 3, 2, 1}},
    {{0, 1, 2, 3}, {0, 5, 4, 3}},
    {{0, 1, 3, 4}, {0, 7, 5, 4}},
};

static_assert(sbox[0x00] == 0x63 && sbox[0x01] == 0x7C && sbox[0x53] == 0xED);
static_assert(inv_sbox[0x00] == 0x52);
static_assert(round_constants[9] == 0x36 && round_constants[29] == 0x91);

} // namespace rijndael_tables
