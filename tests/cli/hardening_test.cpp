// What the process does about its key material, seen from outside while it
// waits for a key line on standard input: it is not dumpable (its /proc
// entries are root's even when an ordinary user runs it), it allows itself
// no core file, and it leaves none when it aborts.
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <thread>

#include "cli_support.h"
#include "support/harness.h"

namespace {

// `ostrel -k -` with standard input open and empty: it waits in its first
// read of the key line.
harness::running_program start_waiting(const std::string& cwd, std::function<void()> setup = {},
                                       bool unprivileged = false) {
    harness::run_options o;
    o.args = {"-k", "-"};
    o.cwd = cwd;
    o.child_setup = std::move(setup);
    o.unprivileged = unprivileged;
    return harness::start(o);
}

// Polls `ready` for up to ten seconds.
bool eventually(const std::function<bool()>& ready) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!ready()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

// The process's core-size limits from /proc/<pid>/limits, "soft hard".
std::string core_limits(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("Max core file size", 0) == 0) {
            std::istringstream fields(line.substr(18));
            std::string soft, hard;
            fields >> soft >> hard;
            return soft + " " + hard;
        }
    return "";
}

uid_t owner(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_uid : uid_t(-1);
}

TEST(Hardening, ProcEntriesBelongToRootWhenAnOrdinaryUserRunsTheProgram) {
    const bool root = harness::can_drop_privileges();
    const uid_t user = root ? harness::unprivileged_user : geteuid();
    harness::running_program p = start_waiting("/", {}, root);
    const std::string proc = "/proc/" + std::to_string(p.pid);
    // The program itself, run by the user (not the test's child before exec).
    std::string status;
    const bool started = eventually([&] {
        status = harness::read_file(proc + "/status");
        return status.rfind("Name:\tostrel\n", 0) == 0 &&
               status.find("\nUid:\t" + std::to_string(user) + "\t") != std::string::npos;
    });
    // The entries that would show its memory: the directory itself keeps
    // the owner it was created with.
    const char* entries[] = {"environ", "mem", "maps", "status"};
    std::string not_root;
    const bool root_owned = started && eventually([&] {
                                not_root.clear();
                                for (const char* entry : entries)
                                    if (owner(proc + "/" + entry) != 0)
                                        not_root += std::string(" ") + entry;
                                return not_root.empty();
                            });
    kill(p.pid, SIGKILL);
    harness::run_result r = harness::finish(p);
    ASSERT_TRUE(started) << status;
    EXPECT_TRUE(root_owned) << "not root's in " << proc << ":" << not_root;
}

// The block that receives the key line is locked in memory before the line
// arrives (where the locked-memory limit allows any locking at all).
TEST(Hardening, KeyLineBufferIsLockedInMemoryWhileTheProgramReads) {
#if OSTREL_TEST_ASAN
    GTEST_SKIP() << "built with AddressSanitizer, whose runtime turns mlock into a no-op";
#endif
    rlimit limit{};
    getrlimit(RLIMIT_MEMLOCK, &limit);
    if (limit.rlim_cur < 4096) GTEST_SKIP() << "RLIMIT_MEMLOCK allows no locked page here";
    harness::running_program p = start_waiting("/");
    const std::string status_path = "/proc/" + std::to_string(p.pid) + "/status";
    std::string locked;
    const bool some_locked = eventually([&] {
        const std::string status = harness::read_file(status_path);
        const std::size_t at = status.find("\nVmLck:");
        if (status.rfind("Name:\tostrel\n", 0) != 0 || at == std::string::npos) return false;
        locked = status.substr(at + 8, status.find('\n', at + 1) - at - 8);
        return std::stoul(locked) > 0;
    });
    kill(p.pid, SIGKILL);
    harness::finish(p);
    EXPECT_TRUE(some_locked) << "VmLck:" << locked;
}

TEST(Hardening, NoCoreFileWhenTheProgramAborts) {
    harness::temp_dir dir;
    // The most core the user may allow, as a careless shell would set it.
    auto allow_core = [] {
        rlimit limit{};
        getrlimit(RLIMIT_CORE, &limit);
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_CORE, &limit);
    };
    harness::running_program p = start_waiting(dir.path, allow_core);
    const bool no_core_allowed = eventually([&] { return core_limits(p.pid) == "0 0"; });
    kill(p.pid, SIGABRT);
    harness::run_result r = harness::finish(p);
    EXPECT_TRUE(no_core_allowed) << "core limits: " << core_limits(p.pid);
    EXPECT_EQ(r.signal, SIGABRT);
    auto core_files = [&] {
        int n = 0;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path))
            if (entry.path().filename().string().rfind("core", 0) == 0) ++n;
        return n;
    };
    EXPECT_EQ(core_files(), 0);

    // The control: an ordinary process, same limit, same directory, does
    // leave a core file, or the absence above would prove nothing.
    const pid_t control = fork();
    if (control == 0) {
        allow_core();
        if (chdir(dir.path.c_str()) != 0) _exit(1);
        signal(SIGABRT, SIG_DFL);
        abort();
    }
    int wstatus = 0;
    waitpid(control, &wstatus, 0);
    if (core_files() == 0)
        GTEST_SKIP()
            << "this system writes no core file of an aborted process into its working directory "
               "(see /proc/sys/kernel/core_pattern and the core limit), so no core file proves "
               "nothing";
}

} // namespace
