// The case the random part of a nonce is for: two processes on machines
// with one host name, the same process id and counter, starting in the same
// microsecond (containers). This program's clock is stopped, so everything
// but the random part is the same from call to call.
#include <gtest/gtest.h>
#include <sys/time.h>

#include <cstring>

#include "engine/engine.h"

// Replaces the C library's clock for this test program only.
extern "C" int gettimeofday(struct timeval* __restrict tv, void* __restrict) noexcept {
    tv->tv_sec = 1700000000;
    tv->tv_usec = 4242;
    return 0;
}

namespace {

TEST(make_nonce, differs_when_host_time_pid_and_counter_are_the_same) {
    std::uint8_t first[32], second[32];
    nonce_counter = 7;
    make_nonce(first);
    nonce_counter = 7;
    make_nonce(second);
    EXPECT_NE(std::memcmp(first, second, 32), 0);
}

} // namespace
