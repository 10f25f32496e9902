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

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/engine.h"
#include "stepping.h"

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

struct overlap_chunk {
    std::uint8_t* data;
    std::int32_t count; // input: bytes read; output: room (chunk + 32, or chunk over the input)
    bool final;         // input: the read met the end of the input
};

// A driver's I/O, one call at a time: reads on the helper thread only,
// writes there too or, for separate files, on the caller's thread. Each
// returns ok, or result_io with the errno of the failing call as detail.
struct overlap_io {
    // Reads up to `size` bytes, as many as there are, into `into`; its
    // `count` is set to the bytes read and `final` once the input ended
    // within them.
    stream_result (*read)(void* context, overlap_chunk& into, std::int32_t size);
    // Writes all `count` bytes.
    stream_result (*write)(void* context, const std::uint8_t* data, std::int32_t count);
    void* context;
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

// How a pipeline is laid out. With `over_input` (a stream that may write
// over its own input, one output chunk per input chunk) each output chunk
// is the memory of its input chunk, which is read into again only once
// that output is written: half the memory, and the cipher's thread writes
// where it has just read instead of into lines another core holds.
struct overlap_plan {
    std::int32_t chunk;
    overlap_order order;
    bool over_input;
};

// The helper and its chunks, driven from the calling thread only. Nothing
// of its state is visible: the calling thread and the helper meet under a
// lock inside it. Calls go begin, then any number of input/output rounds,
// then stop; destroying it without stop abandons the helper, which then
// writes nothing more.
class overlap_pipeline {
public:
    overlap_pipeline();
    ~overlap_pipeline();
    overlap_pipeline(const overlap_pipeline&) = delete;
    overlap_pipeline& operator=(const overlap_pipeline&) = delete;

    // Sets up the chunks and starts the helper; false when either cannot
    // be had, and the driver goes on without.
    bool begin(const overlap_io& io, const overlap_plan& plan);

    // The next input chunk, once read; null when it cannot come (its read
    // failed, or a write did): the driver then calls stop.
    const overlap_chunk* input();
    // The stream has consumed the oldest input chunk not yet given back.
    void input_done();
    // Room for the next output chunk; null when a write has failed.
    overlap_chunk* output();
    // `count` bytes of the last output chunk are to be written.
    void output_done(std::int32_t count);

    // Lets the helper write what it still may, waits for it to end, and
    // gives the first failure in the input's order: a write's (result_io,
    // side output; result_stream with fault_buffer_overflow when an output
    // would have overrun the input not yet read), else, when
    // `input_failed`, the read's (side input); else ok. A signal the
    // failing write brought on is raised here.
    stream_result stop(bool input_failed);

    struct shared; // the state the two threads share

private:
    std::unique_ptr<shared> shared_;
};

// The pipeline as a driver's I/O for step_stream (engine/stepping.h), once
// begun. A write that failed before a failing step is what is reported.
struct pipeline_io {
    overlap_pipeline pipeline;

    stream_result next_input(step_input& next);
    stream_result next_output(step_output& room);
    stream_result put_output(std::int32_t produced) {
        pipeline.output_done(produced);
        return {};
    }
    void input_done() { pipeline.input_done(); }
    stream_result stop_after_failed_step() { return pipeline.stop(false); }
    stream_result finish() { return pipeline.stop(false); }
};

// The drivers' calls on a descriptor, made whole and retried when
// interrupted; ok, or result_io with the errno of the failing call.
// read_whole reads until `into.count` reaches `size` or the input ends
// (`into.final` set), and no more than `*limit` bytes when a limit is
// given, which it counts down. write_whole writes all `count` bytes (one
// that takes none fails with EIO) and sets `*any`, unless null, once some
// byte has gone out.
stream_result read_whole(int fd, overlap_chunk& into, std::int32_t size, off_t* limit);
stream_result write_whole(int fd, const std::uint8_t* data, std::size_t count, bool* any);
