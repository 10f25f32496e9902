// Properties over random keys and blocks: decryption inverts encryption for
// every length, and encrypt_blocks equals block-by-block encryption.
#include "cipher/rijndael.h"
#include "cipher_test_util.h"
#include "path_fixture.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

class RijndaelRoundTrip : public OnEachPath {};

TEST_P(RijndaelRoundTrip, DecryptionRestoresEveryBlockForAllNineLengths) {
    std::mt19937 rng(9);
    for (const lengths& l : all_lengths) {
        for (int trial = 0; trial < 50; ++trial) {
            const key_schedule schedule =
                schedule_for(random_bytes(rng, l.key_bits / 8), l.block_bits);
            const std::vector<std::uint8_t> plain = random_bytes(rng, l.block_bits / 8);
            std::vector<std::uint8_t> block = plain;
            encrypt_block(block.data(), &schedule);
            EXPECT_NE(block, plain);
            decrypt_block(block.data(), &schedule);
            ASSERT_EQ(block, plain)
                << "key " << l.key_bits << " block " << l.block_bits << " trial " << trial;
        }
    }
}

TEST_P(RijndaelRoundTrip, WorksOnUnalignedBlocks) {
    std::mt19937 rng(33);
    const key_schedule schedule = schedule_for(random_bytes(rng, 32), 256);
    const std::vector<std::uint8_t> plain = random_bytes(rng, 32);
    std::vector<std::uint8_t> reference = plain;
    encrypt_block(reference.data(), &schedule);
    for (std::size_t offset = 1; offset < 16; ++offset) {
        std::vector<std::uint8_t> storage(64);
        std::uint8_t* block = storage.data() + offset;
        std::memcpy(block, plain.data(), 32);
        encrypt_block(block, &schedule);
        EXPECT_EQ(std::memcmp(block, reference.data(), 32), 0) << "offset " << offset;
        decrypt_block(block, &schedule);
        EXPECT_EQ(std::memcmp(block, plain.data(), 32), 0) << "offset " << offset;
    }
}

TEST_P(RijndaelRoundTrip, EncryptBlocksEqualsRepeatedEncryptBlock) {
    std::mt19937 rng(20);
    const key_schedule schedule = schedule_for(random_bytes(rng, 32), 256);
    for (std::size_t count = 0; count <= 20; ++count) {
        const std::vector<std::uint8_t> in = random_bytes(rng, 32 * count);
        std::vector<std::uint8_t> expected = in;
        for (std::size_t i = 0; i < count; ++i) encrypt_block(expected.data() + 32 * i, &schedule);

        // Separate output, with guard bytes around it that must survive.
        std::vector<std::uint8_t> out(32 * count + 2, 0xEE);
        encrypt_blocks(in.data(), out.data() + 1, count, &schedule);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 1, out.end() - 1), expected)
            << count << " blocks";
        EXPECT_EQ(out.front(), 0xEE);
        EXPECT_EQ(out.back(), 0xEE);

        std::vector<std::uint8_t> same = in;
        encrypt_blocks(same.data(), same.data(), count, &schedule);
        EXPECT_EQ(same, expected) << count << " blocks in place";
    }
}

INSTANTIATE_ON_EACH_PATH(RijndaelRoundTrip);

} // namespace
