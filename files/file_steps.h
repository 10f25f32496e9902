// Internal to files/: the ways of writing one file and what they share.
// process_file has located the file, checked its kind, formed the output name
// and asked the overwrite question before any of these runs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <ctime>

// A heap text released when its owner goes (names built for one file).
struct owned_text {
    char* text = nullptr;
    owned_text() = default;
    explicit owned_text(char* t)
        : text(t)
    {
    }
    ~owned_text() { std::free(text); }
    owned_text(const owned_text&) = delete;
    owned_text& operator=(const owned_text&) = delete;
};

// `head` followed by `tail`, allocated as by checked_alloc.
char* join_text(const char* head, const char* tail);

// `text` as messages show it: every control byte (below 0x20, and 0x7f) as a
// backslash and three octal digits, every other byte as it is. Names come
// from directories other users may write; this keeps them from moving the
// cursor or faking a line. Heap text.
char* shown_text(const char* text);

// One entry of a directory this run holds open. Every system call on the
// entry goes through `dir_fd` and `name`, never through a path text, so
// renaming or replacing a directory on the way cannot redirect it; the path
// text is only for messages.
struct file_place {
    int dir_fd;              // the directory of the entry (AT_FDCWD: the working directory)
    const char* name;        // the entry's name in that directory
    const char* shown;       // the whole path, escaped by shown_text
    std::size_t path_length; // length of the whole path before escaping
};

// Resolves an operand once: its directory opened (and held while `handle`
// runs) and its last component as the name; an operand ending in "/"
// stays relative to the working directory. Hands the place to `handle`; a failure to open the
// directory is reported as the operand's.
void with_operand(const char* operand, void (*handle)(const file_place&));

// Identity of what a decision was made on: device, inode and file type.
bool same_file(const struct stat& a, const struct stat& b);

// "name: path: changed while being processed" and error_count + 1.
void report_changed(const char* shown);

// Opens `place` with `flags` (O_NOFOLLOW added unless `follow`; O_NONBLOCK
// while opening, so a FIFO or device put in its place cannot hang the run)
// and checks that it is the file `decided` describes. Returns the descriptor
// with its fstat in `opened`, or -1 with the failure reported and counted:
// the open's error, or "changed while being processed" (nothing touched).
int open_verified(const file_place& place, int flags, bool follow, const struct stat& decided,
                  struct stat* opened);

// Test seam: called, when set, at each step where another user could swap a
// name under the program, with the step and the entry's path as shown.
enum class file_step { decided, question, open, attributes, rename, remove };
extern void (*file_step_hook)(file_step step, const char* shown);
inline void at_step(file_step step, const char* shown)
{
    if (file_step_hook)
        file_step_hook(step, shown);
}

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

// Sets the times of the open file to the saved ones. Failures are not
// reported.
void restore_times(int fd, const saved_attributes& saved);

// "name: what: strerror(error_number)" and error_count + 1.
void report_failure(const char* what, int error_number);
// Renames `from` to `to` within their directory; "name: could not rename
// from to to: strerror(errno)" and error_count + 1 when that fails. 0 when
// it succeeded.
int rename_reported(const file_place& from, const file_place& to);
// The same for a `to` that must not exist: never replaces a file that
// appeared there meanwhile (reported as "File exists").
int rename_new_reported(const file_place& from, const file_place& to);

// When verbose, "Encrypting", "Decrypting" or "Changing key for" and the path,
// by mode (encrypt, decrypt, keychange).
void announce_writing(const char* path);

// Acts on the result r of a stream driver for `path`: 0 for success; 1 for a
// rejected input (wrong key, bad format), reported with `rejection_tail`
// (" -- unchanged" or " -- ignored") and counted in reject_count; every other
// result is reported and ends the process (status 2, or 3 for -3). errno must
// still hold the driver's error.
int act_on_result(int r, const char* path, const char* rejection_tail);

// Gives a FILE stream opened for data a large buffer before its first use.
// `slot` 0 for the input, 1 for the output of one file.
void use_large_buffer(std::FILE* stream, int slot);

// One file on its way: the entry decided on, what its stat said (through a
// link where links are followed) and, where the mode writes files, its
// output entry in the same directory.
struct file_job {
    file_place input;
    struct stat decided;
    file_place output;
    bool follow;         // links named as files are followed
    bool replace_output; // an entry under the output name may be replaced
};

// The ways of writing (the caller keeps the job).
void write_in_place(const file_job& job);
void write_through_temp_file(const file_job& job);
void write_to_stdout(const file_job& job);

// Per-file transformation of one entry that is not a directory to traverse;
// traversal of one entry of any kind.
void process_file_at(const file_place& place);
void process_entry(const file_place& place);

// Test seam: called, when set, just before in-place writing opens the file,
// so that a test can swap the file for a symbolic link at the worst moment.
extern void (*in_place_open_hook)(const char* path);
