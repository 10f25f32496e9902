// Internal to files/: the ways of writing one file and what they share.
// process_file has located the file, checked its kind, formed the output name
// and asked the overwrite question before any of these runs.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

// A heap text released when its owner goes (names built for one file).
struct owned_text {
    char* text = nullptr;
    owned_text() = default;
    explicit owned_text(char* t) : text(t) {}
    ~owned_text() { std::free(text); }
    owned_text(const owned_text&) = delete;
    owned_text& operator=(const owned_text&) = delete;
};

// `head` followed by `tail`, allocated as by checked_alloc.
char* join_text(const char* head, const char* tail);

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

// Sets the times of `path` to the saved ones; a symbolic link itself when
// `follow` is false. Failures are not reported.
void restore_times(const char* path, const saved_attributes& saved, bool follow);

// "name: what: strerror(error_number)" and error_count + 1.
void report_failure(const char* what, int error_number);
// "name: could not rename from to to: strerror(errno)" and error_count + 1
// when the rename fails. 0 when it succeeded.
int rename_reported(const char* from, const char* to);

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

// The ways of writing (the caller keeps both names).
void write_in_place(const char* path, const char* output_name);
void write_through_temp_file(const char* path, const char* output_name);
void write_to_stdout(const char* path);

// Test seam: called, when set, just before in-place writing opens the file,
// so that a test can swap the file for a symbolic link at the worst moment.
extern void (*in_place_open_hook)(const char* path);
