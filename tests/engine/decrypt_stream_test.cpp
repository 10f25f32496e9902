// The decryption stream: the header check, the carriage-return candidate,
// mismatch, and the body against the encryption stream.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "engine/testing.h"

namespace {

using namespace engine_test;

TEST(decrypt_stream, round_trips_every_length_around_group_boundaries) {
    for (std::size_t length = 0; length <= 200; ++length) {
        const bytes plain = random_bytes(length, static_cast<std::uint32_t>(length));
        const bytes sealed = encrypt_bytes("round trip", plain).output;
        const stream_run run = decrypt_bytes("round trip", sealed);
        EXPECT_EQ(run.step_result, 0);
        EXPECT_EQ(run.end_result, 0);
        EXPECT_EQ(run.output, plain) << "length " << length;
    }
}

TEST(decrypt_stream, block_path_equals_byte_path) {
    // Around one group and around one batch of 16 groups, and many batches.
    for (std::size_t length : {31u, 32u, 33u, 63u, 64u, 65u, 511u, 512u, 513u, 543u, 544u, 545u,
                               1023u, 1024u, 1025u, 4096u, 10240u}) {
        const bytes sealed = random_bytes(length + 32, 5); // any bytes decrypt under mismatch
        const bytes byte_path = decrypt_bytes("x", sealed, 1, fixed(1, 1)).output;
        const bytes block_path = decrypt_bytes("x", sealed, 1, whole()).output;
        const bytes mixed = decrypt_bytes("x", sealed, 1, fixed(97, 61)).output;
        EXPECT_EQ(byte_path.size(), length);
        EXPECT_EQ(byte_path, block_path) << "length " << length;
        EXPECT_EQ(byte_path, mixed) << "length " << length;
    }
}

// Body bytes decrypted over themselves: input and output the same buffer.
TEST(decrypt_stream, output_may_overwrite_its_own_input) {
    const bytes plain = random_bytes(5000, 8);
    const bytes sealed = encrypt_bytes("alias", plain).output;
    for (std::int32_t piece : {1, 33, 512, 4999}) {
        bytes buffer = sealed;
        cipher_stream stream{};
        ASSERT_EQ(decrypt_init(&stream, "alias", 0), 0);
        std::uint8_t none[1];
        stream.in_ptr = buffer.data();
        stream.in_left = 32;
        stream.out_ptr = none;
        stream.out_left = 1;
        ASSERT_EQ(decrypt_step(&stream), 0);
        for (std::size_t at = 32; at < buffer.size(); at += static_cast<std::size_t>(piece)) {
            const auto n =
                static_cast<std::int32_t>(std::min<std::size_t>(piece, buffer.size() - at));
            stream.in_ptr = buffer.data() + at;
            stream.out_ptr = buffer.data() + at;
            stream.in_left = stream.out_left = n;
            ASSERT_EQ(decrypt_step(&stream), 0);
            ASSERT_EQ(stream.in_left, 0);
        }
        EXPECT_EQ(decrypt_end(&stream), 0);
        EXPECT_EQ(bytes(buffer.begin() + 32, buffer.end()), plain) << piece;
    }
}

TEST(decrypt_stream, short_input_is_a_bad_format_at_end_with_no_output) {
    const bytes sealed = encrypt_bytes("short", bytes(10, 1)).output;
    for (std::size_t length = 0; length < 32; ++length) {
        const bytes part(sealed.begin(), sealed.begin() + static_cast<long>(length));
        const stream_run run = decrypt_bytes("short", part, 0, fixed(7, 100));
        EXPECT_EQ(run.step_result, 0);
        EXPECT_TRUE(run.output.empty());
        EXPECT_EQ(run.end_result, -2);
        EXPECT_EQ(run.fault, fault_bad_format);
        EXPECT_STREQ(result_message(stream_result{-2, run.fault}), "bad file format");
    }
}

TEST(decrypt_stream, header_alone_is_an_empty_plaintext) {
    const bytes sealed = encrypt_bytes("empty", bytes{}).output;
    const stream_run run = decrypt_bytes("empty", sealed);
    EXPECT_EQ(run.step_result, 0);
    EXPECT_EQ(run.end_result, 0);
    EXPECT_TRUE(run.output.empty());
}

// The key is checked at the step that brings the 32nd byte, even when that
// step also carries body bytes and has room for them; nothing comes out.
TEST(decrypt_stream, wrong_key_fails_at_the_32nd_byte_with_no_output) {
    const bytes sealed = encrypt_bytes("right", bytes(500, 7)).output;
    for (const split s :
         {split{32, 600}, split{532, 600}, split{40, 40}, split{1, 1}, split{20, 5}}) {
        const stream_run run = decrypt_bytes("wrong", sealed, 0, fixed(s.in, s.out));
        EXPECT_EQ(run.step_result, -2);
        EXPECT_EQ(run.fault, fault_key_mismatch);
        EXPECT_EQ(run.consumed, 32u); // the header, and no body byte
        EXPECT_TRUE(run.output.empty());
    }
    EXPECT_STREQ(result_message(stream_result{-2, fault_key_mismatch}), "key does not match");
}

// One header against two thousand wrong keywords: a check that compared
// only part of the header would take one in 256 for every byte it skipped.
TEST(decrypt_stream, every_byte_of_the_header_is_checked) {
    const bytes sealed = encrypt_bytes("right", bytes(40, 1)).output;
    int accepted = 0;
    for (int i = 0; i < 2048; ++i) {
        const std::string wrong = "wrong " + std::to_string(i);
        accepted += decrypt_bytes(wrong.c_str(), sealed).step_result == 0;
    }
    EXPECT_EQ(accepted, 0);
}

TEST(decrypt_stream, failing_step_releases_the_state) {
    const bytes sealed = encrypt_bytes("right", bytes{}).output;
    cipher_stream stream{};
    ASSERT_EQ(decrypt_init(&stream, "wrong", 0), 0);
    std::uint8_t out[8];
    stream.in_ptr = sealed.data();
    stream.in_left = 32;
    stream.out_ptr = out;
    stream.out_left = 8;
    EXPECT_EQ(decrypt_step(&stream), -2);
    EXPECT_EQ(stream.state, nullptr);
    EXPECT_EQ(decrypt_end(&stream), 0); // harmless on a released stream
}

// Candidates: the keyword, then the keyword with a carriage return.
TEST(decrypt_stream, carriage_return_candidate) {
    const bytes plain = random_bytes(77, 3);
    const bytes with_cr = encrypt_bytes("typed\r", plain).output;
    const stream_run run = decrypt_bytes("typed", with_cr);
    EXPECT_EQ(run.step_result, 0);
    EXPECT_EQ(run.output, plain);

    const bytes without_cr = encrypt_bytes("typed", plain).output;
    EXPECT_EQ(decrypt_bytes("typed", without_cr).output, plain);

    // The CR form is only ever a second candidate, never a stripping rule.
    EXPECT_EQ(decrypt_bytes("typed\r", without_cr).step_result, -2);
}

TEST(decrypt_multi_init, first_matching_candidate_wins) {
    const bytes plain = random_bytes(50, 11);
    const bytes sealed = encrypt_bytes("third", plain).output;
    const char* const candidates[] = {"first", "second", "third", "third"};
    cipher_stream stream{};
    ASSERT_EQ(decrypt_multi_init(&stream, 4, candidates, 0), 0);
    const stream_run run = run_stream(stream, decrypt_step, decrypt_end, sealed, fixed(40, 40));
    EXPECT_EQ(run.step_result, 0);
    EXPECT_EQ(run.output, plain);

    cipher_stream none{};
    ASSERT_EQ(decrypt_multi_init(&none, 0, candidates, 0), 0);
    EXPECT_EQ(run_stream(none, decrypt_step, decrypt_end, sealed, whole()).step_result, -2);
}

// Mismatch takes the keyword itself without looking: a wrong key gives
// n - 32 bytes of garbage and success, and the right key still decrypts.
TEST(decrypt_stream, mismatch_accepts_the_keyword_unseen) {
    const bytes plain = random_bytes(300, 21);
    const bytes sealed = encrypt_bytes("right", plain).output;
    const stream_run wrong = decrypt_bytes("wrong", sealed, 1);
    EXPECT_EQ(wrong.step_result, 0);
    EXPECT_EQ(wrong.end_result, 0);
    EXPECT_EQ(wrong.output.size(), plain.size());
    EXPECT_NE(wrong.output, plain);
    EXPECT_EQ(decrypt_bytes("right", sealed, 1).output, plain);

    // Candidate 0 even when the CR form would have matched.
    const bytes sealed_cr = encrypt_bytes("right\r", plain).output;
    EXPECT_NE(decrypt_bytes("right", sealed_cr, 1).output, plain);
}

} // namespace
