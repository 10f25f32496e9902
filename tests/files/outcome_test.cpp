// What the file processing returns to the entry point, in process: the
// outcome of each operand, the counters, and the end of a run after an
// interrupt.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "files/files.h"
#include "files/testing.h"
#include "support/harness.h"

namespace {

struct outcome_test : ::testing::Test {
    harness::temp_dir dir;
    char key[6] = "right";
    char wrong[6] = "wrong";

    static void set_up(run_context& run, int mode, char* keyword) {
        run.options.name = "ostrel";
        run.options.mode = mode;
        run.keyword = keyword;
    }
    void TearDown() override { set_interrupted(false); }
};

TEST_F(outcome_test, each_kind_of_operand) {
    harness::write_file(dir / "plain", "some text");
    harness::write_file(dir / "sealed", "more text");
    run_context sealer;
    set_up(sealer, mode_encrypt, key);
    ASSERT_EQ(process_path(sealer, (dir / "sealed").c_str()), outcome::done);
    forget_visited(sealer.visited);
    mkdir((dir / "sub").c_str(), 0755);

    const struct {
        int mode;
        char* keyword;
        std::string operand;
        outcome expected;
        int errors;
        int rejects;
    } cases[] = {
        {mode_decrypt, key, "sealed.osl", outcome::done, 0, 0},
        {mode_decrypt, wrong, "sealed.osl", outcome::rejected, 0, 1},
        {mode_decrypt, key, "plain", outcome::rejected, 0, 1}, // not encrypted
        {mode_encrypt, key, "missing", outcome::failed, 1, 0},
        {mode_encrypt, key, "sub", outcome::done, 0, 0}, // a directory without -r
        {mode_encrypt, key, "plain", outcome::done, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.operand);
        // Each case on a fresh copy of what it works on.
        if (c.operand == "sealed.osl" && !harness::exists(dir / "sealed.osl")) {
            harness::write_file(dir / "sealed", "more text");
            ASSERT_EQ(process_path(sealer, (dir / "sealed").c_str()), outcome::done);
            forget_visited(sealer.visited); // a run of its own
        }
        run_context run;
        set_up(run, c.mode, c.keyword);
        ::testing::internal::CaptureStderr();
        const outcome got = process_path(run, (dir / c.operand).c_str());
        const std::string err = ::testing::internal::GetCapturedStderr();
        EXPECT_EQ(got, c.expected) << err;
        EXPECT_EQ(run.errors, c.errors) << err;
        EXPECT_EQ(run.rejects, c.rejects) << err;
        EXPECT_EQ(err.empty(), c.errors + c.rejects == 0 && c.operand != "sub") << err;
    }
    sealer.keyword = nullptr;
}

// A first signal while a file is written lets that file finish whole; the
// run then ends before the next operand.
TEST_F(outcome_test, an_interrupt_ends_the_run_after_the_file) {
    harness::write_file(dir / "a", "first");
    harness::write_file(dir / "b", "second");
    const std::string a = dir / "a", b = dir / "b";
    std::vector<char*> operands = {const_cast<char*>(a.c_str()), const_cast<char*>(b.c_str())};
    run_context run;
    set_up(run, mode_encrypt, key);
    run.options.infiles = operands.data();
    run.options.infile_count = 2;
    set_interrupted(true);
    EXPECT_EQ(run_file_list(run), outcome::interrupted);
    EXPECT_TRUE(harness::exists(dir / "a.osl"));
    EXPECT_EQ(harness::read_file(dir / "a.osl").size(), 5u + 32u);
    EXPECT_TRUE(harness::exists(dir / "b"));
    EXPECT_FALSE(harness::exists(dir / "b.osl"));
}

} // namespace
