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
// Makes room for the first few files in an empty set, on this thread (a
// set another thread fills and this one frees then costs no allocation
// across threads). false when memory ran out.
bool reserve_visited(visited_set& set);
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
    int jobs = 1;                  // files transformed at the same time (-j)
    int progress = 0;              // a status line on a terminal (--progress)

    const mode_record& row() const { return mode_table[mode]; }
    bool quiet() const { return verbosity < 0; }
};

struct job_pool; // files/jobs.cpp

// One run: owned by the entry point and passed down. The keywords are owned
// (wiped and freed by whoever ends the run); the counters only ever grow.
struct run_context {
    run_options options;
    char* keyword = nullptr;           // first key (old key in keychange mode)
    char* keyword2 = nullptr;          // new key in keychange mode
    prepared_keys* prepared = nullptr; // their schedules, made once for the run
    int errors = 0;                    // failed system operations on files
    int rejects = 0;                   // inputs rejected: key does not match, bad format
    visited_set visited;               // files and directories met, so each is done once
    job_pool* jobs = nullptr;          // while files are transformed side by side

    run_context() = default;
    run_context(const run_context&) = delete;
    run_context& operator=(const run_context&) = delete;
    ~run_context() { forget_visited(visited); }

    stream_keys keys() const { return {keyword, keyword2, options.mismatch, prepared}; }
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

// The filter run: standard input through the mode's stream to standard
// output, its messages naming no file. The caller sets the streams' buffers.
outcome run_filter_stream(run_context& run);

// Ignores, traverses (depth-first, a few descriptors however deep) or
// transforms one operand. The caller keeps `path`.
outcome process_path(run_context& run, const char* path);
// The same for an operand that is not a directory to traverse.
outcome process_file(run_context& run, const char* path);

// A stream's result as an outcome, reported for `what` with `rejection_tail`
// (" -- unchanged" or " -- ignored") on a rejection; a rejection is counted.
outcome report_stream_result(run_context& run, stream_result r, const char* what,
                             const char* rejection_tail);

// ---- Termination signals ---------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP end a run. They are caught only while a
// termination_scope lives, that is while one file is written; at every other
// moment they have their default action. One the process was started with
// ignored stays ignored throughout.

// What a signal does while a file is written.
enum class termination_handling {
    // In place: a first signal lets the file finish (and the run end after
    // it, with a notice); a second one within the same or the next second
    // ends the process at once with status 6.
    finish_file,
    // Through a temporary file: a signal removes that file and ends the
    // process with status 6, silently.
    remove_temporary,
};

// Whether a first signal came while a file was written.
bool interrupt_came();
// `o`, or interrupted when a signal came while a file was written and `o`
// does not end the run already.
outcome after_interrupts(outcome o);

// The three signals while one file is written, and SIGPIPE ignored (a notice
// lost to a closed standard error must not end the file half written); the
// handlers are restarting, and every disposition is the default again once
// the scope ends. The scope owns what its handler needs, so nothing it
// hands over can outlive it, and its guarantees do not depend on where it
// is declared among the writer's other owners:
//   finish_file: the handler acts from the start to the end of the scope.
//   remove_temporary: the signals are held back from the start until
//     watch_temporary() (a file created under the name reserved here cannot
//     be left behind by a signal in between); from then a signal removes
//     it. The scope removes the file itself when it ends, unless
//     keep_temporary() was called, with the signals held back.
// hold() holds the signals back to the end of the scope (a result taking
// its name and the input going); one that came meanwhile is then taken
// without its action and counts as interrupted.
struct termination_scope {
    termination_scope(termination_handling handling, const char* prefix);
    ~termination_scope();
    termination_scope(const termination_scope&) = delete;
    termination_scope& operator=(const termination_scope&) = delete;

    // remove_temporary: storage owned by the scope for the temporary file's
    // name, "<output_name>.XXXXXX" to be filled in; null when memory ran out.
    char* reserve_temporary_name(const char* output_name);
    // The file now exists under the reserved name in `dir_fd`.
    void watch_temporary(int dir_fd);
    // The temporary file took its final name, or is to stay.
    void keep_temporary();
    void hold();

    termination_handling handling;
    sigset_t saved_mask;
    bool blocked = false; // the three signals are held back by this scope
    bool holding = false; // hold() was called
    int temporary_dir = -1;
    char* temporary_name = nullptr; // owned
    bool watching = false;          // the handler knows the temporary file
    bool kept = false;
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

// ---- Progress ----------------------------------------------------------------------
// While the scope lives, the status line that options.progress asks for:
// drawn on standard error when it is a terminal (and the output does not go
// to the same terminal), redrawn at most four times a second, cleared
// before anything else is written there. Its end clears the line and,
// unless quiet, writes the run's last line: files written, their bytes,
// the time and the speed. Without a terminal it writes nothing at all.
class progress_scope {
public:
    explicit progress_scope(const run_context& run);
    ~progress_scope();
    progress_scope(const progress_scope&) = delete;
    progress_scope& operator=(const progress_scope&) = delete;

private:
    const run_context& run_;
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
