// The engine's process-wide failure detail and the texts of its result codes.

#include <cerrno>
#include <cstring>

#include "engine/engine.h"

int stream_fault = 0;

const char* result_message(int code)
{
    switch (code) {
    case result_system:
    case result_io:
        return std::strerror(errno);
    case result_stream:
        switch (stream_fault) {
        case fault_bad_format:
            return "bad file format";
        case fault_key_mismatch:
            return "key does not match";
        case fault_buffer_overflow:
            return "buffer overflow";
        case fault_changed_size:
            return "changed size while being processed";
        default:
            return "unknown error";
        }
    default:
        return "unknown error";
    }
}
