// The entry point of the process: mode from the program name, option scan,
// validation, key acquisition, and the filter run or the file-list run.
// The steps below are the entry point's own pieces, in the order of a run;
// each reports its own failures and ends the process with exit() on them.
#pragma once

// Runs the whole program; returns the exit status (some failures end the
// process earlier with exit()).
int ostrel_main(int argc, char** argv);

// ---- Process (harden.cpp) -----------------------------------------------------------

// Makes the process not dumpable and its core-size limit 0; first thing of a
// run, before any keyword exists.
void harden_process();

// ---- Command line (options.cpp) ---------------------------------------------------

// Sets `name` and `mode` of `config` from the last component of argument 0.
// Under a name that selects no mode, argv[0] becomes a heap copy of "ostrel",
// so that the option scanner's own diagnostics carry the program's prefix.
void take_program_name(int argc, char** argv);

// Sets every other field of `config` to its default.
void set_defaults();

// Scans the options with getopt_long, applying each as it comes; -h, -V and
// -L print and exit at once. Leaves `infiles`/`infile_count` at the operands
// and decides `filter`.
void scan_options(int argc, char** argv);

// Overwrites every character of `text` with a zero byte, keeping its storage:
// a keyword so wiped no longer shows in the argument list or the environment.
void wipe_text(char* text);

// ---- Texts (texts.cpp) ---------------------------------------------------------------

void print_help();
void print_version();
void print_license();
// The state of `config` on standard error, before any keyword is acquired.
void print_debug_dump();

// ---- Keywords (keys.cpp) -------------------------------------------------------------

// Fills `keyword` (and in keychange mode `keyword2`) from the key file and
// then from prompts on the controlling terminal, for whatever is missing.
void acquire_keywords();

// With -y in encrypt or keychange mode, ends the process (status 10 or 2)
// unless the encryption key opens the reference file.
void check_reference_file();

// Wipes and frees `keyword` and `keyword2` and forgets them. Also runs at
// exit(), so that every status leaves them wiped.
void release_keywords();

// ---- Filter run (filter_run.cpp) -------------------------------------------------------

// Transforms standard input to standard output by mode; returns the exit
// status (0, 2, 3 or 4) after writing the failure message, if any.
int run_filter();
