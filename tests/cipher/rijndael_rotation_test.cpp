// The row rotation of the encryption round, seen through a one-round
// schedule with zero round keys: there the whole cipher is substitution
// followed by rotation, so every output byte names the input byte it came
// from. Hardware paths must honour it too, since they read `rounds`.
#include "cipher/rijndael.h"
#include "cipher/rijndael_paths.h"
#include "cipher_test_util.h"
#include "path_fixture.h"
#include "table_rijndael_tables.h"

#include <gtest/gtest.h>

namespace {

using namespace cipher_test;
using rijndael_tables::inv_sbox;

// Bare schedule: `rounds` 1, all round keys zero, offsets from schedule_key.
key_schedule one_round_schedule(int block_bits) {
    key_schedule schedule = schedule_for(std::vector<std::uint8_t>(16), block_bits);
    schedule.rounds = 1;
    for (auto& w : schedule.round_keys) w = 0;
    slice_round_keys(&schedule);
    return schedule;
}

// Where each output byte of one round comes from, as input positions.
std::vector<int> traced_sources(int block_bits) {
    const key_schedule schedule = one_round_schedule(block_bits);
    const int bytes = block_bits / 8;
    std::vector<std::uint8_t> block(static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i) block[i] = static_cast<std::uint8_t>(i);
    encrypt_block(block.data(), &schedule);
    std::vector<int> sources;
    for (std::uint8_t b : block) sources.push_back(inv_sbox[b]);
    return sources;
}

class RijndaelRotation : public OnEachPath {};

TEST_P(RijndaelRotation, OfA256BitBlockUsesRowOffsets0134) {
    const std::vector<int> from = traced_sources(256);
    // Row 1 of column 0 comes from row 1 of column 1, block position 5.
    EXPECT_EQ(from[1], 5);
    // Row 3 rotates by four columns: column j takes column j + 4 mod 8.
    for (int j = 0; j < 8; ++j) EXPECT_EQ(from[4 * j + 3], 4 * ((j + 4) % 8) + 3) << "column " << j;
    const int offset[4] = {0, 1, 3, 4};
    for (int j = 0; j < 8; ++j)
        for (int k = 0; k < 4; ++k)
            EXPECT_EQ(from[4 * j + k], 4 * ((j + offset[k]) % 8) + k)
                << "row " << k << " column " << j;
}

TEST_P(RijndaelRotation, OfShorterBlocksUsesRowOffsets0123) {
    for (int block_bits : {128, 192}) {
        const int nb = block_bits / 32;
        const std::vector<int> from = traced_sources(block_bits);
        for (int j = 0; j < nb; ++j)
            for (int k = 0; k < 4; ++k)
                EXPECT_EQ(from[4 * j + k], 4 * ((j + k) % nb) + k)
                    << "block " << block_bits << " row " << k << " column " << j;
    }
}

TEST_P(RijndaelRotation, IsUndoneByDecryption) {
    for (int block_bits : {128, 192, 256}) {
        const key_schedule schedule = one_round_schedule(block_bits);
        std::mt19937 rng(static_cast<unsigned>(block_bits));
        const std::vector<std::uint8_t> plain = random_bytes(rng, block_bits / 8);
        std::vector<std::uint8_t> block = plain;
        encrypt_block(block.data(), &schedule);
        decrypt_block(block.data(), &schedule);
        EXPECT_EQ(block, plain) << "block " << block_bits;
    }
}

INSTANTIATE_ON_EACH_PATH(RijndaelRotation);

} // namespace
