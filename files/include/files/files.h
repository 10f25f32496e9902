// File processing: the run context, the table of modes, one named file
// turned into its counterpart, directory traversal, the visited list, the
// interrupt handling around writing, and the line reading that questions and
// key files share.
//
// Everything here reports its own failures on standard error, where the
// context is known, and returns what became of the file as an `outcome`;
// nothing here ends the process (the signal handlers excepted).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "engine/engine.h"

// ---- Modes ----------------------------------------------------------------------
enum : int {
    mode_encrypt = 0,
    mode_decrypt = 1,
    mode_keychange = 2,
    mode_cat = 3,
    mode_unixcrypt = 4,
};

// Where a mode puts the result of a file.
enum class output_rule {
    add_suffix,      // beside the input, named input + suffix
    strip_suffix,    // beside the input, named input without the suffix
    same_name,       // in the input's place
    standard_output, // the file stays as it is
};

// Everything that differs between the modes: the modes are rows of this
// table, and no other code asks which mode runs.
struct mode_record {
    const char* name;               // in the debug dump
    const char* prompt;             // default prompt for the first keyword
    const stream_kind* stream;      // what every file and the filter go through
    output_rule output;             // where a file's result goes
    const char* writing_line;       // verbose: "Encrypting %s\n"
    const char* protected_question; // "%s: encrypt write-protected file %s (y or n)? "
    bool writes_encrypted;          // its output must not go to a terminal unforced
    bool reads_encrypted;           // its input must not come from one; "x" finds "x.osl"
    bool needs_keyword2;            // the new key of a key change
    int encrypting_keyword;         // the keyword that encrypts: 0 none, 1 first, 2 second
};
extern const mode_record mode_table[5]; // indexed by mode_encrypt .. mode_unixcrypt

// ---- Visited list ----------------------------------------------------------------
// What tells a file from one that later gets its inode number (file systems
// hand a freed number straight to the next new file): device, number and a
// stamp no newcomer can share. The stamp is the birth time where the file
// system records one; otherwise, for a regular file, its change time as the
// run left it; otherwise 0, and the number alone decides (a directory's
// change time moves whenever an entry in it changes).
struct file_identity {
    dev_t device;
    std::uint64_t inode;
    std::int64_t stamp; // nanoseconds since the epoch; 0: none
};

struct visited_entry {
    file_identity identity;
    int done; // 1: directory entered or file transformed; 0: file left unchanged
};

// The files and directories a run has met, in the order they were
// remembered, and a hash index over them, so that a run's cost per file
// stays the same however many files it has seen.
struct visited_set {
    visited_entry* entries = nullptr;
    int count = 0;
    int capacity = 0;
    std::uint32_t* index = nullptr; // open addressing: 1 + the entry of a pair, 0 free
    std::uint32_t index_size = 0;   // a power of two above twice `count`; 0 while empty
};

// The entry of that file, or null: a pair whose stamp differs (where both
// have one) is a newcomer on a reused number. A pointer stays valid until
// the next remember_inode.
visited_entry* find_visited(const visited_set& set, const file_identity& identity);
// Records a file. One find_visited already knows keeps its entry, flag and
// all; a newcomer on a known number takes over that number's entry. Null
// when memory runs out.
visited_entry* remember_inode(visited_set& set, const file_identity& identity, int done);
// Releases the storage and makes the set empty.
void forget_visited(visited_set& set);

// ---- The run context ----------------------------------------------------------------
// The options of a run, fixed once the command line is read.
struct run_options {
    const char* name = nullptr;  // prefix of every message; not owned
    int verbosity = 0;           // -1 quiet, 0 normal, 1 verbose
    int debug = 0;               // number of -D
    int mode = mode_encrypt;     // row of mode_table
    int filter = 0;              // no file operands: standard input to standard output
    int tmpfiles = 0;            // write through a temporary file instead of in place
    const char* suffix = ".osl"; // marks encrypted files; "" means no suffix at all
    const char* prompt = nullptr;
    const char* prompt2 = nullptr;
    int recursive = 0;        // 0 no, 1 dirs but not links to dirs, 2 dirs and links
    int symlinks = 0;         // dereference symbolic links named as files
    int force = 0;            // overwrite without asking; no terminal checks
    int mismatch = 0;         // decrypt with a key that does not match
    char** infiles = nullptr; // the operands, pointing into the argument vector
    int infile_count = 0;
    const char* keyfile = nullptr; // key file, "-" for standard input, or null
    int timid = 1;                 // ask twice for a key that will encrypt
    const char* keyref = nullptr;  // reference file for the encryption key, or null
    int strictsuffix = 0;          // refuse to encrypt files that already have suffix

    const mode_record& row() const { return mode_table[mode]; }
    bool quiet() const { return verbosity < 0; }
};

// One run: owned by the entry point and passed down. The keywords are owned
// (wiped and freed by whoever ends the run); the counters only ever grow.
struct run_context {
    run_options options;
    char* keyword = nullptr;  // first key (old key in keychange mode)
    char* keyword2 = nullptr; // new key in keychange mode
    int errors = 0;           // failed system operations on files
    int rejects = 0;          // inputs rejected: key does not match, bad format
    visited_set visited;      // files and directories met, so each is done once

    run_context() = default;
    run_context(const run_context&) = delete;
    run_context& operator=(const run_context&) = delete;
    ~run_context() { forget_visited(visited); }

    stream_keys keys() const { return {keyword, keyword2, options.mismatch}; }
};

// ---- Outcomes ---------------------------------------------------------------------
// What became of one file, or of a run; a later one is worse. From fatal_io
// on, the run ends after the file.
enum class outcome : int {
    done,        // transformed, or nothing asked of it
    rejected,    // wrong key or not encrypted: left unchanged, counted
    failed,      // a system call failed on it: reported, counted, the run goes on
    fatal_io,    // reading or writing data failed
    fatal,       // the program cannot go on (out of memory, a broken stream)
    interrupted, // a signal came while a file was written
};
inline bool ends_run(outcome o) { return o >= outcome::fatal_io; }

// "name: Cannot allocate memory" (errno ENOMEM) and outcome::fatal.
outcome out_of_memory(const run_options& options);

// ---- Runs -------------------------------------------------------------------------
// Every operand in command-line order (in cat and unixcrypt modes "-" is
// standard input), each file and directory done once. The worst outcome that ended
// the run, or done; the counters tell the rest.
outcome run_file_list(run_context& run);

// Ignores, traverses (depth-first, a few descriptors however deep) or
// transforms one operand. The caller keeps `path`.
outcome process_path(run_context& run, const char* path);
// The same for an operand that is not a directory to traverse.
outcome process_file(run_context& run, const char* path);

// A stream's result as an outcome, reported for `what` with `rejection_tail`
// (" -- unchanged" or " -- ignored") on a rejection; a rejection is counted.
outcome report_stream_result(run_context& run, stream_result r, const char* what,
                             const char* rejection_tail);

// ---- Interrupt handling ------------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP are caught only while one file is written; at
// every other moment they have their default action. One the process was
// started with ignored stays ignored throughout.
extern volatile std::sig_atomic_t interrupted; // a first signal came while a file was written
extern volatile std::time_t
    last_interrupt_time;                  // second of the last signal that did not end the process
extern const char* volatile tmpfile_name; // file removed by on_interrupt_tmpfile; not owned
extern volatile int tmpfile_dir;          // the directory holding it
extern const char* volatile interrupt_prefix; // the program's name in the handlers' lines

// In-place writing: a first signal lets the file finish (and the run end
// after it); a second one of the three within the same or the next second
// ends the process at once with status 6.
void on_interrupt(int signal_number);
// Temporary-file writing: removes tmpfile_name and ends with status 6, silently.
void on_interrupt_tmpfile(int signal_number);
// `o`, or interrupted when a signal came while a file was written and `o`
// does not end the run already.
outcome after_interrupts(outcome o);

// Makes `handler` (on_interrupt or on_interrupt_tmpfile) act on the three
// signals, restarting the system calls they interrupt, and SIGPIPE ignored
// (a notice lost to a closed standard error must not end the file half
// written), until release() or the end of the guard's scope; they then have
// their default action again.
struct sigint_guard {
    sigint_guard(void (*handler)(int), const char* prefix);
    ~sigint_guard();
    sigint_guard(const sigint_guard&) = delete;
    sigint_guard& operator=(const sigint_guard&) = delete;
    void release();
    bool active;
};

// Holds the three signals back until release() or the end of its scope, and
// then lets through whatever came meanwhile, to the action in force by then:
// a temporary file is created and its name handed to on_interrupt_tmpfile
// under it, so no signal can end the process between the two and leave the
// file behind.
struct sigint_defer {
    sigint_defer();
    ~sigint_defer();
    sigint_defer(const sigint_defer&) = delete;
    sigint_defer& operator=(const sigint_defer&) = delete;
    void release();
    sigset_t saved_mask;
    bool held;
};

// Holds the three signals back while a finished result takes its name and
// the input is removed, so that a signal can neither leave the result under
// a temporary name nor leave input and output both. When the hold ends (at
// the end of its scope), a signal that came meanwhile is taken without its
// action and counts as `interrupted`.
struct sigint_hold {
    sigint_hold();
    ~sigint_hold();
    sigint_hold(const sigint_hold&) = delete;
    sigint_hold& operator=(const sigint_hold&) = delete;
    sigset_t saved_mask;
};

// SIGXFSZ ignored while the guard lives, so that a write past the file-size
// limit fails with EFBIG, reported and handled like any other output error,
// instead of ending the process half way through a file. The disposition
// the process had (an inherited ignore included) is put back after.
struct file_size_signal_ignored {
    file_size_signal_ignored();
    ~file_size_signal_ignored();
    file_size_signal_ignored(const file_size_signal_ignored&) = delete;
    file_size_signal_ignored& operator=(const file_size_signal_ignored&) = delete;
    struct sigaction saved;
};

// ---- Small shared pieces -------------------------------------------------------------
// 1 when the last component of `file_name` is strictly longer than `suffix`
// and ends with its bytes (byte-exact, case-sensitive), else 0. A file named
// exactly like the suffix does not carry it, in whatever directory it is.
int has_suffix(const char* file_name, const char* suffix);

// Reads the answer to a question from /dev/tty, or from standard input when
// there is no terminal: 1 exactly for "y" and "yes"; anything else, an empty
// line and end of input are 0; -1 when memory ran out. The caller writes and
// flushes the question.
int ask_yes_no();

// One whole line of any length from `in`, without its newline and without a
// carriage return directly before it; a last line without newline is kept
// whole. Null at the end of input, and null with errno ENOMEM when memory
// ran out. Heap text, cut at the line's first zero byte, in a block of
// exactly its length + 1 (so free_keyword wipes all of it); every
// intermediate copy is wiped before it is freed.
char* read_line(std::FILE* in);
// The same for a keyword: its blocks are also locked in memory where the
// limit allows, and `zero_inside`, unless null, tells whether a zero byte
// cut the line.
char* read_keyword_line(std::FILE* in, bool* zero_inside);
