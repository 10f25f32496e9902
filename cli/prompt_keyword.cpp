// Asking for a keyword on the controlling terminal with echo switched off.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "cli/cli.h"

namespace {

// The terminal whose echo is off and its attributes from before, for the
// interrupt handler; `echo_fd` is -1 while echo is on.
volatile sig_atomic_t echo_fd = -1;
termios saved_attributes;

void restore_echo() {
    if (echo_fd >= 0) tcsetattr(echo_fd, TCSANOW, &saved_attributes);
}

// An interrupt at a prompt still ends the process by SIGINT's default
// action, as everywhere outside file writing, but gives the user's terminal
// its echo back first. The signal stays blocked until the handler returns,
// and is then delivered again under the default action.
extern "C" void restore_echo_and_reraise(int signal_number) {
    restore_echo();
    ::signal(signal_number, SIG_DFL);
    ::raise(signal_number);
}

// Echo is off only inside one prompt: while the answer is read, SIGINT
// restores it before ending the process. A SIGINT that was ignored when the
// program started stays ignored.
struct echo_off {
    struct sigaction previous_action {};
    bool active = false;

    explicit echo_off(int fd) {
        if (tcgetattr(fd, &saved_attributes) != 0) return; // not a terminal: read all the same
        struct sigaction action {};
        action.sa_handler = restore_echo_and_reraise;
        sigemptyset(&action.sa_mask);
        sigaction(SIGINT, nullptr, &previous_action);
        echo_fd = fd;
        if (previous_action.sa_handler != SIG_IGN) sigaction(SIGINT, &action, nullptr);
        termios quiet = saved_attributes;
        quiet.c_lflag &= ~tcflag_t(ECHO | ECHOE | ECHOK | ECHONL);
        tcsetattr(fd, TCSANOW, &quiet);
        active = true;
    }
    // The attributes go back before the handler does, so that no interrupt
    // in between can end the process with echo off.
    ~echo_off() {
        if (!active) return;
        restore_echo();
        echo_fd = -1;
        sigaction(SIGINT, &previous_action, nullptr);
    }
    echo_off(const echo_off&) = delete;
    echo_off& operator=(const echo_off&) = delete;
};

} // namespace

char* prompt_keyword(const char* prompt, const char* suffix, const char* prefix, bool* failed) {
    *failed = false;
    std::FILE* terminal = std::fopen("/dev/tty", "r");
    if (!terminal) {
        std::fprintf(stderr, "%s: cannot open /dev/tty: %s\n", prefix, std::strerror(errno));
        *failed = true;
        return nullptr;
    }
    // What is typed passes through the stream's buffer; that buffer is this
    // one, wiped once the stream is closed, not one that stdio frees as it
    // is.
    char typed[BUFSIZ];
    std::setvbuf(terminal, typed, _IOFBF, sizeof typed);
    // The prompt goes to standard error, not to the device.
    std::fprintf(stderr, "%s%s", prompt, suffix);
    std::fflush(stderr);
    char* answer;
    {
        echo_off guard(fileno(terminal));
        errno = 0;
        answer = read_keyword_line(terminal, nullptr);
        *failed = !answer && errno == ENOMEM;
    }
    // The user's Enter was not echoed.
    std::fputc('\n', stderr);
    std::fflush(stderr);
    std::fclose(terminal);
    wipe(typed, sizeof typed);
    if (*failed) std::fprintf(stderr, "%s: %s\n", prefix, std::strerror(ENOMEM));
    return answer;
}
