// Every stream kind gives the same output however its input and output
// space are split across steps.

#include <gtest/gtest.h>

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

} // namespace
