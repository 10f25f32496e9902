// schedule_key: fields, the words it writes, what it leaves in the key
// buffer, and its refusals.
#include "cipher/rijndael.h"
#include "cipher_test_util.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

const std::uint8_t* word(const key_schedule& schedule, int w) {
    return reinterpret_cast<const std::uint8_t*>(schedule.round_keys) + 4 * w;
}

struct expected_fields {
    int key_bits, block_bits;
    int nb, nk, rounds, words;
    int last_group; // first expanded word of the group the key buffer ends with
};

// Every group starts at a multiple of Nk; the last one computed is the one in
// which the schedule's final word lies.
const expected_fields field_table[] = {
    {128, 128, 4, 4, 10, 44, 40},   {192, 128, 4, 6, 12, 52, 48},   {256, 128, 4, 8, 14, 60, 56},
    {128, 192, 6, 4, 12, 78, 76},   {192, 192, 6, 6, 12, 78, 72},   {256, 192, 6, 8, 14, 90, 88},
    {128, 256, 8, 4, 14, 120, 116}, {192, 256, 8, 6, 14, 120, 114}, {256, 256, 8, 8, 14, 120, 112},
};

void PrintTo(const expected_fields& e, std::ostream* os) {
    *os << "key " << e.key_bits << " block " << e.block_bits;
}

class RijndaelScheduleFields : public ::testing::TestWithParam<expected_fields> {};

TEST_P(RijndaelScheduleFields, AreSetAndOnlyTheUsedWordsAreWritten) {
    const expected_fields& e = GetParam();
    std::mt19937 rng(static_cast<unsigned>(e.key_bits * 1000 + e.block_bits));
    const std::vector<std::uint8_t> key = random_bytes(rng, e.key_bits / 8);
    std::vector<std::uint8_t> buffer = key;

    key_schedule schedule;
    std::memset(&schedule, 0xA5, sizeof schedule);
    ASSERT_EQ(schedule_key(buffer.data(), e.key_bits, e.block_bits, &schedule), 0);

    EXPECT_EQ(schedule.block_words, e.nb);
    EXPECT_EQ(schedule.rounds, e.rounds);
    EXPECT_EQ(std::memcmp(word(schedule, 0), key.data(), key.size()), 0)
        << "the first Nk words are the key";
    const std::uint8_t untouched[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    for (int w = e.words; w < 120; ++w)
        EXPECT_EQ(std::memcmp(word(schedule, w), untouched, 4), 0)
            << "word " << w << " lies beyond the schedule";
    EXPECT_NE(std::memcmp(word(schedule, e.words - 1), untouched, 4), 0)
        << "the last word is written";
}

// The key buffer holds the whole last group, even where the schedule stores
// only its first words; the expansion of a key does not depend on the block
// length, so the 256-bit-block schedule (120 words) shows the full group.
TEST_P(RijndaelScheduleFields, LeaveTheWholeLastGroupInTheKeyBuffer) {
    const expected_fields& e = GetParam();
    std::mt19937 rng(static_cast<unsigned>(e.key_bits * 7 + e.block_bits));
    const std::vector<std::uint8_t> key = random_bytes(rng, e.key_bits / 8);
    std::vector<std::uint8_t> buffer = key;
    key_schedule schedule;
    ASSERT_EQ(schedule_key(buffer.data(), e.key_bits, e.block_bits, &schedule), 0);

    const key_schedule longest = schedule_for(key, 256);
    ASSERT_LE(e.last_group + e.nk, 120);
    EXPECT_EQ(to_hex(buffer.data(), buffer.size()), to_hex(word(longest, e.last_group), 4 * e.nk));
    const int stored = e.words - e.last_group;
    EXPECT_EQ(std::memcmp(buffer.data(), word(schedule, e.last_group), 4 * stored), 0);
}

INSTANTIATE_TEST_SUITE_P(AllLengths, RijndaelScheduleFields, ::testing::ValuesIn(field_table),
                         [](const ::testing::TestParamInfo<expected_fields>& info) {
                             return "key" + std::to_string(info.param.key_bits) + "_block" +
                                    std::to_string(info.param.block_bits);
                         });

TEST(RijndaelScheduleKey, With256BitsLeavesRoundKey14InTheBufferAndChainsToANewSchedule) {
    std::mt19937 rng(256);
    std::vector<std::uint8_t> buffer = random_bytes(rng, 32);
    key_schedule first;
    ASSERT_EQ(schedule_key(buffer.data(), 256, 256, &first), 0);
    EXPECT_EQ(std::memcmp(buffer.data(), word(first, 112), 32), 0);

    // Keyword hashing feeds the overwritten buffer into the next expansion.
    key_schedule second;
    ASSERT_EQ(schedule_key(buffer.data(), 256, 256, &second), 0);
    EXPECT_EQ(std::memcmp(word(second, 0), word(first, 112), 32), 0);
    EXPECT_NE(std::memcmp(first.round_keys, second.round_keys, sizeof first.round_keys), 0);
    EXPECT_EQ(std::memcmp(buffer.data(), word(second, 112), 32), 0);
}

struct refusal {
    int key_bits, block_bits, result;
};

void PrintTo(const refusal& r, std::ostream* os) {
    *os << "key " << r.key_bits << " block " << r.block_bits;
}

class RijndaelScheduleRefusal : public ::testing::TestWithParam<refusal> {};

TEST_P(RijndaelScheduleRefusal, ReturnsItsCodeAndTouchesNeitherBuffer) {
    const refusal& r = GetParam();
    std::uint8_t key[64];
    for (int i = 0; i < 64; ++i) key[i] = static_cast<std::uint8_t>(i * 37 + 1);
    std::uint8_t key_before[64];
    std::memcpy(key_before, key, sizeof key);
    key_schedule schedule;
    std::memset(&schedule, 0x5A, sizeof schedule);
    const key_schedule schedule_before = schedule;

    EXPECT_EQ(schedule_key(key, r.key_bits, r.block_bits, &schedule), r.result);
    EXPECT_EQ(std::memcmp(key, key_before, sizeof key), 0);
    EXPECT_EQ(std::memcmp(&schedule, &schedule_before, sizeof schedule), 0);
}

// The key length is checked first, so it decides when both are wrong.
INSTANTIATE_TEST_SUITE_P(BadLengths, RijndaelScheduleRefusal,
                         ::testing::Values(refusal{64, 256, -1}, refusal{256, 64, -2},
                                           refusal{100, 100, -1}, refusal{0, 0, -1},
                                           refusal{-128, 128, -1}, refusal{512, 256, -1},
                                           refusal{128, 512, -2}, refusal{192, 160, -2},
                                           refusal{256, 255, -2}));

} // namespace
