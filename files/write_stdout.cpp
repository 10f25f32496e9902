// Writing to standard output (cat, unixcrypt): the file itself is left as it
// is, so there is no output name, no question and no interrupt handler.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "files/file_steps.h"

outcome stream_to_stdout(run_context& run, std::FILE* in, const char* shown,
                         const char* rejection_tail)
{
    announce_writing(run.options, shown);
    const stream_result r = run_stream(*run.options.row().stream, run.keys(), in, stdout);
    if (std::fflush(stdout) != 0 && r.ok())
        return report_write_error(run, shown, errno);
    return report_stream_result(run, r, shown, rejection_tail);
}

outcome write_to_stdout(run_context& run, const file_job& job)
{
    const file_place& input = job.input;
    at_step(file_step::open, input.shown);
    struct stat opened;
    const int fd = open_verified(run, input, O_RDONLY, job.follow, job.decided, &opened);
    if (fd < 0)
        return outcome::failed;
    owned_file in;
    in.file = fdopen(fd, "rb");
    if (!in.file) {
        const int error = errno;
        close(fd);
        return report_failure(run, input.shown, error);
    }
    use_large_buffer(in.file, 0);
    return stream_to_stdout(run, in.file, input.shown, " -- ignored");
}
