// The FILE-stream driver: reads 992 bytes at a time and gives each step 1056
// bytes of output space, room for a full input buffer plus a header block.
//
// An input that goes on past a few chunks is handed over, at a step
// boundary, to a helper thread that reads and writes the same streams in
// chunks while this thread runs the stream (engine/io_overlap.h); what
// stdio holds in their buffers goes on first, in order. Terminals stay with the plain loop: a read
// or write from a background process must stop the process, which it would not do from a thread
// that blocks the job-control signals.

#include <unistd.h>

#include <cerrno>

#include "engine/engine.h"
#include "engine/io_overlap.h"
#include "engine/saved_error.h"

namespace {

constexpr std::int32_t input_size = 992;
constexpr std::int32_t output_size = input_size + 32;

// The stream is released through `end`; the caller sees the errno of the
// failing call, and which stream it failed on.
int fail_io(cipher_stream* stream, stream_end_fn end, io_side* failed_side, io_side side) {
    const saved_error keep(stream);
    end(stream);
    if (failed_side) *failed_side = side;
    return result_io;
}

// The helper stops at the first failure in the input's order: a write's,
// where there was one, comes first.
io_side side_of(const overlap_pipeline& pipeline) {
    return pipeline.write_result != result_ok ? io_side::output : io_side::input;
}

// The two streams as the helper moves them. Where a stream has a
// descriptor, the helper reads and writes that directly once stdio holds
// nothing of it, so that whole chunks go between the descriptors and the
// chunks without stdio copying them once more: the input's bytes stdio
// has read ahead are read through stdio first (known where the descriptor
// can tell its offset), and the output is flushed before the first chunk.
// Either stream is left as stdio would leave it, its buffer empty.
struct stream_pair {
    std::FILE* in;
    std::FILE* out;
    int in_fd = -1;     // -1: read through stdio throughout
    off_t buffered = 0; // input bytes stdio has read ahead, still to come from it
    int out_fd = -1;    // -1: written through stdio throughout
    bool flushed = false;
};

stream_pair pair_for_helper(std::FILE* in, std::FILE* out) {
    const int saved = errno;
    stream_pair pair{in, out};
    const int in_fd = fileno(in);
    const off_t logical = in_fd < 0 ? -1 : ftello(in);
    const off_t actual = logical < 0 ? -1 : lseek(in_fd, 0, SEEK_CUR);
    if (actual >= logical && logical >= 0) {
        pair.in_fd = in_fd;
        pair.buffered = actual - logical;
    }
    pair.out_fd = fileno(out);
    errno = saved;
    return pair;
}

int read_chunk(void* context, std::uint8_t* buffer, std::int32_t size, std::int32_t* count,
               bool* at_end) {
    auto& pair = *static_cast<stream_pair*>(context);
    if (pair.in_fd >= 0 && pair.buffered == 0)
        return read_whole(pair.in_fd, buffer, size, count, at_end, nullptr);
    const std::size_t want =
        pair.in_fd >= 0 && pair.buffered < size ? std::size_t(pair.buffered) : std::size_t(size);
    const std::size_t n = std::fread(buffer, 1, want, pair.in);
    if (std::ferror(pair.in)) return result_io;
    pair.buffered -= pair.in_fd >= 0 ? static_cast<off_t>(n) : 0;
    *count = static_cast<std::int32_t>(n);
    *at_end = n < want;
    return result_ok;
}

int write_chunk(void* context, const std::uint8_t* data, std::int32_t count) {
    auto& pair = *static_cast<stream_pair*>(context);
    if (pair.out_fd >= 0) {
        if (!pair.flushed && std::fflush(pair.out) != 0) return result_io;
        pair.flushed = true;
        return write_whole(pair.out_fd, data, std::size_t(count), nullptr);
    }
    if (std::fwrite(data, 1, std::size_t(count), pair.out) != std::size_t(count)) return result_io;
    return result_ok;
}

// A failure found later is reported with its own errno, not isatty's.
bool is_terminal(std::FILE* stream) {
    const int saved = errno;
    const int fd = fileno(stream);
    const bool terminal = fd >= 0 && isatty(fd);
    errno = saved;
    return terminal;
}

// The rest of the input through the helper. A failing step has released
// the stream; a write that failed before it is still what is reported.
int pump_overlapped(cipher_stream* stream, stream_step_fn step, stream_end_fn end,
                    overlap_pipeline& pipeline, io_side* failed_side) {
    for (;;) {
        const overlap_chunk* input = overlap_input(pipeline);
        if (input == nullptr) {
            overlap_stop(pipeline, true);
            return fail_io(stream, end, failed_side, side_of(pipeline));
        }
        stream->in_ptr = input->data;
        stream->in_left = input->count;
        for (;;) {
            overlap_chunk* output = overlap_output(pipeline);
            if (output == nullptr) {
                overlap_stop(pipeline, false);
                return fail_io(stream, end, failed_side, io_side::output);
            }
            stream->out_ptr = output->data;
            stream->out_left = output->count;
            const int result = step(stream);
            if (result != 0) {
                const int failure = overlap_stop(pipeline, false);
                if (failure == result_io && failed_side) *failed_side = io_side::output;
                return failure != result_ok ? failure : result;
            }
            overlap_output_done(pipeline, output->count - stream->out_left);
            if (input->final) {
                // A full output chunk may mean the stream owes more.
                if (stream->out_left == 0) continue;
                if (overlap_stop(pipeline, false) != result_ok)
                    return fail_io(stream, end, failed_side, io_side::output);
                return end(stream);
            }
            if (stream->in_left == 0) break;
        }
        overlap_input_done(pipeline);
    }
}

} // namespace

int pump_file(cipher_stream* stream, stream_step_fn step, stream_end_fn end, std::FILE* in,
              std::FILE* out, bool over_input, io_side* failed_side) {
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];

    std::clearerr(in);
    stream->in_left = 0;
    bool may_overlap = true; // until a terminal, or no thread or memory, rules it out
    off_t moved = 0;
    for (;;) {
        if (may_overlap && overlap_wanted(moved)) {
            may_overlap = false;
            if (is_terminal(in) || is_terminal(out)) continue;
            stream_pair files = pair_for_helper(in, out);
            overlap_pipeline pipeline;
            if (overlap_begin(pipeline, overlap_io{read_chunk, write_chunk, &files},
                              current_overlap().chunk, overlap_order::separate_files, over_input))
                return pump_overlapped(stream, step, end, pipeline, failed_side);
        }
        const std::size_t n = std::fread(input, 1, sizeof input, in);
        if (std::ferror(in)) return fail_io(stream, end, failed_side, io_side::input);
        moved += static_cast<off_t>(n);
        const bool at_end = n < sizeof input;
        stream->in_ptr = input;
        stream->in_left = static_cast<std::int32_t>(n);

        for (;;) {
            stream->out_ptr = output;
            stream->out_left = output_size;
            const int result = step(stream);
            if (result != 0) return result;
            const auto produced = static_cast<std::size_t>(output_size - stream->out_left);
            if (produced != 0 && std::fwrite(output, 1, produced, out) != produced)
                return fail_io(stream, end, failed_side, io_side::output);

            if (at_end) {
                // A full output buffer may mean the stream owes more.
                if (stream->out_left == 0) continue;
                return end(stream);
            }
            if (stream->in_left == 0) break;
        }
    }
}
