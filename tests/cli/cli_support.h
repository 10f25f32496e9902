// Small helpers shared by the end-to-end tests of the command line: running
// the program with a keyword at hand, and driving a prompt on the
// pseudo-terminal step by step (wait for the prompt, watch the echo flag,
// type, look at the process before it is reaped).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "support/harness.h"

namespace cli_test {

// Runs the program under `name` with `args`, `input` on standard input.
harness::run_result run_with(const std::string& name, std::vector<std::string> args,
                             const std::string& input = "");

// The encryption of `plain` under `key`, made by the program as a filter.
std::string encrypt(const std::string& plain, const std::string& key);
// Decrypts `cipher` under `key` as a filter; the exit status must be 0.
std::string decrypt(const std::string& cipher, const std::string& key);
// `cipher` must decrypt under `key` to `plain`.
void expect_opens(const std::string& cipher, const std::string& key, const std::string& plain,
                  const std::string& label);

// The plaintext that the key-source and prompt tests encrypt, and the check
// that `cipher` opens under `key` to it.
extern const std::string sample_plain;
void expect_key(const std::string& cipher, const std::string& key, const std::string& label);

// Reads standard error of a started program into `seen` until it ends with
// `text` or the time runs out; true when it does.
bool read_stderr_until(harness::running_program& program, std::string& seen,
                       const std::string& text, int timeout_ms = 10000);

// Whether the terminal's ECHO flag, read through the master side, becomes
// `on` within the time.
bool wait_for_echo(int master_fd, bool on, int timeout_ms = 10000);
// The terminal's local-mode flags, read through the master side.
unsigned long local_modes(int master_fd);

// Waits until the child has ended without reaping it, so that its terminal
// and /proc entry can still be inspected before harness::finish.
bool wait_until_ended(pid_t pid, int timeout_ms = 10000);

// The whole of a /proc file of the child (cmdline, environ).
std::string read_proc(pid_t pid, const char* what);

// Writes the pending standard input (small) and closes it, so that the
// child can finish before harness::finish.
void close_input(harness::running_program& program);

// Types `text` at the terminal.
void type(int master_fd, const std::string& text);

} // namespace cli_test
