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
#include "io_overlap.h"
#include "stepping.h"

namespace {

constexpr std::int32_t input_size = 992;
constexpr std::int32_t output_size = input_size + 32;

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
    stream_pair pair{in, out};
    const int in_fd = fileno(in);
    const off_t logical = in_fd < 0 ? -1 : ftello(in);
    const off_t actual = logical < 0 ? -1 : lseek(in_fd, 0, SEEK_CUR);
    if (actual >= logical && logical >= 0) {
        pair.in_fd = in_fd;
        pair.buffered = actual - logical;
    }
    pair.out_fd = fileno(out);
    return pair;
}

stream_result read_chunk(void* context, overlap_chunk& into, std::int32_t size) {
    auto& pair = *static_cast<stream_pair*>(context);
    if (pair.in_fd >= 0 && pair.buffered == 0) return read_whole(pair.in_fd, into, size, nullptr);
    const std::size_t want =
        pair.in_fd >= 0 && pair.buffered < size ? std::size_t(pair.buffered) : std::size_t(size);
    const std::size_t n = std::fread(into.data, 1, want, pair.in);
    if (std::ferror(pair.in)) return io_failure(errno);
    pair.buffered -= pair.in_fd >= 0 ? static_cast<off_t>(n) : 0;
    into.count = static_cast<std::int32_t>(n);
    into.final = n < want;
    return {};
}

stream_result write_chunk(void* context, const std::uint8_t* data, std::int32_t count) {
    auto& pair = *static_cast<stream_pair*>(context);
    if (pair.out_fd >= 0) {
        if (!pair.flushed && std::fflush(pair.out) != 0) return io_failure(errno);
        pair.flushed = true;
        return write_whole(pair.out_fd, data, std::size_t(count), nullptr);
    }
    if (std::fwrite(data, 1, std::size_t(count), pair.out) != std::size_t(count))
        return io_failure(errno);
    return {};
}

bool is_terminal(std::FILE* stream) {
    const int fd = fileno(stream);
    return fd >= 0 && isatty(fd);
}

// One buffer each way on this thread, until the input has gone on long
// enough for the helper; then the helper's, from the next input on.
struct file_io {
    static constexpr bool takes_whole_input = false;

    const file_pair& files;
    bool may_overlap = true; // until a terminal, or no thread or memory, rules it out
    off_t moved = 0;
    stream_pair pair{};
    pipeline_io helper{};
    bool on_helper = false;
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];

    explicit file_io(const file_pair& f) : files(f) {}

    stream_result start() {
        std::clearerr(files.in);
        return {};
    }

    // The helper takes over here, between inputs, where no byte is held
    // in this driver's buffers.
    bool hand_over() {
        may_overlap = false;
        if (is_terminal(files.in) || is_terminal(files.out)) return false;
        pair = pair_for_helper(files.in, files.out);
        return helper.pipeline.begin(
            overlap_io{read_chunk, write_chunk, &pair},
            overlap_plan{current_overlap().chunk, overlap_order::separate_files, files.over_input});
    }

    stream_result next_input(step_input& next) {
        if (!on_helper && may_overlap && overlap_wanted(moved)) on_helper = hand_over();
        if (on_helper) return helper.next_input(next);
        const std::size_t n = std::fread(input, 1, sizeof input, files.in);
        if (std::ferror(files.in)) return io_failure(errno, io_side::input);
        moved += static_cast<off_t>(n);
        next = {input, static_cast<std::int32_t>(n), n < sizeof input};
        return {};
    }
    stream_result next_output(step_output& room) {
        if (on_helper) return helper.next_output(room);
        room = {output, output_size};
        return {};
    }
    stream_result put_output(std::int32_t produced) {
        if (on_helper) return helper.put_output(produced);
        const auto count = static_cast<std::size_t>(produced);
        if (count != 0 && std::fwrite(output, 1, count, files.out) != count)
            return io_failure(errno, io_side::output);
        return {};
    }
    void input_done() {
        if (on_helper) helper.input_done();
    }
    stream_result stop_after_failed_step() {
        return on_helper ? helper.stop_after_failed_step() : stream_result{};
    }
    stream_result finish() { return on_helper ? helper.finish() : stream_result{}; }
    void abandon() {}
};

} // namespace

stream_result pump_file(const stepped_stream& s, const file_pair& files) {
    s.stream->in_left = 0;
    file_io io(files);
    return step_stream(s, io);
}
