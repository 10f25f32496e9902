// A directory moved while the run works below it: the run gets back to the
// directory it was in through "..", and when that is not it any more, by
// walking down from the operand, each directory checked. One that has been
// replaced is reported and nothing more of it is touched.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <ostream>
#include <string>

#include "files/file_steps.h"
#include "files/files.h"
#include "support/harness.h"

namespace {

struct move_case {
    const char* label;
    std::function<void()> move; // in the operand's parent directory
    int status;
    std::string err;
    const char* g_result; // where the sibling g ends up: its name after the run
};

void PrintTo(const move_case& c, std::ostream* os) { *os << c.label; }

std::function<void()> active_move;
bool moved = false;

void move_at_first_file(file_step step, const char* shown) {
    if (moved || step != file_step::decided || std::string(shown) != "t/a/b/f") return;
    moved = true;
    active_move();
}

void must(int result) {
    if (result != 0) _exit(90);
}

const move_case cases[] = {
    {"subdirectory_moved_out", [] { must(rename("t/a/b", "t/b2")); }, 0, "", "t/a/g.osl"},
    {"directory_renamed", [] { must(rename("t/a", "t/a2")); }, 0, "", "t/a2/g.osl"},
    {"directory_replaced_by_a_link",
     [] {
         must(rename("t/a/b", "t/b2"));
         must(rename("t/a", "t/a2"));
         must(symlink("../victim", "t/a"));
     },
     8, "ostrel: t/a: changed while being processed\n", "t/a2/g"},
};

struct moved_directory : ::testing::TestWithParam<move_case> {};

TEST_P(moved_directory, the_run_goes_on_in_the_same_directory_or_reports_it) {
    const move_case& c = GetParam();
    harness::temp_dir dir;
    for (const char* d : {"t", "t/a", "t/a/b", "victim"})
        ASSERT_EQ(mkdir((dir / d).c_str(), 0755), 0);
    harness::write_file(dir / "t/a/b/f", "f");
    harness::write_file(dir / "t/a/g", "g");
    harness::write_file(dir / "victim/g", "victim");
    const std::string err_path = dir / "stderr";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (err < 0 || dup2(err, 2) < 0 || chdir(dir.path.c_str()) != 0) _exit(91);
        static char keyword[] = "k";
        static run_context run;
        run.options.name = "ostrel";
        run.keyword = keyword;
        run.options.mode = mode_encrypt;
        run.options.suffix = ".osl";
        run.options.recursive = 1;
        active_move = c.move;
        file_step_hook = move_at_first_file;
        process_path(run, "t");
        std::fflush(stderr);
        _exit(!moved ? 92 : run.errors ? 8 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), c.status);
    EXPECT_EQ(harness::read_file(err_path), c.err);
    EXPECT_TRUE(harness::exists(dir / c.g_result)) << c.g_result;
    EXPECT_EQ(harness::read_file(dir / "victim/g"), "victim");
    EXPECT_FALSE(harness::exists(dir / "victim/g.osl"));
}

INSTANTIATE_TEST_SUITE_P(moves, moved_directory, ::testing::ValuesIn(cases),
                         [](const auto& info) { return std::string(info.param.label); });

} // namespace
