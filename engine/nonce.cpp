// Fresh nonces: the hash of a text that differs between any two calls, by
// the counter within one process and by pid, time or host name between
// processes, and by 32 bytes from the kernel's random generator between any
// two calls at all: two containers with one host name, both pid 1, starting
// in the same microsecond, still differ there.

#include <fcntl.h>
#include <sys/random.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "base/base.h"
#include "engine/engine.h"
#include "testing.h"

std::int32_t nonce_counter = 0;

namespace {

// Fills `out` from `read_some` (a read(2)-like call that may return short
// counts or fail with EINTR); 0, or -1 when it fails or runs dry.
template <class Read> int fill(std::uint8_t* out, std::size_t size, Read read_some) {
    std::size_t got = 0;
    while (got < size) {
        const ssize_t n = read_some(out + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        got += static_cast<std::size_t>(n);
    }
    return 0;
}

} // namespace

int nonce_random_bytes(std::uint8_t out[32], getrandom_fn source, const char* fallback_path) {
    if (fill(out, 32, [&](std::uint8_t* p, std::size_t n) { return source(p, n, 0); }) == 0)
        return 0;
    const int fd = ::open(fallback_path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const int result =
        fill(out, 32, [&](std::uint8_t* p, std::size_t n) { return ::read(fd, p, n); });
    ::close(fd);
    return result;
}

int format_nonce_text(char* text, std::size_t size, const char* host, long seconds,
                      long microseconds, long pid, std::int32_t counter,
                      const std::uint8_t* random) {
    int n =
        std::snprintf(text, size, "%s,%ld,%ld,%ld,%d", host, seconds, microseconds, pid, counter);
    if (random != nullptr && n >= 0 && static_cast<std::size_t>(n) < size) {
        static const char digits[] = "0123456789abcdef";
        char hex[2 * 32 + 2] = {','};
        for (int i = 0; i < 32; ++i) {
            hex[1 + 2 * i] = digits[random[i] >> 4];
            hex[2 + 2 * i] = digits[random[i] & 15];
        }
        n += std::snprintf(text + n, size - static_cast<std::size_t>(n), "%s", hex);
    }
    return n;
}

namespace {

// The host name, looked up once a process (a system call saved on every
// file); a failing gethostname leaves it empty.
struct host_name {
    char text[256] = {};
    host_name() {
        gethostname(text, sizeof text);
        text[sizeof text - 1] = '\0';
    }
};

} // namespace

void make_nonce(std::uint8_t out[32]) {
    static const host_name host_once;
    const char* host = host_once.text;

    timeval now = {};
    gettimeofday(&now, nullptr);
    // Files transformed side by side draw nonces at once.
    const std::int32_t counter = __atomic_fetch_add(&nonce_counter, 1, __ATOMIC_RELAXED);
    const long pid = static_cast<long>(getpid());

    // With no random bytes at all (no getrandom, no /dev/urandom, as in a
    // bare chroot) the text ends after the counter: host, time, process
    // and counter still make it unique.
    std::uint8_t random[32];
    const bool have_random = nonce_random_bytes(random, ::getrandom, "/dev/urandom") == 0;

    // 255 name bytes, three longs of at most 20 characters, an int of at
    // most 11, four commas, a comma and 64 hex digits, and the NUL: 396 bytes.
    char text[396];
    format_nonce_text(text, sizeof text, host, static_cast<long>(now.tv_sec),
                      static_cast<long>(now.tv_usec), pid, counter, have_random ? random : nullptr);
    hash_keyword(text, out);
    wipe(random, sizeof random);
    wipe(text, sizeof text);
}

namespace {
nonce_source_fn nonce_source = nullptr;
}

void fill_nonce(std::uint8_t out[32]) {
    if (nonce_source != nullptr)
        nonce_source(out);
    else
        make_nonce(out);
}

nonce_source_fn set_nonce_source_for_testing(nonce_source_fn source) {
    const nonce_source_fn previous = nonce_source;
    nonce_source = source;
    return previous;
}
