// Reading and writing on a helper thread while the calling thread runs the
// cipher: how both drivers move long inputs. The helper reads the input in
// chunks ahead of the cipher and writes the output chunks behind it, in
// order, through the driver's own two I/O functions; the calling thread
// only steps the stream between buffers. Memory is fixed: a few chunks on
// each side, whatever the length of the input.
//
// The helper is created with every signal blocked, so signals reach the
// calling thread exactly as they would without it: handlers, SA_RESTART
// and the default actions act there. A SIGPIPE or SIGXFSZ that a failing
// write of the helper brought on itself is taken off the helper and raised
// in the calling thread when it learns of the failure, so a closed pipe or
// a file-size limit ends (or does not end) the process as before. Where
// input and output are separate files, the calling thread also writes the
// output chunks that are due whenever it would otherwise wait for the
// helper: the cipher is faster than the copies when decrypting, and the
// helper's reads and the caller's writes then go on side by side.
//
// Failures keep the order they would have without the helper: the helper
// stops at its first failing write, and a failing read is reported only
// when the calling thread comes to the chunk it was reading, once every
// output before it has been written.
#pragma once

#include <pthread.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

// How much a chunk holds, unless a test has chosen otherwise, and how long
// an input must be before a thread pays off.
constexpr std::int32_t overlap_chunk_default = 512 * 1024;
constexpr off_t overlap_threshold_chunks = 4;
// Chunks on each side: one with the cipher, one with the helper, one spare
// so that neither waits for the other at every turn.
constexpr int overlap_slots = 3;

// Which inputs the drivers give a helper (see engine/testing.h).
enum class overlap_choice { automatic, never, always };
struct overlap_setting {
    overlap_choice choice;
    std::int32_t chunk;
};
overlap_setting current_overlap();

// Whether an input of `length` bytes (-1: not known yet) is moved with a
// helper under the current setting.
bool overlap_wanted(off_t length);

// A driver's I/O, one call at a time: reads on the helper thread only,
// writes there too or, for separate files, on the caller's thread.
// Both return result_ok, or result_io with errno set.
struct overlap_io {
    // Reads up to `size` bytes, as many as there are; sets *at_end when
    // the input ended within them.
    int (*read)(void* context, std::uint8_t* buffer, std::int32_t size, std::int32_t* count,
                bool* at_end);
    // Writes all `count` bytes.
    int (*write)(void* context, const std::uint8_t* data, std::int32_t count);
    void* context;
};

struct overlap_chunk {
    std::uint8_t* data;
    std::int32_t count; // input: bytes read; output: room (chunk + 32)
    bool final;         // input: the read met the end of the input
};

// How the reads and writes of a driver relate.
enum class overlap_order {
    // In place: an output chunk is written only once the input chunk after
    // it has been read (or the input has ended), and never past the end of
    // that chunk, so the output never overwrites input not yet read. Only
    // the helper moves the descriptor's offset.
    writes_trail_reads,
    // Input and output apart: the outputs are written in order, by the
    // helper or, while it waits for the helper, by the caller itself.
    separate_files,
};

struct overlap_pipeline {
    overlap_io io{};
    bool writes_trail_reads = false;
    bool caller_may_write = false;
    bool outputs_in_inputs = false; // output chunk k is input chunk k's memory
    std::int32_t chunk = 0;

    std::uint8_t* memory = nullptr; // every chunk, one mapping
    std::size_t memory_size = 0;
    overlap_chunk inputs[overlap_slots]{};
    overlap_chunk outputs[overlap_slots]{};

    // Counted in chunks since the start, under `lock`.
    std::uint64_t reads_done = 0;
    std::uint64_t inputs_released = 0;
    std::uint64_t outputs_posted = 0;
    std::uint64_t writes_done = 0;
    bool input_ended = false;
    std::uint64_t final_input = 0;               // its chunk, once input_ended
    off_t input_ends[2 * overlap_slots]{};       // input position after each recent chunk
    std::int32_t output_counts[overlap_slots]{}; // bytes posted in each output chunk
    off_t written = 0;                           // output bytes written
    int read_result = 0, read_errno = 0;         // the first failing read
    int write_result = 0, write_errno = 0;       // the first failing write
    int raised_signal = 0;                       // brought on by that write
    bool writing = false;                        // a write is under way, on either thread
    bool caller_starved = false;                 // its last input was not read yet when asked for
    bool closing = false;                        // no more input is wanted
    bool abandoned = false;                      // stop at once, write nothing more
    bool helper_idle = false;                    // waiting for work
    bool helper_done = false;

    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t helper_wake = PTHREAD_COND_INITIALIZER;
    pthread_cond_t caller_wake = PTHREAD_COND_INITIALIZER;
    pthread_t thread{};
    bool running = false;

    overlap_pipeline() = default;
    overlap_pipeline(const overlap_pipeline&) = delete;
    overlap_pipeline& operator=(const overlap_pipeline&) = delete;
    // Stops the helper without writing anything more, and frees the chunks.
    ~overlap_pipeline();
};

// The drivers' calls on a descriptor, made whole and retried when
// interrupted; result_ok, or result_io with errno set. read_whole reads
// until `size` bytes are in or the input ends (*at_end set), and no more
// than `*limit` bytes when a limit is given, which it counts down.
// write_whole writes all `count` bytes (one that takes none fails with
// EIO) and sets `*any`, unless null, once some byte has gone out.
int read_whole(int fd, std::uint8_t* buffer, std::int32_t size, std::int32_t* count, bool* at_end,
               off_t* limit);
int write_whole(int fd, const std::uint8_t* data, std::size_t count, bool* any);

// Sets up the chunks and starts the helper; false when either cannot be
// had, and the driver goes on without. With `over_input` (a stream that may
// write over its own input, one output chunk per input chunk) each output
// chunk is the memory of its input chunk, which is read into again only
// once that output is written: half the memory, and the cipher's thread
// writes where it has just read instead of into lines another core holds.
bool overlap_begin(overlap_pipeline& pipeline, const overlap_io& io, std::int32_t chunk,
                   overlap_order order, bool over_input);

// The next input chunk, once read; null when it cannot come (its read
// failed, or a write did): the driver then calls overlap_stop.
const overlap_chunk* overlap_input(overlap_pipeline& pipeline);
// The stream has consumed it.
void overlap_input_done(overlap_pipeline& pipeline);
// Room for the next output chunk; null when a write has failed.
overlap_chunk* overlap_output(overlap_pipeline& pipeline);
// `count` bytes of it are to be written.
void overlap_output_done(overlap_pipeline& pipeline, std::int32_t count);

// Lets the helper write what it still may, waits for it to end, and gives
// the first failure in the input's order: a write's (result_io, errno set;
// result_stream when an output would have overrun the input not yet read),
// else, when `input_failed`, the read's; else result_ok. A signal the
// failing write brought on is raised here.
int overlap_stop(overlap_pipeline& pipeline, bool input_failed);
