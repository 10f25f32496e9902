// The entry point: mode from the program name, option scan, validation, key
// acquisition, and the filter run or the file-list run. The steps below are
// the entry point's own pieces, in the order of a run; each reports its own
// failures, and only ostrel_main turns what they return into the exit status.
#pragma once

#include "files/files.h"

// The statuses the program ends with.
enum exit_status : int {
    status_ok = 0,
    status_usage = 1,       // the command line is wrong
    status_fatal = 2,       // the program could not go on (memory, no terminal, a broken stream)
    status_io = 3,          // reading or writing data failed
    status_rejected = 4,    // some input was not for this key, or not encrypted
    status_interrupted = 6, // a signal came while a file was written
    status_keys_differ = 7, // the two typed keys differ
    status_failed = 8,      // some file could not be processed
    status_no_key = 9,      // no key could be had
    status_reference = 10,  // -y: the key does not open the reference file
};
// What a step of the run returns when the run goes on.
constexpr int keep_going = -1;

// Runs the whole program; returns the exit status.
int ostrel_main(int argc, char** argv);

// The exit status of a run that came to `o`, with its counters.
int status_of(const run_context& run, outcome o);

// ---- Process (harden.cpp) -----------------------------------------------------------

// Makes the process not dumpable and its core-size limit 0; first thing of a
// run, before any keyword exists.
void harden_process();

// ---- Command line (options.cpp) ---------------------------------------------------

// Sets `name` and `mode` from the last component of argument 0. Under a
// name that selects no mode, argv[0] becomes a heap copy of "ostrel", so
// that the option scanner's own diagnostics carry the program's prefix.
// keep_going, or status_fatal when memory ran out (reported).
int take_program_name(run_options& options, int argc, char** argv);

// Scans the options with getopt_long, applying each as it comes; -h, -V and
// -L print and end the run. Leaves `infiles`/`infile_count` at the operands
// and decides `filter`. keep_going, or the status to end with (reported).
int scan_options(run_context& run, int argc, char** argv);

// Overwrites every character of `text` with a zero byte, keeping its storage:
// a keyword so wiped no longer shows in the argument list or the environment.
void wipe_text(char* text);

// ---- Texts (texts.cpp) ---------------------------------------------------------------

void print_help();
void print_version();
void print_license();
// The state of the run on standard error, before any keyword is acquired.
void print_debug_dump(const run_context& run);

// ---- Keywords (keys.cpp, prompt_keyword.cpp) -------------------------------------------

// Fills `keyword` (and in keychange mode `keyword2`) from the key file and
// then from prompts on the controlling terminal, for whatever is missing.
// keep_going, or the status to end with (reported).
int acquire_keywords(run_context& run);

// With -y, when the mode encrypts: keep_going when the encryption key opens
// the reference file, else the status to end with (reported).
int check_reference_file(const run_context& run);

// The schedules of `keyword` and `keyword2`, made once for every file of
// the run (run.prepared; left null when memory runs out).
void prepare_schedules(run_context& run);

// Wipes and frees `keyword` and `keyword2` and their schedules, and forgets them.
void release_keywords(run_context& run);

// Asks "prompt suffix" on standard error and reads one line from /dev/tty
// with echo off (restored whatever happens: an interrupt meanwhile gives the
// terminal its echo back and then ends the process by SIGINT as usual). Null
// at end of input; null with `*failed` set when /dev/tty cannot be opened or
// memory ran out (reported with `prefix`).
char* prompt_keyword(const char* prompt, const char* suffix, const char* prefix, bool* failed);

// ---- Filter run (filter_run.cpp) -------------------------------------------------------

// Transforms standard input to standard output by mode, reporting a failure.
outcome run_filter(run_context& run);
