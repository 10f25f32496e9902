// The stepping core of both drivers: one loop steps a stream over the
// input and output its driver's I/O hands it, decides when the stream still
// owes output, and releases the stream exactly once. The drivers keep only
// their I/O (engine/pump_file.cpp, engine/pump_fd_in_place.cpp), with or
// without the helper thread of engine/io_overlap.h.
//
// Every result is a value: a code with its detail (errno, or a fault_*),
// and for two FILE streams the side it came from, read where the failure
// happened and carried up unchanged; a release cannot disturb it.
#pragma once

#include <cerrno>
#include <cstdint>

#include "engine/engine.h"

// The value of a stream kind's result code: the kinds report their detail
// in the stream's fault (result_stream) or in errno (result_system), so it
// is read here, at once after the call.
stream_result outcome_of(const cipher_stream& stream, int code);

inline stream_result io_failure(int error, io_side side = io_side::none) {
    return {result_io, error, side};
}
inline stream_result stream_fault(int fault) { return {result_stream, fault}; }

// What a driver's I/O gives a step: input to read, and whether the input
// ends with it; room for output.
struct step_input {
    const std::uint8_t* data;
    std::int32_t count;
    bool final;
};
struct step_output {
    std::uint8_t* data;
    std::int32_t room;
};

// A driver's I/O, as step_stream drives it. Each call returns ok or the
// failure to report:
//   start()                  before the first input; a failure ends the
//                            stream unstepped
//   next_input(step_input&)  the next input, once the last one is consumed
//   next_output(step_output&) room for the next step
//   put_output(produced)     the bytes the step wrote there are done
//   input_done()             (no result) the input is consumed
//   stop_after_failed_step() a failure the I/O met before a step that
//                            failed, which is then reported instead
//   finish()                 after the last step: what is still pending
//                            goes out
//   abandon()                (no result) the run failed: what the I/O
//                            claimed is given back; before the release, or
//                            after an end that failed
// and `takes_whole_input`: whether every step must consume its whole input
// (a driver whose output is bounded by what it has read).
template <typename Io> class step_loop {
public:
    step_loop(const stepped_stream& s, Io& io) : s_(s), io_(io) {}

    // The stream through to its end: released once on every path, by the
    // step that failed or by `end`.
    stream_result run() {
        stream_result result = io_.start();
        if (result.ok()) result = step_all();
        if (result.ok()) result = io_.finish();
        if (!result.ok()) {
            io_.abandon();
            if (!released_) s_.end(s_.stream);
            return result;
        }
        result = outcome_of(*s_.stream, s_.end(s_.stream));
        if (!result.ok()) io_.abandon();
        return result;
    }

private:
    stream_result step_all() {
        cipher_stream& stream = *s_.stream;
        for (;;) {
            step_input input{};
            stream_result result = io_.next_input(input);
            if (!result.ok()) return result;
            stream.in_ptr = input.data;
            stream.in_left = input.count;
            for (;;) {
                step_output output{};
                result = io_.next_output(output);
                if (!result.ok()) return result;
                stream.out_ptr = output.data;
                stream.out_left = output.room;
                result = step_once();
                if (!result.ok()) return result;
                result = io_.put_output(output.room - stream.out_left);
                if (!result.ok()) return result;
                // Before the end the input is refilled once consumed. At
                // the end, a full output may mean the stream owes more: it
                // is stepped again, over what it left of the input.
                if (input.final ? stream.out_left != 0 : stream.in_left == 0) break;
            }
            io_.input_done();
            if (s_.progress) s_.progress->advance(s_.progress->context, std::uint64_t(input.count));
            if (input.final) return {};
        }
    }

    // A step that fails has released the stream; one that leaves input
    // where all of it must go breaks the driver's bound on output. Either
    // gives way to a failure the I/O met before it.
    stream_result step_once() {
        const int code = s_.step(s_.stream);
        released_ = code != result_ok;
        if (!released_ && (!Io::takes_whole_input || s_.stream->in_left == 0)) return {};
        const stream_result failed =
            released_ ? outcome_of(*s_.stream, code) : stream_fault(fault_buffer_overflow);
        const stream_result earlier = io_.stop_after_failed_step();
        return earlier.ok() ? failed : earlier;
    }

    const stepped_stream& s_;
    Io& io_;
    bool released_ = false;
};

template <typename Io> stream_result step_stream(const stepped_stream& s, Io& io) {
    return step_loop<Io>(s, io).run();
}
