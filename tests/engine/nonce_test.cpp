// The parts of a nonce: where its random bytes come from when the kernel's
// generator fails, and the text that is hashed.
#include <fcntl.h>
#include <sys/random.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <string>

#include "engine/engine.h"
#include "engine/testing.h"

namespace {

using bytes32 = std::array<std::uint8_t, 32>;

ssize_t no_getrandom(void*, std::size_t, unsigned) {
    errno = ENOSYS;
    return -1;
}

// Five bytes a call, after an interrupted first call.
ssize_t trickling_getrandom(void* buffer, std::size_t length, unsigned) {
    static int calls = 0;
    if (calls++ == 0) {
        errno = EINTR;
        return -1;
    }
    const std::size_t n = length < 5 ? length : 5;
    std::memset(buffer, 0xA0 + calls, n);
    return static_cast<ssize_t>(n);
}

class NonceRandom : public ::testing::Test {
protected:
    std::string dir =
        (std::filesystem::temp_directory_path() / ("nonce_test_" + std::to_string(getpid())))
            .string();
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }

    std::string file_with(const std::string& content) {
        const std::string path = dir + "/random";
        std::ofstream(path, std::ios::binary) << content;
        return path;
    }
};

TEST_F(NonceRandom, ComeFromGetrandomAndDifferFromCallToCall) {
    std::set<bytes32> seen;
    for (int i = 0; i < 20; ++i) {
        bytes32 r{};
        ASSERT_EQ(nonce_random_bytes(r.data(), ::getrandom, "/nonexistent"), 0);
        seen.insert(r);
    }
    EXPECT_EQ(seen.size(), 20u);
}

TEST_F(NonceRandom, RetryInterruptedAndShortReadsUntilAll32BytesAreThere) {
    bytes32 r{};
    ASSERT_EQ(nonce_random_bytes(r.data(), trickling_getrandom, "/nonexistent"), 0);
    // Calls 2..8 delivered 5, 5, 5, 5, 5, 5 and 2 bytes.
    EXPECT_EQ(r[0], 0xA2);
    EXPECT_EQ(r[29], 0xA7);
    EXPECT_EQ(r[31], 0xA8);
}

TEST_F(NonceRandom, FallBackToTheFileWhenGetrandomFails) {
    const std::string content = "0123456789abcdefghijklmnopqrstuvwxyz";
    bytes32 r{};
    ASSERT_EQ(nonce_random_bytes(r.data(), no_getrandom, file_with(content).c_str()), 0);
    EXPECT_EQ(std::string(r.begin(), r.end()), content.substr(0, 32));
}

TEST_F(NonceRandom, FailWhenNeitherGivesThirtyTwoBytes) {
    bytes32 r{};
    EXPECT_EQ(nonce_random_bytes(r.data(), no_getrandom, (dir + "/missing").c_str()), -1);
    EXPECT_EQ(nonce_random_bytes(r.data(), no_getrandom, file_with(std::string(31, 'x')).c_str()),
              -1);
    EXPECT_EQ(nonce_random_bytes(r.data(), no_getrandom, file_with("").c_str()), -1);
}

TEST(NonceText, WithoutRandomBytesIsTheFiveFieldText) {
    char text[400];
    const int n = format_nonce_text(text, sizeof text, "box", 1700000000, 42, 1, 7, nullptr);
    EXPECT_STREQ(text, "box,1700000000,42,1,7");
    EXPECT_EQ(n, 21);
}

TEST(NonceText, AppendsTheRandomBytesAsHexAfterAComma) {
    std::uint8_t random[32];
    for (int i = 0; i < 32; ++i) random[i] = static_cast<std::uint8_t>(i * 17 + 0x0F);
    char text[400];
    format_nonce_text(text, sizeof text, "", -1, 999999, 2147483647, -2147483647 - 1, random);
    const std::string s = text;
    EXPECT_EQ(s.substr(0, s.find(',', 30) + 1), ",-1,999999,2147483647,-2147483648,");
    const std::string hex = s.substr(s.rfind(',') + 1);
    ASSERT_EQ(hex.size(), 64u);
    EXPECT_EQ(hex.substr(0, 6), "0f2031");
    EXPECT_EQ(hex.substr(62), "1e"); // 31 * 17 + 15 = 542 = 0x21e, cut to a byte
}

// The longest fields the program can meet fit make_nonce's 396 bytes.
TEST(NonceText, LongestFieldsFitTheProgramsBuffer) {
    const std::string host(255, 'h');
    std::uint8_t random[32] = {};
    char text[396];
    const int n = format_nonce_text(text, sizeof text, host.c_str(), -9223372036854775807L - 1,
                                    -9223372036854775807L - 1, -9223372036854775807L - 1,
                                    -2147483647 - 1, random);
    EXPECT_EQ(n, 395);
    EXPECT_EQ(std::strlen(text), 395u);
}

// Two texts equal but for the random part hash apart: the case of two
// containers with one host name and pid starting in the same microsecond.
TEST(NonceText, DiffersInItsHashWhenOnlyTheRandomBytesDiffer) {
    std::uint8_t a[32] = {}, b[32] = {};
    b[31] = 1;
    char ta[400], tb[400];
    format_nonce_text(ta, sizeof ta, "c", 1, 2, 1, 0, a);
    format_nonce_text(tb, sizeof tb, "c", 1, 2, 1, 0, b);
    bytes32 ha{}, hb{};
    hash_keyword(ta, ha.data());
    hash_keyword(tb, hb.data());
    EXPECT_NE(ha, hb);
}

} // namespace
