// The filter run: standard input through one stream to standard output.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/cli.h"
#include "cli/config.h"
#include "engine/engine.h"

namespace {

// The drivers move small buffers; large stdio buffers keep the number of
// system calls on pipes and files low. A terminal keeps its usual buffering.
constexpr std::size_t data_buffer_size = std::size_t(256) << 10;
char input_buffer[data_buffer_size];
char output_buffer[data_buffer_size];

// Valid only before the first operation on each stream: standard input has
// already been read when the key file was "-", and keeps its buffer then.
void enlarge_data_buffers()
{
    bool stdin_used = config.keyfile && std::strcmp(config.keyfile, "-") == 0;
    if (!stdin_used && !isatty(STDIN_FILENO))
        std::setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
    if (!isatty(STDOUT_FILENO))
        std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
}

int transform_by_mode()
{
    switch (config.mode) {
    case mode_encrypt:
        return encrypt_file(stdin, stdout, config.keyword);
    case mode_keychange:
        return keychange_file(stdin, stdout, config.keyword, config.keyword2);
    case mode_unixcrypt:
        return unixcrypt_file(stdin, stdout, config.keyword);
    default:
        return decrypt_file(stdin, stdout, config.keyword, config.mismatch); // decrypt, cat
    }
}

int failure_status(int result)
{
    if (result == result_stream)
        return stream_fault == fault_bad_format || stream_fault == fault_key_mismatch ? 4 : 2;
    return result == result_io ? 3 : 2;
}

} // namespace

int run_filter()
{
    enlarge_data_buffers();
    int result = transform_by_mode();
    if (result != result_ok) {
        std::fprintf(stderr, "%s: %s\n", config.name, result_message(result));
        return failure_status(result);
    }
    if (std::fflush(stdout) != 0) {
        std::fprintf(stderr, "%s: %s\n", config.name, std::strerror(errno));
        return 3;
    }
    return 0;
}
