// The entry point's pieces in process: the option scan's statuses, the
// statuses of outcomes, wipe_text.
#include <gtest/gtest.h>

#include <getopt.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "cli/cli.h"

namespace {

// The option scan in process: what it returns and what it leaves.
TEST(ScanOptions, StatusesAndOperands) {
    const struct {
        std::vector<std::string> args;
        int status;
        int mode;
        int filter;
        int operands;
    } cases[] = {
        {{"ostrel"}, keep_going, mode_encrypt, 1, 0},
        {{"ostrel", "-d", "f", "g"}, keep_going, mode_decrypt, 0, 2},
        {{"ostrel", "-e", "--"}, keep_going, mode_encrypt, 0, 0},
        {{"ostrel", "-S", "--"}, keep_going, mode_encrypt, 0, 0},
        {{"ostrel", "-x", "-u", "f"}, keep_going, mode_unixcrypt, 0, 1},
        {{"ostrel", "-V"}, status_ok, mode_encrypt, 0, 0},
        {{"ostrel", "--no-such-option"}, status_usage, mode_encrypt, 0, 0},
        {{"ostrel", "-E", "OSTREL_TEST_NO_SUCH_VARIABLE"}, status_no_key, mode_encrypt, 0, 0},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        run_context run;
        char* const given_name = argv[0];
        ASSERT_EQ(take_program_name(run.options, int(args.size()), argv.data()), keep_going);
        optind = 0; // a fresh scan
        opterr = 0;
        ::testing::internal::CaptureStdout();
        ::testing::internal::CaptureStderr();
        const int status = scan_options(run, int(args.size()), argv.data());
        ::testing::internal::GetCapturedStdout();
        ::testing::internal::GetCapturedStderr();
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(run.options.mode, c.mode);
        if (status == keep_going) {
            EXPECT_EQ(run.options.filter, c.filter);
            EXPECT_EQ(run.options.infile_count, c.operands);
        }
        release_keywords(run);
        if (argv[0] != given_name)
            std::free(argv[0]); // the heap copy of "ostrel" the program keeps for good
    }
    opterr = 1;
}

// The exit status of a run: an outcome that ended it first, then failed
// files before rejected ones.
TEST(StatusOf, OutcomesAndCounters) {
    const struct {
        outcome o;
        int errors;
        int rejects;
        int status;
    } cases[] = {
        {outcome::done, 0, 0, status_ok},
        {outcome::done, 0, 3, status_rejected},
        {outcome::rejected, 0, 1, status_rejected},
        {outcome::done, 1, 1, status_failed},
        {outcome::failed, 2, 0, status_failed},
        {outcome::fatal_io, 1, 1, status_io},
        {outcome::fatal, 0, 1, status_fatal},
        {outcome::interrupted, 1, 1, status_interrupted},
    };
    for (const auto& c : cases) {
        run_context run;
        run.errors = c.errors;
        run.rejects = c.rejects;
        EXPECT_EQ(status_of(run, c.o), c.status) << int(c.o) << " " << c.errors << " " << c.rejects;
    }
}

TEST(WipeText, OverwritesEveryCharacterAndKeepsTheStorage) {
    char buffer[] = "secret\0after";
    wipe_text(buffer);
    EXPECT_EQ(std::string(buffer, 6), std::string(6, '\0'));
    EXPECT_EQ(std::string(buffer + 7), "after");
}

} // namespace
