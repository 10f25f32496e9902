// The encryption stream and the format it writes, byte for byte.

#include <gtest/gtest.h>

#include <cstring>

#include "engine/engine.h"
#include "engine/stream_runner.h"

namespace {

using namespace engine_test;

// The format computed from its parts: header C0 = E("q7w3" + nonce[4..32)),
// then Cj = Pj ^ E(C(j-1)), a short last group using the first bytes of its
// key stream block.
bytes expected_format(const char* keyword, std::uint8_t nonce_seed, const bytes& plain) {
    std::uint8_t key[32];
    hash_keyword(keyword, key);
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);

    std::uint8_t header[32];
    fixed_nonce::nonce_bytes(nonce_seed, header);
    std::memcpy(header, "q7w3", 4);
    encrypt_block(header, &schedule);

    bytes out(header, header + 32);
    std::uint8_t feedback[32];
    std::memcpy(feedback, header, 32);
    for (std::size_t at = 0; at < plain.size(); at += 32) {
        std::uint8_t key_stream[32];
        std::memcpy(key_stream, feedback, 32);
        encrypt_block(key_stream, &schedule);
        const std::size_t n = std::min<std::size_t>(32, plain.size() - at);
        for (std::size_t i = 0; i < n; ++i) {
            feedback[i] = plain[at + i] ^ key_stream[i];
            out.push_back(feedback[i]);
        }
    }
    return out;
}

TEST(encrypt_stream, matches_the_format_computed_from_its_parts) {
    for (std::size_t length : {0u, 1u, 31u, 32u, 33u, 64u, 100u, 1000u}) {
        const bytes plain = random_bytes(length, 7u + static_cast<std::uint32_t>(length));
        const fixed_nonce nonce(0x40);
        const stream_run run = encrypt_bytes("format vector", plain);
        EXPECT_EQ(run.end_result, 0);
        EXPECT_EQ(run.output, expected_format("format vector", 0x40, plain)) << "length " << length;
    }
}

TEST(encrypt_stream, header_opens_to_the_magic_under_the_file_key) {
    const stream_run run = encrypt_bytes("open sesame", bytes{});
    ASSERT_EQ(run.output.size(), 32u);
    std::uint8_t key[32];
    hash_keyword("open sesame", key);
    key_schedule schedule;
    schedule_key(key, 256, 256, &schedule);
    std::uint8_t header[32];
    std::memcpy(header, run.output.data(), 32);
    decrypt_block(header, &schedule);
    EXPECT_EQ(std::memcmp(header, "q7w3", 4), 0);
}

// The block path takes whole groups when both sides have 32 bytes; the byte
// path everything else. Steps of 1 byte never reach the block path, steps of
// a few groups always do once the header is out.
TEST(encrypt_stream, block_path_equals_byte_path_around_group_boundaries) {
    for (std::size_t groups : {0u, 1u, 2u, 3u, 10u}) {
        for (int delta : {-1, 0, 1}) {
            const long length = static_cast<long>(groups * 32) + delta;
            if (length < 0) continue;
            const bytes plain = random_bytes(static_cast<std::size_t>(length), 99);
            const fixed_nonce nonce(1);
            const bytes byte_path = encrypt_bytes("paths", plain, fixed(1, 1)).output;
            const bytes block_path = encrypt_bytes("paths", plain, whole()).output;
            const bytes mixed = encrypt_bytes("paths", plain, fixed(33, 65)).output;
            EXPECT_EQ(byte_path.size(), plain.size() + 32);
            EXPECT_EQ(byte_path, block_path) << "length " << length;
            EXPECT_EQ(byte_path, mixed) << "length " << length;
        }
    }
}

TEST(encrypt_stream, header_leaves_without_input_and_nothing_is_taken_without_output_space) {
    cipher_stream stream{};
    ASSERT_EQ(encrypt_init(&stream, "k"), 0);
    const bytes plain = {1, 2, 3};
    std::uint8_t out[64];

    stream.in_ptr = plain.data();
    stream.in_left = 3;
    stream.out_ptr = out;
    stream.out_left = 0;
    EXPECT_EQ(encrypt_step(&stream), 0);
    EXPECT_EQ(stream.in_left, 3);

    // Header pending: input is not touched until all 32 bytes are out.
    stream.out_left = 20;
    EXPECT_EQ(encrypt_step(&stream), 0);
    EXPECT_EQ(stream.in_left, 3);
    EXPECT_EQ(stream.out_left, 0);

    stream.in_left = 0;
    stream.out_left = 44;
    EXPECT_EQ(encrypt_step(&stream), 0);
    EXPECT_EQ(stream.out_left, 32); // the last 12 header bytes, no body
    EXPECT_EQ(encrypt_end(&stream), 0);
    EXPECT_EQ(stream.state, nullptr);
}

TEST(encrypt_stream, fresh_nonce_per_stream) {
    const bytes plain(100, 0);
    const bytes a = encrypt_bytes("same", plain).output;
    const bytes b = encrypt_bytes("same", plain).output;
    ASSERT_EQ(a.size(), 132u);
    EXPECT_NE(bytes(a.begin(), a.begin() + 32), bytes(b.begin(), b.begin() + 32));
    EXPECT_NE(bytes(a.begin() + 32, a.end()), bytes(b.begin() + 32, b.end()));
}

TEST(encrypt_stream, end_before_any_step_releases_and_writes_nothing) {
    cipher_stream stream{};
    ASSERT_EQ(encrypt_init(&stream, ""), 0);
    EXPECT_NE(stream.state, nullptr);
    EXPECT_EQ(encrypt_end(&stream), 0);
    EXPECT_EQ(stream.state, nullptr);
}

} // namespace
