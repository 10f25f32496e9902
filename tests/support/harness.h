// Runs the built program under one of its names, the way a user would: in a
// directory of its own, with standard input, output and error as pipes (or
// files), and optionally a pseudo-terminal as its controlling terminal for
// prompts and questions. Without one the child has no controlling terminal
// at all, so opening /dev/tty fails in it.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

// 1 in a build with AddressSanitizer: GCC says so with __SANITIZE_ADDRESS__,
// clang 14 only through __has_feature.
#if defined(__SANITIZE_ADDRESS__)
#define OSTREL_TEST_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define OSTREL_TEST_ASAN 1
#endif
#endif
#ifndef OSTREL_TEST_ASAN
#define OSTREL_TEST_ASAN 0
#endif

namespace harness {

struct run_options {
    std::string name = "ostrel";   // program name: a file of the build's bin directory
    std::string argv0;             // argument 0 if not the name's full path
    std::vector<std::string> args; // arguments after argument 0
    std::string input;             // written to standard input, then closed
    std::string stdin_path;        // standard input from this file instead
    std::string stdout_path;       // standard output to this file instead (e.g. /dev/full)
    std::string cwd;               // working directory of the child
    std::vector<std::pair<std::string, std::string>> env_set;
    std::vector<std::string> env_unset;
    bool use_tty = false;              // give the child a pseudo-terminal as controlling terminal
    std::string tty_input;             // typed at that terminal (lines end with "\n")
    bool stdin_is_tty = false;         // standard input is the terminal itself
    bool stdout_is_tty = false;        // standard output is the terminal itself
    bool stderr_is_tty = false;        // standard error too (what it gets lands in `tty`)
    int timeout_seconds = 60;          // the child is killed after this
    std::function<void()> child_setup; // runs in the child just before exec
    // Runs the child as uid and gid 65534 (after child_setup). The program
    // and a preloaded library then come from a copy every user can reach,
    // since the build tree may lie below a directory only its owner may
    // enter (a root user's home).
    bool unprivileged = false;
};

struct run_result {
    int status = -1; // exit status; 128 + signal when killed by a signal
    int signal = 0;  // the signal that ended the child, or 0
    bool timed_out = false;
    std::string out; // standard output (unless redirected)
    std::string err; // standard error
    std::string tty; // what the child wrote to the terminal (echo included)
};

struct running_program {
    pid_t pid = -1;
    int in_fd = -1, out_fd = -1, err_fd = -1, master_fd = -1;
    // The terminal's slave side stays open here until finish(): a child that
    // holds no descriptor of its terminal between two opens of /dev/tty must
    // not see it hang up (and get SIGHUP) because the master was closed.
    int slave_fd = -1;
    std::string pending_input;
    int timeout_seconds = 60;
};

// Starts the program; finish() collects it. Between the two a test may send
// signals to pid.
running_program start(const run_options& options);
run_result finish(running_program& program);
run_result run(const run_options& options);

// The full path of a program name in the build's bin directory.
std::string program_path(const std::string& name);

// The unprivileged user of the tests.
constexpr uid_t unprivileged_user = 65534;
// Whether this process may run children as that user (it is root).
bool can_drop_privileges();
// Whether the programs of this build run under a user-mode emulator
// (qemu-user through binfmt_misc, as tools/test-arm64.sh runs them). To the
// kernel each process started is then the emulator, whose /proc/<pid>
// entries (cmdline, environ, syscall) are not the program's.
bool under_emulation();

// Path of a copy of `path` (a file of the build tree) in a directory of this
// process that every user may traverse, made on first use and removed when
// the process ends; the build's bin directory is copied whole, links
// included, so the program keeps its four names.
std::string reachable_copy(const std::string& path);

// A fresh directory under /tmp, removed with everything in it (write bits
// restored first) when the object goes.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string operator/(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const std::string& data);
std::string read_file(const std::string& path);
bool exists(const std::string& path); // lstat succeeds
std::string random_bytes(std::size_t n, unsigned seed);

} // namespace harness
