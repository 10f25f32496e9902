// In-place writing: the file is read and overwritten through one descriptor,
// given its owner, mode and times back, and renamed to the output name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

void (*in_place_open_hook)(const char* path) = nullptr;

namespace {

// 1 when the user lets a write-protected file be changed (or force is set).
int may_change_write_protected(const file_place& input)
{
    if (config.force)
        return 1;
    static constexpr const char* questions[] = {
        "%s: encrypt write-protected file %s (y or n)? ",
        "%s: decrypt write-protected file %s (y or n)? ",
        "%s: perform keychange on write-protected file %s (y or n)? ",
    };
    std::fprintf(stderr, questions[config.mode], config.name, input.shown);
    std::fflush(stderr);
    at_step(file_step::question, input.shown);
    if (ask_yes_no())
        return 1;
    std::fputs("Not changed.\n", stderr);
    return 0;
}

int transform(int fd)
{
    switch (config.mode) {
    case mode_encrypt:
        return encrypt_in_place(fd, config.keyword);
    case mode_decrypt:
        return decrypt_in_place(fd, config.keyword);
    default:
        return keychange_in_place(fd, config.keyword, config.keyword2);
    }
}

bool differs(const file_place& a, const file_place& b)
{
    return std::strcmp(a.name, b.name) != 0;
}

// Opens the file decided on for reading and writing. A write-protected one
// is first opened for reading only, given its owner-write bit through that
// descriptor, and then opened for writing, which must find the same file;
// `raised` tells the caller to take the bit back. Fills `opened` with the
// attributes before any change. -1 when reported.
int open_for_rewriting(const file_job& job, bool raise_write, bool* raised, struct stat* opened)
{
    *raised = false;
    if (!raise_write)
        return open_verified(job.input, O_RDWR, job.follow, job.decided, opened);
    const int reader = open_verified(job.input, O_RDONLY, job.follow, job.decided, opened);
    if (reader < 0)
        return -1;
    if (fchmod(reader, (opened->st_mode | 0200) & 07777) != 0) {
        // Not reported: the open that follows tells what matters.
    }
    struct stat again;
    const int fd = open_verified(job.input, O_RDWR, job.follow, *opened, &again);
    if (fd < 0) {
        fchmod(reader, opened->st_mode & 07777);
    } else {
        *raised = true;
    }
    close(reader);
    return fd;
}

} // namespace

void write_in_place(const file_job& job)
{
    const file_place& input = job.input;
    const file_place& output = job.output;

    // The question comes before the visited check, so it is asked for every
    // name of a write-protected file with several links.
    const bool raise_write = (job.decided.st_mode & 0222) == 0;
    if (raise_write && !may_change_write_protected(input)) {
        remember_inode(job.decided.st_ino, job.decided.st_dev, 0);
        return;
    }

    if (const visited_entry* seen = find_visited(job.decided.st_dev, job.decided.st_ino)) {
        if (config.verbosity >= 1)
            std::fprintf(stderr, "Already visited inode %s.\n", input.shown);
        if (!seen->done)
            return;
        // The content was transformed under another name earlier in the run;
        // an interrupt must not leave it under this name unrenamed.
        if (differs(output, input)) {
            sigint_guard guard(on_interrupt);
            at_step(file_step::rename, input.shown);
            rename_reported(input, output);
        }
        check_interrupt();
        return;
    }
    if (job.decided.st_nlink > 1 && config.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: %s has %d links\n", config.name, input.shown,
                     int(job.decided.st_nlink));

    at_step(file_step::open, input.shown);
    if (in_place_open_hook)
        in_place_open_hook(input.shown);
    // Without symlinks the entry was a regular file at the decision; a link
    // put in its place since then fails here (ELOOP) instead of having its
    // target overwritten, and any other file fails the identity check.
    bool raised = false;
    struct stat opened;
    int fd = open_for_rewriting(job, raise_write, &raised, &opened);
    if (fd < 0) {
        remember_inode(job.decided.st_ino, job.decided.st_dev, 0);
        return;
    }
    const saved_attributes saved = save_attributes(opened);

    sigint_guard guard(on_interrupt);
    announce_writing(input.shown);
    int r = transform(fd);

    // The metadata calls must not change the error the driver left. Owner
    // and mode go back only on content that was written; a rejected or
    // failed file only loses the write bit it was given.
    int driver_errno = errno;
    at_step(file_step::attributes, input.shown);
    if (r == result_ok) {
        if (fchown(fd, saved.owner, saved.group) != 0) {
            // A user who may not give files away keeps the result as its owner.
        }
        if (fchmod(fd, saved.mode & 07777) != 0) {
            // Whatever the system allowed stays.
        }
    } else if (raised) {
        fchmod(fd, saved.mode & 07777);
    }
    restore_times(fd, saved);
    int close_result = close(fd);
    int close_errno = errno;

    if (r == result_ok && close_result != 0) {
        errno = close_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, input.shown, result_message(result_io));
        std::exit(3);
    }
    errno = driver_errno;
    if (act_on_result(r, input.shown, " -- unchanged") != 0) {
        remember_inode(saved.inode, saved.device, 0);
        guard.release();
        check_interrupt();
        return;
    }
    remember_inode(saved.inode, saved.device, 1);
    // The handler stays until the file has its output name: an interrupt
    // must not leave transformed content under the input's name. When the
    // rename fails, the content stays there all the same, reported.
    if (differs(output, input)) {
        at_step(file_step::rename, input.shown);
        rename_reported(input, output);
    }
    guard.release();
    check_interrupt();
}
