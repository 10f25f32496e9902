// Every stream kind gives the same output however its input and output
// space are split across steps.

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "legacy/unixcrypt.h"

namespace {

using namespace engine_test;

struct kind {
    const char* name;
    std::function<stream_run(const bytes&, const splitter&)> run;
};

const bytes plain = random_bytes(9000, 42);

std::vector<kind> kinds() {
    return {
        {"encrypt",
         [](const bytes& in, const splitter& s) {
             const fixed_nonce nonce(9);
             return encrypt_bytes("key", in, s);
         }},
        {"decrypt",
         [](const bytes& in, const splitter& s) { return decrypt_bytes("old", in, 0, s); }},
        {"decrypt mismatch",
         [](const bytes& in, const splitter& s) { return decrypt_bytes("other", in, 1, s); }},
        {"keychange",
         [](const bytes& in, const splitter& s) {
             const fixed_nonce nonce(17);
             return keychange_bytes("old", "new", in, s);
         }},
        {"unixcrypt",
         [](const bytes& in, const splitter& s) {
             cipher_stream stream{};
             if (unixcrypt_init(&stream, "legacy") != 0)
                 throw std::runtime_error("unixcrypt_init failed");
             return run_stream(stream, unixcrypt_step, unixcrypt_end, in, s);
         }},
    };
}

const bytes& input_for(const std::string& name) {
    static const bytes sealed = [] {
        const fixed_nonce nonce(3);
        return encrypt_bytes("old", plain).output;
    }();
    return name == "encrypt" || name == "unixcrypt" ? plain : sealed;
}

TEST(split_invariance, every_kind_every_split) {
    for (const kind& k : kinds()) {
        const bytes& input = input_for(k.name);
        const stream_run reference = k.run(input, whole());
        ASSERT_EQ(reference.step_result, 0) << k.name;
        ASSERT_EQ(reference.end_result, 0) << k.name;
        ASSERT_FALSE(reference.output.empty()) << k.name;

        std::vector<std::pair<std::string, splitter>> splits = {
            {"1/1", fixed(1, 1)},
            {"1/large", fixed(1, 20000)},
            {"large/1", fixed(20000, 1)},
            {"31/33", fixed(31, 33)},
            {"33/31", fixed(33, 31)},
            {"992/1056", fixed(992, 1056)},
            {"10240/10272", fixed(10240, 10272)},
        };
        for (std::uint32_t seed = 1; seed <= 12; ++seed)
            splits.emplace_back("random " + std::to_string(seed), random_splits(seed));

        for (const auto& [label, s] : splits) {
            const stream_run run = k.run(input, s);
            EXPECT_EQ(run.step_result, 0) << k.name << " " << label;
            EXPECT_EQ(run.end_result, 0) << k.name << " " << label;
            EXPECT_EQ(run.output, reference.output) << k.name << " " << label;
        }
    }
}

// A kind that says it may write over its own input (the drivers' helper
// then gives each chunk's output the chunk's own memory) must give, chunk
// by chunk with every output written from the start of its chunk, exactly
// what it gives into space of its own. Encryption, whose header runs ahead
// of its input, is the control: there the two must differ.
bytes over_own_input(const stream_kind& kind, const stream_keys& keys, const bytes& input,
                     std::uint32_t seed) {
    cipher_stream stream{};
    EXPECT_EQ(kind.init(&stream, keys), result_ok);
    std::mt19937 random(seed);
    bytes output;
    bytes chunk;
    std::size_t at = 0;
    while (at < input.size()) {
        const std::size_t n = std::min<std::size_t>(input.size() - at, 1 + random() % 3000);
        chunk.assign(input.begin() + std::ptrdiff_t(at), input.begin() + std::ptrdiff_t(at + n));
        stream.in_ptr = chunk.data();
        stream.out_ptr = chunk.data();
        stream.in_left = static_cast<std::int32_t>(n);
        stream.out_left = static_cast<std::int32_t>(n);
        EXPECT_EQ(kind.step(&stream), result_ok);
        output.insert(output.end(), chunk.data(), stream.out_ptr);
        at += n - static_cast<std::size_t>(stream.in_left);
    }
    kind.end(&stream);
    return output;
}

TEST(split_invariance, a_kind_that_writes_over_its_input_gives_the_same_bytes) {
    const fixed_nonce nonce(5);
    const bytes sealed = encrypt_bytes("old", plain).output;
    const struct {
        const char* what;
        const stream_kind& kind;
        stream_keys keys;
        const bytes& input;
        bool over_input;
    } rows[] = {
        {"decryption", decrypt_kind, {"old", nullptr, 0}, sealed, true},
        {"decryption under mismatch", decrypt_kind, {"other", nullptr, 1}, sealed, true},
        {"encryption (control)", encrypt_kind, {"old", nullptr, 0}, plain, false},
    };
    for (const auto& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(r.kind.writes_over_input, r.over_input);
        cipher_stream stream{};
        ASSERT_EQ(r.kind.init(&stream, r.keys), result_ok);
        const bytes apart = run_stream(stream, r.kind.step, r.kind.end, r.input, whole()).output;
        for (std::uint32_t seed = 1; seed <= 20; ++seed) {
            const bool same = over_own_input(r.kind, r.keys, r.input, seed) == apart;
            EXPECT_EQ(same, r.over_input) << "seed " << seed;
        }
    }
}

} // namespace
