// SIGINT from outside while a file is written. To make the signal land at a
// known moment, the child's standard error is a pipe filled to the brim
// before the program starts: its first message then blocks in write(2), and
// the test signals once /proc shows it waiting there. The first message of a
// verbose run ("Encrypting a") comes after the handler has been installed,
// and before the driver has touched the file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "files/files_e2e.h"

namespace {

using files_e2e::listing;
using files_e2e::lstat_of;
using files_e2e::options_in;
using strings = std::vector<std::string>;

const std::string notice =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";

// child_setup: makes standard error a full pipe of one page.
void fill_standard_error() {
    fcntl(STDERR_FILENO, F_SETPIPE_SZ, 4096);
    int flags = fcntl(STDERR_FILENO, F_GETFL);
    fcntl(STDERR_FILENO, F_SETFL, flags | O_NONBLOCK);
    char block[4096];
    std::memset(block, '#', sizeof block);
    while (write(STDERR_FILENO, block, sizeof block) > 0) {}
    while (write(STDERR_FILENO, block, 1) > 0) {}
    fcntl(STDERR_FILENO, F_SETFL, flags);
}

// What the program wrote after the filler.
std::string written(const harness::run_result& r) {
    std::size_t start = r.err.find_first_not_of('#');
    return start == std::string::npos ? std::string() : r.err.substr(start);
}

// Whether `pid` waits in write(2) on standard error, with `count` bytes when
// count is not 0.
bool waits_in_stderr_write(pid_t pid, unsigned long count) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/syscall");
    long number = -1;
    std::string fd, buffer, length;
    if (!(f >> number >> fd >> buffer >> length)) return false; // "running"
    return number == SYS_write && std::stoul(fd, nullptr, 16) == 2 &&
           (count == 0 || std::stoul(length, nullptr, 16) == count);
}

::testing::AssertionResult wait_for_stderr_write(pid_t pid, unsigned long count = 0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (waits_in_stderr_write(pid, count)) return ::testing::AssertionSuccess();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return ::testing::AssertionFailure() << "the program never blocked writing to standard error";
}

// Waits, without collecting it, until `pid` has ended: a reader draining the
// pipe earlier would let a blocked write complete before the signal acts.
void wait_for_end(pid_t pid) {
    siginfo_t info{};
    waitid(P_PID, id_t(pid), &info, WEXITED | WNOWAIT);
}

struct interrupts : ::testing::Test {
    harness::temp_dir dir;
    std::string content = harness::random_bytes(300000, 11);

    void SetUp() override {
        std::ifstream probe("/proc/self/syscall");
        std::string first;
        if (!(probe >> first)) GTEST_SKIP() << "/proc/<pid>/syscall is not readable here";
        if (harness::under_emulation())
            GTEST_SKIP() << "under emulation /proc/<pid>/syscall shows the emulator's system "
                            "calls, not the program's";
        // The program makes itself undumpable (keywords are in its memory),
        // which gives its /proc entries to root.
        if (geteuid() != 0)
            GTEST_SKIP() << "the program's /proc/<pid>/syscall is readable by root only (it is not "
                            "dumpable)";
        harness::write_file(dir / "a", content);
        harness::write_file(dir / "b", "next file");
        ASSERT_EQ(chmod((dir / "a").c_str(), 0640), 0);
        const struct timespec times[2] = {{1000000000, 0}, {1100000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, (dir / "a").c_str(), times, 0), 0);
    }

    // One file after the other: the moments are those of a file's first
    // message, which side by side would wait in its buffer.
    harness::running_program start(const std::string& name, strings args) {
        args.insert(args.begin(), "-j1");
        harness::run_options options = options_in(dir, name, std::move(args));
        options.child_setup = fill_standard_error;
        return harness::start(options);
    }
};

TEST_F(interrupts, one_in_place_lets_the_file_finish_and_stops_before_the_next) {
    harness::running_program p = start("ostrel", {"-v", "-K", "k", "a", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    ASSERT_TRUE(wait_for_stderr_write(p.pid, notice.size()));
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r), notice + "Encrypting a\n");
    EXPECT_EQ(listing(dir.path), (strings{"a.osl", "b"}));
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), content);
    struct stat st = lstat_of(dir / "a.osl");
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(st.st_mtime, 1100000000);
    EXPECT_EQ(harness::read_file(dir / "b"), "next file");
}

TEST_F(interrupts, a_second_within_a_second_ends_the_process_at_once) {
    harness::running_program p = start("ostrel", {"-v", "-K", "k", "a", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    // The second arrives while the first handler still writes its notice.
    ASSERT_TRUE(wait_for_stderr_write(p.pid, notice.size()));
    kill(p.pid, SIGINT);
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r), notice + "ostrel: interrupted.\n");
    EXPECT_EQ(listing(dir.path), (strings{"a", "b"}));
    EXPECT_EQ(harness::read_file(dir / "b"), "next file");
}

TEST_F(interrupts, two_seconds_apart_each_is_a_first_one) {
    harness::running_program p = start("osencrypt", {"-v", "-K", "k", "a", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    ASSERT_TRUE(wait_for_stderr_write(p.pid, notice.size()));
    // Delivered when the first handler returns, at least two seconds after
    // it read the time.
    std::this_thread::sleep_for(std::chrono::milliseconds(2200));
    kill(p.pid, SIGINT);
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r), notice + notice + "Encrypting a\n");
    EXPECT_EQ(files_e2e::decrypted(harness::read_file(dir / "a.osl"), "k"), content);
    EXPECT_EQ(harness::read_file(dir / "b"), "next file");
}

TEST_F(interrupts, one_during_a_rejected_file_still_ends_the_run) {
    std::string cipher = files_e2e::encrypted(content, "other");
    harness::write_file(dir / "x.osl", cipher);
    harness::running_program p = start("osdecrypt", {"-v", "-K", "k", "x.osl", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    ASSERT_TRUE(wait_for_stderr_write(p.pid, notice.size()));
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r),
              notice + "Decrypting x.osl\nosdecrypt: x.osl: key does not match -- unchanged\n");
    EXPECT_EQ(harness::read_file(dir / "x.osl"), cipher);
    EXPECT_EQ(harness::read_file(dir / "b"), "next file");
}

TEST_F(interrupts, with_a_temporary_file_remove_it_silently) {
    // Encrypting creates the output file itself; a key change a temporary
    // file beside it. Either is gone afterwards, and the input untouched.
    harness::running_program p = start("ostrel", {"-T", "-v", "-K", "k", "a", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    wait_for_end(p.pid);
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r), "");
    EXPECT_EQ(listing(dir.path), (strings{"a", "b"}));
    EXPECT_EQ(harness::read_file(dir / "a"), content);

    std::string cipher = files_e2e::encrypted(content, "k");
    harness::write_file(dir / "c.osl", cipher);
    p = start("ostrel", {"-T", "-v", "-x", "-K", "k", "-H", "n", "c.osl", "b"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    wait_for_end(p.pid);
    r = harness::finish(p);
    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(written(r), "");
    EXPECT_EQ(listing(dir.path), (strings{"a", "b", "c.osl"}));
    EXPECT_EQ(harness::read_file(dir / "c.osl"), cipher);
}

TEST_F(interrupts, outside_the_writing_of_a_file_have_their_default_action) {
    // During a question, and during cat mode.
    harness::write_file(dir / "a.osl", "taken");
    harness::running_program p = start("ostrel", {"-K", "k", "a"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    wait_for_end(p.pid);
    harness::run_result r = harness::finish(p);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(harness::read_file(dir / "a"), content);

    harness::write_file(dir / "c.osl", files_e2e::encrypted("catted", "k"));
    p = start("oscat", {"-v", "-K", "k", "c.osl"});
    ASSERT_TRUE(wait_for_stderr_write(p.pid));
    kill(p.pid, SIGINT);
    wait_for_end(p.pid);
    r = harness::finish(p);
    EXPECT_EQ(r.signal, SIGINT);
    EXPECT_EQ(r.out, "");
}

} // namespace
