// The stream record through which every transformation of the program runs,
// and the engine's result codes. Every stream kind (encryption, decryption,
// key change, legacy rotor) is a triple init/step/end over this record, so the
// drivers take any of them as a pair (step, end).
#pragma once

#include <cstdint>

struct cipher_stream {
    const std::uint8_t* in_ptr; // next input byte; advanced past every byte consumed
    std::int32_t in_left;       // input bytes available at in_ptr
    std::uint8_t* out_ptr;      // where the next output byte goes
    std::int32_t out_left;      // free space at out_ptr
    void* state;                // the kind's own state; null once released
    int fault;                  // the fault_* of this stream's last result_stream
};

// Result codes of every init, step and end, and of the drivers. An init,
// step or end leaves the detail where the comments say; the drivers and
// everything above them carry it in a stream_result (engine/engine.h).
enum : int {
    result_ok = 0,
    result_system = -1, // system error; detail in errno
    result_stream = -2, // stream error; detail in the stream's `fault`
    result_io = -3,     // input/output error of a driver; detail: the failing call's errno
};

// Detail of a -2. A stream kind sets its own in `fault`, kept until its
// next failure; the drivers' own (buffer overflow, changed size) are only in
// their stream_result.
enum : int {
    fault_bad_format = 1,
    fault_key_mismatch = 2,
    fault_buffer_overflow = 3,
    fault_changed_size = 4, // in place: another writer changed the file's length
};

using stream_step_fn = int (*)(cipher_stream*);
using stream_end_fn = int (*)(cipher_stream*);
