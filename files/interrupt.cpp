// SIGINT, SIGTERM and SIGHUP while a file is written. The handlers use only
// async-signal-safe calls (write, time, unlinkat, _exit) and touch nothing
// but the state below.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>

#include "files/files.h"

volatile std::sig_atomic_t interrupted = 0;
volatile std::time_t last_interrupt_time = 0;
const char* volatile tmpfile_name = nullptr;
volatile int tmpfile_dir = AT_FDCWD;
const char* volatile interrupt_prefix = nullptr;

namespace {

constexpr char long_notice[] =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";
static_assert(sizeof long_notice - 1 == 115);

constexpr int ending_signals[] = {SIGINT, SIGTERM, SIGHUP};

// Which of them the process was started with ignored (nohup, a background
// job of a shell without job control): those stay ignored.
bool inherited_ignore[3];
bool inherited_known = false;

void note_inherited() {
    if (inherited_known) return;
    inherited_known = true;
    for (int i = 0; i < 3; ++i) {
        struct sigaction current {};
        sigaction(ending_signals[i], nullptr, &current);
        inherited_ignore[i] = current.sa_handler == SIG_IGN;
    }
}

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

// "name: <tail>" in one write. `name` is one of the program's four names,
// so the line fits. Plain loops keep the handler off the string functions.
void write_prefixed(const char* tail) {
    char line[128];
    std::size_t length = 0;
    for (const char* c = interrupt_prefix; c && *c && length < 48; ++c) line[length++] = *c;
    for (const char* c = ": "; *c; ++c) line[length++] = *c;
    for (const char* c = tail; *c && length < sizeof line; ++c) line[length++] = *c;
    write_all(line, length);
}

// Which handler acts, set by the guards: none (the default action), the
// in-place one or the temporary-file one. The handlers are installed once,
// at the first guard, so a run over many files does not pay two system
// calls per signal and file for installing and removing them.
enum : int { acting_none = 0, acting_in_place = 1, acting_tmpfile = 2 };
volatile std::sig_atomic_t acting = acting_none;
bool installed = false;

// Outside the writing of a file a signal has its default action: it is
// restored and the signal raised again, to be delivered as the handler
// returns.
void default_action(int signal_number) {
    signal(signal_number, SIG_DFL);
    raise(signal_number);
}

void dispatch(int signal_number) {
    switch (acting) {
    case acting_in_place: on_interrupt(signal_number); break;
    case acting_tmpfile: on_interrupt_tmpfile(signal_number); break;
    default: default_action(signal_number); break;
    }
}

// A notice that cannot reach a closed standard error must not end the
// process half way through a file: SIGPIPE is ignored while one is written.
void dispatch_sigpipe(int signal_number) {
    if (acting == acting_none) default_action(signal_number);
}

void install_handlers() {
    note_inherited();
    if (installed) return;
    installed = true;
    struct sigaction action {};
    action.sa_handler = dispatch;
    sigemptyset(&action.sa_mask);
    // One signal's handler runs with the others held, so two cannot
    // interleave their notices or their removal of a temporary file.
    for (int signal_number : ending_signals) sigaddset(&action.sa_mask, signal_number);
    // The in-place driver's reads and writes must go on after a first
    // interrupt instead of failing with EINTR.
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 3; ++i)
        if (!inherited_ignore[i]) sigaction(ending_signals[i], &action, nullptr);
    struct sigaction current {};
    sigaction(SIGPIPE, nullptr, &current);
    if (current.sa_handler == SIG_DFL) {
        action.sa_handler = dispatch_sigpipe;
        sigemptyset(&action.sa_mask);
        sigaction(SIGPIPE, &action, nullptr);
    }
}

void block_ending_signals(sigset_t* saved) {
    sigset_t block;
    sigemptyset(&block);
    for (int signal_number : ending_signals) sigaddset(&block, signal_number);
    sigprocmask(SIG_BLOCK, &block, saved);
}

} // namespace

void on_interrupt(int signal_number) {
    int saved_errno = errno;
    // The first signal of a process never counts as a second one, since
    // last_interrupt_time starts at 0.
    if (std::time(nullptr) - last_interrupt_time <= 1) {
        write_prefixed("interrupted.\n");
        _exit(6);
    }
    last_interrupt_time = std::time(nullptr);
    interrupted = 1;
    if (signal_number == SIGINT)
        write_all(long_notice, sizeof long_notice - 1);
    else
        write_prefixed(signal_number == SIGTERM ? "SIGTERM - will exit after current file.\n"
                                                : "SIGHUP - will exit after current file.\n");
    errno = saved_errno;
}

void on_interrupt_tmpfile(int) {
    const char* name = tmpfile_name;
    if (name) unlinkat(tmpfile_dir, name, 0);
    _exit(6);
}

outcome after_interrupts(outcome o) {
    return interrupted && !ends_run(o) ? outcome::interrupted : o;
}

sigint_guard::sigint_guard(void (*handler)(int), const char* prefix) : active(true) {
    interrupt_prefix = prefix;
    install_handlers();
    acting = handler == on_interrupt_tmpfile ? acting_tmpfile : acting_in_place;
}

sigint_guard::~sigint_guard() { release(); }

void sigint_guard::release() {
    if (!active) return;
    acting = acting_none;
    active = false;
}

sigint_defer::sigint_defer() : held(true) { block_ending_signals(&saved_mask); }

sigint_defer::~sigint_defer() { release(); }

void sigint_defer::release() {
    if (!held) return;
    held = false;
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}

sigint_hold::sigint_hold() { block_ending_signals(&saved_mask); }

// A signal held back stays pending under the default action; it must not
// be let through, which would end the process by the signal. It is taken
// here instead, and the run ends after this file.
sigint_hold::~sigint_hold() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) == 0) {
        const timespec no_wait{0, 0};
        for (int signal_number : ending_signals) {
            if (!sigismember(&pending, signal_number)) continue;
            sigset_t one;
            sigemptyset(&one);
            sigaddset(&one, signal_number);
            sigtimedwait(&one, nullptr, &no_wait);
            interrupted = 1;
        }
    }
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}

file_size_signal_ignored::file_size_signal_ignored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &saved);
}

file_size_signal_ignored::~file_size_signal_ignored() { sigaction(SIGXFSZ, &saved, nullptr); }
