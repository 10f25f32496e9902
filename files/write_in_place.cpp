// In-place writing: the file is read and overwritten through one descriptor,
// given its owner, mode and times back, and renamed to the output name.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

namespace {

// 1 when the user lets a write-protected file be changed (or force is set);
// -1 when memory ran out.
int may_change_write_protected(const run_options& options, const file_place& input) {
    if (options.force) return 1;
    return ask_about(options, options.row().protected_question, input.shown, input.shown,
                     "Not changed.\n");
}

bool differs(const file_place& a, const file_place& b) { return std::strcmp(a.name, b.name) != 0; }

// Opens the file decided on for reading and writing. A write-protected one
// is first opened for reading only, given its owner-write bit through that
// descriptor, and then opened for writing, which must find the same file;
// `raised` tells the caller to take the bit back. Fills `opened` with the
// attributes before any change. -1 when reported.
int open_for_rewriting(run_context& run, const file_job& job, bool raise_write, bool* raised,
                       struct stat* opened) {
    *raised = false;
    if (!raise_write) return open_verified(run, job.input, O_RDWR, job.follow, job.decided, opened);
    const owned_fd reader(open_verified(run, job.input, O_RDONLY, job.follow, job.decided, opened));
    if (reader.fd < 0) return -1;
    // Not reported: the open that follows tells what matters.
    (void)!fchmod(reader.fd, (opened->st_mode | 0200) & 07777);
    struct stat again;
    const int fd = open_verified(run, job.input, O_RDWR, job.follow, *opened, &again);
    *raised = fd >= 0;
    if (fd < 0) (void)!fchmod(reader.fd, opened->st_mode & 07777);
    return fd;
}

// What the visited list is to know a file by once the run is done with it.
// A birth time stays what the decision saw; a change time (the stamp where
// the file system records no birth) moved with the run's own writes and
// rename, so it is read again under `place`, unless the name no longer
// leads to the file.
file_identity identity_now(const file_job& job, const file_place& place) {
    if (job.born) return job.identity;
    struct stat st;
    file_identity now;
    if (stat_entry(place.dir_fd, place.name, job.follow ? 0 : AT_SYMLINK_NOFOLLOW, &st, &now) ==
            0 &&
        now.device == job.identity.device && now.inode == job.identity.inode)
        return now;
    return job.identity;
}

// After a rename failed that was to follow the transformation: which name
// now holds what.
void report_kept_name(const run_options& options, const char* shown) {
    std::fprintf(stderr, "%s: %s now holds the %s content\n", options.name, shown,
                 options.row().writes_encrypted ? "encrypted" : "decrypted");
}

// The file takes its output name; when it cannot, it keeps the one it has,
// said so.
outcome take_output_name(run_context& run, const file_job& job) {
    at_step(file_step::rename, job.input.shown);
    const outcome renamed = rename_reported(run, job.input, job.output);
    if (renamed == outcome::failed) report_kept_name(run.options, job.input.shown);
    return renamed;
}

// A file seen before in this run: nothing is written again, but content
// transformed under another name earlier must not stay under this one.
outcome revisit(run_context& run, const file_job& job, visited_entry& seen) {
    if (run.options.verbosity >= 1)
        std::fprintf(stderr, "Already visited inode %s.\n", job.input.shown);
    if (!seen.done) return outcome::done;
    outcome result = outcome::done;
    if (differs(job.output, job.input)) {
        const sigint_guard guard(on_interrupt, run.options.name);
        result = take_output_name(run, job);
        if (result == outcome::done) seen.identity = identity_now(job, job.output);
    }
    return after_interrupts(result);
}

outcome left_unchanged(run_context& run, const file_job& job, outcome result) {
    return remember_inode(run.visited, job.identity, 0) ? result : out_of_memory(run.options);
}

// Why the result could not take its output name, found on the directory
// held before a byte is written: 0 when nothing known stands in the way.
// The directory must let the effective user add and remove entries (a
// read-only file system says EROFS here); in a sticky directory only the
// owner of the directory or of an entry may move or replace it; a
// directory is never replaced by a file.
int rename_refusal(const file_job& job) {
    const int dir = job.input.dir_fd;
    if (faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0) return errno;
    struct stat directory, entry, existing;
    // An output name found free when it was decided is free still, or
    // another process's doing, which the rename itself then meets.
    const bool exists =
        job.replace_output && fstatat(dir, job.output.name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISDIR(existing.st_mode)) return EISDIR;
    const uid_t user = geteuid();
    if (user == 0 || fstatat(dir, ".", &directory, 0) != 0 || !(directory.st_mode & S_ISVTX) ||
        directory.st_uid == user)
        return 0;
    if (fstatat(dir, job.input.name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && entry.st_uid != user)
        return EPERM;
    return exists && existing.st_uid != user ? EPERM : 0;
}

// Transforms the open file and gives it its output name. The handler stays
// until the file has that name: an interrupt must not leave transformed
// content under the input's name. When the rename fails, the content stays
// under the input's name all the same, reported.
outcome rewrite(run_context& run, const file_job& job, owned_fd& file, const struct stat& opened,
                bool raised) {
    const run_options& options = run.options;
    const file_place& input = job.input;
    const saved_attributes saved = save_attributes(opened);
    const sigint_guard guard(on_interrupt, options.name);
    announce_writing(options, input.shown);
    const stream_result r = run_stream_in_place(*options.row().stream, run.keys(), file.fd);
    at_step(file_step::attributes, input.shown);
    restore_attributes(file.fd, saved, r.ok(), raised);
    const int closed = close(file.fd);
    file.fd = -1;
    if (r.ok() && closed != 0) return report_write_error(run, input.shown, errno);

    const outcome result = report_stream_result(run, r, input.shown, " -- unchanged");
    if (result != outcome::done)
        return ends_run(result) ? result : left_unchanged(run, job, result);
    const outcome renamed = differs(job.output, input) ? take_output_name(run, job) : outcome::done;
    const file_place& now = renamed == outcome::done ? job.output : input;
    if (!remember_inode(run.visited, identity_now(job, now), 1)) return out_of_memory(options);
    return renamed;
}

} // namespace

outcome write_in_place(run_context& run, const file_job& job) {
    const run_options& options = run.options;
    const file_place& input = job.input;

    // The question comes before the visited check, so it is asked for every
    // name of a write-protected file with several links.
    const bool raise_write = (job.decided.st_mode & 0222) == 0;
    if (raise_write) {
        const int may = may_change_write_protected(options, input);
        if (may < 0) return out_of_memory(options);
        if (may == 0) return left_unchanged(run, job, outcome::done);
    }
    if (visited_entry* seen = find_visited(run.visited, job.identity))
        return revisit(run, job, *seen);
    if (job.decided.st_nlink > 1 && options.verbosity >= 0)
        std::fprintf(stderr, "%s: warning: %s has %d links\n", options.name, input.shown,
                     int(job.decided.st_nlink));
    // A result that could not take its name would leave transformed content
    // under the old one: such a file is left as it is.
    if (differs(job.output, input))
        if (const int refusal = rename_refusal(job))
            return left_unchanged(run, job, report_rename_failure(run, input, job.output, refusal));

    at_step(file_step::open, input.shown);
    // Without symlinks the entry was a regular file at the decision; a link
    // put in its place since then fails here (ELOOP) instead of having its
    // target overwritten, and any other file fails the identity check.
    bool raised = false;
    struct stat opened;
    owned_fd file(open_for_rewriting(run, job, raise_write, &raised, &opened));
    if (file.fd < 0) return left_unchanged(run, job, outcome::failed);
    return after_interrupts(rewrite(run, job, file, opened, raised));
}
