// The overwrite and write-protection questions, answered at a
// pseudo-terminal, or on standard input when there is no terminal.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::lstat_of;
using files_e2e::options_in;
using strings = std::vector<std::string>;

struct answer_case {
    std::string typed;
    bool yes;
};

// Every way of answering: only "y" and "yes" proceed; "\x04" is end of input.
const answer_case answers[] = {
    {"y\n", true},   {"yes\n", true}, {"n\n", false},  {"Y\n", false},
    {" y\n", false}, {"\n", false},   {"\x04", false},
};

struct questions : ::testing::TestWithParam<bool> {
    strings with_way(strings args) const {
        if (GetParam()) args.insert(args.begin(), "-T");
        return args;
    }
};

INSTANTIATE_TEST_SUITE_P(writing, questions, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "temp_file" : "in_place"; });

TEST_P(questions, overwrite_is_asked_at_the_terminal) {
    for (const answer_case& a : answers) {
        SCOPED_TRACE(::testing::PrintToString(a.typed));
        harness::temp_dir dir;
        harness::write_file(dir / "a", "new plain");
        harness::write_file(dir / "a.osl", "older file");
        harness::run_options options = options_in(dir, "ostrel", with_way({"-K", "k", "a"}));
        options.use_tty = true;
        options.tty_input = a.typed;
        harness::run_result r = harness::run(options);
        EXPECT_EQ(r.status, 0);
        const std::string question = "ostrel: a.osl already exists; overwrite (y or n)? ";
        if (a.yes) {
            EXPECT_EQ(r.err, question);
            EXPECT_EQ(listing(dir.path), strings{"a.osl"});
            EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), "new plain");
        } else {
            // Not counted: the status stays 0.
            EXPECT_EQ(r.err, question + "Not overwritten.\n");
            EXPECT_EQ(harness::read_file(dir / "a"), "new plain");
            EXPECT_EQ(harness::read_file(dir / "a.osl"), "older file");
            EXPECT_EQ(listing(dir.path), (strings{"a", "a.osl"}));
        }
    }
}

TEST_P(questions, overwrite_is_asked_for_a_dangling_link_and_not_with_force) {
    harness::temp_dir dir;
    harness::write_file(dir / "a", "plain");
    ASSERT_EQ(symlink("nowhere", (dir / "a.osl").c_str()), 0);
    harness::run_options options = options_in(dir, "ostrel", with_way({"-q", "-K", "k", "a"}));
    options.use_tty = true;
    options.tty_input = "n\n";
    harness::run_result r = harness::run(options);
    // Quiet does not silence questions.
    EXPECT_EQ(r.err, "ostrel: a.osl already exists; overwrite (y or n)? Not overwritten.\n");
    EXPECT_TRUE(files_e2e::is_link(dir / "a.osl"));

    r = files_e2e::run_in(dir, "ostrel", with_way({"-f", "-K", "k", "a"}));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(files_e2e::is_link(dir / "a.osl"));
    EXPECT_FALSE(harness::exists(dir / "nowhere"));
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), "plain");
}

TEST_P(questions, without_a_terminal_the_answer_comes_from_standard_input) {
    harness::temp_dir dir;
    harness::write_file(dir / "a", "one");
    harness::write_file(dir / "a.osl", "old one");
    harness::write_file(dir / "b", "two");
    harness::write_file(dir / "b.osl", "old two");
    harness::run_options options = options_in(dir, "ostrel", with_way({"-K", "k", "a", "b"}));
    options.input = "yes\nn\n";
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ostrel: a.osl already exists; overwrite (y or n)? "
                     "ostrel: b.osl already exists; overwrite (y or n)? Not overwritten.\n");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), "one");
    EXPECT_EQ(harness::read_file(dir / "b.osl"), "old two");
}

struct protected_case {
    std::string program;
    strings options;
    std::string file;
    std::string question;
};

// In place only: writing through a temporary file never asks about write
// protection.
TEST(write_protection, is_asked_per_mode_and_the_mode_survives) {
    const protected_case cases[] = {
        {"ostrel", {"-K", "k"}, "a", "ostrel: encrypt write-protected file a (y or n)? "},
        {"osdecrypt",
         {"-K", "k"},
         "a.osl",
         "osdecrypt: decrypt write-protected file a.osl (y or n)? "},
        {"ostrel",
         {"-x", "-K", "k", "-H", "n"},
         "a.osl",
         "ostrel: perform keychange on write-protected file a.osl (y or n)? "},
    };
    for (const protected_case& c : cases) {
        for (const answer_case& a : answers) {
            SCOPED_TRACE(c.question + ::testing::PrintToString(a.typed));
            harness::temp_dir dir;
            std::string stored = c.file == "a" ? "plain" : files_e2e::encrypted("plain", "k");
            harness::write_file(dir / c.file, stored);
            ASSERT_EQ(chmod((dir / c.file).c_str(), 0444), 0);
            strings args = c.options;
            args.push_back(c.file);
            harness::run_options options = options_in(dir, c.program, args);
            options.use_tty = true;
            options.tty_input = a.typed;
            harness::run_result r = harness::run(options);
            EXPECT_EQ(r.status, 0);
            if (!a.yes) {
                EXPECT_EQ(r.err, c.question + "Not changed.\n");
                EXPECT_EQ(harness::read_file(dir / c.file), stored);
                EXPECT_EQ(lstat_of(dir / c.file).st_mode & 07777, 0444u);
                continue;
            }
            EXPECT_EQ(r.err, c.question);
            std::string result = c.program == "osdecrypt" ? "a" : "a.osl";
            EXPECT_EQ(listing(dir.path), strings{result});
            EXPECT_NE(harness::read_file(dir / result), stored);
            EXPECT_EQ(lstat_of(dir / result).st_mode & 07777, 0444u);
        }
    }
}

TEST(write_protection, force_and_temporary_files_do_not_ask) {
    harness::temp_dir dir;
    harness::write_file(dir / "a", "plain a");
    harness::write_file(dir / "b", "plain b");
    ASSERT_EQ(chmod((dir / "a").c_str(), 0400), 0);
    ASSERT_EQ(chmod((dir / "b").c_str(), 0440), 0);
    harness::run_result r = files_e2e::run_in(dir, "ostrel", {"-f", "-K", "k", "a"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    r = files_e2e::run_in(dir, "ostrel", {"-T", "-K", "k", "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    // Left write-protected afterwards.
    EXPECT_EQ(lstat_of(dir / "a.osl").st_mode & 07777, 0400u);
    EXPECT_EQ(lstat_of(dir / "b.osl").st_mode & 07777, 0440u);
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), "plain a");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "b.osl"), "k"), "plain b");
}

} // namespace
