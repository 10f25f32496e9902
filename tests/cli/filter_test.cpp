// The filter run: standard input through one stream to standard output, in
// every mode, and its exit statuses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli_support.h"
#include "support/harness.h"

namespace {

using cli_test::decrypt;
using cli_test::encrypt;
using cli_test::run_with;
using harness::run_result;

// Around the driver's 992-byte reads, the 32-byte blocks and the 256 KiB
// stdio buffers.
const std::vector<std::size_t> sizes = {0,   1,    31,    32,     33,     991,   992,
                                        993, 1984, 10240, 262144, 262145, 600001};

TEST(FilterRun, EncryptionAddsTheHeaderAndDecryptionAndCatUndoIt) {
    for (std::size_t size : sizes) {
        std::string plain = harness::random_bytes(size, unsigned(size) + 1);
        run_result e = run_with("ostrel", {"-K", "round trip"}, plain);
        ASSERT_EQ(e.status, 0) << size << ": " << e.err;
        EXPECT_EQ(e.err, "");
        ASSERT_EQ(e.out.size(), size + 32) << size;
        if (size >= 32) {
            EXPECT_EQ(e.out.find(plain.substr(0, 32)), std::string::npos) << size;
        }
        for (const char* name : {"osdecrypt", "oscat"}) {
            run_result d = run_with(name, {"-K", "round trip"}, e.out);
            EXPECT_EQ(d.status, 0) << name << " " << size << ": " << d.err;
            EXPECT_EQ(d.err, "");
            EXPECT_TRUE(d.out == plain) << name << " " << size;
        }
    }
}

TEST(FilterRun, EmptyInputEncryptsToTheHeaderAloneWithAFreshNonce) {
    run_result a = run_with("osencrypt", {"-K", "k"}, "");
    run_result b = run_with("osencrypt", {"-K", "k"}, "");
    ASSERT_EQ(a.status, 0);
    ASSERT_EQ(b.status, 0);
    EXPECT_EQ(a.out.size(), 32u);
    EXPECT_EQ(b.out.size(), 32u);
    EXPECT_NE(a.out, b.out);
    EXPECT_EQ(decrypt(a.out, "k"), "");
}

TEST(FilterRun, KeychangeKeepsTheLengthAndTheDataUnderTheNewKey) {
    for (std::size_t size :
         {std::size_t(0), std::size_t(5), std::size_t(1024), std::size_t(300000)}) {
        std::string plain = harness::random_bytes(size, 7);
        std::string old_cipher = encrypt(plain, "old");
        run_result x = run_with("ostrel", {"-x", "-K", "old", "-H", "new"}, old_cipher);
        ASSERT_EQ(x.status, 0) << x.err;
        ASSERT_EQ(x.out.size(), old_cipher.size());
        EXPECT_NE(x.out.substr(0, 32), old_cipher.substr(0, 32));
        EXPECT_TRUE(decrypt(x.out, "new") == plain) << size;
        run_result under_old = run_with("osdecrypt", {"-K", "old"}, x.out);
        EXPECT_EQ(under_old.status, 4);
        EXPECT_EQ(under_old.err, "osdecrypt: key does not match\n");
    }
}

TEST(FilterRun, LegacyRotorMachineIsItsOwnInverse) {
    for (std::size_t size :
         {std::size_t(0), std::size_t(1), std::size_t(255), std::size_t(256), std::size_t(70000)}) {
        std::string plain = harness::random_bytes(size, 11);
        run_result once = run_with("ostrel", {"-u", "-K", "rotor"}, plain);
        ASSERT_EQ(once.status, 0) << once.err;
        ASSERT_EQ(once.out.size(), size);
        if (size > 16) {
            EXPECT_NE(once.out, plain);
        }
        run_result twice = run_with("oscat", {"-u", "-K", "rotor"}, once.out);
        ASSERT_EQ(twice.status, 0) << twice.err;
        EXPECT_TRUE(twice.out == plain) << size;
    }
}

struct failure_case {
    std::string label;
    std::string name;
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string err;
    std::size_t out_size; // bytes written before the failure
};

TEST(FilterRun, RejectedInputsEndWithStatusFour) {
    const std::string cipher = encrypt("the plaintext\n", "right");
    const std::vector<failure_case> cases = {
        {"wrong key",
         "osdecrypt",
         {"-K", "wrong"},
         cipher,
         4,
         "osdecrypt: key does not match\n",
         0},
        {"wrong key, cat", "oscat", {"-K", "wrong"}, cipher, 4, "oscat: key does not match\n", 0},
        {"wrong key, keychange",
         "ostrel",
         {"-x", "-K", "wrong", "-H", "n"},
         cipher,
         4,
         "ostrel: key does not match\n",
         0},
        {"31 bytes",
         "osdecrypt",
         {"-K", "right"},
         cipher.substr(0, 31),
         4,
         "osdecrypt: bad file format\n",
         0},
        {"empty", "osdecrypt", {"-K", "right"}, "", 4, "osdecrypt: bad file format\n", 0},
        {"keychange of 31 bytes",
         "ostrel",
         {"-x", "-K", "right", "-H", "n"},
         cipher.substr(0, 31),
         4,
         "ostrel: bad file format\n",
         0},
        {"mismatch allowed", "osdecrypt", {"-m", "-K", "wrong"}, cipher, 0, "", cipher.size() - 32},
        {"mismatch, matching key",
         "osdecrypt",
         {"-m", "-K", "right"},
         cipher,
         0,
         "",
         cipher.size() - 32},
    };
    for (const auto& c : cases) {
        run_result r = run_with(c.name, c.args, c.input);
        EXPECT_EQ(r.status, c.status) << c.label;
        EXPECT_EQ(r.err, c.err) << c.label;
        EXPECT_EQ(r.out.size(), c.out_size) << c.label;
    }
    EXPECT_EQ(run_with("osdecrypt", {"-m", "-K", "right"}, cipher).out, "the plaintext\n");
}

TEST(FilterRun, FullStandardOutputEndsWithStatusThree) {
    struct full_case {
        std::vector<std::string> args;
        std::string input;
    };
    const std::string big = harness::random_bytes(600000, 3);
    const std::vector<full_case> cases = {
        {{"-K", "k"}, ""}, // the header waits in the buffer: the flush fails
        {{"-K", "k"}, "small"},
        {{"-K", "k"}, big}, // a write inside the driver fails
        {{"-d", "-K", "k"}, encrypt(big, "k")},
        {{"-x", "-K", "k", "-H", "n"}, encrypt("x", "k")},
        {{"-u", "-K", "k"}, "legacy"},
    };
    for (const auto& c : cases) {
        harness::run_options o;
        o.args = c.args;
        o.input = c.input;
        o.stdout_path = "/dev/full";
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, 3) << ::testing::PrintToString(c.args) << " " << c.input.size();
        EXPECT_EQ(r.err, "ostrel: No space left on device\n");
    }
}

TEST(FilterRun, OutputToARegularFileAndInputFromOne) {
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(400000, 5);
    harness::write_file(dir / "plain", plain);
    harness::run_options o;
    o.args = {"-K", "k"};
    o.stdin_path = dir / "plain";
    o.stdout_path = dir / "plain.osl";
    harness::write_file(dir / "plain.osl", "");
    run_result r = harness::run(o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(decrypt(harness::read_file(dir / "plain.osl"), "k") == plain);
}

} // namespace

namespace {

// The file-list run's two bits become the exit status: rejections alone 4,
// any failed file 8.
TEST(FileListStatus, RejectionsGiveFourAndFailuresEight) {
    harness::temp_dir dir;
    harness::write_file(dir / "good.osl", encrypt("good\n", "k"));
    harness::write_file(dir / "other.osl", encrypt("other\n", "another key"));
    struct status_case {
        std::vector<std::string> operands;
        int status;
    };
    const std::vector<status_case> cases = {
        {{"good.osl"}, 0},
        {{"other.osl"}, 4},
        {{"good.osl", "other.osl"}, 4},
        {{"missing.osl"}, 8},
        {{"other.osl", "missing.osl"}, 8},
    };
    for (const auto& c : cases) {
        harness::run_options o;
        o.name = "oscat";
        o.args = {"-K", "k"};
        o.args.insert(o.args.end(), c.operands.begin(), c.operands.end());
        o.cwd = dir.path;
        run_result r = harness::run(o);
        EXPECT_EQ(r.status, c.status) << ::testing::PrintToString(c.operands) << ": " << r.err;
    }
}

} // namespace
