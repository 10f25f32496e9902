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

// Changes the mode of `path`, except that without `symlinks` a symbolic link
// that has taken the file's place is left alone, and so is its target.
void change_mode(const char* path, mode_t mode) {
    struct stat st;
    if (!config.symlinks && (lstat(path, &st) != 0 || S_ISLNK(st.st_mode))) return;
    if (chmod(path, mode & 07777) != 0) {
        // Not reported: the open that follows tells what matters.
    }
}

// 1 when the user lets a write-protected file be changed (or force is set).
int may_change_write_protected(const char* path) {
    if (config.force) return 1;
    static constexpr const char* questions[] = {
        "%s: encrypt write-protected file %s (y or n)? ",
        "%s: decrypt write-protected file %s (y or n)? ",
        "%s: perform keychange on write-protected file %s (y or n)? ",
    };
    std::fprintf(stderr, questions[config.mode], config.name, path);
    std::fflush(stderr);
    if (ask_yes_no()) return 1;
    std::fputs("Not changed.\n", stderr);
    return 0;
}

int transform(int fd) {
    switch (config.mode) {
    case mode_encrypt: return encrypt_in_place(fd, config.keyword);
    case mode_decrypt: return decrypt_in_place(fd, config.keyword);
    default: return keychange_in_place(fd, config.keyword, config.keyword2);
    }
}

bool differs(const char* a, const char* b) { return std::strcmp(a, b) != 0; }

} // namespace

void write_in_place(const char* path, const char* output_name) {
    struct stat st;
    if (stat(path, &st) != 0) {
        report_failure(path, errno);
        return;
    }
    const saved_attributes saved = save_attributes(st);

    // The question comes before the visited check, so it is asked for every
    // name of a write-protected file with several links.
    bool raise_write = false;
    if ((saved.mode & 0222) == 0) {
        if (!may_change_write_protected(path)) {
            remember_inode(saved.inode, saved.device, 0);
            return;
        }
        raise_write = true;
    }

    if (const visited_entry* seen = find_visited(saved.device, saved.inode)) {
        if (config.verbosity >= 1) std::fprintf(stderr, "Already visited inode %s.\n", path);
        if (!seen->done) return;
        // The content was transformed under another name earlier in the run;
        // an interrupt must not leave it under this name unrenamed.
        if (differs(output_name, path)) {
            sigint_guard guard(on_interrupt);
            rename_reported(path, output_name);
        }
        check_interrupt();
        return;
    }
    if (saved.links > 1 && config.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: %s has %d links\n", config.name, path, int(saved.links));

    if (raise_write) change_mode(path, saved.mode | 0200);
    if (in_place_open_hook) in_place_open_hook(path);
    // Without symlinks the path was a regular file at lstat; a symbolic link
    // put in its place since then fails here (ELOOP) instead of having its
    // target overwritten.
    int fd = open(path, O_RDWR | (config.symlinks ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        report_failure(path, errno);
        if (raise_write) change_mode(path, saved.mode);
        remember_inode(saved.inode, saved.device, 0);
        return;
    }

    sigint_guard guard(on_interrupt);
    announce_writing(path);
    int r = transform(fd);

    // The metadata calls must not change the error the driver left.
    int driver_errno = errno;
    if (fchown(fd, saved.owner, saved.group) != 0) {
        // A user who may not give files away keeps the result as its owner.
    }
    if (fchmod(fd, saved.mode & 07777) != 0) {
        // Whatever the system allowed stays.
    }
    int close_result = close(fd);
    int close_errno = errno;
    restore_times(path, saved, config.symlinks != 0);

    if (r == result_ok && close_result != 0) {
        errno = close_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, path, result_message(result_io));
        std::exit(3);
    }
    errno = driver_errno;
    if (act_on_result(r, path, " -- unchanged") != 0) {
        remember_inode(saved.inode, saved.device, 0);
        guard.release();
        check_interrupt();
        return;
    }
    remember_inode(saved.inode, saved.device, 1);
    // The handler stays until the file has its output name: an interrupt
    // must not leave transformed content under the input's name. When the
    // rename fails, the content stays there all the same, reported.
    if (differs(output_name, path)) rename_reported(path, output_name);
    guard.release();
    check_interrupt();
}
