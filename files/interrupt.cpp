// SIGINT, SIGTERM and SIGHUP while a file is written. The handlers use only
// async-signal-safe calls (write, time, unlinkat, _exit) and touch nothing
// but the state below, which only this file sees; the termination_scope
// sets it and clears it.
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "file_steps.h"

namespace {

// A first signal came while a file was written; workers read it (lock-free,
// so the handler may set it).
std::atomic<int> interrupted{0};
static_assert(std::atomic<int>::is_always_lock_free);
volatile std::time_t last_interrupt_time = 0;    // of the last signal that did not end the process
const char* volatile tmpfile_name = nullptr;     // the scope's copy, removed by the handler
volatile int tmpfile_dir = AT_FDCWD;             // the directory holding it
const char* volatile interrupt_prefix = nullptr; // the program's name in the handlers' lines

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

// Which handler acts, set by the scopes: none (the default action), the
// in-place one or the temporary-file one. The handlers are installed once,
// at the first scope, so a run over many files does not pay two system
// calls per signal and file for installing and removing them.
enum : int { acting_none = 0, acting_in_place = 1, acting_tmpfile = 2 };
volatile std::sig_atomic_t acting = acting_none;
bool installed = false;

// Files written side by side: each worker's temporary file, which the
// thread that takes the signals removes. A worker holds its slot's lock
// from the start of its scope until the handler may know the file, and
// from hold() to the end of the scope, so the file is never half known.
struct worker_temporary {
    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    int dir = AT_FDCWD;
    const char* name = nullptr;
};
worker_temporary worker_temporaries[max_jobs];
thread_local int worker_slot = -1; // this thread's slot, or -1 off the workers

// Set once the thread that takes the signals removes the temporary files
// and ends the process: a writer must not take its slot's lock again, or
// one writing file after file could keep it from that thread for as long
// as the run lasts (a lock gives no turns).
std::atomic<bool> ending_with_temporaries{false};

// A writer's slot lock, unless the process is ending: then the writer
// waits for the end, its temporary file left to the thread that ends it.
void lock_slot(worker_temporary& slot) {
    if (ending_with_temporaries.load())
        for (;;) pause();
    pthread_mutex_lock(&slot.lock);
}

// In-place writing: a first signal lets the file finish (and the run end
// after it); a second one of the three within the same or the next second
// ends the process at once with status 6.
void on_interrupt(int signal_number) {
    // The one place errno is saved and put back: a handler runs between any
    // two statements of the code it interrupts, which may be about to read
    // errno.
    const int saved_errno = errno;
    progress_clear_from_handler();
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

// Temporary-file writing: removes the scope's file and ends, silently.
void on_interrupt_tmpfile(int) {
    progress_clear_from_handler();
    const char* name = tmpfile_name;
    if (name) unlinkat(tmpfile_dir, name, 0);
    _exit(6);
}

// Outside the writing of a file a signal has its default action: it is
// restored and the signal raised again, to be delivered as the handler
// returns.
void default_action(int signal_number) {
    progress_clear_from_handler();
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

// Takes every one of the three signals pending while they were held back,
// without its action: each counts as interrupted.
void take_held_signals() {
    sigset_t pending;
    sigemptyset(&pending);
    if (sigpending(&pending) != 0) return;
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

} // namespace

bool interrupt_came() { return interrupted != 0; }

void set_interrupted(bool came) { interrupted = came ? 1 : 0; }

outcome after_interrupts(outcome o) {
    return interrupted && !ends_run(o) ? outcome::interrupted : o;
}

termination_scope::termination_scope(termination_handling how, const char* prefix) : handling(how) {
    if (worker_slot >= 0) {
        // The worker holds the three signals back for good; the main thread
        // takes them.
        if (handling == termination_handling::remove_temporary) {
            lock_slot(worker_temporaries[worker_slot]);
            blocked = true;
        }
        return;
    }
    interrupt_prefix = prefix;
    install_handlers();
    if (handling == termination_handling::finish_file) {
        acting = acting_in_place;
        return;
    }
    // Until the handler knows the temporary file, a signal waits.
    block_ending_signals(&saved_mask);
    blocked = true;
}

char* termination_scope::reserve_temporary_name(const char* output_name) {
    const std::size_t length = std::strlen(output_name);
    std::free(temporary_name);
    temporary_name = static_cast<char*>(std::malloc(length + 8));
    if (!temporary_name) return nullptr;
    std::memcpy(temporary_name, output_name, length);
    std::memcpy(temporary_name + length, ".XXXXXX", 8);
    return temporary_name;
}

void termination_scope::watch_temporary(int dir_fd) {
    temporary_dir = dir_fd;
    if (worker_slot >= 0) {
        worker_temporary& slot = worker_temporaries[worker_slot];
        slot.dir = dir_fd;
        slot.name = temporary_name;
        watching = true;
        blocked = false;
        pthread_mutex_unlock(&slot.lock);
        return;
    }
    tmpfile_dir = dir_fd;
    tmpfile_name = temporary_name;
    watching = true;
    acting = acting_tmpfile;
    // A signal that came meanwhile acts now, and removes the file.
    blocked = false;
    sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
}

void termination_scope::keep_temporary() { kept = true; }

void termination_scope::hold() {
    if (worker_slot >= 0) {
        if (!blocked) lock_slot(worker_temporaries[worker_slot]);
        blocked = true;
        holding = true;
        return;
    }
    if (!blocked) block_ending_signals(&saved_mask);
    blocked = true;
    holding = true;
    // SIGPIPE has its default action again while the result takes its name.
    acting = acting_none;
}

// A signal held back by hold() stays pending under the default action; it
// must not be let through, which would end the process by the signal. It is
// taken instead, and the run ends after this file. One held back before the
// temporary file was watched finds nothing of the run's left behind.
termination_scope::~termination_scope() {
    if (worker_slot >= 0) {
        worker_temporary& slot = worker_temporaries[worker_slot];
        if (watching && !kept) {
            if (!blocked) lock_slot(slot);
            blocked = true;
            unlinkat(temporary_dir, temporary_name, 0);
        }
        slot.name = nullptr;
        if (blocked) pthread_mutex_unlock(&slot.lock);
        std::free(temporary_name);
        return;
    }
    if (watching && !kept) {
        if (!blocked) block_ending_signals(&saved_mask);
        blocked = true;
        unlinkat(temporary_dir, temporary_name, 0);
    }
    tmpfile_name = nullptr;
    acting = acting_none;
    if (holding) take_held_signals();
    if (blocked) sigprocmask(SIG_SETMASK, &saved_mask, nullptr);
    std::free(temporary_name);
}

void become_worker(int slot) { worker_slot = slot; }

int current_worker() { return worker_slot; }

void hold_signals_for_jobs(const char* prefix, sigset_t* held, sigset_t* saved) {
    interrupt_prefix = prefix;
    install_handlers();
    sigemptyset(held);
    for (int i = 0; i < 3; ++i)
        if (!inherited_ignore[i]) sigaddset(held, ending_signals[i]);
    pthread_sigmask(SIG_BLOCK, held, saved);
}

void take_signal_for_jobs(int signal_number, bool temporary_files, bool default_action) {
    progress_clear_from_handler();
    if (default_action) {
        // The signal's own action, as outside the writing of a file.
        signal(signal_number, SIG_DFL);
        sigset_t one;
        sigemptyset(&one);
        sigaddset(&one, signal_number);
        pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
        raise(signal_number);
        return;
    }
    if (!temporary_files) {
        on_interrupt(signal_number);
        return;
    }
    // Each lock is kept: no worker creates, renames or removes anything
    // more before the process ends.
    ending_with_temporaries.store(true);
    for (worker_temporary& slot : worker_temporaries) {
        pthread_mutex_lock(&slot.lock);
        if (slot.name) unlinkat(slot.dir, slot.name, 0);
    }
    _exit(6);
}

file_size_signal_ignored::file_size_signal_ignored() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGXFSZ, &ignore, &saved);
}

file_size_signal_ignored::~file_size_signal_ignored() { sigaction(SIGXFSZ, &saved, nullptr); }
