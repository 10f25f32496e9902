// The key-change stream: same length, fresh header, and nothing at all out
// of an input that the old keyword does not open.

#include <gtest/gtest.h>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "engine/testing.h"

namespace {

using namespace engine_test;

TEST(keychange_stream, rekeys_in_one_pass) {
    for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 1023u, 1024u, 1025u, 3000u, 5000u}) {
        const bytes plain = random_bytes(length, static_cast<std::uint32_t>(length));
        const bytes sealed = encrypt_bytes("old", plain).output;
        for (const splitter& s : {whole(), fixed(1, 1), fixed(2048, 100), random_splits(length)}) {
            const stream_run run = keychange_bytes("old", "new", sealed, s);
            ASSERT_EQ(run.step_result, 0);
            EXPECT_EQ(run.end_result, 0);
            ASSERT_EQ(run.output.size(), sealed.size()) << "length " << length;
            EXPECT_NE(bytes(run.output.begin(), run.output.begin() + 32),
                      bytes(sealed.begin(), sealed.begin() + 32));
            EXPECT_EQ(decrypt_bytes("new", run.output).output, plain);
            EXPECT_EQ(decrypt_bytes("old", run.output).step_result, -2);
        }
    }
}

TEST(keychange_stream, wrong_old_keyword_gives_no_output) {
    const bytes sealed = encrypt_bytes("old", bytes(2000, 9)).output;
    for (const splitter& s : {whole(), fixed(1, 1), fixed(40, 2000)}) {
        const stream_run run = keychange_bytes("not old", "new", sealed, s);
        EXPECT_EQ(run.step_result, -2);
        EXPECT_EQ(run.fault, fault_key_mismatch);
        EXPECT_TRUE(run.output.empty());
    }
}

TEST(keychange_stream, short_input_gives_no_output_and_bad_format) {
    const bytes sealed = encrypt_bytes("old", bytes{}).output;
    for (std::size_t length : {0u, 1u, 31u}) {
        const stream_run run = keychange_bytes(
            "old", "new", bytes(sealed.begin(), sealed.begin() + static_cast<long>(length)),
            fixed(5, 64));
        EXPECT_EQ(run.step_result, 0);
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.end_result, -2);
        EXPECT_EQ(run.fault, fault_bad_format);
    }
}

TEST(keychange_stream, same_keyword_still_gets_a_fresh_header) {
    const bytes plain = random_bytes(100, 1);
    const bytes sealed = encrypt_bytes("same", plain).output;
    const bytes rekeyed = keychange_bytes("same", "same", sealed).output;
    EXPECT_NE(rekeyed, sealed);
    EXPECT_EQ(decrypt_bytes("same", rekeyed).output, plain);
}

} // namespace
