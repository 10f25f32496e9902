// Fresh nonces: the hash of a text that differs between any two calls, by
// the counter within one process and by pid, time or host name between
// processes.

#include <sys/time.h>
#include <unistd.h>

#include <cstdio>

#include "engine/engine.h"
#include "engine/testing.h"

std::int32_t nonce_counter = 0;

void make_nonce(std::uint8_t out[32])
{
    // A failing gethostname leaves the buffer as it was: an empty name.
    char host[256] = {};
    gethostname(host, sizeof host);
    host[sizeof host - 1] = '\0';

    timeval now = {};
    gettimeofday(&now, nullptr);
    const std::int32_t counter = nonce_counter++;
    const long pid = static_cast<long>(getpid());

    // 255 name bytes, three longs of at most 20 characters, an int of at
    // most 11, four commas and the NUL: 331 bytes.
    char text[331];
    std::snprintf(text, sizeof text, "%s,%ld,%ld,%ld,%d", host, static_cast<long>(now.tv_sec),
                  static_cast<long>(now.tv_usec), pid, counter);
    hash_keyword(text, out);
}

namespace {
nonce_source_fn nonce_source = nullptr;
}

void fill_nonce(std::uint8_t out[32])
{
    if (nonce_source != nullptr)
        nonce_source(out);
    else
        make_nonce(out);
}

nonce_source_fn set_nonce_source_for_testing(nonce_source_fn source)
{
    const nonce_source_fn previous = nonce_source;
    nonce_source = source;
    return previous;
}
