// File processing: one named file turned into its counterpart, directory
// traversal, the visited list and the interrupt handling around writing.
// Reports and counts its own failures; may end the process (status 2, 3, 6).
#pragma once

#include <signal.h>
#include <sys/types.h>

#include <csignal>
#include <cstdint>
#include <ctime>

// ---- Run counters --------------------------------------------------------------
// Reset by the file-list run; only ever incremented here.
extern int error_count;  // failed system operations on files
extern int reject_count; // inputs rejected: key does not match, bad format

// ---- Visited list ----------------------------------------------------------------
struct visited_entry {
    std::uint64_t inode;
    dev_t device;
    int done; // 1: directory entered or file transformed; 0: file left unchanged
};

// The entries in the order they were remembered, and a hash index over
// them, so that a run's cost per file stays the same however many files
// it has seen.
struct visited_list_type {
    visited_entry* entries;
    int count;
    int capacity;
    std::uint32_t* index;     // open addressing: 1 + the oldest entry of a pair, 0 free
    std::uint32_t index_size; // a power of two above twice `count`; 0 while empty
};
extern visited_list_type visited_list;

// The oldest entry of that pair, or null. A pointer stays valid until the
// next remember_inode.
visited_entry* find_visited(dev_t device, std::uint64_t inode);
// Appends an entry; a pair remembered again gets a new entry all the same,
// but find_visited keeps finding the oldest.
visited_entry* remember_inode(std::uint64_t inode, dev_t device, int done);
// Releases the storage and makes the list empty.
void forget_visited();

// ---- Interrupt handling ------------------------------------------------------------
// SIGINT, SIGTERM and SIGHUP are caught only while one file is written; at
// every other moment they have their default action. One the process was
// started with ignored stays ignored throughout.
extern volatile std::sig_atomic_t interrupted; // a first signal came during in-place writing
extern volatile std::time_t
    last_interrupt_time;                  // second of the last signal that did not end the process
extern const char* volatile tmpfile_name; // file removed by on_interrupt_tmpfile; not owned
extern volatile int tmpfile_dir;          // the directory holding it

// In-place writing: a first signal lets the file finish (and the run end
// after it); a second one of the three within the same or the next second
// ends the process at once with status 6.
void on_interrupt(int signal_number);
// Temporary-file writing: removes tmpfile_name and ends with status 6, silently.
void on_interrupt_tmpfile(int signal_number);
// Ends the process with status 6 when a signal came while a file was
// written in place.
void check_interrupt();

// Makes `handler` (on_interrupt or on_interrupt_tmpfile) act on the three
// signals, restarting the system calls they interrupt, and SIGPIPE ignored
// (a notice lost to a closed standard error must not end the file half
// written), until release() or the end of the guard's scope; they then have
// their default action again.
struct sigint_guard {
    explicit sigint_guard(void (*handler)(int));
    ~sigint_guard();
    sigint_guard(const sigint_guard&) = delete;
    sigint_guard& operator=(const sigint_guard&) = delete;
    void release();
    bool active;
};

// Holds the three signals back while a finished result takes its name and
// the input is removed, so that a signal can neither leave the result under
// a temporary name nor leave input and output both; end() (or the end of
// the scope) then ends the process with status 6, silently, if one came,
// and otherwise lets them through again.
struct sigint_hold {
    sigint_hold();
    ~sigint_hold();
    sigint_hold(const sigint_hold&) = delete;
    sigint_hold& operator=(const sigint_hold&) = delete;
    void end();
    sigset_t saved_mask;
    bool active;
};

// ---- Per-file transformation ----------------------------------------------------------
// Carries out the configured mode on one path that is not a directory to
// traverse: locates it (falling back to path + suffix when decrypting), forms
// the output name, asks before overwriting or changing a write-protected file,
// writes in place, through a temporary file or to standard output, carries
// owner, mode and times over and renames. The caller keeps `path`.
void process_file(const char* path);

// 1 when the last component of `file_name` is strictly longer than `suffix`
// and ends with its bytes (byte-exact, case-sensitive), else 0. A file named
// exactly like the suffix does not carry it, in whatever directory it is.
int has_suffix(const char* file_name, const char* suffix);

// Reads the answer to a question from /dev/tty, or from standard input when
// there is no terminal. 1 exactly for "y" and "yes"; anything else, an empty
// line and end of input are 0. The caller writes and flushes the question.
int ask_yes_no();

// ---- Directory traversal ----------------------------------------------------------
// Ignores, traverses (depth-first, at most one directory open at a time) or
// hands to process_file one operand or directory entry. The caller keeps `path`.
void process_path(const char* path);
