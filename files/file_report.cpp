// The messages every way of writing shares, and what a stream's result
// means for the run. Depends on nothing else in files/ but the question
// (ask_yes_no) and the test seam.
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

outcome out_of_memory(const run_options& options) {
    std::fprintf(messages(), "%s: %s\n", options.name, std::strerror(ENOMEM));
    return outcome::fatal;
}

outcome report_failure(run_context& run, const char* what, int error_number) {
    std::fprintf(messages(), "%s: %s: %s\n", run.options.name, what, std::strerror(error_number));
    ++run.errors;
    return outcome::failed;
}

outcome report_changed(run_context& run, const char* shown) {
    std::fprintf(messages(), "%s: %s: changed while being processed\n", run.options.name, shown);
    ++run.errors;
    return outcome::failed;
}

outcome rename_reported(run_context& run, const file_place& from, const file_place& to,
                        bool only_new) {
    int r = only_new ? renameat2(from.dir_fd, from.name, to.dir_fd, to.name, RENAME_NOREPLACE)
                     : renameat(from.dir_fd, from.name, to.dir_fd, to.name);
    if (r != 0 && only_new && (errno == EINVAL || errno == ENOSYS)) {
        // A file system without the flag: a link cannot replace either.
        r = linkat(from.dir_fd, from.name, to.dir_fd, to.name, 0);
        if (r == 0) unlinkat(from.dir_fd, from.name, 0);
    }
    return r == 0 ? outcome::done : report_rename_failure(run, from, to, errno);
}

outcome report_rename_failure(run_context& run, const file_place& from, const file_place& to,
                              int error) {
    std::fprintf(messages(), "%s: could not rename %s to %s: %s\n", run.options.name, from.shown,
                 to.shown, std::strerror(error));
    ++run.errors;
    return outcome::failed;
}

void announce_writing(const run_options& options, const char* shown) {
    if (options.verbosity < 1) return;
    std::fprintf(messages(), options.row().writing_line, shown);
    std::fflush(messages());
}

outcome report_write_error(run_context& run, const char* shown, int error) {
    std::fprintf(messages(), "%s: %s: %s\n", run.options.name, shown, std::strerror(error));
    return outcome::fatal_io;
}

outcome report_stream_result(run_context& run, stream_result r, const char* what,
                             const char* rejection_tail) {
    if (r.ok()) return outcome::done;
    if (r.rejected()) {
        std::fprintf(messages(), "%s: %s: %s%s\n", run.options.name, what, result_message(r),
                     rejection_tail);
        ++run.rejects;
        return outcome::rejected;
    }
    std::fprintf(messages(), "%s: %s: %s\n", run.options.name, what, result_message(r));
    return r.io_failed() ? outcome::fatal_io : outcome::fatal;
}

int ask_about(run_context& run, const char* question, const char* about, const char* input_shown,
              const char* refusal) {
    question_begins(run);
    std::fprintf(messages(), question, run.options.name, about);
    std::fflush(messages());
    at_step(file_step::question, input_shown);
    const int yes = ask_yes_no();
    question_ends(run);
    if (yes == 0) std::fputs(refusal, messages());
    return yes;
}
