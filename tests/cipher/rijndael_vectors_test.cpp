// Known answers for all nine lengths, and the constant tables' anchor values.
#include "cipher/rijndael.h"
#include "cipher_test_util.h"
#include "known_answers.h"
#include "table_rijndael_tables.h"

#include <bit>
#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

class RijndaelKnownAnswer : public ::testing::TestWithParam<known_answer> {};

TEST_P(RijndaelKnownAnswer, EncryptsToTheKnownCiphertextAndBack) {
    const known_answer& v = GetParam();
    const key_schedule schedule = schedule_for(known_key(v.key_bits), v.block_bits);
    const std::vector<std::uint8_t> plain = known_plaintext(v.block_bits);

    std::vector<std::uint8_t> block = plain;
    encrypt_block(block.data(), &schedule);
    EXPECT_EQ(to_hex(block.data(), block.size()), v.ciphertext);

    decrypt_block(block.data(), &schedule);
    EXPECT_EQ(block, plain);
}

INSTANTIATE_TEST_SUITE_P(AllLengths, RijndaelKnownAnswer, ::testing::ValuesIn(known_answers),
                         [](const ::testing::TestParamInfo<known_answer>& info) {
                             return "key" + std::to_string(info.param.key_bits) + "_block" +
                                    std::to_string(info.param.block_bits);
                         });

// Expanded words listed in FIPS-197 Appendix A.1 and A.3.
TEST(RijndaelKeyExpansion, ReproducesTheFips197Aes128Expansion) {
    const key_schedule schedule = schedule_for(from_hex("2b7e151628aed2a6abf7158809cf4f3c"), 128);
    const auto* words = reinterpret_cast<const std::uint8_t*>(schedule.round_keys);
    EXPECT_EQ(to_hex(words + 4 * 4, 4), "a0fafe17");
    EXPECT_EQ(to_hex(words + 4 * 43, 4), "b6630ca6");
}

TEST(RijndaelKeyExpansion, ReproducesTheFips197Aes256Expansion) {
    const key_schedule schedule = schedule_for(
        from_hex("603deb1015ca71be2b73aef0857d77811f352c073b6108d72d9810a30914dff4"), 128);
    const auto* words = reinterpret_cast<const std::uint8_t*>(schedule.round_keys);
    EXPECT_EQ(to_hex(words + 4 * 8, 4), "9ba35411");
    EXPECT_EQ(to_hex(words + 4 * 12, 4), "a8b09c1a"); // the unrotated substitution word
    EXPECT_EQ(to_hex(words + 4 * 59, 4), "706c631e");
}

TEST(RijndaelTables, HoldTheirAnchorValues) {
    using namespace rijndael_tables;
    EXPECT_EQ(sbox[0x00], 0x63);
    EXPECT_EQ(sbox[0x01], 0x7C);
    EXPECT_EQ(inv_sbox[0x00], 0x52);
    for (int i = 0; i < 256; ++i) EXPECT_EQ(inv_sbox[sbox[i]], i);
    const std::uint8_t expected_constants[30] = {
        0x01, 0x02, 0x04, 0x08, 0x10, 0x20, 0x40, 0x80, 0x1B, 0x36, 0x6C, 0xD8, 0xAB, 0x4D, 0x9A,
        0x2F, 0x5E, 0xBC, 0x63, 0xC6, 0x97, 0x35, 0x6A, 0xD4, 0xB3, 0x7D, 0xFA, 0xEF, 0xC5, 0x91};
    for (int i = 0; i < 30; ++i) EXPECT_EQ(round_constants[i], expected_constants[i]) << i;
    if constexpr (std::endian::native == std::endian::little) {
        EXPECT_EQ(mix[0][1], 0x03010102u);
        EXPECT_EQ(mix[1][1], 0x01010203u);
        EXPECT_EQ(mix[2][1], 0x01020301u);
        EXPECT_EQ(mix[3][1], 0x02030101u);
        EXPECT_EQ(unmix[0][1], 0x0B0D090Eu);
    }
}

} // namespace
