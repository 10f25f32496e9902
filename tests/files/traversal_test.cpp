// Directory operands: ignored, traversed, entered once, with at most one
// directory open at a time.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::options_in;
using files_e2e::run_in;
using strings = std::vector<std::string>;

void make_dir(const std::string& path) { ASSERT_EQ(mkdir(path.c_str(), 0755), 0) << path; }

// Lines of `text`, sorted: the order of directory entries is the system's.
strings sorted_lines(const std::string& text) {
    strings lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        lines.push_back(text.substr(start, end - start));
        start = end == std::string::npos ? text.size() : end + 1;
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(directories, are_ignored_without_r) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    harness::write_file(dir / "d/a", "a");
    ASSERT_EQ(symlink("d", (dir / "ld").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-K", "k", "d", "ld"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "ostrel: d: is a directory -- ignored\nostrel: ld: directory is a symbolic "
                     "link -- ignored\n");
    r = run_in(dir, "ostrel", {"-q", "-K", "k", "d", "ld"});
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(dir / "d"), strings{"a"});
}

TEST(directories, r_processes_a_tree_hidden_names_included) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    make_dir(dir / "d/sub");
    make_dir(dir / "d/.hidden_dir");
    make_dir(dir / "d/empty");
    harness::write_file(dir / "d/a", "a");
    harness::write_file(dir / "d/.dot", "dot");
    harness::write_file(dir / "d/sub/b", "b");
    harness::write_file(dir / "d/.hidden_dir/c", "c");
    ASSERT_EQ(symlink("sub", (dir / "d/lsub").c_str()), 0);
    ASSERT_EQ(symlink("a", (dir / "d/la").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-r", "-v", "-K", "k", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sorted_lines(r.err), (strings{
                                       "Encrypting d/.dot",
                                       "Encrypting d/.hidden_dir/c",
                                       "Encrypting d/a",
                                       "Encrypting d/sub/b",
                                       "ostrel: d/la: is a symbolic link -- ignored",
                                       "ostrel: d/lsub: directory is a symbolic link -- ignored",
                                   }));
    EXPECT_EQ(listing(dir / "d"),
              (strings{".dot.osl", ".hidden_dir", "a.osl", "empty", "la", "lsub", "sub"}));
    EXPECT_EQ(listing(dir / "d/sub"), strings{"b.osl"});
    EXPECT_EQ(listing(dir / "d/.hidden_dir"), strings{"c.osl"});
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "d/.hidden_dir/c.osl"), "k"), "c");
}

TEST(directories, R_enters_a_link_to_an_ancestor_once) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    make_dir(dir / "d/sub");
    harness::write_file(dir / "d/sub/b", "b");
    ASSERT_EQ(symlink("..", (dir / "d/sub/up").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-R", "-v", "-K", "k", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sorted_lines(r.err),
              (strings{"Already visited directory d/sub/up -- skipped.", "Encrypting d/sub/b"}));
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "d/sub/b.osl"), "k"), "b");

    // The note is for verbose runs only.
    r = run_in(dir, "ostrel", {"-R", "-x", "-K", "k", "-H", "n", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "d/sub/b.osl"), "n"), "b");
}

TEST(directories, R_traverses_a_link_named_as_operand) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    harness::write_file(dir / "d/a", "a");
    ASSERT_EQ(symlink("d", (dir / "ld").c_str()), 0);
    harness::run_result r = run_in(dir, "ostrel", {"-R", "-v", "-K", "k", "ld", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Encrypting ld/a\nAlready visited directory d -- skipped.\n");
    EXPECT_EQ(listing(dir / "d"), strings{"a.osl"});
}

TEST(directories, named_twice_are_traversed_once) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    harness::write_file(dir / "d/a", "a");
    harness::run_result r = run_in(dir, "ostrel", {"-r", "-v", "-K", "k", "d", "./d", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Encrypting d/a\nAlready visited directory ./d -- skipped.\n"
                     "Already visited directory d -- skipped.\n");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "d/a.osl"), "k"), "a");
}

TEST(directories, a_trailing_slash_doubles_the_separator_in_messages) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    harness::write_file(dir / "d/a", "a");
    harness::run_result r = run_in(dir, "ostrel", {"-r", "-v", "-K", "k", "d/"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "Encrypting d//a\n");
    ASSERT_EQ(mkfifo((dir / "d/p").c_str(), 0644), 0);
    r = run_in(dir, "ostrel", {"-r", "-K", "k", "d/"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(sorted_lines(r.err), (strings{"ostrel: d//p: is not a regular file -- ignored"}));
}

TEST(directories, a_file_named_like_the_suffix_keeps_its_name_in_a_tree) {
    harness::temp_dir dir;
    make_dir(dir / "d");
    harness::write_file(dir / "d/.osl", files_e2e::encrypted("suffix only", "k"));
    harness::run_result r = run_in(dir, "osdecrypt", {"-r", "-K", "k", "d"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(listing(dir / "d"), strings{".osl"});
    EXPECT_EQ(harness::read_file(dir / "d/.osl"), "suffix only");
}

TEST(directories, at_most_one_is_open_at_a_time) {
    // 40 levels deep, with only 6 descriptors: standard input, output and
    // error, one directory, the file being written and one to spare.
    harness::temp_dir dir;
    std::string path = "t";
    make_dir(dir / path);
    for (int level = 0; level < 40; ++level) {
        harness::write_file(dir / (path + "/f"), "level " + std::to_string(level));
        path += "/s";
        make_dir(dir / path);
    }
    harness::run_options options = options_in(dir, "ostrel", {"-r", "-K", "k", "t"});
    options.child_setup = [] {
        struct rlimit limit = {6, 6};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    path = "t";
    for (int level = 0; level < 40; ++level, path += "/s")
        ASSERT_EQ(files_e2e::decrypted(harness::read_file(dir / (path + "/f.osl")), "k"),
                  "level " + std::to_string(level));
}

TEST(directories, side_by_side_within_64_descriptors) {
    // 300 directories of a file each, eight jobs asked for: the jobs in
    // flight and those waiting, each with its directory, stay within the
    // limit.
    harness::temp_dir dir;
    make_dir(dir / "t");
    for (int d = 0; d < 300; ++d) {
        make_dir(dir / ("t/d" + std::to_string(d)));
        for (int f = 0; f < 1; ++f)
            harness::write_file(dir / ("t/d" + std::to_string(d) + "/f" + std::to_string(f)),
                                std::to_string(d * 3 + f));
    }
    harness::run_options options = options_in(dir, "ostrel", {"-j", "8", "-r", "-K", "k", "t"});
    options.child_setup = [] {
        struct rlimit limit = {64, 64};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    for (int d = 0; d < 300; ++d)
        for (int f = 0; f < 1; ++f)
            ASSERT_EQ(
                files_e2e::decrypted(harness::read_file(dir / ("t/d" + std::to_string(d) + "/f" +
                                                               std::to_string(f) + ".osl")),
                                     "k"),
                std::to_string(d * 3 + f));
}

} // namespace

namespace {

TEST(directories, past_the_path_length_limit_the_run_reports_and_goes_on_with_few_descriptors) {
    // 45 levels of 100-byte names: the 41st directory's path passes the
    // system's limit on path length. Everything above it is done, with as
    // few descriptors as for a shallow tree.
    harness::temp_dir dir;
    const std::string name(100, 'n');
    make_dir(dir / "t");
    int at = open((dir / "t").c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(at, 0);
    std::string path = "t";
    std::string too_long;
    for (int level = 1; level <= 45; ++level) {
        ASSERT_EQ(mkdirat(at, name.c_str(), 0755), 0);
        int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        close(at);
        ASSERT_GE(next, 0);
        at = next;
        path += "/" + name;
        if (path.size() >= PATH_MAX && too_long.empty()) too_long = path;
        int fd = openat(at, "f", O_WRONLY | O_CREAT, 0644);
        ASSERT_EQ(write(fd, "x", 1), 1);
        close(fd);
    }
    close(at);
    harness::run_options options = options_in(dir, "ostrel", {"-r", "-K", "k", "t"});
    options.child_setup = [] {
        struct rlimit limit = {6, 6};
        setrlimit(RLIMIT_NOFILE, &limit);
    };
    harness::run_result r = harness::run(options);
    EXPECT_EQ(r.status, 8);
    EXPECT_EQ(r.err, "ostrel: " + too_long + ": " + std::strerror(ENAMETOOLONG) + "\n");
    // The deepest file done is the one in the last directory within the limit.
    at = open((dir / "t").c_str(), O_RDONLY | O_DIRECTORY);
    int done = 0;
    for (int level = 1; level <= 45 && at >= 0; ++level) {
        int next = openat(at, name.c_str(), O_RDONLY | O_DIRECTORY);
        struct stat st;
        if (fstatat(next, "f.osl", &st, 0) == 0) ++done;
        close(at);
        at = next;
    }
    if (at >= 0) close(at);
    EXPECT_EQ(done, 40);
    // Deeper than a path can name: rm removes it where the temporary
    // directory's own clean-up could not.
    EXPECT_EQ(std::system(("rm -rf '" + dir.path + "/t'").c_str()), 0);
}

} // namespace
