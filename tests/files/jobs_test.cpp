// Files transformed side by side (-j 4) against one after the other (-j 1):
// the same tree and the same answers give standard error byte for byte,
// the same status and the same tree, however the workers' files finish.
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <regex>
#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using strings = std::vector<std::string>;

// A temporary name as the same in every run: its random tail left out.
std::string fixed(const std::string& text) {
    static const std::regex tail("\\.osl\\.[A-Za-z0-9]{6}");
    return std::regex_replace(text, tail, ".osl.XXXXXX");
}

// Every file under `top` by its path: its mode and its bytes, or a link's
// target.
std::map<std::string, std::string> tree_of(const std::string& top, const std::string& at = "") {
    std::map<std::string, std::string> tree;
    for (const std::string& name : files_e2e::listing(top + "/" + at)) {
        const std::string real = at.empty() ? name : at + "/" + name;
        const std::string path = fixed(real);
        const struct stat st = files_e2e::lstat_of(top + "/" + real);
        if (S_ISDIR(st.st_mode)) {
            tree[path + "/"] = "";
            for (auto& entry : tree_of(top, real)) tree.insert(entry);
        } else if (S_ISLNK(st.st_mode)) {
            char target[256] = {};
            EXPECT_GT(readlink((top + "/" + real).c_str(), target, sizeof target - 1), 0);
            tree[path] = std::string("-> ") + target;
        } else {
            tree[path] =
                std::to_string(st.st_mode & 07777) + " " + harness::read_file(top + "/" + real);
        }
    }
    return tree;
}

// Plain files of several sizes (a few past the drivers' buffers), one
// already with the suffix, one whose output name exists (a question), two
// write-protected (a question each in place), a hard link across
// directories, a link to an ancestor, and a file whose result cannot take
// its name (a directory holds it).
void plain_tree(const harness::temp_dir& dir) {
    for (const char* d : {"d1", "d2", "d3"}) ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
    for (int i = 0; i < 12; ++i)
        harness::write_file(dir / ("d1/f" + std::to_string(i)),
                            harness::random_bytes(std::size_t(i * i) * 7000, unsigned(i)));
    harness::write_file(dir / "d1/x.osl", "already suffixed");
    harness::write_file(dir / "d1/f5.osl", "stands in the way");
    harness::write_file(dir / "d2/ro", "protected");
    harness::write_file(dir / "d1/ro2", "protected too");
    chmod((dir / "d2/ro").c_str(), 0444);
    chmod((dir / "d1/ro2").c_str(), 0444);
    ASSERT_EQ(link((dir / "d1/f3").c_str(), (dir / "d2/h").c_str()), 0);
    ASSERT_EQ(symlink("..", (dir / "d2/up").c_str()), 0);
    harness::write_file(dir / "d3/sub", "cannot be renamed");
    ASSERT_EQ(mkdir((dir / "d3/sub.osl").c_str(), 0755), 0);
}

// Encrypted under the run's key, some under another (rejected), a plain
// file among them, an output name taken, and a hard link across
// directories.
void encrypted_tree(const harness::temp_dir& dir) {
    for (const char* d : {"d1", "d2"}) ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
    static const strings sealed = [] {
        strings out;
        for (int i = 0; i < 10; ++i)
            out.push_back(files_e2e::encrypted(harness::random_bytes(std::size_t(i) * 40000, 9),
                                               i % 4 == 1 ? "wrong" : "k"));
        return out;
    }();
    for (int i = 0; i < 10; ++i)
        harness::write_file(dir / ("d1/g" + std::to_string(i) + ".osl"), sealed[i]);
    harness::write_file(dir / "d1/plain", "not encrypted");
    harness::write_file(dir / "d1/g2", "older file");
    ASSERT_EQ(link((dir / "d1/g4.osl").c_str(), (dir / "d2/h.osl").c_str()), 0);
}

// Files enough that the planning thread runs ahead of the workers (with few
// descriptors its window is short) and writes the newest plans itself while
// the workers take the oldest; a hard link to one of them from the next
// directory.
void wide_tree(const harness::temp_dir& dir) {
    for (const char* d : {"d1", "d2"}) ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
    for (int i = 0; i < 40; ++i)
        harness::write_file(dir / ("d1/f" + std::to_string(i)),
                            harness::random_bytes(std::size_t(i % 7) * 30000, unsigned(i)));
    ASSERT_EQ(link((dir / "d1/f9").c_str(), (dir / "d2/h").c_str()), 0);
    harness::write_file(dir / "d2/g", "after the link");
}

struct jobs_case {
    const char* what;
    void (*make)(const harness::temp_dir&);
    strings args;
    std::string typed; // answers at the terminal, in the order asked
    rlim_t files = 0;  // the descriptor limit of both runs, unless 0
};

TEST(Jobs, SideBySideReadsAsOneAfterTheOther) {
    const std::vector<jobs_case> cases = {
        {"encrypt in place", plain_tree, {"-v", "-R", "-K", "k", "d1", "d2", "d3"}, "y\nn\ny\ny\n"},
        {"encrypt in place, no",
         plain_tree,
         {"-r", "-K", "k", "d2", "d1", "d3", "d1/f2"},
         "n\ny\nn\n"},
        {"encrypt through temporary files",
         plain_tree,
         {"-v", "-T", "-r", "-K", "k", "d1", "d2", "d3"},
         "y\ny\ny\n"},
        {"decrypt", encrypted_tree, {"-v", "-d", "-r", "-K", "k", "d1", "d2", "d1/g3"}, "y\n"},
        // The names named again while their files may be in flight: by
        // the input's name, by the output's, and the other link.
        {"encrypt, the planning thread ahead",
         wide_tree,
         {"-v", "-r", "-K", "k", "d1", "d1/f38", "d1/f39.osl", "d2"},
         "",
         64},
    };
    for (const jobs_case& c : cases) {
        SCOPED_TRACE(c.what);
        harness::temp_dir serial, side_by_side;
        c.make(serial);
        c.make(side_by_side);
        harness::run_result r[2];
        for (int i = 0; i < 2; ++i) {
            strings args = {"-j", i == 0 ? "1" : "4"};
            args.insert(args.end(), c.args.begin(), c.args.end());
            harness::run_options options =
                files_e2e::options_in(i == 0 ? serial : side_by_side, "ostrel", args);
            options.use_tty = true;
            options.tty_input = c.typed;
            if (const rlim_t files = c.files)
                options.child_setup = [files] {
                    const rlimit limit{files, files};
                    setrlimit(RLIMIT_NOFILE, &limit);
                };
            r[i] = harness::run(options);
        }
        EXPECT_NE(r[0].err, "");
        EXPECT_EQ(fixed(r[1].err), fixed(r[0].err));
        EXPECT_EQ(r[1].status, r[0].status);
        const auto one = tree_of(serial.path), four = tree_of(side_by_side.path);
        ASSERT_EQ(one.size(), four.size());
        for (auto a = one.begin(), b = four.begin(); a != one.end(); ++a, ++b) {
            ASSERT_EQ(a->first, b->first);
            // Encrypted twice, the same content differs in its nonce.
            if (a->second != b->second) {
                EXPECT_EQ(files_e2e::decrypted(b->second.substr(b->second.find(' ') + 1), "k"),
                          files_e2e::decrypted(a->second.substr(a->second.find(' ') + 1), "k"))
                    << a->first;
            }
        }
    }
}

} // namespace
