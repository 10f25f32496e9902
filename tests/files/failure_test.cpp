// Per-file failures: reported with the system's text, counted (status 8),
// and the run goes on. Permission failures need an unprivileged user, so the
// child drops to uid 65534 when the tests run as root.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::options_in;
using files_e2e::run_in;
using strings = std::vector<std::string>;

// Runs unprivileged: as root the child becomes uid 65534; as another user
// the permissions bind already.
harness::run_result run_unprivileged(const harness::temp_dir& dir, const std::string& name,
                                     strings args) {
    harness::run_options options = options_in(dir, name, std::move(args));
    if (geteuid() == 0) {
        files_e2e::open_to_everyone(dir.path);
        options.unprivileged = true;
    }
    return harness::run(options);
}

// A file the unprivileged user owns inside a directory it cannot write.
void make_locked_dir_with_own_file(const harness::temp_dir& dir, const std::string& content) {
    ASSERT_EQ(mkdir((dir / "locked").c_str(), 0755), 0);
    harness::write_file(dir / "locked/a", content);
    if (geteuid() == 0) {
        ASSERT_EQ(chown((dir / "locked/a").c_str(), 65534, 65534), 0);
    } else {
        ASSERT_EQ(chmod((dir / "locked").c_str(), 0555), 0);
    }
}

TEST(failures, an_open_that_is_refused_is_counted_and_the_next_file_is_done) {
    harness::temp_dir dir;
    harness::write_file(dir / "theirs", "not yours");
    ASSERT_EQ(chmod((dir / "theirs").c_str(), 0644), 0);
    harness::write_file(dir / "mine", "yours");
    ASSERT_EQ(chmod((dir / "mine").c_str(), 0666), 0);
    if (geteuid() != 0) GTEST_SKIP() << "needs root to own a file the test user cannot write";
    for (bool temp : {false, true}) {
        // Unreadable for -T (the input cannot be opened), unwritable in place.
        ASSERT_EQ(chmod((dir / "theirs").c_str(), temp ? 0200 : 0644), 0);
        strings args = {"-K", "k", "theirs", "mine"};
        if (temp) args = {"-T", "-K", "k", "theirs", "mine.osl"};
        harness::run_result r = run_unprivileged(dir, "ostrel", args);
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(r.err, "ostrel: theirs: Permission denied\n");
        EXPECT_EQ(harness::read_file(dir / "theirs"), "not yours");
    }
    // Both runs reached the next file: first mine, then mine.osl.
    EXPECT_EQ(files_e2e::decrypted(
                  files_e2e::decrypted(harness::read_file(dir / "mine.osl.osl"), "k"), "k"),
              "yours");
    // Nothing made for the refused file stays (no output, no temporary file).
    EXPECT_EQ(listing(dir.path), (strings{"mine.osl.osl", "theirs"}));
}

TEST(failures, a_refused_rename_in_place_leaves_the_result_under_the_old_name) {
    harness::temp_dir dir;
    make_locked_dir_with_own_file(dir, "locked in");
    harness::run_result r = run_unprivileged(dir, "ostrel", {"-K", "k", "locked/a"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: could not rename locked/a to locked/a.osl: Permission denied\n");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "locked/a"), "k"), "locked in");
}

TEST(failures, no_output_or_temporary_file_can_be_created) {
    harness::temp_dir dir;
    make_locked_dir_with_own_file(dir, "locked in");
    harness::run_result r = run_unprivileged(dir, "ostrel", {"-T", "-K", "k", "locked/a"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: locked/a.osl: Permission denied\n");
    r = run_unprivileged(dir, "ostrel", {"-T", "-x", "-K", "k", "-H", "n", "locked/a"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: could not create temporary file for locked/a: Permission denied\n");
    EXPECT_EQ(harness::read_file(dir / "locked/a"), "locked in");
    EXPECT_EQ(listing(dir / "locked"), strings{"a"});
}

TEST(failures, a_directory_that_cannot_be_opened_is_counted_and_its_siblings_done) {
    harness::temp_dir dir;
    ASSERT_EQ(mkdir((dir / "d").c_str(), 0), 0);
    files_e2e::open_to_everyone(dir / "d");
    ASSERT_EQ(mkdir((dir / "d/closed").c_str(), 0), 0);
    harness::write_file(dir / "d/a", "sibling");
    ASSERT_EQ(chmod((dir / "d/a").c_str(), 0666), 0);
    harness::run_result r = run_unprivileged(dir, "ostrel", {"-r", "-K", "k", "d"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: d/closed: Permission denied\n");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "d/a.osl"), "k"), "sibling");
}

TEST(failures, a_failed_rename_of_the_temporary_file_keeps_the_input) {
    // The output name is taken by a directory, so the finished temporary
    // file cannot be renamed to it; the input must survive.
    harness::temp_dir dir;
    std::string cipher = files_e2e::encrypted("precious", "k");
    harness::write_file(dir / "x.osl", cipher);
    ASSERT_EQ(mkdir((dir / "x").c_str(), 0755), 0);
    harness::write_file(dir / "x/inside", "");
    harness::run_result r = run_in(dir, "osdecrypt", {"-T", "-f", "-K", "k", "x.osl"});
    EXPECT_EQ(r.status, 8);
    strings names = listing(dir.path);
    ASSERT_EQ(names.size(), 3u) << r.err;
    std::erase(names, "x");
    std::erase(names, "x.osl");
    ASSERT_EQ(names.size(), 1u) << "x or x.osl is gone";
    std::string temp_name = names[0];
    ASSERT_EQ(temp_name.rfind("x.", 0), 0u);
    ASSERT_EQ(temp_name.size(), 8u);
    EXPECT_EQ(r.err, "osdecrypt: could not rename " + temp_name + " to x: Is a directory\n");
    EXPECT_EQ(harness::read_file(dir / "x.osl"), cipher);
    EXPECT_EQ(harness::read_file(dir / temp_name), "precious");

    // In place the same situation leaves the decrypted content under the old name.
    r = run_in(dir, "osdecrypt", {"-f", "-K", "k", "x.osl"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "osdecrypt: could not rename x.osl to x: Is a directory\n");
    EXPECT_EQ(harness::read_file(dir / "x.osl"), "precious");
}

} // namespace
