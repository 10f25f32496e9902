// Writing to standard output (cat, unixcrypt): the file itself is left as it
// is, so there is no output name, no question and no interrupt handler.
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/file_steps.h"
#include "files/files.h"

void write_to_stdout(const char* path) {
    std::FILE* in = std::fopen(path, "rb");
    if (!in) {
        report_failure(path, errno);
        return;
    }
    use_large_buffer(in, 0);
    if (config.verbosity >= 1) {
        std::fprintf(stderr, "Decrypting %s\n", path);
        std::fflush(stderr);
    }
    int r = config.mode == mode_unixcrypt ? unixcrypt_file(in, stdout, config.keyword)
                                          : decrypt_file(in, stdout, config.keyword, config.mismatch);
    int driver_errno = errno;
    if (std::fflush(stdout) != 0 && r == result_ok) {
        int flush_errno = errno;
        std::fclose(in);
        errno = flush_errno;
        std::fprintf(stderr, "%s: %s: %s\n", config.name, path, result_message(result_io));
        std::exit(3);
    }
    std::fclose(in);
    errno = driver_errno;
    act_on_result(r, path, " -- ignored");
}
