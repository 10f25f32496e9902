// Every path this CPU supports against the table-driven reference, and the
// choice of path itself.
#include "cipher/cipher_paths.h"
#include "cipher/rijndael.h"
#include "cipher/rijndael_paths.h"
#include "cipher_test_util.h"
#include "known_answers.h"
#include "path_fixture.h"
#include "table_rijndael.h"

#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

class RijndaelOnPath : public OnEachPath {};

TEST_P(RijndaelOnPath, ReproducesTheKnownAnswersOfThe256BitBlock) {
    for (const known_answer& v : known_answers) {
        if (v.block_bits != 256) continue;
        const key_schedule schedule = schedule_for(known_key(v.key_bits), 256);
        std::vector<std::uint8_t> block = known_plaintext(256);
        encrypt_block(block.data(), &schedule);
        EXPECT_EQ(to_hex(block.data(), 32), v.ciphertext) << "key " << v.key_bits;

        std::vector<std::uint8_t> many;
        for (int i = 0; i < 11; ++i) {
            const std::vector<std::uint8_t> plain = known_plaintext(256);
            many.insert(many.end(), plain.begin(), plain.end());
        }
        encrypt_blocks(many.data(), many.data(), 11, &schedule);
        for (int i = 0; i < 11; ++i)
            EXPECT_EQ(to_hex(many.data() + 32 * i, 32), v.ciphertext)
                << "key " << v.key_bits << " block " << i;
    }
}

TEST_P(RijndaelOnPath, AgreesWithTheTableReferenceOnRandomKeysAndBlocks) {
    std::mt19937 rng(77);
    for (int key_bits : {128, 192, 256}) {
        for (int trial = 0; trial < 200; ++trial) {
            const key_schedule schedule = schedule_for(random_bytes(rng, key_bits / 8), 256);
            const std::vector<std::uint8_t> plain = random_bytes(rng, 32);
            std::vector<std::uint8_t> expected = plain;
            table_encrypt_block(expected.data(), &schedule);
            std::vector<std::uint8_t> block = plain;
            encrypt_block(block.data(), &schedule);
            ASSERT_EQ(block, expected) << "key " << key_bits << " trial " << trial;
        }
    }
}

// Counts 0..20 cover every remainder of the runs of blocks in flight; the
// larger ones mix several full runs with remainders.
TEST_P(RijndaelOnPath, EncryptBlocksAgreesWithTheTableReferenceForCounts0To20AndLarger) {
    std::vector<std::size_t> counts;
    for (std::size_t count = 0; count <= 20; ++count) counts.push_back(count);
    for (std::size_t count : {31, 33, 53, 320}) counts.push_back(count);
    std::mt19937 rng(1234);
    for (std::size_t count : counts) {
        const key_schedule schedule = schedule_for(random_bytes(rng, 32), 256);
        const std::vector<std::uint8_t> in = random_bytes(rng, 32 * count + 1);
        std::vector<std::uint8_t> expected(32 * count);
        table_encrypt_blocks(in.data() + 1, expected.data(), count, &schedule);

        // Unaligned input, separate output.
        std::vector<std::uint8_t> out(32 * count);
        encrypt_blocks(in.data() + 1, out.data(), count, &schedule);
        EXPECT_EQ(out, expected) << count << " blocks";

        std::vector<std::uint8_t> same(in.begin() + 1, in.end());
        encrypt_blocks(same.data(), same.data(), count, &schedule);
        EXPECT_EQ(same, expected) << count << " blocks in place";
    }
}

INSTANTIATE_ON_EACH_PATH(RijndaelOnPath);

TEST(RijndaelPathChoice, PortableIsAlwaysAvailable) {
    EXPECT_TRUE(cipher_path_supported(cipher_path::portable));
}

TEST(RijndaelPathChoice, DefaultIsTheFastestSupportedPath) {
    cipher_path best = cipher_path::portable;
    // From the slowest to the fastest; no CPU has both x86 and arm64 paths.
    for (cipher_path p : {cipher_path::armv8, cipher_path::aesni, cipher_path::vaes})
        if (cipher_path_supported(p)) best = p;
    EXPECT_EQ(active_cipher_path(), best) << "active: " << cipher_path_name(active_cipher_path());
}

TEST(RijndaelPathChoice, RefusesAnUnsupportedPathAndKeepsTheActiveOne) {
    const cipher_path before = active_cipher_path();
    int refused = 0;
    for (cipher_path p : all_cipher_paths) {
        if (cipher_path_supported(p)) continue;
        EXPECT_EQ(force_cipher_path(p), -1) << cipher_path_name(p);
        EXPECT_EQ(active_cipher_path(), before);
        ++refused;
    }
    // The x86 and arm64 paths exclude each other.
    EXPECT_GT(refused, 0);
}

} // namespace
