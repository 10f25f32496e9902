// The FILE-stream driver: reads 992 bytes at a time and gives each step 1056
// bytes of output space, room for a full input buffer plus a header block.

#include "engine/engine.h"
#include "engine/saved_error.h"

namespace {

constexpr std::int32_t input_size = 992;
constexpr std::int32_t output_size = input_size + 32;

// The stream is released through `end`; the caller sees the errno of the
// failing call.
int fail_io(cipher_stream* stream, stream_end_fn end)
{
    const saved_error keep;
    end(stream);
    return -3;
}

} // namespace

int pump_file(cipher_stream* stream, stream_step_fn step, stream_end_fn end, std::FILE* in,
              std::FILE* out)
{
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];

    std::clearerr(in);
    stream->in_left = 0;
    for (;;) {
        const std::size_t n = std::fread(input, 1, sizeof input, in);
        if (std::ferror(in))
            return fail_io(stream, end);
        const bool at_end = n < sizeof input;
        stream->in_ptr = input;
        stream->in_left = static_cast<std::int32_t>(n);

        for (;;) {
            stream->out_ptr = output;
            stream->out_left = output_size;
            const int result = step(stream);
            if (result != 0)
                return result;
            const auto produced = static_cast<std::size_t>(output_size - stream->out_left);
            if (produced != 0 && std::fwrite(output, 1, produced, out) != produced)
                return fail_io(stream, end);

            if (at_end) {
                // A full output buffer may mean the stream owes more.
                if (stream->out_left == 0)
                    continue;
                return end(stream);
            }
            if (stream->in_left == 0)
                break;
        }
    }
}
