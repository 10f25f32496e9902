// Writing to standard output (cat, unixcrypt): the file itself is left as it
// is, so there is no output name, no question and no interrupt handler.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

void write_to_stdout(const file_job& job)
{
    const file_place& input = job.input;
    at_step(file_step::open, input.shown);
    struct stat opened;
    const int fd = open_verified(input, O_RDONLY, job.follow, job.decided, &opened);
    if (fd < 0)
        return;
    std::FILE* in = fdopen(fd, "rb");
    if (!in) {
        report_failure(input.shown, errno);
        close(fd);
        return;
    }
    use_large_buffer(in, 0);
    if (config.verbosity >= 1) {
        std::fprintf(stderr, "Decrypting %s\n", input.shown);
        std::fflush(stderr);
    }
    int r = config.mode == mode_unixcrypt
                ? unixcrypt_file(in, stdout, config.keyword)
                : decrypt_file(in, stdout, config.keyword, config.mismatch);
    int driver_errno = errno;
    if (std::fflush(stdout) != 0 && r == result_ok) {
        int flush_errno = errno;
        std::fclose(in);
        errno = flush_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, input.shown, result_message(result_io));
        std::exit(3);
    }
    std::fclose(in);
    errno = driver_errno;
    act_on_result(r, input.shown, " -- ignored");
}
