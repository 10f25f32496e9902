// The file-list run: exit statuses from the run counters, and standard input
// as an operand.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::options_in;
using files_e2e::run_in;
using strings = std::vector<std::string>;

struct status_case {
    std::string program;
    strings args;
    int status;
};

TEST(file_list, status_comes_from_the_counters) {
    harness::temp_dir dir;
    harness::write_file(dir / "plain", "plain");
    harness::write_file(dir / "p.osl", "already suffixed");
    harness::write_file(dir / "other.osl", files_e2e::encrypted("other", "other"));
    ASSERT_EQ(symlink("plain", (dir / "link").c_str()), 0);
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0755), 0);
    const status_case cases[] = {
        // Notes only: a link, a directory, a suffix already present.
        {"ostrel", {"-s", "-K", "k", "link", "d", "p.osl"}, 0},
        // Only a rejection.
        {"osdecrypt", {"-K", "k", "other.osl"}, 4},
        {"oscat", {"-K", "k", "other.osl"}, 4},
        // A failure, with or without a rejection.
        {"osdecrypt", {"-K", "k", "missing"}, 8},
        {"osdecrypt", {"-K", "k", "missing", "other.osl"}, 8},
        {"oscat", {"-K", "k", "other.osl", "missing"}, 8},
    };
    for (const status_case& c : cases) {
        harness::run_result r = run_in(dir, c.program, c.args);
        EXPECT_EQ(r.status, c.status) << c.program << ::testing::PrintToString(c.args) << "\n"
                                      << r.err;
    }
    EXPECT_EQ(harness::read_file(dir / "plain"), "plain");
}

TEST(file_list, cat_reads_standard_input_in_operand_order) {
    harness::temp_dir dir;
    harness::write_file(dir / "a.osl", files_e2e::encrypted("first ", "k"));
    harness::write_file(dir / "b.osl", files_e2e::encrypted("third", "k"));
    harness::run_options options =
        options_in(dir, "oscat", {"-v", "-K", "k", "a.osl", "-", "b.osl"});
    options.input = files_e2e::encrypted("second ", "k");
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "first second third");
    EXPECT_EQ(r.err, "Decrypting a.osl\nDecrypting standard input\nDecrypting b.osl\n");
}

TEST(file_list, cat_of_standard_input_under_another_key_is_ignored_and_counted) {
    harness::temp_dir dir;
    harness::write_file(dir / "a.osl", files_e2e::encrypted("mine", "k"));
    harness::run_options options = options_in(dir, "oscat", {"-K", "k", "-", "a.osl"});
    options.input = files_e2e::encrypted("theirs", "other");
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "oscat: standard input: key does not match -- ignored\n");
    EXPECT_EQ(r.out, "mine");

    options.args = {"-K", "k", "-", "missing"};
    options.input = "too short";
    r = harness::run(options);
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "oscat: standard input: bad file format -- ignored\n"
                     "oscat: missing: No such file or directory\n");
}

TEST(file_list, cat_with_mismatch_decrypts_standard_input_anyway) {
    harness::temp_dir dir;
    harness::run_options options = options_in(dir, "oscat", {"-m", "-K", "k", "-"});
    options.input = files_e2e::encrypted("theirs", "other");
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.size(), 6u);
    EXPECT_NE(r.out, "theirs");
}

TEST(file_list, cat_to_a_full_device_ends_with_status_3) {
    harness::temp_dir dir;
    harness::write_file(dir / "a.osl", files_e2e::encrypted("data", "k"));
    for (const std::string operand : {"a.osl", "-"}) {
        harness::run_options options = options_in(dir, "oscat", {"-K", "k", operand, "a.osl"});
        options.stdout_path = "/dev/full";
        options.input = files_e2e::encrypted("data", "k");
        harness::run_result r = harness::run(options);
        EXPECT_EQ(r.status, 3) << operand;
        // The output failed, whichever input was read.
        EXPECT_EQ(r.err, "oscat: standard output: No space left on device\n");
    }
}

TEST(file_list, a_dash_is_an_ordinary_name_when_writing_files) {
    harness::temp_dir dir;
    harness::run_options options = options_in(dir, "ostrel", {"-K", "k", "-"});
    options.input = "not read";
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: -: No such file or directory\n");

    harness::write_file(dir / "-", "dash");
    r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "-.osl"), "k"), "dash");
    r = run_in(dir, "osdecrypt", {"-K", "k", "--", "-"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(harness::read_file(dir / "-"), "dash");
}

} // namespace
