// Helpers for the engine tests: running a stream in memory under a chosen
// split of input and output space, fixing the nonce of new header blocks,
// and files in a temporary directory.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"

namespace engine_test {

// A stream step that writes 32 bytes more than it reads at every step: its
// output falls behind the reads, by one input buffer after as many steps as
// a buffer has groups.
inline int padding_step(cipher_stream* stream) {
    if (stream->in_left == 0) return 0;
    std::memset(stream->out_ptr, 0xAA, 32);
    std::memcpy(stream->out_ptr + 32, stream->in_ptr, static_cast<std::size_t>(stream->in_left));
    stream->out_ptr += 32 + stream->in_left;
    stream->out_left -= 32 + stream->in_left;
    stream->in_ptr += stream->in_left;
    stream->in_left = 0;
    return 0;
}

// A descriptor and a stdio stream closed when their owner goes.
struct fd_guard {
    int fd;
    ~fd_guard() {
        if (fd >= 0) close(fd);
    }
};
struct file_guard {
    std::FILE* f;
    ~file_guard() {
        if (f != nullptr) std::fclose(f);
    }
};

using bytes = std::vector<std::uint8_t>;

bytes to_bytes(const std::string& text);
bytes random_bytes(std::size_t count, std::uint32_t seed);

// How much input and output space the next step gets.
struct split {
    std::int32_t in;
    std::int32_t out;
};
using splitter = std::function<split()>;

// All remaining input and room for all of its output in one step.
splitter whole();
// Random sizes: single bytes, small odd sizes, large buffers, now and then
// nothing at all on one side.
splitter random_splits(std::uint32_t seed);
// `in` input bytes and `out` bytes of output space per step, always.
splitter fixed(std::int32_t in, std::int32_t out);

struct stream_run {
    int step_result = 0; // the first non-zero step result, or 0
    int end_result = 0;  // the result of end (not called after a failing step)
    bytes output;
    std::size_t consumed = 0; // input bytes the stream took
    std::size_t steps_before_failure = 0;
    int fault = 0; // the stream's fault after a result_stream
};

// Feeds `input` through an initialised stream in the pieces that `next`
// chooses, until the input is used up and a step leaves output space free,
// then calls end (unless a step failed).
stream_run run_stream(cipher_stream& stream, stream_step_fn step, stream_end_fn end,
                      const bytes& input, const splitter& next);

// Installs a nonce source for new header blocks for the lifetime of the
// guard: the 32 bytes `seed`, seed + 1, ... (mod 256).
struct fixed_nonce {
    explicit fixed_nonce(std::uint8_t seed);
    ~fixed_nonce();
    fixed_nonce(const fixed_nonce&) = delete;
    fixed_nonce& operator=(const fixed_nonce&) = delete;
    static void nonce_bytes(std::uint8_t seed, std::uint8_t out[32]);
};

// One-shot helpers over the in-memory streams (fixed splits, whole input).
stream_run encrypt_bytes(const char* keyword, const bytes& input, const splitter& next = whole());
stream_run decrypt_bytes(const char* keyword, const bytes& input, int mismatch = 0,
                         const splitter& next = whole());
stream_run keychange_bytes(const char* old_keyword, const char* new_keyword, const bytes& input,
                           const splitter& next = whole());

// A fresh directory under /tmp, removed with its contents by the destructor.
struct temp_dir {
    std::string path;
    temp_dir();
    ~temp_dir();
    temp_dir(const temp_dir&) = delete;
    temp_dir& operator=(const temp_dir&) = delete;
    std::string file(const std::string& name) const { return path + "/" + name; }
};

void write_file(const std::string& path, const bytes& content);
bytes read_file(const std::string& path);

} // namespace engine_test
