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

#include "file_steps.h"

namespace {

// The result must be on stable storage before it replaces anything: once it
// is renamed into place the input file goes, and a crash must not then find
// neither. Owner, mode and times are the input's, given only to complete
// content (a file left behind by a kill before is private to its owner) and
// synced with it. A failure here is an output error like a failing close.
int flush_to_disk(std::FILE* out, const saved_attributes& saved, const char* shown) {
    if (std::fflush(out) != 0) return -1;
    const int fd = fileno(out);
    at_step(file_step::attributes, shown);
    restore_attributes(fd, saved, true, false);
    return fsync(fd);
}

// Makes the rename itself durable before the input file is removed. File
// systems that cannot sync a directory say so with an error that changes
// nothing about the data, so the result is not examined.
void sync_directory(int dir_fd) {
    int fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

constexpr int create_flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;

// A new file "<output name>.XXXXXX" beside the output, created exclusively
// with mode 0600; its name goes to `name`. -1 with errno when none could be.
int create_temporary(const file_place& output, owned_text& name) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    name.text = join_text(output.name, ".XXXXXX");
    if (!name.text) {
        errno = ENOMEM;
        return -1;
    }
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
        for (int i = 0; i < 6; ++i, bits /= 62) tail[i] = letters[bits % 62];
        const int fd = openat(output.dir_fd, name.text, create_flags, 0600);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    errno = EEXIST;
    return -1;
}

// The result under its temporary name: removed when its owner goes, unless
// it has taken the output's name. While it exists, a signal removes it and
// ends the process.
struct temporary_result {
    const file_place& output;
    owned_text name;
    owned_text shown;
    owned_file out;
    bool kept = false;

    explicit temporary_result(const file_place& place) : output(place) {}
    temporary_result(const temporary_result&) = delete;
    temporary_result& operator=(const temporary_result&) = delete;
    ~temporary_result() {
        out.close();
        if (name.text && !kept) {
            const int saved = errno;
            unlinkat(output.dir_fd, name.text, 0);
            errno = saved;
        }
    }
    file_place place() const { return {output.dir_fd, name.text, shown.text, output.path_length}; }
};

// Creates the temporary result beside the output and opens it for writing;
// reported when that fails.
outcome create_result(run_context& run, temporary_result& result, bool output_is_new) {
    const file_place& output = result.output;
    const int fd = create_temporary(output, result.name);
    if (fd < 0) {
        if (output_is_new) return report_failure(run, output.shown, errno);
        std::fprintf(stderr, "%s: could not create temporary file for %s: %s\n", run.options.name,
                     output.shown, std::strerror(errno));
        ++run.errors;
        return outcome::failed;
    }
    owned_text tail(shown_text(result.name.text + std::strlen(output.name)));
    result.shown.text = tail.text ? join_text(output.shown, tail.text) : nullptr;
    result.out.file = result.shown.text ? fdopen(fd, "wb") : nullptr;
    if (!result.out.file) {
        const int error = errno;
        close(fd);
        return result.shown.text ? report_failure(run, result.shown.text, error)
                                 : out_of_memory(run.options);
    }
    use_large_buffer(result.out.file, 1);
    return outcome::done;
}

// Removes the input once the result has its name, but only while the name
// still refers to the file that was read; otherwise both stay, reported.
outcome remove_input(run_context& run, const file_job& job, const struct stat& read) {
    const file_place& input = job.input;
    at_step(file_step::remove, input.shown);
    struct stat now;
    if (fstatat(input.dir_fd, input.name, &now, job.follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
        !same_file(now, read))
        return report_changed(run, input.shown);
    if (unlinkat(input.dir_fd, input.name, 0) == 0) return outcome::done;
    std::fprintf(stderr, "%s: could not remove %s: %s\n", run.options.name, input.shown,
                 std::strerror(errno));
    ++run.errors;
    return outcome::failed;
}

// The complete result takes the output's name and the input goes: the
// input is the only good copy until the result has its name. A new output
// name must still be free (a file that appeared there meanwhile is never
// replaced without the question).
outcome put_in_place(run_context& run, const file_job& job, temporary_result& result,
                     const struct stat& opened) {
    at_step(file_step::rename, job.input.shown);
    const outcome renamed = rename_reported(run, result.place(), job.output, !job.replace_output);
    // A result that could not replace the output stays beside it, complete,
    // under its temporary name: both versions are kept. One that was to take
    // a new name goes.
    result.kept = renamed == outcome::done || job.replace_output;
    if (renamed != outcome::done) return renamed;
    sync_directory(job.output.dir_fd);
    if (std::strcmp(job.output.name, job.input.name) == 0) return outcome::done;
    return remove_input(run, job, opened);
}

} // namespace

outcome write_through_temp_file(run_context& run, const file_job& job) {
    const run_options& options = run.options;
    const file_place& input = job.input;

    owned_file in;
    struct stat opened;
    const outcome opening = open_for_reading(run, job, in, &opened);
    if (opening != outcome::done) return opening;
    const saved_attributes saved = save_attributes(opened);
    if (saved.links > 1 && options.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: %s has %d links\n", options.name, input.shown,
                     int(saved.links));

    // The result is written under a fresh name beside the output, new,
    // exclusive and private, and takes the output's name only once it is
    // complete and on disk: after a kill at any moment the output's name
    // holds the complete result or what it held before.
    // A signal that comes between the creation of that file and the
    // handler learning its name waits until the handler can remove it;
    // declared first, so that a result left unfinished here is removed
    // before such a signal acts.
    sigint_defer deferred;
    temporary_result result(job.output);
    const outcome created = create_result(run, result, !job.replace_output);
    if (created != outcome::done) return created;
    tmpfile_dir = job.output.dir_fd;
    tmpfile_name = result.name.text;
    sigint_guard guard(on_interrupt_tmpfile, options.name);
    deferred.release();
    use_large_buffer(in.file, 0);
    announce_writing(options, input.shown);
    const stream_result r = run_stream(*options.row().stream, run.keys(), in.file, result.out.file);
    in.close();
    if (r.ok()) {
        const int flushed = flush_to_disk(result.out.file, saved, input.shown);
        const int error = errno;
        if (result.out.close() != 0 || flushed != 0)
            return report_write_error(run, input.shown, flushed != 0 ? error : errno);
    }
    const outcome transformed = report_stream_result(run, r, input.shown, " -- unchanged");
    if (transformed != outcome::done) return transformed;
    outcome placed;
    {
        // The result is complete: from here an interrupt waits.
        const sigint_hold hold;
        guard.release();
        placed = put_in_place(run, job, result, opened);
    }
    return after_interrupts(placed);
}
