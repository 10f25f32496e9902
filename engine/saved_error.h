// Keeps the detail of a failure being reported across the release of a
// stream: errno and the stream's fault are saved when the guard is made and
// put back when it goes out of scope, whatever the release did to them.
#pragma once

#include <cerrno>

#include "engine/engine.h"

struct saved_error {
    cipher_stream* stream;
    int saved_errno = errno;
    int saved_fault;

    explicit saved_error(cipher_stream* s = nullptr) : stream(s), saved_fault(s ? s->fault : 0) {}
    saved_error(const saved_error&) = delete;
    saved_error& operator=(const saved_error&) = delete;
    ~saved_error() {
        errno = saved_errno;
        if (stream) stream->fault = saved_fault;
    }
};

// A result code of `stream` with its detail, read before anything else can
// change it: the stream's fault for result_stream, errno for the failures of
// a call.
stream_result result_of(const cipher_stream& stream, int code);
