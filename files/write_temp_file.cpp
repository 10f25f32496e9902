// Temporary-file writing: the result is written to a new file, which takes
// the output name; the input file is removed once the result is in place.
#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
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
// synced with it. A failure here is an output error like a failing close:
// 0, or its error number.
int flush_to_disk(std::FILE* out, const saved_attributes& saved, const char* shown) {
    if (std::fflush(out) != 0) return errno;
    const int fd = fileno(out);
    at_step(file_step::attributes, shown);
    restore_attributes(fd, saved, true, false);
    return fsync(fd) != 0 ? errno : 0;
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
// with mode 0600, under the name the scope reserves and owns. The
// descriptor, or -1 with the error number in `*error` when none could be.
int create_temporary(const file_place& output, termination_scope& scope, int* error) {
    static const char letters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    char* name = scope.reserve_temporary_name(output.name);
    if (!name) {
        *error = ENOMEM;
        return -1;
    }
    char* tail = name + std::strlen(name) - 6;
    // Unpredictable once per run; O_EXCL, not the name, is what keeps the
    // file new, so later names only need to differ (a Weyl sequence mixed).
    // Files written side by side draw from it at once.
    static std::atomic<std::uint64_t> state = [] {
        std::uint64_t seed = 0;
        if (getrandom(&seed, sizeof seed, GRND_NONBLOCK) != ssize_t(sizeof seed))
            seed = std::uint64_t(getpid()) << 32 ^ std::uint64_t(time(nullptr));
        return seed;
    }();
    for (int attempt = 0; attempt < 1000; ++attempt) {
        constexpr std::uint64_t step = 0x9e3779b97f4a7c15u;
        std::uint64_t bits = state.fetch_add(step, std::memory_order_relaxed) + step;
        bits = (bits ^ (bits >> 30)) * 0xbf58476d1ce4e5b9u;
        bits = (bits ^ (bits >> 27)) * 0x94d049bb133111ebu;
        bits ^= bits >> 31;
        for (int i = 0; i < 6; ++i, bits /= 62) tail[i] = letters[bits % 62];
        const int fd = openat(output.dir_fd, name, create_flags, 0600);
        if (fd >= 0) return fd;
        if (errno != EEXIST) {
            *error = errno;
            return -1;
        }
    }
    *error = EEXIST;
    return -1;
}

// The result under its temporary name, open for writing; the scope owns
// the name and removes the file unless it is kept.
struct temporary_result {
    const file_place& output;
    const char* name = nullptr; // the scope's
    owned_text shown;
    owned_file out;

    explicit temporary_result(const file_place& place) : output(place) {}
    temporary_result(const temporary_result&) = delete;
    temporary_result& operator=(const temporary_result&) = delete;
    file_place place() const { return {output.dir_fd, name, shown.text, output.path_length}; }
};

// Creates the temporary result beside the output, hands it to the scope
// and opens it for writing; reported when that fails.
outcome create_result(run_context& run, temporary_result& result, termination_scope& scope,
                      bool output_is_new) {
    const file_place& output = result.output;
    int error = 0;
    const int fd = create_temporary(output, scope, &error);
    if (fd < 0) {
        if (output_is_new) return report_failure(run, output.shown, error);
        std::fprintf(messages(), "%s: could not create temporary file for %s: %s\n",
                     run.options.name, output.shown, std::strerror(error));
        ++run.errors;
        return outcome::failed;
    }
    at_step(file_step::created, output.shown);
    result.name = scope.temporary_name;
    scope.watch_temporary(output.dir_fd);
    owned_text tail(shown_text(result.name + std::strlen(output.name)));
    result.shown.text = tail.text ? join_text(output.shown, tail.text) : nullptr;
    if (!result.shown.text) {
        close(fd);
        return out_of_memory(run.options);
    }
    result.out.file = fdopen(fd, "wb");
    if (!result.out.file) {
        const int error = errno;
        close(fd);
        return report_failure(run, result.shown.text, error);
    }
    use_large_buffer(result.out.file, 1);
    return outcome::done;
}

// Removes the input once the result has its name, but only while the name
// still refers to the file that was read; otherwise both stay, reported.
outcome remove_input(run_context& run, const file_plan& plan, const struct stat& read) {
    const file_place& input = plan.input;
    at_step(file_step::remove, input.shown);
    struct stat now;
    if (fstatat(input.dir_fd, input.name, &now, plan.follow ? 0 : AT_SYMLINK_NOFOLLOW) == 0 &&
        !same_file(now, read))
        return report_changed(run, input.shown);
    if (unlinkat(input.dir_fd, input.name, 0) == 0) return outcome::done;
    std::fprintf(messages(), "%s: could not remove %s: %s\n", run.options.name, input.shown,
                 std::strerror(errno));
    ++run.errors;
    return outcome::failed;
}

// The complete result takes the output's name and the input goes: the
// input is the only good copy until the result has its name. A new output
// name must still be free (a file that appeared there meanwhile is never
// replaced without the question).
outcome put_in_place(run_context& run, const file_plan& plan, temporary_result& result,
                     termination_scope& scope, const struct stat& opened) {
    at_step(file_step::rename, plan.input.shown);
    const outcome renamed = rename_reported(run, result.place(), plan.output, !plan.replace_output);
    // A result that could not replace the output stays beside it, complete,
    // under its temporary name: both versions are kept. One that was to take
    // a new name goes.
    if (renamed == outcome::done || plan.replace_output) scope.keep_temporary();
    if (renamed != outcome::done) return renamed;
    sync_directory(plan.output.dir_fd);
    if (std::strcmp(plan.output.name, plan.input.name) == 0) return outcome::done;
    return remove_input(run, plan, opened);
}

// From the creation of the result on: the scope ends, and with it the hold
// on the signals, before the caller looks at whether one came.
outcome write_result(run_context& run, const file_plan& plan, owned_file& in,
                     const struct stat& opened) {
    const run_options& options = run.options;
    const file_place& input = plan.input;
    const saved_attributes saved = save_attributes(opened);
    // The result is written under a fresh name beside the output, new,
    // exclusive and private, and takes the output's name only once it is
    // complete and on disk: after a kill at any moment the output's name
    // holds the complete result or what it held before.
    termination_scope scope(termination_handling::remove_temporary, options.name);
    temporary_result result(plan.output);
    const outcome created = create_result(run, result, scope, !plan.replace_output);
    if (created != outcome::done) return created;
    use_large_buffer(in.file, 0);
    announce_writing(options, input.shown);
    const stream_result r =
        run_stream(*options.row().stream, run.keys(), in.file, result.out.file, file_progress());
    in.close();
    if (r.ok()) {
        const int flush_error = flush_to_disk(result.out.file, saved, input.shown);
        const int close_error = result.out.close() != 0 ? errno : 0;
        if (close_error != 0 || flush_error != 0)
            return report_write_error(run, input.shown,
                                      flush_error != 0 ? flush_error : close_error);
    }
    const outcome transformed = report_stream_result(run, r, input.shown, " -- unchanged");
    if (transformed != outcome::done) return transformed;
    // The result is complete: from here an interrupt waits.
    scope.hold();
    return put_in_place(run, plan, result, scope, opened);
}

} // namespace

outcome write_through_temp_file(run_context& run, const file_plan& plan) {
    const run_options& options = run.options;
    owned_file in;
    struct stat opened;
    const outcome opening = open_for_reading(run, plan, in, &opened);
    if (opening != outcome::done) return opening;
    if (opened.st_nlink > 1 && options.verbosity >= 0)
        std::fprintf(messages(), "%s: warning: %s has %d links\n", options.name, plan.input.shown,
                     int(opened.st_nlink));
    return after_interrupts(write_result(run, plan, in, opened));
}
