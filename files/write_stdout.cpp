// Writing to standard output (cat, unixcrypt): the file itself is left as it
// is, so there is no output name, no question and no interrupt handler.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>

#include "file_steps.h"

outcome stream_to_stdout(run_context& run, std::FILE* in, const char* shown,
                         const char* rejection_tail) {
    announce_writing(run.options, shown);
    const stream_result r = run_stream(*run.options.row().stream, run.keys(), in, stdout);
    // An output error is standard output's, whichever file was being read.
    constexpr const char* output_shown = "standard output";
    if (std::fflush(stdout) != 0 && r.ok()) return report_write_error(run, output_shown, errno);
    return report_stream_result(run, r, r.side == io_side::output ? output_shown : shown,
                                rejection_tail);
}

outcome write_to_stdout(run_context& run, const file_job& job) {
    owned_file in;
    struct stat opened;
    const outcome result = open_for_reading(run, job, in, &opened);
    if (result != outcome::done) return result;
    use_large_buffer(in.file, 0);
    return stream_to_stdout(run, in.file, job.input.shown, " -- ignored");
}
