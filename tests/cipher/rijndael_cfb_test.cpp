// cfb_encrypt_blocks against the chain built from single blocks: through the
// dispatcher on each path, and each chain implementation directly (the
// dispatcher serves the vaes path with the aesni chain).
#include "cipher/cipher_paths.h"
#include "cipher/rijndael.h"
#include "cipher/rijndael_paths.h"
#include "cipher_test_util.h"
#include "path_fixture.h"
#include "table_rijndael.h"

#include <algorithm>
#include <cstring>
#include <gtest/gtest.h>

namespace {

using namespace cipher_test;

using cfb_fn = void (*)(std::uint8_t*, const std::uint8_t*, std::uint8_t*, std::size_t,
                        const key_schedule*);

// Counts around the edges of a chain: none, one, the first boundaries
// between blocks, and runs as long as the stream's buffers.
constexpr std::size_t chain_counts[] = {0, 1, 2, 3, 7, 8, 9, 33, 320};

struct chain_case {
    std::size_t count;
    int key_bits;
    std::vector<std::uint8_t> feedback; // before the call
    std::vector<std::uint8_t> plain;
    key_schedule schedule;
};

// Every key length, since the hardware chains fix the rounds at 14, which a
// 256-bit block gives for every key length.
std::vector<chain_case> random_cases(std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<chain_case> cases;
    for (int key_bits : {128, 192, 256})
        for (std::size_t count : chain_counts)
            cases.push_back(
                {count, key_bits, random_bytes(rng, 32), random_bytes(rng, 32 * count),
                 schedule_for(random_bytes(rng, static_cast<std::size_t>(key_bits / 8)), 256)});
    return cases;
}

// The definition: per group encrypt the register with the table-driven
// reference, XOR the plaintext into it, emit it. Returns the ciphertext;
// `feedback` ends as the last group.
std::vector<std::uint8_t> reference_chain(const chain_case& c,
                                          std::vector<std::uint8_t>& feedback) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i < c.count; ++i) {
        table_encrypt_block(feedback.data(), &c.schedule);
        for (std::size_t j = 0; j < 32; ++j) feedback[j] ^= c.plain[32 * i + j];
        out.insert(out.end(), feedback.begin(), feedback.end());
    }
    return out;
}

// Out of place (input and output at odd addresses, with a guard byte after
// the output) and in place; both against the reference, feedback included.
void check_chain(cfb_fn chain) {
    for (const chain_case& c : random_cases(2024)) {
        SCOPED_TRACE(::testing::Message() << c.count << " groups, key " << c.key_bits);
        std::vector<std::uint8_t> expected_feedback = c.feedback;
        const std::vector<std::uint8_t> expected = reference_chain(c, expected_feedback);

        std::vector<std::uint8_t> in(32 * c.count + 1);
        std::copy(c.plain.begin(), c.plain.end(), in.begin() + 1);
        std::vector<std::uint8_t> out(32 * c.count + 2, 0xa5);
        std::vector<std::uint8_t> feedback = c.feedback;
        chain(feedback.data(), in.data() + 1, out.data() + 1, c.count, &c.schedule);
        EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 1, out.end() - 1), expected)
            << "out of place";
        EXPECT_EQ(out.front(), 0xa5) << "wrote before the output";
        EXPECT_EQ(out.back(), 0xa5) << "wrote past the output";
        EXPECT_EQ(feedback, expected_feedback) << "out of place";

        std::vector<std::uint8_t> same = c.plain;
        feedback = c.feedback;
        chain(feedback.data(), same.data(), same.data(), c.count, &c.schedule);
        EXPECT_EQ(same, expected) << "in place";
        EXPECT_EQ(feedback, expected_feedback) << "in place";
    }
}

// A run split into two calls at every point equals the run in one call: the
// feedback register is the whole state between calls.
void check_split_runs(cfb_fn chain) {
    std::mt19937 rng(51);
    const key_schedule schedule = schedule_for(random_bytes(rng, 32), 256);
    const std::vector<std::uint8_t> start = random_bytes(rng, 32);
    constexpr std::size_t count = 11;
    const std::vector<std::uint8_t> plain = random_bytes(rng, 32 * count);

    std::vector<std::uint8_t> whole(32 * count);
    std::vector<std::uint8_t> whole_feedback = start;
    chain(whole_feedback.data(), plain.data(), whole.data(), count, &schedule);
    for (std::size_t first = 0; first <= count; ++first) {
        std::vector<std::uint8_t> pieces(32 * count);
        std::vector<std::uint8_t> feedback = start;
        chain(feedback.data(), plain.data(), pieces.data(), first, &schedule);
        chain(feedback.data(), plain.data() + 32 * first, pieces.data() + 32 * first, count - first,
              &schedule);
        EXPECT_EQ(pieces, whole) << "split after " << first;
        EXPECT_EQ(feedback, whole_feedback) << "split after " << first;
    }
}

class CfbOnPath : public OnEachPath {};

TEST_P(CfbOnPath, ThePublicChainEqualsBlockByBlockFeedback) { check_chain(cfb_encrypt_blocks); }

TEST_P(CfbOnPath, ARunSplitAcrossCallsEqualsOneCall) { check_split_runs(cfb_encrypt_blocks); }

INSTANTIATE_ON_EACH_PATH(CfbOnPath);

// The paths of this build that have a chain of their own.
constexpr cipher_path chain_owners[] = {
    cipher_path::portable,
#if OSTREL_CIPHER_X86
    cipher_path::aesni,
#endif
#if OSTREL_CIPHER_ARMV8
    cipher_path::armv8,
#endif
};

cfb_fn implementation_of(cipher_path path) {
    switch (path) {
#if OSTREL_CIPHER_X86
    case cipher_path::aesni: return aesni_cfb_encrypt_blocks_256;
#endif
#if OSTREL_CIPHER_ARMV8
    case cipher_path::armv8: return armv8_cfb_encrypt_blocks_256;
#endif
    default: return portable_cfb_encrypt_blocks;
    }
}

class CfbImplementation : public ::testing::TestWithParam<cipher_path> {
protected:
    void SetUp() override {
        if (!cipher_path_supported(GetParam()))
            GTEST_SKIP() << "the " << cipher_path_name(GetParam())
                         << " path is not built for this target or this CPU lacks its instructions";
    }
};

TEST_P(CfbImplementation, EqualsBlockByBlockFeedback) {
    check_chain(implementation_of(GetParam()));
}

TEST_P(CfbImplementation, ARunSplitAcrossCallsEqualsOneCall) {
    check_split_runs(implementation_of(GetParam()));
}

INSTANTIATE_TEST_SUITE_P(Chains, CfbImplementation, ::testing::ValuesIn(chain_owners),
                         cipher_test::path_test_name);

} // namespace
