// The byte permutation all three hardware paths rely on
// (cipher/rijndael_permutation.h), checked on every machine: the armv8 and
// vaes paths run only where their instructions are, but the arrangement
// they take from it is the same, so a fault here shows on x86-64 too.
#include "cipher/rijndael_permutation.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace {

using namespace round_permutation;

// Left rotation of rows 0..3 of the 256-bit block, as the rotation test
// observes it; written out here rather than taken from the header.
constexpr int offsets[4] = {0, 1, 3, 4};

// Memory position of row r, column c of half h: 16h + 4c + r.
int at(int h, int c, int r) { return 16 * h + 4 * c + r; }

// What a 128-bit ShiftRows (AESENC's, and AESE's) does to each half.
std::vector<int> half_shift_rows_of(const std::vector<int>& x) {
    std::vector<int> y(32);
    for (int h = 0; h < 2; ++h)
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) y[at(h, c, r)] = x[at(h, (c + r) % 4, r)];
    return y;
}

std::vector<int> identity() {
    std::vector<int> x(32);
    for (int i = 0; i < 32; ++i) x[i] = i;
    return x;
}

std::vector<int> permuted(const std::vector<int>& x, const std::uint8_t* index) {
    std::vector<int> y(32);
    for (int i = 0; i < 32; ++i) y[i] = x[index[i]];
    return y;
}

TEST(RoundPermutation, PreparedHalvesThroughA128BitShiftRowsGiveThe256BitRowOffsets) {
    const std::vector<int> after = half_shift_rows_of(permuted(identity(), full_permutation.b));
    for (int j = 0; j < 8; ++j)
        for (int r = 0; r < 4; ++r)
            EXPECT_EQ(after[4 * j + r], 4 * ((j + offsets[r]) % 8) + r)
                << "row " << r << " column " << j;
}

// The second 256-bit block of VAES's 512-bit register is permuted within
// itself, the same way.
TEST(RoundPermutation, TheSecondBlockOfA512BitRegisterMirrorsTheFirst) {
    for (int i = 0; i < 32; ++i)
        EXPECT_EQ(full_permutation.b[32 + i], full_permutation.b[i] + 32) << "byte " << i;
}

// AES-NI has no two-register lookup: it blends the halves, then shuffles
// each with one shared mask. Together they must equal the whole permutation.
TEST(RoundPermutation, BlendThenSharedShuffleEqualsTheWholePermutation) {
    const std::vector<int> state = identity();
    for (int h = 0; h < 2; ++h) {
        std::vector<int> blended(16);
        for (int p = 0; p < 16; ++p) {
            const bool from_other = blend_mask.b[p] & 0x80;
            blended[p] = state[16 * (from_other ? 1 - h : h) + p];
        }
        for (int p = 0; p < 16; ++p)
            EXPECT_EQ(blended[half_shuffle.b[p]], full_permutation.b[16 * h + p])
                << "half " << h << " byte " << p;
    }
}

// The CFB chain's boundary permutation stands for "prepare, ShiftRows,
// prepare, ShiftRows undone"; every split form is one shuffle for both
// halves and one blend between them.
TEST(RoundPermutation, SplitFormsReproduceTheirPermutations) {
    const permutation32 cases[] = {prepare_permutation(), inverse(prepare_permutation()),
                                   boundary_permutation()};
    for (const permutation32& whole : cases) {
        const split_permutation s = split(whole);
        for (int h = 0; h < 2; ++h)
            for (int p = 0; p < 16; ++p) {
                const bool from_hi = (s.select.b[p] != 0) != (h == 1);
                EXPECT_EQ(16 * (from_hi ? 1 : 0) + s.shuffle.b[p], whole.index[16 * h + p])
                    << "half " << h << " byte " << p;
            }
    }
    const std::vector<int> round_trip = permuted(permuted(identity(), prepare_permutation().index),
                                                 inverse(prepare_permutation()).index);
    EXPECT_EQ(round_trip, identity());
}

} // namespace
