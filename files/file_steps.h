// Internal to files/: the plan of one file, the ways of carrying it out,
// and what they share. Every decision about a file is made in plan_file
// (files/plan_file.cpp); the writers only carry the plan out.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include <unistd.h>

#include "files/files.h"

// Where this thread's messages about files go: standard error, or, while
// files are transformed side by side (files/jobs.cpp), the memory buffer
// of the file they belong to, written out in the files' order.
std::FILE* messages();

// A heap text released when its owner goes (names built for one file).
struct owned_text {
    char* text = nullptr;
    owned_text() = default;
    explicit owned_text(char* t) : text(t) {}
    ~owned_text() { std::free(text); }
    owned_text(const owned_text&) = delete;
    owned_text& operator=(const owned_text&) = delete;
};

// A descriptor closed when its owner goes.
struct owned_fd {
    int fd;
    explicit owned_fd(int f) : fd(f) {}
    ~owned_fd() {
        if (fd >= 0) close(fd);
    }
    owned_fd(const owned_fd&) = delete;
    owned_fd& operator=(const owned_fd&) = delete;
};

// A stdio stream closed when its owner goes.
struct owned_file {
    std::FILE* file = nullptr;
    owned_file() = default;
    owned_file(const owned_file&) = delete;
    owned_file& operator=(const owned_file&) = delete;
    ~owned_file() { close(); }
    int close() {
        std::FILE* f = file;
        file = nullptr;
        return f ? std::fclose(f) : 0;
    }
};

// `head` followed by `tail`; null when memory runs out.
char* join_text(const char* head, const char* tail);

// `text` as messages show it: every control byte (below 0x20, and 0x7f) as a
// backslash and three octal digits, every other byte as it is. Names come
// from directories other users may write; this keeps them from moving the
// cursor or faking a line. Heap text; null when memory runs out.
char* shown_text(const char* text);

// The names a directory listed when the traversal read it, sorted.
struct name_list {
    const char** names = nullptr;
    std::size_t count = 0;
};
// Whether `name` was among them.
bool name_listed(const name_list& list, const char* name);

// One entry of a directory this run holds open. Every system call on the
// entry goes through `dir_fd` and `name`, never through a path text, so
// renaming or replacing a directory on the way cannot redirect it; the path
// text is only for messages.
struct file_place {
    int dir_fd;              // the directory of the entry (AT_FDCWD: the working directory)
    const char* name;        // the entry's name in that directory
    const char* shown;       // the whole path, escaped by shown_text
    std::size_t path_length; // length of the whole path before escaping
    // Met in a traversal: what the directory of dir_fd was checked to be,
    // and the names it listed (null elsewhere, or when memory ran out).
    // Good only while the entry is handled.
    const struct stat* directory = nullptr;
    const name_list* listed = nullptr;
};

// Resolves an operand once: its directory opened (and held while `handle`
// runs) and its last component as the name; an operand ending in "/" stays
// relative to the working directory. Hands the place to `handle`; a failure
// to open the directory is reported as the operand's.
outcome with_operand(run_context& run, const char* operand,
                     outcome (*handle)(run_context&, const file_place&));

// fstatat of `name` in `dir_fd` (flags as fstatat's), and, unless null,
// what the visited list knows the entry by and whether its stamp is a birth
// time. 0, or the error number when it fails.
int stat_entry(int dir_fd, const char* name, int flags, struct stat* st, file_identity* identity,
               bool* born = nullptr);

// Identity of what a decision was made on: device, inode and file type.
bool same_file(const struct stat& a, const struct stat& b);

// Opens `place` with `flags` (O_NOFOLLOW added unless `follow`; O_NONBLOCK
// while opening, so a FIFO or device put in its place cannot hang the run)
// and checks that it is the file `decided` describes. Returns the descriptor
// with its fstat in `opened`, or -1 with the failure reported and counted:
// the open's error, or "changed while being processed" (nothing touched).
int open_verified(run_context& run, const file_place& place, int flags, bool follow,
                  const struct stat& decided, struct stat* opened);

#include "testing.h"

// What is carried over from the input file to its result; times in whole
// seconds.
struct saved_attributes {
    dev_t device;
    ino_t inode;
    mode_t mode; // the full mode word
    nlink_t links;
    uid_t owner;
    gid_t group;
    std::time_t access_time;
    std::time_t modify_time;
};
saved_attributes save_attributes(const struct stat& st);

// Gives the open result the input's owner and mode when its content was
// written (`written`), or only the mode back when just the write bit was
// raised (`raised`), and the input's times in every case. Failures are not
// reported: a user who may not give files away keeps the result as owner,
// and whatever else the system allowed stays.
void restore_attributes(int fd, const saved_attributes& saved, bool written, bool raised);

// "name: what: strerror(error_number)", counted as an error.
outcome report_failure(run_context& run, const char* what, int error_number);
// "name: path: changed while being processed", counted as an error.
outcome report_changed(run_context& run, const char* shown);
// Renames `from` to `to` within their directory; "name: could not rename
// from to to: strerror(errno)", counted, when that fails. With `only_new`
// never replaces a file that appeared under `to` meanwhile (reported as
// "File exists").
outcome rename_reported(run_context& run, const file_place& from, const file_place& to,
                        bool only_new = false);
// "name: could not rename from to to: strerror(error)", counted.
outcome report_rename_failure(run_context& run, const file_place& from, const file_place& to,
                              int error);

// Asks `question` (a format taking the program's name and `about`) and
// reads the answer: 1 yes, 0 no (after `refusal`), -1 memory ran out.
// `input_shown` names the file for the test seam.
int ask_about(run_context& run, const char* question, const char* about, const char* input_shown,
              const char* refusal);

// When verbose, the mode's line ("Encrypting %s") for `shown`.
void announce_writing(const run_options& options, const char* shown);

// A failure to flush or close a result that was otherwise complete: reported
// for `shown` with `error`, and the run ends as on any write error.
outcome report_write_error(run_context& run, const char* shown, int error);

// Gives a FILE stream opened for data a large buffer before its first use.
// `slot` 0 for the input, 1 for the output of one file.
void use_large_buffer(std::FILE* stream, int slot);

// What becomes of one file.
enum class file_action {
    leave,   // nothing is written: `reason` says why
    revisit, // met before in this run (in place): at most a rename
    write,   // transformed by `way`
};

// Why a file is left as it is; the message is the carrying out's.
enum class leave_reason {
    reported,         // already said where it was found (a question refused)
    lookup_failed,    // the entry could not be looked at: `error`
    symbolic_link,    // a link named as a file, links not followed
    not_regular,      // neither a regular file nor a directory to traverse
    already_suffixed, // encrypting a name with the suffix under strictsuffix
    rename_refused,   // the result could not take its name: `error`
    out_of_memory,
};

enum class writing_way { in_place, temporary_file, standard_output };

// Where the data comes from.
enum class input_source {
    file,           // the entry `input`
    standard_input, // "-" as an operand where the result goes to standard output
    filter,         // the whole run: no operands, messages name no file
};

// One file, decided: a plain record the carrying out only reads. The input
// entry decided on, what its stat said (through a link where links are
// followed) and, where the mode writes files, its output entry in the same
// directory. The texts the places point to are owned here.
struct file_plan {
    file_action action = file_action::leave;
    leave_reason reason = leave_reason::reported;
    int error = 0;                  // of lookup_failed and rename_refused
    bool remember_left = false;     // leave: the visited list records it as left unchanged
    outcome result = outcome::done; // leave: what the file comes to once reported
    writing_way way = writing_way::standard_output;
    input_source source = input_source::file;
    file_place input{};
    struct stat decided {};
    file_identity identity{}; // of the file decided on, for the visited list
    bool born = false;        // its stamp is a birth time, which no write moves
    file_place output{};
    bool follow = false;         // links named as files are followed
    bool replace_output = false; // an entry under the output name may be replaced
    // The output name was free by the directory's listing, not looked up:
    // in place, the writer looks before the first byte is written.
    bool output_unlooked = false;
    bool raise_write = false;      // in place: write-protected, the user let it be changed
    visited_entry* seen = nullptr; // revisit: the entry met before
    owned_text input_name, input_shown, output_name, output_shown;
};

// Decides everything about the entry at `place` (not a directory to
// traverse): which file it is, whether and why it is left, the output name,
// the questions and their answers, the visited and link rules, the rename
// check, the way of writing. Fills `plan`; the caller keeps `place`.
//
// `looked`, unless null, is the entry's lstat as stat_entry gave it a moment
// ago (its error, or its stat, identity and stamp kind), taken instead of
// looking again.
struct entry_lookup {
    int error = 0;
    struct stat st {};
    file_identity identity{};
    bool born = false;
};
void plan_file(run_context& run, const file_place& place, file_plan& plan,
               const entry_lookup* looked = nullptr);
// Standard input as the source of `plan` (cat and unixcrypt modes' "-", or
// the whole filter run).
void plan_standard_input(file_plan& plan, input_source source);
// Carries out a plan; the one door every file and standard input go through.
outcome carry_out(run_context& run, const file_plan& plan);

// Opens the input of `plan` for reading, checked against the decision, as
// a stdio stream into `in`; `opened` gets its attributes. done, or failed
// (reported).
outcome open_for_reading(run_context& run, const file_plan& plan, owned_file& in,
                         struct stat* opened);

// The ways of writing, and a file met before (in place).
outcome write_in_place(run_context& run, const file_plan& plan);
outcome revisit_in_place(run_context& run, const file_plan& plan);
outcome write_through_temp_file(run_context& run, const file_plan& plan);
outcome write_to_stdout(run_context& run, const file_plan& plan);

// Records the file of `plan` as met and left unchanged; `result`, or fatal
// when memory ran out.
outcome left_unchanged(run_context& run, const file_plan& plan, outcome result);

// Around a question: everything before it is printed first, and the
// signals have their serial dispositions while the answer is awaited.
void question_begins(run_context& run);
void question_ends(run_context& run);

// The most files transformed at the same time.
constexpr int max_jobs = 64;
// This thread is the worker of slot `slot` (0 .. max_jobs - 1): its
// termination scopes leave the handlers alone and tell the thread that
// takes the signals which temporary file is its own.
void become_worker(int slot);
// The three signals (those not inherited ignored, all in `held`) held back
// on the calling thread and the threads it starts; one of them takes them
// from then on through take_signal_for_jobs. `saved` gets the mask before.
// -1 as `slot` of become_worker: the thread is no worker again.
void hold_signals_for_jobs(const char* prefix, sigset_t* held, sigset_t* saved);
// What a signal does to files written side by side: with temporary files,
// every one in flight removed and the process ended with status 6; in
// place, what the in-place handler does (a first lets the files finish, a
// second ends the process); while a question waits (`default_action`),
// the signal's default action, as in a run of one file at a time.
void take_signal_for_jobs(int signal_number, bool temporary_files, bool default_action);

// This thread's worker slot, or -1 off the workers.
int current_worker();

// ---- The status line (files/progress.cpp) ----
// Every call is cheap and does nothing unless the line is on. Only the
// thread that made the progress_scope draws or clears; on any other thread
// these calls do nothing.
//
// A moment this thread may redraw (when a quarter of a second has passed).
void progress_tick();
// How long this thread may wait before it should redraw, in milliseconds
// (a poll timeout): -1 when it draws nothing.
std::int64_t progress_wait();
// Before anything is written to standard error.
void progress_clear();
// The same from a signal handler, on any thread (async-signal-safe).
void progress_clear_from_handler();
// A file the run will write (the line's totals once the traversal is over).
void progress_planned(const file_plan& plan);
void progress_traversal_over();
// One file while this thread writes it: its slot on the line.
class progress_file {
public:
    explicit progress_file(const file_plan& plan);
    ~progress_file();
    progress_file(const progress_file&) = delete;
    progress_file& operator=(const progress_file&) = delete;
    // The file is written (done) or given up: its counts join the run's.
    void finished(outcome result);

private:
    struct progress_slot* slot = nullptr;
    progress_sink sink{};
};
// What the file this thread writes reports its progress to, or null.
const progress_sink* file_progress();

// Side by side (run.jobs): plans on this thread, writes on the workers,
// the messages and the visited list in the files' order. The outcome that
// ended the run, if one did, or the file's own.
outcome process_file_in_jobs(run_context& run, const file_place& place);

// `body` with the files it meets transformed side by side when the options
// ask for more than one at a time (and the system allows it), or `body`
// alone: its outcome, or the one a file in flight ended the run with.
outcome run_in_jobs(run_context& run, outcome (*body)(run_context&));

// Per-file transformation of one entry that is not a directory to traverse;
// traversal of one entry of any kind.
outcome process_file_at(run_context& run, const file_place& place);
outcome process_entry(run_context& run, const file_place& place);
