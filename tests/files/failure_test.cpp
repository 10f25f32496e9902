// Per-file failures: reported with the system's text, counted (status 8),
// and the run goes on. Permission failures need an unprivileged user, so the
// child drops to uid 65534 when the tests run as root.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

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

// A rename that cannot happen is found before anything is written: the
// file keeps its content and its name, whichever way it was to be renamed.
// In a sticky directory the file must be the user's or the directory's.
TEST(failures, a_rename_that_cannot_happen_leaves_the_file_untouched) {
    struct rename_case {
        const char* what;
        bool sticky;
        const char* name;
        strings args;
        const char* output;
        const char* error;
    } const cases[] = {
        {"encrypt", false, "a", {"-K", "k"}, "a.osl", "Permission denied"},
        {"decrypt", false, "a.osl", {"-d", "-K", "k"}, "a", "Permission denied"},
        {"sticky", true, "a", {"-K", "k"}, "a.osl", "Operation not permitted"},
    };
    for (const rename_case& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.sticky && geteuid() != 0) {
            std::printf("skipped: the sticky-directory row needs root to own the file\n");
            continue;
        }
        harness::temp_dir dir;
        const std::string data =
            c.name == std::string("a") ? "locked in" : files_e2e::encrypted("locked in", "k");
        const std::string locked = dir / "locked";
        if (c.sticky) {
            // Root's file, writable by all, in a directory all may write.
            ASSERT_EQ(mkdir(locked.c_str(), 01777), 0);
            ASSERT_EQ(chmod(locked.c_str(), 01777), 0);
            harness::write_file(locked + "/" + c.name, data);
            ASSERT_EQ(chmod((locked + "/" + c.name).c_str(), 0666), 0);
        } else {
            ASSERT_EQ(mkdir(locked.c_str(), 0755), 0);
            harness::write_file(locked + "/" + c.name, data);
            if (geteuid() == 0)
                ASSERT_EQ(chown((locked + "/" + c.name).c_str(), 65534, 65534), 0);
            else
                ASSERT_EQ(chmod(locked.c_str(), 0555), 0);
        }
        strings args = c.args;
        args.push_back(std::string("locked/") + c.name);
        harness::run_result r = run_unprivileged(dir, "ostrel", args);
        EXPECT_EQ(r.status, 8);
        EXPECT_EQ(r.err, std::string("ostrel: could not rename locked/") + c.name + " to locked/" +
                             c.output + ": " + c.error + "\n");
        EXPECT_EQ(harness::read_file(locked + "/" + c.name), data);
        EXPECT_EQ(listing(locked), strings{c.name});
    }
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

    // In place the rename is known to fail before a byte is written.
    r = run_in(dir, "osdecrypt", {"-f", "-K", "k", "x.osl"});
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "osdecrypt: could not rename x.osl to x: Is a directory\n");
    EXPECT_EQ(harness::read_file(dir / "x.osl"), cipher);
}

// Under a file-size limit below what a run would write, every way of
// writing ends with "File too large" and status 3, before or instead of
// the signal the limit would raise: a file in place is refused before a
// byte is written (decryption and key change write over its whole length,
// encryption 32 bytes past it), a temporary file is removed, and the input
// decrypts to the original. One size moves through the plain loops, the
// other through the I/O helper.
TEST(failures, a_file_size_limit_ends_the_run_with_every_input_whole) {
    struct limit_case {
        const char* what;
        strings args;
        bool encrypted_input;
        bool in_place;
        bool filter;
        const char* shown; // the name in the message; empty for none
    } const cases[] = {
        {"encrypt in place", {"-K", "k", "f"}, false, true, false, "f"},
        {"decrypt in place", {"-d", "-K", "k", "f"}, true, true, false, "f"},
        {"keychange in place", {"-x", "-K", "k", "-H", "n", "f"}, true, true, false, "f"},
        {"encrypt -T", {"-T", "-K", "k", "f"}, false, false, false, "f"},
        {"decrypt -T", {"-T", "-d", "-K", "k", "f"}, true, false, false, "f"},
        {"cat", {"-c", "-K", "k", "f"}, true, false, false, "standard output"},
        {"encrypt filter", {"-K", "k"}, false, false, true, ""},
        {"decrypt filter", {"-d", "-K", "k"}, true, false, true, ""},
    };
    for (const std::size_t size : {std::size_t(40000), std::size_t(5) << 20})
        for (const limit_case& c : cases) {
            SCOPED_TRACE(testing::Message() << c.what << ", " << size << " bytes");
            harness::temp_dir dir;
            const std::string plain = harness::random_bytes(size, unsigned(size));
            const std::string data = c.encrypted_input ? files_e2e::encrypted(plain, "k") : plain;
            harness::write_file(dir / "f", data);
            harness::run_options options = options_in(dir, "ostrel", c.args);
            if (c.filter || std::string(c.shown) == "standard output") {
                harness::write_file(dir / "out", "");
                options.stdout_path = dir / "out";
            }
            if (c.filter) options.stdin_path = dir / "f";
            // In place, a limit the final length fits but the old one does not.
            const rlim_t limit = c.encrypted_input && c.in_place ? size : size / 2;
            options.child_setup = [limit] {
                const rlimit fsize{limit, RLIM_INFINITY};
                setrlimit(RLIMIT_FSIZE, &fsize);
            };
            harness::run_result r = harness::run(options);
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, std::string("ostrel: ") + c.shown + (c.shown[0] ? ": " : "") +
                                 std::strerror(EFBIG) + "\n");
            EXPECT_TRUE(harness::read_file(dir / "f") == data) << "the input changed";
            strings left = listing(dir.path);
            std::erase(left, "out");
            EXPECT_EQ(left, strings{"f"});
        }
}

// An output error of cat names standard output, not the file it read.
TEST(failures, cat_names_standard_output_when_its_reader_is_gone) {
    harness::temp_dir dir;
    harness::write_file(dir / "a.osl", files_e2e::encrypted(std::string(3 << 20, 'x'), "k"));
    harness::run_options options = options_in(dir, "oscat", {"-K", "k", "a.osl"});
    int pipe_ends[2];
    ASSERT_EQ(pipe(pipe_ends), 0);
    options.child_setup = [pipe_ends] {
        signal(SIGPIPE, SIG_IGN);
        dup2(pipe_ends[1], STDOUT_FILENO);
        close(pipe_ends[0]);
        close(pipe_ends[1]);
    };
    close(pipe_ends[0]);
    harness::run_result r = harness::run(options);
    close(pipe_ends[1]);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, std::string("oscat: standard output: ") + std::strerror(EPIPE) + "\n");
}

} // namespace
