// SIGINT while a file is written. The handlers use only async-signal-safe
// calls (write, time, unlink, _exit) and touch nothing but the state below.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "cli/config.h"
#include "files/files.h"

volatile std::sig_atomic_t interrupted = 0;
volatile std::time_t last_interrupt_time = 0;
const char* volatile tmpfile_name = nullptr;
volatile int tmpfile_dir = AT_FDCWD;

namespace {

constexpr char long_notice[] =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";
static_assert(sizeof long_notice - 1 == 115);

void write_all(const char* text, std::size_t length) {
    while (length > 0) {
        ssize_t written = write(STDERR_FILENO, text, length);
        if (written < 0) {
            if (errno == EINTR) continue;
            return;
        }
        text += written;
        length -= std::size_t(written);
    }
}

// "name: interrupted.\n" in one write. `name` is one of the program's four
// names, so the line fits. Plain loops keep the handler off the string
// functions.
void write_interrupted_notice() {
    constexpr char tail[] = ": interrupted.\n";
    char line[64];
    std::size_t length = 0;
    for (const char* c = config.name; c && *c && length < sizeof line - sizeof tail; ++c)
        line[length++] = *c;
    for (const char* c = tail; *c; ++c) line[length++] = *c;
    write_all(line, length);
}

void set_sigint(void (*handler)(int)) {
    struct sigaction action {};
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    // The in-place driver's reads and writes must go on after a first
    // interrupt instead of failing with EINTR.
    action.sa_flags = handler == SIG_DFL ? 0 : SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
}

} // namespace

void on_interrupt(int) {
    int saved_errno = errno;
    // The first interrupt of a process never counts as a second one, since
    // last_interrupt_time starts at 0.
    if (std::time(nullptr) - last_interrupt_time <= 1) {
        write_interrupted_notice();
        _exit(6);
    }
    last_interrupt_time = std::time(nullptr);
    interrupted = 1;
    write_all(long_notice, sizeof long_notice - 1);
    errno = saved_errno;
}

void on_interrupt_tmpfile(int) {
    const char* name = tmpfile_name;
    if (name) unlinkat(tmpfile_dir, name, 0);
    _exit(6);
}

void check_interrupt() {
    if (interrupted) std::exit(6);
}

sigint_guard::sigint_guard(void (*handler)(int)) : active(true) { set_sigint(handler); }

sigint_guard::~sigint_guard() { release(); }

void sigint_guard::release() {
    if (!active) return;
    set_sigint(SIG_DFL);
    active = false;
}

sigint_hold::sigint_hold() : active(true) {
    sigset_t block;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigprocmask(SIG_BLOCK, &block, &saved_mask);
}

sigint_hold::~sigint_hold() { end(); }

void sigint_hold::end() {
    if (!active) return;
    active = false;
    sigset_t pending;
    sigemptyset(&pending);
    // A SIGINT held back stays pending under the default action; it must
    // not be let through, which would end the process by the signal.
    if (sigpending(&pending) == 0 && sigismember(&pending, SIGINT)) std::exit(6);
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}
