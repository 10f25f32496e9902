// The run counters and the messages every way of writing shares, including
// the table of what a stream driver's result means for the run.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

int error_count;
int reject_count;

void report_failure(const char* what, int error_number)
{
    std::fprintf(stderr, "%s: %s: %s\n", config.name, what, std::strerror(error_number));
    ++error_count;
}

int rename_reported(const file_place& from, const file_place& to)
{
    if (renameat(from.dir_fd, from.name, to.dir_fd, to.name) == 0)
        return 0;
    std::fprintf(stderr, "%s: could not rename %s to %s: %s\n", config.name, from.shown, to.shown,
                 std::strerror(errno));
    ++error_count;
    return -1;
}

int rename_new_reported(const file_place& from, const file_place& to)
{
    int r = renameat2(from.dir_fd, from.name, to.dir_fd, to.name, RENAME_NOREPLACE);
    if (r != 0 && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag: a link cannot replace either.
        r = linkat(from.dir_fd, from.name, to.dir_fd, to.name, 0);
        if (r == 0)
            unlinkat(from.dir_fd, from.name, 0);
    }
    if (r == 0)
        return 0;
    std::fprintf(stderr, "%s: could not rename %s to %s: %s\n", config.name, from.shown, to.shown,
                 std::strerror(errno));
    ++error_count;
    return -1;
}

void announce_writing(const char* path)
{
    if (config.verbosity < 1)
        return;
    static constexpr const char* lines[] = {"Encrypting %s\n", "Decrypting %s\n",
                                            "Changing key for %s\n"};
    std::fprintf(stderr, lines[config.mode], path);
}

int act_on_result(int r, const char* path, const char* rejection_tail)
{
    if (r == result_ok)
        return 0;
    if (r == result_stream &&
        (stream_fault == fault_bad_format || stream_fault == fault_key_mismatch)) {
        std::fprintf(stderr, "%s: %s: %s%s\n", config.name, path, result_message(r),
                     rejection_tail);
        ++reject_count;
        return 1;
    }
    std::fprintf(stderr, "%s: %s: %s\n", config.name, path, result_message(r));
    // A file another writer changed in length is a failed write, not a
    // fault of the program.
    const bool write_failed =
        r == result_io || (r == result_stream && stream_fault == fault_changed_size);
    std::exit(write_failed ? 3 : 2);
}
