// Keeps the detail of a failure being reported across the release of a
// stream: errno and stream_fault are saved when the guard is made and put
// back when it goes out of scope, whatever the release did to them.
#pragma once

#include <cerrno>

#include "engine/engine.h"

struct saved_error {
    int saved_errno = errno;
    int saved_fault = stream_fault;

    saved_error() = default;
    saved_error(const saved_error&) = delete;
    saved_error& operator=(const saved_error&) = delete;
    ~saved_error()
    {
        errno = saved_errno;
        stream_fault = saved_fault;
    }
};

// A result code with its detail, read before anything else can change it:
// stream_fault for result_stream, errno for the failures of a call.
stream_result result_of(int code);
