// Writing to standard output (cat, unixcrypt, and the filter run): the input
// is left as it is, so there is no output name, no question and no interrupt
// handler.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "file_steps.h"

namespace {

// The filter run's messages name no file, and a failed stream leaves
// standard output unflushed.
outcome filter_result(run_context& run, stream_result r) {
    const run_options& options = run.options;
    if (!r.ok()) {
        std::fprintf(messages(), "%s: %s\n", options.name, result_message(r));
        if (r.rejected()) ++run.rejects;
        return r.rejected()          ? outcome::rejected
               : r.code == result_io ? outcome::fatal_io
                                     : outcome::fatal;
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(messages(), "%s: %s\n", options.name, std::strerror(errno));
        return outcome::fatal_io;
    }
    return outcome::done;
}

} // namespace

outcome write_to_stdout(run_context& run, const file_plan& plan) {
    std::FILE* from = stdin;
    owned_file in;
    if (plan.source == input_source::file) {
        struct stat opened;
        const outcome result = open_for_reading(run, plan, in, &opened);
        if (result != outcome::done) return result;
        use_large_buffer(in.file, 0);
        from = in.file;
    }
    const stream_kind& stream = *run.options.row().stream;
    if (plan.source == input_source::filter)
        return filter_result(run, run_stream(stream, run.keys(), from, stdout, file_progress()));
    const char* shown = plan.input.shown;
    announce_writing(run.options, shown);
    const stream_result r = run_stream(stream, run.keys(), from, stdout);
    // An output error is standard output's, whichever file was being read.
    constexpr const char* output_shown = "standard output";
    if (std::fflush(stdout) != 0 && r.ok()) return report_write_error(run, output_shown, errno);
    return report_stream_result(run, r, r.side == io_side::output ? output_shown : shown,
                                " -- ignored");
}
