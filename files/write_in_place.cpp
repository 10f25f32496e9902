// In-place writing: the file is read and overwritten through one descriptor,
// given its owner, mode and times back, and renamed to the output name, as
// its plan says.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

namespace {

bool differs(const file_place& a, const file_place& b) { return std::strcmp(a.name, b.name) != 0; }

// Opens the file decided on for reading and writing. A write-protected one
// is first opened for reading only, given its owner-write bit through that
// descriptor, and then opened for writing, which must find the same file;
// `raised` tells the caller to take the bit back. Fills `opened` with the
// attributes before any change. -1 when reported.
int open_for_rewriting(run_context& run, const file_plan& plan, bool* raised, struct stat* opened) {
    *raised = false;
    if (!plan.raise_write)
        return open_verified(run, plan.input, O_RDWR, plan.follow, plan.decided, opened);
    const owned_fd reader(
        open_verified(run, plan.input, O_RDONLY, plan.follow, plan.decided, opened));
    if (reader.fd < 0) return -1;
    // Not reported: the open that follows tells what matters.
    (void)!fchmod(reader.fd, (opened->st_mode | 0200) & 07777);
    struct stat again;
    const int fd = open_verified(run, plan.input, O_RDWR, plan.follow, *opened, &again);
    *raised = fd >= 0;
    if (fd < 0) (void)!fchmod(reader.fd, opened->st_mode & 07777);
    return fd;
}

// What the visited list is to know a file by once the run is done with it.
// A birth time stays what the decision saw; a change time (the stamp where
// the file system records no birth) moved with the run's own writes and
// rename, so it is read again under `place`, unless the name no longer
// leads to the file.
file_identity identity_now(const file_plan& plan, const file_place& place) {
    if (plan.born) return plan.identity;
    struct stat st;
    file_identity now;
    if (stat_entry(place.dir_fd, place.name, plan.follow ? 0 : AT_SYMLINK_NOFOLLOW, &st, &now) ==
            0 &&
        now.device == plan.identity.device && now.inode == plan.identity.inode)
        return now;
    return plan.identity;
}

// Why the result could not take its output name, found on the directory
// held before a byte is written: 0 when nothing known stands in the way.
// The directory must let the effective user add and remove entries (a
// read-only file system says EROFS here); in a sticky directory only the
// owner of the directory or of an entry may move or replace it; a
// directory is never replaced by a file.
int rename_refusal(const file_plan& plan) {
    const int dir = plan.input.dir_fd;
    if (faccessat(dir, ".", W_OK | X_OK, AT_EACCESS) != 0) return errno;
    struct stat directory, entry, existing;
    // An output name found free when it was decided is free still, or
    // another process's doing, which the rename itself then meets; one only
    // the listing said was free is looked at now.
    const bool exists = (plan.replace_output || plan.output_unlooked) &&
                        fstatat(dir, plan.output.name, &existing, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && plan.output_unlooked) return EEXIST;
    if (exists && S_ISDIR(existing.st_mode)) return EISDIR;
    // The process never changes its user.
    static const uid_t user = geteuid();
    if (user == 0 || fstatat(dir, ".", &directory, 0) != 0 || !(directory.st_mode & S_ISVTX) ||
        directory.st_uid == user)
        return 0;
    if (fstatat(dir, plan.input.name, &entry, AT_SYMLINK_NOFOLLOW) == 0 && entry.st_uid != user)
        return EPERM;
    return exists && existing.st_uid != user ? EPERM : 0;
}

// After a rename failed that was to follow the transformation: which name
// now holds what.
void report_kept_name(const run_options& options, const char* shown) {
    std::fprintf(messages(), "%s: %s now holds the %s content\n", options.name, shown,
                 options.row().writes_encrypted ? "encrypted" : "decrypted");
}

// The file takes its output name; when it cannot, it keeps the one it has,
// said so.
outcome take_output_name(run_context& run, const file_plan& plan) {
    at_step(file_step::rename, plan.input.shown);
    // A name that was free must still be free: what took it meanwhile stays.
    const outcome renamed = rename_reported(run, plan.input, plan.output, !plan.replace_output);
    if (renamed == outcome::failed) report_kept_name(run.options, plan.input.shown);
    return renamed;
}

// Transforms the open file and gives it its output name. The handler stays
// until the file has that name: an interrupt must not leave transformed
// content under the input's name. When the rename fails, the content stays
// under the input's name all the same, reported.
outcome rewrite(run_context& run, const file_plan& plan, owned_fd& file, const struct stat& opened,
                bool raised) {
    const run_options& options = run.options;
    const file_place& input = plan.input;
    const saved_attributes saved = save_attributes(opened);
    const termination_scope scope(termination_handling::finish_file, options.name);
    announce_writing(options, input.shown);
    const stream_result r =
        run_stream_in_place(*options.row().stream, run.keys(), file.fd, file_progress());
    at_step(file_step::attributes, input.shown);
    restore_attributes(file.fd, saved, r.ok(), raised);
    const int closed = close(file.fd);
    const int close_error = closed != 0 ? errno : 0;
    file.fd = -1;
    if (r.ok() && closed != 0) return report_write_error(run, input.shown, close_error);

    const outcome result = report_stream_result(run, r, input.shown, " -- unchanged");
    if (result != outcome::done)
        return ends_run(result) ? result : left_unchanged(run, plan, result);
    const outcome renamed =
        differs(plan.output, input) ? take_output_name(run, plan) : outcome::done;
    const file_place& now = renamed == outcome::done ? plan.output : input;
    if (!remember_inode(run.visited, identity_now(plan, now), 1)) return out_of_memory(options);
    return renamed;
}

} // namespace

// A file seen before in this run: nothing is written again, but content
// transformed under another name earlier must not stay under this one.
outcome revisit_in_place(run_context& run, const file_plan& plan) {
    visited_entry& seen = *plan.seen;
    if (run.options.verbosity >= 1)
        std::fprintf(messages(), "Already visited inode %s.\n", plan.input.shown);
    if (!seen.done) return outcome::done;
    outcome result = outcome::done;
    if (differs(plan.output, plan.input)) {
        const termination_scope scope(termination_handling::finish_file, run.options.name);
        result = take_output_name(run, plan);
        if (result == outcome::done) seen.identity = identity_now(plan, plan.output);
    }
    return after_interrupts(result);
}

outcome write_in_place(run_context& run, const file_plan& plan) {
    // A result that could not take its name would leave transformed content
    // under the old one: such a file is left as it is.
    if (differs(plan.output, plan.input))
        if (const int refusal = rename_refusal(plan))
            return left_unchanged(run, plan,
                                  report_rename_failure(run, plan.input, plan.output, refusal));
    at_step(file_step::open, plan.input.shown);
    // Without symlinks the entry was a regular file at the decision; a link
    // put in its place since then fails here (ELOOP) instead of having its
    // target overwritten, and any other file fails the identity check.
    bool raised = false;
    struct stat opened;
    owned_fd file(open_for_rewriting(run, plan, &raised, &opened));
    if (file.fd < 0) return left_unchanged(run, plan, outcome::failed);
    return after_interrupts(rewrite(run, plan, file, opened, raised));
}
