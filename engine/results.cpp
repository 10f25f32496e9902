// The engine's failure detail and the texts of its results.

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "stepping.h"

stream_result outcome_of(const cipher_stream& stream, int code) {
    return {code, code == result_stream ? stream.fault : code == result_ok ? 0 : errno};
}

const char* result_message(stream_result r) {
    if (r.code == result_system || r.code == result_io) return std::strerror(r.detail);
    if (r.code != result_stream) return "unknown error";
    switch (r.detail) {
    case fault_bad_format: return "bad file format";
    case fault_key_mismatch: return "key does not match";
    case fault_buffer_overflow: return "buffer overflow";
    case fault_changed_size: return "changed size while being processed";
    default: return "unknown error";
    }
}
