// The byte arrangement that lets a 128-bit AES round instruction perform a
// Rijndael round on the 256-bit block. Shared by the AES-NI and VAES paths;
// only constexpr code of internal linkage, so a file compiled with wider
// instruction sets emits nothing another file could pick up at link time.
//
// AESENC (per 128-bit lane) does ShiftRows with row offsets 0, 1, 2, 3 over
// 4 columns, SubBytes, MixColumns and AddRoundKey; AESENCLAST the same
// without MixColumns. The 256-bit block needs row offsets 0, 1, 3, 4 over 8
// columns. SubBytes commutes with any byte permutation, so before each round
// instruction the state is permuted into "prepared" halves whose 128-bit
// ShiftRows lands every byte where the 256-bit ShiftRows would have put it:
//
//   prepared half h, row r, column c  <-  state row r, column
//       (4h + ((c - r) mod 4) + offset[r]) mod 8.
//
// Row by row the source columns of half 0 are 0-3, 1-4, 3-6 and 4-7, and
// half 1 takes exactly the other bytes of each row at the same positions
// within their halves, so the permutation splits into a byte blend between
// the halves (which half feeds each position) and one byte shuffle within
// each half, the same shuffle for both.
#pragma once

#include <cstdint>

namespace {

namespace x86_permutation {

// Left rotation of rows 0..3 for the 256-bit block (Nb = 8).
constexpr int row_offset[4] = {0, 1, 3, 4};

// State column feeding prepared half h at row r, column c.
constexpr int source_column(int h, int r, int c) {
    return (4 * h + ((c - r + 4) % 4) + row_offset[r]) % 8;
}

struct bytes16 {
    std::uint8_t b[16];
};
struct bytes64 {
    std::uint8_t b[64];
};

// Blend mask: 0x80 where the byte that half 0 needs at that position sits in
// the state's half 1 (and so the one half 1 needs sits in half 0).
constexpr bytes16 make_blend_mask() {
    bytes16 m{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) {
            const int col = source_column(0, r, c);
            m.b[4 * (col % 4) + r] = col >= 4 ? 0x80 : 0x00;
        }
    return m;
}

// Shuffle within a half after the blend: prepared position 4c + r reads the
// blended byte at the source column's position within its half.
constexpr bytes16 make_half_shuffle() {
    bytes16 s{};
    for (int r = 0; r < 4; ++r)
        for (int c = 0; c < 4; ++c) s.b[4 * c + r] = static_cast<std::uint8_t>(4 * (source_column(0, r, c) % 4) + r);
    return s;
}

// The whole permutation over a 256-bit block, repeated for two blocks in a
// 512-bit register: prepared byte p reads state byte index[p].
constexpr bytes64 make_full_permutation() {
    bytes64 p{};
    for (int blk = 0; blk < 2; ++blk)
        for (int h = 0; h < 2; ++h)
            for (int r = 0; r < 4; ++r)
                for (int c = 0; c < 4; ++c)
                    p.b[32 * blk + 16 * h + 4 * c + r] =
                        static_cast<std::uint8_t>(32 * blk + 4 * source_column(h, r, c) + r);
    return p;
}

// Both halves together take every state byte exactly once, and at each
// position half 1's byte lies in the other state half than half 0's: only
// then are one blend and one shared shuffle exact.
constexpr bool halves_are_complementary() {
    for (int r = 0; r < 4; ++r) {
        bool seen[8] = {};
        for (int h = 0; h < 2; ++h)
            for (int c = 0; c < 4; ++c) {
                const int col = source_column(h, r, c);
                if (seen[col]) return false;
                seen[col] = true;
            }
        for (int c = 0; c < 4; ++c)
            if (source_column(0, r, c) % 4 != source_column(1, r, c) % 4 ||
                (source_column(0, r, c) >= 4) == (source_column(1, r, c) >= 4))
                return false;
    }
    return true;
}
static_assert(halves_are_complementary());

inline constexpr bytes16 blend_mask = make_blend_mask();
inline constexpr bytes16 half_shuffle = make_half_shuffle();
inline constexpr bytes64 full_permutation = make_full_permutation();

}  // namespace x86_permutation

}  // namespace
