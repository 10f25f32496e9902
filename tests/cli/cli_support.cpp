#include "cli_support.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

namespace cli_test {

namespace {

    using clock_type = std::chrono::steady_clock;

    clock_type::time_point deadline_after(int timeout_ms) {
        return clock_type::now() + std::chrono::milliseconds(timeout_ms);
    }

} // namespace

harness::run_result run_with(const std::string& name, std::vector<std::string> args,
                             const std::string& input) {
    harness::run_options options;
    options.name = name;
    options.args = std::move(args);
    options.input = input;
    return harness::run(options);
}

std::string encrypt(const std::string& plain, const std::string& key) {
    harness::run_result r = run_with("ostrel", {"-e", "-K", key}, plain);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

std::string decrypt(const std::string& cipher, const std::string& key) {
    harness::run_result r = run_with("ostrel", {"-d", "-K", key}, cipher);
    EXPECT_EQ(r.status, 0) << r.err;
    return r.out;
}

void expect_opens(const std::string& cipher, const std::string& key, const std::string& plain,
                  const std::string& label) {
    harness::run_result r = run_with("osdecrypt", {"-K", key}, cipher);
    EXPECT_EQ(r.status, 0) << label << ": " << r.err;
    EXPECT_TRUE(r.out == plain) << label;
}

bool read_stderr_until(harness::running_program& program, std::string& seen,
                       const std::string& text, int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    auto ends_with_text = [&] {
        return seen.size() >= text.size() &&
               seen.compare(seen.size() - text.size(), text.size(), text) == 0;
    };
    while (!ends_with_text()) {
        if (clock_type::now() >= deadline) return false;
        pollfd fd{program.err_fd, POLLIN, 0};
        if (poll(&fd, 1, 50) <= 0) continue;
        char buffer[4096];
        ssize_t got = read(program.err_fd, buffer, sizeof buffer);
        if (got <= 0) return false;
        seen.append(buffer, size_t(got));
    }
    return true;
}

unsigned long local_modes(int master_fd) {
    termios attributes{};
    EXPECT_EQ(tcgetattr(master_fd, &attributes), 0);
    return attributes.c_lflag;
}

bool wait_for_echo(int master_fd, bool on, int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    while (((local_modes(master_fd) & ECHO) != 0) != on) {
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

bool wait_until_ended(pid_t pid, int timeout_ms) {
    auto deadline = deadline_after(timeout_ms);
    while (true) {
        siginfo_t info{};
        if (waitid(P_PID, id_t(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid)
            return true;
        if (clock_type::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::string read_proc(pid_t pid, const char* what) {
    return harness::read_file("/proc/" + std::to_string(pid) + "/" + what);
}

void close_input(harness::running_program& program) {
    if (program.in_fd < 0) return;
    const std::string& input = program.pending_input;
    std::size_t done = 0;
    while (done < input.size()) {
        pollfd fd{program.in_fd, POLLOUT, 0};
        poll(&fd, 1, 1000);
        ssize_t written = write(program.in_fd, input.data() + done, input.size() - done);
        if (written < 0 && errno != EAGAIN) break;
        if (written > 0) done += std::size_t(written);
    }
    close(program.in_fd);
    program.in_fd = -1;
    program.pending_input.clear();
}

void type(int master_fd, const std::string& text) {
    ASSERT_EQ(write(master_fd, text.data(), text.size()), ssize_t(text.size()));
}

const std::string sample_plain = "some data worth protecting\n";

void expect_key(const std::string& cipher, const std::string& key, const std::string& label) {
    expect_opens(cipher, key, sample_plain, label);
}

} // namespace cli_test
