// The byte arrangement that lets a 128-bit AES round instruction perform a
// Rijndael round on the 256-bit block. Shared by the AES-NI, VAES and ARMv8
// paths; only constexpr code of internal linkage, so a file compiled with
// wider instruction sets emits nothing another file could pick up at link
// time.
//
// AESENC (per 128-bit lane) does ShiftRows with row offsets 0, 1, 2, 3 over
// 4 columns, SubBytes, MixColumns and AddRoundKey; AESENCLAST the same
// without MixColumns. ARMv8's AESE does AddRoundKey, then the same ShiftRows
// and SubBytes (AESMC adds MixColumns). The 256-bit block needs row offsets
// 0, 1, 3, 4 over 8 columns. SubBytes commutes with any byte permutation,
// and so does a key XOR whose key is permuted alike, so before each round
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
// each half, the same shuffle for both (what x86 has); ARMv8's two-register
// TBL takes the whole permutation at once, one lookup per half.
#pragma once

#include <cstdint>

namespace {

namespace round_permutation {

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
            for (int c = 0; c < 4; ++c)
                s.b[4 * c + r] = static_cast<std::uint8_t>(4 * (source_column(0, r, c) % 4) + r);
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

    // The chained CFB loop keeps its state between blocks in the prepared
    // arrangement, so it composes permutations of the 32-byte block: byte p of
    // the result is byte index[p] of the source (VPERMB's convention).
    struct permutation32 {
        std::uint8_t index[32];
    };

    constexpr permutation32 prepare_permutation() {
        permutation32 p{};
        for (int i = 0; i < 32; ++i) p.index[i] = full_permutation.b[i];
        return p;
    }

    // What the round instructions' own ShiftRows does to each 128-bit half.
    constexpr permutation32 half_shift_rows() {
        permutation32 p{};
        for (int h = 0; h < 2; ++h)
            for (int c = 0; c < 4; ++c)
                for (int r = 0; r < 4; ++r)
                    p.index[16 * h + 4 * c + r] =
                        static_cast<std::uint8_t>(16 * h + 4 * ((c + r) % 4) + r);
        return p;
    }

    constexpr permutation32 inverse(const permutation32& a) {
        permutation32 p{};
        for (int i = 0; i < 32; ++i) p.index[a.index[i]] = static_cast<std::uint8_t>(i);
        return p;
    }

    // `first` applied, then `second`.
    constexpr permutation32 then(const permutation32& first, const permutation32& second) {
        permutation32 p{};
        for (int i = 0; i < 32; ++i) p.index[i] = first.index[second.index[i]];
        return p;
    }

    // Between two blocks of the chain the last round of one meets the first
    // round of the next: prepare, AESENCLAST (ShiftRows, SubBytes, key), prepare
    // again for the next AESENC. SubBytes and the key XOR commute with any byte
    // permutation (the key is permuted once per block, off the chain), so the
    // two preparations and the ShiftRows between them merge into one
    // permutation applied before an AESENCLAST with its ShiftRows undone; its
    // output is then already prepared for the next AESENC.
    constexpr permutation32 boundary_permutation() {
        return then(then(then(prepare_permutation(), half_shift_rows()), prepare_permutation()),
                    inverse(half_shift_rows()));
    }

    // A permutation in which position p of half 0 and position p of half 1 take
    // the bytes at one position of the two source halves, one from each, is one
    // byte shuffle applied to both halves followed by a byte blend between them:
    //   half 0 = blend(shuffle(lo), shuffle(hi), select)
    //   half 1 = blend(shuffle(hi), shuffle(lo), select)
    // with select 0xff where half 0 takes its byte from hi.
    struct split_permutation {
        bytes16 shuffle;
        bytes16 select;
    };

    constexpr bool is_complementary(const permutation32& a) {
        for (int i = 0; i < 16; ++i)
            if (a.index[i] % 16 != a.index[16 + i] % 16 ||
                (a.index[i] >= 16) == (a.index[16 + i] >= 16))
                return false;
        return true;
    }

    constexpr split_permutation split(const permutation32& a) {
        split_permutation s{};
        for (int i = 0; i < 16; ++i) {
            s.shuffle.b[i] = static_cast<std::uint8_t>(a.index[i] % 16);
            s.select.b[i] = a.index[i] >= 16 ? 0xff : 0x00;
        }
        return s;
    }

    static_assert(is_complementary(prepare_permutation()));
    static_assert(is_complementary(inverse(prepare_permutation())));
    static_assert(is_complementary(boundary_permutation()));

} // namespace round_permutation

} // namespace
