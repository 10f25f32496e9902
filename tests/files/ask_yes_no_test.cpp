// ask_yes_no in a child without a controlling terminal, so that the answer
// comes from standard input (here a pipe holding the typed text).
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "files/files.h"

namespace {

// The answers of successive questions to `typed`, one bit per question.
int answers(const std::string& typed, int questions) {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        setsid(); // no controlling terminal: /dev/tty cannot be opened
        dup2(pipe_fds[0], STDIN_FILENO);
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        int bits = 0;
        for (int i = 0; i < questions; ++i) bits |= ask_yes_no() << i;
        _exit(bits);
    }
    close(pipe_fds[0]);
    ssize_t written = write(pipe_fds[1], typed.data(), typed.size());
    close(pipe_fds[1]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (written != ssize_t(typed.size()) || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

TEST(ask_yes_no, yes_exactly_for_y_and_yes) {
    const std::pair<std::string, int> cases[] = {
        {"y\n", 1}, {"yes\n", 1}, {"y\r\n", 1}, // the line end, CR included, is not part of it
        {"yes", 1},                             // a last line without newline
        {"Y\n", 0}, {"YES\n", 0}, {" y\n", 0},   {"y \n", 0}, {"\n", 0},
        {"n\n", 0}, {"no\n", 0},  {"yess\n", 0}, {"ye\n", 0}, {"", 0}, // end of input
    };
    for (const auto& [typed, expected] : cases)
        EXPECT_EQ(answers(typed, 1), expected) << '"' << typed << '"';
}

TEST(ask_yes_no, each_question_reads_the_next_line_of_standard_input) {
    // Standard input is never closed between questions.
    EXPECT_EQ(answers("n\ny\nyes\n", 4), 0b0110);
}

} // namespace
