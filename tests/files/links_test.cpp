// Hard links, symbolic links, files that are not regular, and rejected
// inputs that must leave files as they were.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::is_link;
using files_e2e::listing;
using files_e2e::lstat_of;
using files_e2e::options_in;
using files_e2e::run_in;
using strings = std::vector<std::string>;

TEST(hard_links, two_names_are_transformed_once_and_both_renamed) {
    harness::temp_dir dir;
    harness::write_file(dir / "a", "shared content");
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-K", "k", "a", "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ostrel: warning: a has 2 links\n");
    EXPECT_EQ(listing(dir.path), (strings{"a.osl", "b.osl"}));
    EXPECT_EQ(lstat_of(dir / "a.osl").st_ino, lstat_of(dir / "b.osl").st_ino);
    // Encrypted exactly once: one header block, and it decrypts.
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "b.osl"), "k"), "shared content");

    r = run_in(dir, "osdecrypt", {"-v", "-K", "k", "a.osl", "b.osl"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(
        r.err,
        "osdecrypt: warning: a.osl has 2 links\nDecrypting a.osl\nAlready visited inode b.osl.\n");
    EXPECT_EQ(harness::read_file(dir / "b"), "shared content");

    r = run_in(dir, "ostrel", {"-q", "-K", "k", "a", "b"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(dir.path), (strings{"a.osl", "b.osl"}));
}

TEST(hard_links, write_protection_is_asked_for_each_name) {
    harness::temp_dir dir;
    harness::write_file(dir / "a", "shared content");
    ASSERT_EQ(chmod((dir / "a").c_str(), 0444), 0);
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    harness::run_options options = options_in(dir, "ostrel", {"-K", "k", "a", "b"});
    options.use_tty = true;
    options.tty_input = "y\ny\n";
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err,
              "ostrel: encrypt write-protected file a (y or n)? ostrel: warning: a has 2 links\n"
              "ostrel: encrypt write-protected file b (y or n)? ");
    EXPECT_EQ(listing(dir.path), (strings{"a.osl", "b.osl"}));
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "b.osl"), "k"), "shared content");
}

TEST(hard_links, a_rejected_file_keeps_every_name) {
    // Rejected under its first name, it is left alone under the second too:
    // nothing was decrypted, so nothing may be renamed as if it had been.
    harness::temp_dir dir;
    const std::string sealed = files_e2e::encrypted("shared content", "right");
    harness::write_file(dir / "a.osl", sealed);
    ASSERT_EQ(link((dir / "a.osl").c_str(), (dir / "b.osl").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-d", "-q", "-K", "wrong", "a.osl", "b.osl"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(listing(dir.path), (strings{"a.osl", "b.osl"}));
    EXPECT_EQ(harness::read_file(dir / "b.osl"), sealed);
}

TEST(hard_links, through_temporary_files_each_name_is_its_own_file) {
    // No visited check when writing through temporary files, but the warning
    // all the same: the other name keeps the plaintext.
    harness::temp_dir dir;
    harness::write_file(dir / "a", "shared content");
    ASSERT_EQ(link((dir / "a").c_str(), (dir / "b").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-T", "-K", "k", "a", "b"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ostrel: warning: a has 2 links\n");
    EXPECT_NE(lstat_of(dir / "a.osl").st_ino, lstat_of(dir / "b.osl").st_ino);
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), "shared content");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "b.osl"), "k"), "shared content");
}

TEST(symbolic_links, are_ignored_without_l) {
    for (bool temp : {false, true}) {
        harness::temp_dir dir;
        harness::write_file(dir / "t", "target");
        ASSERT_EQ(symlink("t", (dir / "l").c_str()), 0);
        strings args = {"-K", "k", "l"};
        if (temp) args.insert(args.begin(), "-T");
        harness::run_result r = run_in(dir, "ostrel", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "ostrel: l: is a symbolic link -- ignored\n");
        args.insert(args.begin(), "-q");
        r = run_in(dir, "ostrel", args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(harness::read_file(dir / "t"), "target");
        EXPECT_EQ(listing(dir.path), (strings{"l", "t"}));
    }
}

TEST(symbolic_links, in_place_with_l_transform_the_target_and_rename_the_link) {
    harness::temp_dir dir;
    harness::write_file(dir / "t", "target");
    ASSERT_EQ(symlink("t", (dir / "l").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-l", "-K", "k", "l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(dir.path), (strings{"l.osl", "t"}));
    EXPECT_TRUE(is_link(dir / "l.osl"));
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "t"), "k"), "target");
}

TEST(symbolic_links, with_a_temporary_file_and_l_a_new_file_replaces_the_link) {
    harness::temp_dir dir;
    harness::write_file(dir / "t", "target");
    ASSERT_EQ(symlink("t", (dir / "l").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-T", "-l", "-K", "k", "l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(dir.path), (strings{"l.osl", "t"}));
    EXPECT_FALSE(is_link(dir / "l.osl"));
    EXPECT_EQ(harness::read_file(dir / "t"), "target");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "l.osl"), "k"), "target");
}

TEST(symbolic_links, a_dangling_link_with_l_is_a_counted_failure) {
    for (bool temp : {false, true}) {
        harness::temp_dir dir;
        ASSERT_EQ(symlink("nowhere", (dir / "l").c_str()), 0);
        strings args = {"-l", "-K", "k", "l"};
        if (temp) args.insert(args.begin(), "-T");
        harness::run_result r = run_in(dir, "ostrel", args);
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(r.err, "ostrel: l: No such file or directory\n");
        EXPECT_TRUE(is_link(dir / "l"));
    }
}

TEST(symbolic_links, cat_follows_links_without_l) {
    harness::temp_dir dir;
    harness::write_file(dir / "t.osl", files_e2e::encrypted("through a link", "k"));
    ASSERT_EQ(symlink("t.osl", (dir / "l").c_str()), 0);
    harness::run_result r = run_in(dir, "oscat", {"-K", "k", "l"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "through a link");
    EXPECT_EQ(r.err, "");
}

TEST(other_files, that_are_not_regular_are_ignored) {
    for (const char* program : {"ostrel", "osdecrypt", "oscat"}) {
        harness::temp_dir dir;
        ASSERT_EQ(mkfifo((dir / "p").c_str(), 0644), 0);
        harness::run_result r = run_in(dir, program, {"-K", "k", "p"});
        EXPECT_EQ(r.status, 0) << program;
        EXPECT_EQ(r.err, std::string(program) + ": p: is not a regular file -- ignored\n");
        r = run_in(dir, program, {"-q", "-K", "k", "p"});
        EXPECT_EQ(r.err, "");
    }
}

TEST(rejected_inputs, leave_the_file_untouched_and_the_run_goes_on) {
    for (bool temp : {false, true}) {
        SCOPED_TRACE(temp ? "temp_file" : "in_place");
        harness::temp_dir dir;
        std::string other = files_e2e::encrypted(harness::random_bytes(50000, 3), "other");
        harness::write_file(dir / "x.osl", other);
        harness::write_file(dir / "short.osl", "31 bytes are no header block...");
        harness::write_file(dir / "y.osl", files_e2e::encrypted("right key", "k"));
        strings args = {"-K", "k", "x.osl", "short.osl", "y.osl"};
        if (temp) args.insert(args.begin(), "-T");
        harness::run_result r = run_in(dir, "osdecrypt", args);
        EXPECT_EQ(r.status, 4);
        EXPECT_EQ(r.err, "osdecrypt: x.osl: key does not match -- unchanged\n"
                         "osdecrypt: short.osl: bad file format -- unchanged\n");
        EXPECT_EQ(harness::read_file(dir / "x.osl"), other);
        EXPECT_EQ(harness::read_file(dir / "short.osl"), "31 bytes are no header block...");
        EXPECT_EQ(harness::read_file(dir / "y"), "right key");
        // No temporary file is left behind.
        EXPECT_EQ(listing(dir.path), (strings{"short.osl", "x.osl", "y"}));
    }
}

TEST(rejected_inputs, in_cat_mode_are_ignored) {
    harness::temp_dir dir;
    harness::write_file(dir / "x.osl", files_e2e::encrypted("other", "other"));
    harness::write_file(dir / "y.osl", files_e2e::encrypted("mine", "k"));
    harness::run_result r = run_in(dir, "oscat", {"-K", "k", "x.osl", "y.osl"});
    EXPECT_EQ(r.status, 4);
    EXPECT_EQ(r.err, "oscat: x.osl: key does not match -- ignored\n");
    EXPECT_EQ(r.out, "mine");
}

} // namespace
