// Every way a run can be told to end, at exact moments: SIGTERM and SIGHUP
// as SIGINT is, while a file is written in place or through a temporary
// file; an interrupt whose notice meets a closed standard error; signals the
// program was started with ignored; a signal aimed at a later file of a
// temporary-file run. The interposer raises the signal just before the
// chosen call. Afterwards each of the files a, b and c is wholly original,
// wholly transformed under its output name, or (only after two signals at
// once, as the notice warns) partly transformed; no temporary file is left.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

#include "faults/fault_support.h"

namespace {

const std::string key = "key";
const std::string term_notice = "ostrel: SIGTERM - will exit after current file.\n";
const std::string hup_notice = "ostrel: SIGHUP - will exit after current file.\n";
const std::string int_notice =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";

enum class start { plain, stderr_closed, sigint_ignored, sigterm_ignored };

struct ending_case {
    const char* title;
    std::vector<std::string> options;
    const char* action; // the signal raised
    const char* op;     // just before this call
    const char* target; // on this file, relative to the directory
    int nth;            // the first matching call that gets a signal
    int count;          // how many matching calls get one from there on
    start how;
    int status;
    std::string err;
    const char* files; // a, b, c: 'd' done, 'u' untouched, 'p' partly transformed
};

const ending_case cases[] = {
    {"in_place_sigterm_while_writing",
     {},
     "sigterm",
     "write",
     "a",
     2,
     1,
     start::plain,
     6,
     term_notice,
     "duu"},
    {"in_place_sighup_while_writing",
     {},
     "sighup",
     "write",
     "a",
     2,
     1,
     start::plain,
     6,
     hup_notice,
     "duu"},
    {"in_place_sigterm_before_the_rename",
     {},
     "sigterm",
     "rename",
     "a",
     1,
     1,
     start::plain,
     6,
     term_notice,
     "duu"},
    {"in_place_sighup_at_the_second_file",
     {},
     "sighup",
     "write",
     "b",
     2,
     1,
     start::plain,
     6,
     hup_notice,
     "ddu"},
    {"in_place_two_sigterms_at_once",
     {},
     "sigterm",
     "write",
     "a",
     2,
     2,
     start::plain,
     6,
     term_notice + "ostrel: interrupted.\n",
     "puu"},
    {"in_place_sigint_with_stderr_closed",
     {},
     "sigint",
     "write",
     "a",
     2,
     1,
     start::stderr_closed,
     6,
     "",
     "duu"},
    {"in_place_sigterm_with_stderr_closed",
     {},
     "sigterm",
     "write",
     "b",
     2,
     1,
     start::stderr_closed,
     6,
     "",
     "ddu"},
    {"in_place_sigint_ignored_from_the_start",
     {},
     "sigint",
     "write",
     "a",
     2,
     2,
     start::sigint_ignored,
     0,
     "",
     "ddd"},
    {"in_place_sigterm_ignored_from_the_start",
     {},
     "sigterm",
     "write",
     "a",
     2,
     2,
     start::sigterm_ignored,
     0,
     "",
     "ddd"},
    {"temporary_sigterm_while_writing",
     {"-T"},
     "sigterm",
     "fwrite",
     "a.osl.*",
     1,
     1,
     start::plain,
     6,
     "",
     "uuu"},
    {"temporary_sighup_while_writing",
     {"-T"},
     "sighup",
     "fwrite",
     "a.osl.*",
     1,
     1,
     start::plain,
     6,
     "",
     "uuu"},
    {"temporary_sighup_before_the_rename",
     {"-T"},
     "sighup",
     "rename",
     "a.osl.*",
     1,
     1,
     start::plain,
     6,
     "",
     "duu"},
    {"temporary_sigterm_before_removing_the_input",
     {"-T"},
     "sigterm",
     "unlink",
     "a",
     1,
     1,
     start::plain,
     6,
     "",
     "duu"},
    {"temporary_sigint_at_the_second_file",
     {"-T"},
     "sigint",
     "fwrite",
     "b.osl.*",
     1,
     1,
     start::plain,
     6,
     "",
     "duu"},
    {"temporary_sigint_at_the_last_file",
     {"-T"},
     "sigint",
     "fwrite",
     "c.osl.*",
     1,
     1,
     start::plain,
     6,
     "",
     "ddu"},
    {"temporary_sigterm_ignored_from_the_start",
     {"-T"},
     "sigterm",
     "fwrite",
     "a.osl.*",
     1,
     1,
     start::sigterm_ignored,
     0,
     "",
     "ddd"},
};

void PrintTo(const ending_case& c, std::ostream* out) { *out << c.title; }

struct ending : testing::TestWithParam<ending_case> {};

TEST_P(ending, each_file_is_whole_and_the_status_tells) {
    const ending_case& c = GetParam();
    harness::temp_dir dir;
    const std::vector<std::string> names = {"a", "b", "c"};
    std::vector<std::string> contents;
    for (unsigned i = 0; i < 3; ++i) {
        // Five buffers and more, so a signal can come in the middle.
        contents.push_back(harness::random_bytes(50000 + 1000 * i, 40 + i));
        harness::write_file(dir / names[i], contents.back());
    }
    harness::run_options o;
    o.args = c.options;
    // One after the other: the files after the one signalled are untouched.
    o.args.insert(o.args.end(), {"-j1", "-K", key, "a", "b", "c"});
    o.cwd = dir.path;
    faults::fault f = faults::failing(c.op, dir / c.target, c.nth);
    f.action = c.action;
    f.count = c.count;
    faults::inject(o, f);
    const start how = c.how;
    o.child_setup = [how] {
        if (how == start::sigint_ignored) signal(SIGINT, SIG_IGN);
        if (how == start::sigterm_ignored) signal(SIGTERM, SIG_IGN);
        if (how == start::stderr_closed) {
            int p[2];
            if (pipe(p) != 0) _exit(125);
            close(p[0]);
            dup2(p[1], 2);
            close(p[1]);
        }
    };

    harness::run_result r = harness::run(o);
    SCOPED_TRACE("status " + std::to_string(r.status) + ", standard error: " + r.err);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(r.err, c.err);

    std::set<std::string> expected;
    for (std::size_t i = 0; i < names.size(); ++i) {
        const char want = c.files[i];
        const std::string plain_path = dir / names[i];
        const std::string result_path = dir / (names[i] + ".osl");
        if (want == 'd') {
            expected.insert(names[i] + ".osl");
            bool ok = false;
            EXPECT_TRUE(faults::decrypt(harness::read_file(result_path), key, &ok) == contents[i] &&
                        ok)
                << names[i] << " is not wholly transformed";
        } else {
            expected.insert(names[i]);
            const bool same = harness::read_file(plain_path) == contents[i];
            EXPECT_EQ(same, want == 'u') << names[i] << (same ? " is untouched" : " was changed");
        }
    }
    EXPECT_EQ(faults::listing(dir.path), expected)
        << "a file is missing or a temporary file was left";
}

INSTANTIATE_TEST_SUITE_P(Faults, ending, testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.title); });

} // namespace

namespace {

// A kill, which no program can catch, at the first write of a temporary
// file's output: the input is intact, nothing has the output's name, and
// the leftover can be read by its owner only.
TEST(killed, at_the_first_write_of_a_temporary_file_leaves_a_private_leftover) {
    for (const char* mode : {"-e", "-d"}) {
        harness::temp_dir dir;
        const std::string plain = harness::random_bytes(40000, 50);
        const bool decrypting = std::string(mode) == "-d";
        std::string content = plain;
        if (decrypting) {
            content = faults::encrypt(plain, key);
        }
        const std::string input = decrypting ? "a.osl" : "a";
        const std::string output = decrypting ? "a" : "a.osl";
        harness::write_file(dir / input, content);
        harness::run_options o;
        o.args = {"-T", mode, "-K", key, input};
        o.cwd = dir.path;
        faults::fault f = faults::failing("fwrite", dir / (output + ".*"));
        f.action = "sigkill";
        faults::inject(o, f);
        harness::run_result r = harness::run(o);
        EXPECT_EQ(r.status, 128 + SIGKILL);
        EXPECT_TRUE(harness::read_file(dir / input) == content);
        const std::set<std::string> names = faults::listing(dir.path);
        ASSERT_EQ(names.size(), 2u);
        for (const std::string& name : names) {
            if (name == input) continue;
            EXPECT_EQ(name.rfind(output + ".", 0), 0u) << name;
            struct stat st {};
            ASSERT_EQ(lstat((dir / name).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 07777, 0600u) << name;
        }
    }
}

} // namespace
