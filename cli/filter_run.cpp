// The filter run: standard input through one stream to standard output.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "cli/cli.h"

namespace {

// The drivers move small buffers; large stdio buffers keep the number of
// system calls on pipes and files low. A terminal keeps its usual buffering.
constexpr std::size_t data_buffer_size = std::size_t(256) << 10;
char input_buffer[data_buffer_size];
char output_buffer[data_buffer_size];

// Valid only before the first operation on each stream: standard input has
// already been read when the key file was "-", and keeps its buffer then.
void enlarge_data_buffers(const run_options& options) {
    const bool stdin_used = options.keyfile && std::strcmp(options.keyfile, "-") == 0;
    if (!stdin_used && !isatty(STDIN_FILENO))
        std::setvbuf(stdin, input_buffer, _IOFBF, sizeof input_buffer);
    if (!isatty(STDOUT_FILENO)) std::setvbuf(stdout, output_buffer, _IOFBF, sizeof output_buffer);
}

} // namespace

outcome run_filter(run_context& run) {
    enlarge_data_buffers(run.options);
    return run_filter_stream(run);
}
