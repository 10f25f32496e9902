// The bitsliced portable path against the table-driven reference: the
// substitution circuit over all 256 bytes, the key expansion and both block
// directions over random keys and blocks of every length.
#include "cipher/cipher_paths.h"
#include "cipher/rijndael.h"
#include "cipher/rijndael_paths.h"
#include "cipher/rijndael_sbox_circuit.h"
#include "cipher_test_util.h"
#include "table_rijndael.h"
#include "table_rijndael_tables.h"

#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

// Byte lane j of word group g holds the value 64g + j.
TEST(RijndaelCircuit, SubstitutesEveryByteAsTheTableDoesLessItsConstant) {
    for (int group = 0; group < 4; ++group) {
        std::uint64_t q[8] = {};
        for (int lane = 0; lane < 64; ++lane)
            for (int bit = 0; bit < 8; ++bit)
                q[bit] |= static_cast<std::uint64_t>(((64 * group + lane) >> bit) & 1) << lane;
        rijndael_circuit::substitute_without_constant(q);
        for (int lane = 0; lane < 64; ++lane) {
            int out = 0;
            for (int bit = 0; bit < 8; ++bit) out |= static_cast<int>((q[bit] >> lane) & 1) << bit;
            EXPECT_EQ(out ^ 0x63, rijndael_tables::sbox[64 * group + lane])
                << "input " << 64 * group + lane;
        }
    }
}

// The key expansion packs four bytes into lanes 0, 8, 16, 24 and relies on
// the lanes between them staying zero.
TEST(RijndaelCircuit, LeavesLanesThatAreZeroInEveryPlaneZero) {
    std::uint32_t q[8];
    for (int bit = 0; bit < 8; ++bit) q[bit] = bit % 2 == 0 ? 0x01000101u : 0x00010001u;
    rijndael_circuit::substitute_without_constant(q);
    for (int bit = 0; bit < 8; ++bit) EXPECT_EQ(q[bit] & ~0x01010101u, 0u) << "plane " << bit;
}

// FIPS-197's KeyExpansion, word by word, with the table S-box.
std::vector<std::uint8_t> reference_expansion(const std::vector<std::uint8_t>& key,
                                              int block_bits) {
    const int nk = static_cast<int>(key.size()) / 4, nb = block_bits / 32;
    const int total = nb * (std::max(nk, nb) + 7);
    std::vector<std::uint8_t> w(key);
    w.resize(4 * static_cast<std::size_t>(total));
    for (int i = nk; i < total; ++i) {
        std::uint8_t t[4];
        for (int k = 0; k < 4; ++k) t[k] = w[4 * (i - 1) + k];
        if (i % nk == 0) {
            const std::uint8_t first = t[0];
            for (int k = 0; k < 3; ++k) t[k] = rijndael_tables::sbox[t[k + 1]];
            t[3] = rijndael_tables::sbox[first];
            t[0] ^= rijndael_tables::round_constants[i / nk - 1];
        } else if (nk > 6 && i % nk == 4) {
            for (auto& b : t) b = rijndael_tables::sbox[b];
        }
        for (int k = 0; k < 4; ++k) w[4 * i + k] = w[4 * (i - nk) + k] ^ t[k];
    }
    return w;
}

class BitslicedLengths : public ::testing::TestWithParam<lengths> {
protected:
    void SetUp() override { ASSERT_EQ(force_cipher_path(cipher_path::portable), 0); }
    void TearDown() override { force_cipher_path(previous_); }

private:
    cipher_path previous_ = active_cipher_path();
};

TEST_P(BitslicedLengths, ExpandRandomKeysAsTheReferenceDoes) {
    const lengths l = GetParam();
    std::mt19937 rng(static_cast<unsigned>(l.key_bits + 3 * l.block_bits));
    for (int trial = 0; trial < 100; ++trial) {
        const std::vector<std::uint8_t> key =
            random_bytes(rng, static_cast<std::size_t>(l.key_bits / 8));
        const key_schedule schedule = schedule_for(key, l.block_bits);
        const std::vector<std::uint8_t> expected = reference_expansion(key, l.block_bits);
        ASSERT_EQ(
            to_hex(reinterpret_cast<const std::uint8_t*>(schedule.round_keys), expected.size()),
            to_hex(expected.data(), expected.size()))
            << "trial " << trial;
    }
}

TEST_P(BitslicedLengths, EncryptAndDecryptRandomBlocksAsTheReferenceDoes) {
    const lengths l = GetParam();
    const std::size_t bytes = static_cast<std::size_t>(l.block_bits / 8);
    std::mt19937 rng(static_cast<unsigned>(7 * l.key_bits + l.block_bits));
    for (int trial = 0; trial < 200; ++trial) {
        const key_schedule schedule =
            schedule_for(random_bytes(rng, static_cast<std::size_t>(l.key_bits / 8)), l.block_bits);
        // Every 256-bit block rides with a neighbour of its own length, so
        // the cipher must leave the bytes after it alone.
        std::vector<std::uint8_t> block = random_bytes(rng, bytes + 1);
        const std::vector<std::uint8_t> plain = block;

        std::vector<std::uint8_t> expected = plain;
        table_encrypt_block(expected.data(), &schedule);
        encrypt_block(block.data(), &schedule);
        ASSERT_EQ(block, expected) << "encryption, trial " << trial;

        table_decrypt_block(expected.data(), &schedule);
        ASSERT_EQ(expected, plain);
        decrypt_block(block.data(), &schedule);
        ASSERT_EQ(block, plain) << "decryption, trial " << trial;
    }
}

// Decryption of what the reference encrypted, with the plaintext unknown
// to the cipher under test: all-zero and all-one blocks and keys included.
TEST_P(BitslicedLengths, DecryptTheExtremeBlocksOfTheReference) {
    const lengths l = GetParam();
    const std::size_t bytes = static_cast<std::size_t>(l.block_bits / 8);
    for (std::uint8_t key_byte : {0x00, 0xFF})
        for (std::uint8_t plain_byte : {0x00, 0xFF}) {
            const key_schedule schedule = schedule_for(
                std::vector<std::uint8_t>(static_cast<std::size_t>(l.key_bits / 8), key_byte),
                l.block_bits);
            std::vector<std::uint8_t> block(bytes, plain_byte);
            table_encrypt_block(block.data(), &schedule);
            decrypt_block(block.data(), &schedule);
            EXPECT_EQ(block, std::vector<std::uint8_t>(bytes, plain_byte))
                << "key bytes " << int{key_byte} << ", plaintext bytes " << int{plain_byte};
        }
}

INSTANTIATE_TEST_SUITE_P(AllLengths, BitslicedLengths, ::testing::ValuesIn(all_lengths),
                         [](const ::testing::TestParamInfo<lengths>& info) {
                             return "key" + std::to_string(info.param.key_bits) + "_block" +
                                    std::to_string(info.param.block_bits);
                         });

} // namespace
