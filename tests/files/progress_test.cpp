// --progress: on a terminal, a status line that no message or question ever
// runs into, cleared at the end and followed by the run's counts; without a
// terminal, standard error byte for byte as without the option.
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "files/files_e2e.h"

namespace {

using strings = std::vector<std::string>;

// A 5 MiB file, a write-protected one (a question), one whose output name
// is taken (a question), two already with the suffix (refused under -s; to
// a decryption one is not encrypted, one is), and 150 small files, so that an unlimited line would
// be drawn far more often than four times a second.
void make_tree(const harness::temp_dir& dir) {
    for (const char* d : {"d", "d/many"}) ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
    harness::write_file(dir / "d/big", harness::random_bytes(5 << 20, 1));
    harness::write_file(dir / "d/ro", "protected");
    ASSERT_EQ(chmod((dir / "d/ro").c_str(), 0444), 0);
    harness::write_file(dir / "d/taken", "plain");
    harness::write_file(dir / "d/taken.osl", "in the way");
    harness::write_file(dir / "d/x.osl", "suffixed");
    harness::write_file(dir / "d/sealed.osl", files_e2e::encrypted("plain", "k"));
    for (int i = 0; i < 150; ++i)
        harness::write_file(dir / ("d/many/f" + std::to_string(i)), std::string(1000, 'a'));
}

struct progress_case {
    const char* what;
    strings args;           // after the key
    std::string typed;      // answers at the terminal
    std::string first_line; // a line drawn before any byte is written
    std::string counts;     // the last line, up to the time
};

// What the terminal showed, its "\r\n" as "\n": the status lines, the
// clearings and everything else, which must be the messages as a run
// without the line writes them.
struct screen {
    strings drawn;
    std::string rest;
    bool ran_into = false; // something other than a carriage return followed a line
    bool left_standing = false;
};

screen read_screen(std::string tty) {
    tty = std::regex_replace(tty, std::regex("\r\n"), "\n");
    screen s;
    const std::string clear = "\r\x1b[K";
    for (std::size_t at = 0; at < tty.size();) {
        if (tty.compare(at, clear.size(), clear) == 0) {
            at += clear.size();
            continue;
        }
        if (tty[at] != '\r') {
            s.rest += tty[at++];
            continue;
        }
        const std::size_t end = tty.find("\x1b[K", at);
        if (end == std::string::npos) {
            s.rest += tty.substr(at);
            break;
        }
        s.drawn.push_back(tty.substr(at + 1, end - at - 1));
        at = end + 3;
        if (at == tty.size())
            s.left_standing = true;
        else if (tty[at] != '\r')
            s.ran_into = true;
    }
    return s;
}

TEST(Progress, LineNeverMeetsAMessageAndCountsTheRun) {
    const std::vector<progress_case> cases = {
        {"one file", {"d/big"}, "", "d/big: 0 B of 5.0 MiB, 0%", "1 file, 5.0 MiB in "},
        {"a tree", {"-v", "-s", "-r", "d"}, "y\nn\n", "0 files, 0 B", "152 files, 5.1 MiB in "},
        // The first line stands before the first file's messages are out.
        {"a tree, side by side",
         {"-v", "-f", "-s", "-j", "4", "-r", "d"},
         "",
         "0 files, 0 B",
         "153 files, 5.1 MiB in "},
        // Only files written whole count.
        {"rejected files", {"-f", "-d", "-r", "d"}, "", "0 files, 0 B", "1 file, 37 B in "},
    };
    for (const progress_case& c : cases) {
        SCOPED_TRACE(c.what);
        // Without the option, with it to a pipe, with it to a terminal.
        harness::run_result r[3];
        double seconds = 0;
        for (int i = 0; i < 3; ++i) {
            harness::temp_dir dir;
            make_tree(dir);
            strings args = {"-K", "k"};
            if (i > 0) args.push_back("--progress");
            args.insert(args.end(), c.args.begin(), c.args.end());
            harness::run_options options = files_e2e::options_in(dir, "ostrel", args);
            options.use_tty = true;
            options.tty_input = c.typed;
            options.stderr_is_tty = i == 2;
            const auto start = std::chrono::steady_clock::now();
            r[i] = harness::run(options);
            seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            EXPECT_EQ(r[i].status, r[0].status);
            if (!c.typed.empty()) {
                EXPECT_EQ(harness::read_file(dir / "d/taken.osl"), "in the way");
            }
        }
        EXPECT_EQ(r[1].err, r[0].err);
        const screen s = read_screen(r[2].tty);
        EXPECT_FALSE(s.ran_into) << r[2].tty;
        EXPECT_FALSE(s.left_standing) << r[2].tty;
        ASSERT_FALSE(s.drawn.empty());
        EXPECT_EQ(s.drawn.front(), c.first_line);
        // At most four a second, the first one at once.
        EXPECT_LE(double(s.drawn.size()), 2 + 4 * seconds) << r[2].tty;
        // The typed answers' echo comes first; the messages follow
        // unbroken, then the last line.
        const std::string& echo = c.typed;
        ASSERT_EQ(s.rest.compare(0, echo.size(), echo), 0) << s.rest;
        const std::string messages = s.rest.substr(echo.size());
        ASSERT_EQ(messages.compare(0, r[0].err.size(), r[0].err), 0) << messages;
        const std::string last = messages.substr(r[0].err.size());
        EXPECT_EQ(last.compare(0, 8 + c.counts.size(), "ostrel: " + c.counts), 0) << last;
        EXPECT_EQ(last.find('\n'), last.size() - 1) << last;
    }
}

} // namespace
