#include "cli/file_list.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/config.h"
#include "engine/engine.h"
#include "files/files.h"

namespace {

// Standard input as an operand, decrypted to standard output. A rejected key
// or format is counted like a rejected file; every other failure ends the
// process.
void decrypt_standard_input()
{
    if (config.verbosity >= 1) {
        std::fputs("Decrypting standard input\n", stderr);
        std::fflush(stderr);
    }
    int r = config.mode == mode_unixcrypt
                ? unixcrypt_file(stdin, stdout, config.keyword)
                : decrypt_file(stdin, stdout, config.keyword, config.mismatch);
    int kept = errno;
    if (std::fflush(stdout) != 0 && r == result_ok) {
        std::fprintf(stderr, "%s: standard input: %s\n", config.name, result_message(result_io));
        std::exit(3);
    }
    errno = kept;
    if (r == result_ok)
        return;
    if (r == result_stream &&
        (stream_fault == fault_bad_format || stream_fault == fault_key_mismatch)) {
        std::fprintf(stderr, "%s: standard input: %s -- ignored\n", config.name, result_message(r));
        ++reject_count;
        return;
    }
    std::fprintf(stderr, "%s: standard input: %s\n", config.name, result_message(r));
    std::exit(r == result_io ? 3 : 2);
}

} // namespace

int run_file_list(char** infiles, int infile_count)
{
    forget_visited();
    error_count = 0;
    reject_count = 0;
    const bool to_stdout = config.mode == mode_cat || config.mode == mode_unixcrypt;
    for (int i = 0; i < infile_count; ++i) {
        // In the modes that write files, "-" is an ordinary file name.
        if (to_stdout && std::strcmp(infiles[i], "-") == 0)
            decrypt_standard_input();
        else
            process_path(infiles[i]);
    }
    forget_visited();
    return (reject_count != 0 ? 1 : 0) + (error_count != 0 ? 2 : 0);
}
