// Temporary-file writing: the result is written to a new file, which takes
// the output name; the input file is removed once the result is in place.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

namespace {

int transform(std::FILE* in, std::FILE* out)
{
    switch (config.mode) {
    case mode_encrypt:
        return encrypt_file(in, out, config.keyword);
    case mode_decrypt:
        return decrypt_file(in, out, config.keyword, config.mismatch);
    default:
        return keychange_file(in, out, config.keyword, config.keyword2);
    }
}

// The result must be on stable storage before it replaces anything: once it
// is renamed into place the input file goes, and a crash must not then find
// neither. Owner, mode and times are the input's, given only to complete
// content (a file left behind by a kill before is private to its owner) and
// synced with it. A failure here is an output error like a failing close.
int flush_to_disk(std::FILE* out, const saved_attributes& saved, const char* shown)
{
    if (std::fflush(out) != 0)
        return -1;
    const int fd = fileno(out);
    at_step(file_step::attributes, shown);
    if (fchown(fd, saved.owner, saved.group) != 0) {
        // A user who may not give files away keeps the result as its owner.
    }
    if (fchmod(fd, saved.mode & 07777) != 0) {
        // Whatever the system allowed stays.
    }
    restore_times(fd, saved);
    return fsync(fd);
}

// Makes the rename itself durable before the input file is removed. File
// systems that cannot sync a directory say so with an error that changes
// nothing about the data, so the result is not examined.
void sync_directory(int dir_fd)
{
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    fsync(fd);
    close(fd);
}

constexpr int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// A new file "<output name>.XXXXXX" beside the output, created exclusively
// with mode 0600; its name goes to `name`. -1 with errno when none could be.
int create_temporary(const file_place& output, owned_text& name)
{
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    name.text = join_text(output.name, ".XXXXXX");
    char* tail = name.text + std::strlen(name.text) - 6;
    // Unpredictable once per run; O_EXCL, not the name, is what keeps the
    // file new, so later names only need to differ (a Weyl sequence mixed).
    static std::uint64_t state = [] {
        std::uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed))
            seed = std::uint64_t(getpid()) << 32 ^ std::uint64_t(time(nullptr));
        return seed;
    }();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        std::uint64_t bits = state += 0x9e3779b97f4a7c15u;
        bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9u;
        bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebu;
        bits ^= bits >> 31;
        for (int i = 0; i < 6; ++i, bits /= 62)
            tail[i] = letters[bits % 62];
        const int fd = openat(output.dir_fd, name.text, create_flags, 0600);
        if (fd >= 0 || errno != EEXIST)
            return fd;
    }
    errno = EEXIST;
    return -1;
}

// Removes the entry `name` of `dir_fd` without disturbing the errno that is
// about to be reported.
void remove_keeping_errno(int dir_fd, const char* name)
{
    int kept = errno;
    unlinkat(dir_fd, name, 0);
    errno = kept;
}

// Removes the input once the result has its name, but only while the name
// still refers to the file that was read; otherwise both stay, reported.
void remove_input(const file_job& job, const struct stat& read)
{
    const file_place& input = job.input;
    at_step(file_step::remove, input.shown);
    struct stat now;
    if (fstatat(input.dir_fd, input.name, &now, job.follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
        !same_file(now, read)) {
        report_changed(input.shown);
        return;
    }
    if (unlinkat(input.dir_fd, input.name, 0) != 0) {
        std::fprintf(stderr, "%s: could not remove %s: %s\n", config.name, input.shown,
                     std::strerror(errno));
        ++error_count;
    }
}

} // namespace

void write_through_temp_file(const file_job& job)
{
    const file_place& input = job.input;
    const file_place& output = job.output;
    const bool renames = std::strcmp(output.name, input.name) != 0;

    at_step(file_step::open, input.shown);
    struct stat opened;
    const int in_fd = open_verified(input, O_RDONLY, job.follow, job.decided, &opened);
    if (in_fd < 0)
        return;
    const saved_attributes saved = save_attributes(opened);
    if (saved.links > 1 && config.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: %s has %d links\n", config.name, input.shown,
                     int(saved.links));

    // The result is written under a fresh name beside the output, new,
    // exclusive and private, and takes the output's name only once it is
    // complete and on disk: after a kill at any moment the output's name
    // holds the complete result or what it held before.
    const bool output_is_new = !job.replace_output;
    owned_text made_name;
    const int fd = create_temporary(output, made_name);
    if (fd < 0) {
        if (output_is_new) {
            report_failure(output.shown, errno);
        } else {
            std::fprintf(stderr, "%s: could not create temporary file for %s: %s\n", config.name,
                         output.shown, std::strerror(errno));
            ++error_count;
        }
        close(in_fd);
        return;
    }
    const char* temp_name = made_name.text;
    owned_text temp_tail(shown_text(temp_name + std::strlen(output.name)));
    owned_text temp_shown(join_text(output.shown, temp_tail.text));
    const file_place temp{output.dir_fd, temp_name, temp_shown.text, output.path_length};

    tmpfile_dir = output.dir_fd;
    tmpfile_name = temp_name;
    sigint_guard guard(on_interrupt_tmpfile);
    std::FILE* in = fdopen(in_fd, "rb");
    if (!in) {
        report_failure(input.shown, errno);
        close(in_fd);
        close(fd);
        unlinkat(output.dir_fd, temp_name, 0);
        return;
    }
    std::FILE* out = fdopen(fd, "wb");
    if (!out) {
        std::fprintf(stderr, "%s: %s: %s\n", config.name, temp.shown, std::strerror(errno));
        std::fclose(in);
        ++error_count;
        close(fd);
        unlinkat(output.dir_fd, temp_name, 0);
        return;
    }
    use_large_buffer(in, 0);
    use_large_buffer(out, 1);

    announce_writing(input.shown);
    int r = transform(in, out);

    int driver_errno = errno;
    std::fclose(in);
    int close_result = r == result_ok ? flush_to_disk(out, saved, input.shown) : 0;
    int close_errno = errno;
    if (std::fclose(out) != 0 && close_result == 0) {
        close_result = -1;
        close_errno = errno;
    }

    if (r == result_ok && close_result != 0) {
        errno = close_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, input.shown, result_message(result_io));
        unlinkat(output.dir_fd, temp_name, 0);
        std::exit(3);
    }
    errno = driver_errno;
    if (r != result_ok)
        remove_keeping_errno(output.dir_fd, temp_name);
    if (act_on_result(r, input.shown, " -- unchanged") != 0)
        return;

    // The result is complete: from here an interrupt waits until it has its
    // name and the input is gone.
    sigint_hold hold;
    guard.release();
    // The input is the only good copy until the result has its name.
    at_step(file_step::rename, input.shown);
    // A new output name must still be free: a file that appeared there
    // meanwhile is never replaced without the question.
    if ((output_is_new ? rename_new_reported(temp, output) : rename_reported(temp, output)) != 0) {
        if (output_is_new)
            unlinkat(output.dir_fd, temp_name, 0);
        return;
    }
    sync_directory(output.dir_fd);
    if (renames)
        remove_input(job, opened);
}
