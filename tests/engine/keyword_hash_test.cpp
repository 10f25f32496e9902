// Keyword hashing and nonces, checked against the chaining of schedule_key
// and encrypt_block written out by hand.

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <set>
#include <string>

#include "engine/engine.h"

namespace {

using block = std::array<std::uint8_t, 32>;

block hash_of(const std::string& keyword) {
    block out;
    hash_keyword(keyword.c_str(), out.data());
    return out;
}

TEST(hash_keyword, empty_keyword_is_the_zero_block_under_the_zero_key) {
    std::uint8_t key[32] = {};
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);
    block expected = {};
    encrypt_block(expected.data(), &schedule);
    EXPECT_EQ(hash_of(""), expected);
}

// Two passes: the 33rd and later bytes are XORed into the key buffer that
// the first schedule_key left behind (its last round key), not into a fresh
// buffer, and the running hash is encrypted once per pass.
TEST(hash_keyword, second_pass_chains_onto_the_last_round_key) {
    const std::string keyword = "0123456789abcdefghijklmnopqrstuvWXYZ!?";
    ASSERT_EQ(keyword.size(), 38u);

    std::uint8_t key[32];
    std::memcpy(key, keyword.data(), 32);
    key_schedule first;
    schedule_key(key, 256, 256, &first);
    ASSERT_EQ(std::memcmp(key, &first.round_keys[112], 32), 0);
    block expected = {};
    encrypt_block(expected.data(), &first);

    for (std::size_t i = 32; i < keyword.size(); ++i)
        key[i - 32] ^= static_cast<std::uint8_t>(keyword[i]);
    key_schedule second;
    schedule_key(key, 256, 256, &second);
    encrypt_block(expected.data(), &second);

    EXPECT_EQ(hash_of(keyword), expected);
}

TEST(hash_keyword, single_pass_for_up_to_32_bytes) {
    const std::string keyword(32, 'k');
    std::uint8_t key[32];
    std::memcpy(key, keyword.data(), 32);
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);
    block expected = {};
    encrypt_block(expected.data(), &schedule);
    EXPECT_EQ(hash_of(keyword), expected);
}

TEST(hash_keyword, distinguishes_the_keywords_that_a_careless_hash_would_not) {
    const std::string base32(32, 'a');
    const struct {
        std::string a, b;
    } pairs[] = {
        {base32 + "x", base32 + "y"},            // differ only after byte 32
        {base32, base32 + "a"},                  // 32 vs 33 bytes
        {base32, base32 + std::string(32, 'a')}, // one pass vs two
        {"secret", "secret\r"},                  // the carriage-return candidate
        {"", std::string(1, '\x01')},
        {"ab", "ba"},
        {std::string(64, 'z') + "1", std::string(64, 'z') + "2"}, // third pass
    };
    for (const auto& p : pairs)
        EXPECT_NE(hash_of(p.a), hash_of(p.b)) << p.a.size() << " vs " << p.b.size();
}

TEST(hash_keyword, same_keyword_same_key) {
    EXPECT_EQ(hash_of("repeatable"), hash_of("repeatable"));
    EXPECT_EQ(hash_of(std::string(100, '\xff')), hash_of(std::string(100, '\xff')));
}

TEST(make_nonce, successive_calls_differ_and_advance_the_counter) {
    std::set<block> seen;
    const std::int32_t before = nonce_counter;
    for (int i = 0; i < 100; ++i) {
        block nonce;
        make_nonce(nonce.data());
        seen.insert(nonce);
    }
    EXPECT_EQ(seen.size(), 100u); // many of these fall in the same microsecond
    EXPECT_EQ(nonce_counter, before + 100);
}

} // namespace
