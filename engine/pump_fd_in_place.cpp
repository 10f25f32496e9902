// The in-place driver: one descriptor is read ahead of its own writes. The
// output of a step is written only at the next pass, once the input it would
// overwrite has been read, and only after the step has returned 0, so a
// stream that rejects its input (wrong key, short header) leaves the file
// untouched. All repositioning is relative to the current offset.
//
// A stream that adds bytes (encryption: the 32-byte header) makes the file
// longer. That growth is secured before the first byte is overwritten: the
// extra bytes are written at the end of the file first, so a full file
// system or a file-size limit is met while the file is still intact, and
// the driver then reads only the original length.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/engine.h"
#include "engine/saved_error.h"

namespace {

constexpr std::int32_t input_size = 10240;
constexpr std::int32_t output_size = input_size + 32;

// Writes all `count` bytes at the current offset; false with errno set.
// `any` is set once some byte has gone out.
bool write_all(int fd, const std::uint8_t* data, std::size_t count, bool& any)
{
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0) {
            errno = EIO;
            return false;
        }
        any = true;
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return true;
}

bool seek_by(int fd, off_t delta)
{
    return delta == 0 || lseek(fd, delta, SEEK_CUR) != -1;
}

// What the driver secures before the first byte is overwritten.
struct secured_growth {
    bool failed = false;  // it could not be had: errno tells why
    bool limited = false; // a regular file: reads stop after `unread` bytes
    off_t original_length = 0;
    off_t unread = 0;
    std::int32_t growth = 0; // bytes written behind the original end
};

// Reserves the blocks of a sparse file (or one whose blocks are otherwise
// fewer than its new length needs) before anything is overwritten, so
// filling its holes cannot run out of space half way. Best effort where
// the file system cannot reserve; false with errno when space is lacking.
bool reserve_blocks(int fd, const struct stat& info, off_t new_length)
{
    if (off_t(info.st_blocks) * 512 >= new_length)
        return true;
    const int r = posix_fallocate(fd, 0, new_length);
    if (r == 0)
        return true;
    (void)!ftruncate(fd, info.st_size);
    if (r == ENOSPC || r == EDQUOT || r == EFBIG) {
        errno = r;
        return false;
    }
    return true; // not supported here: go on as without
}

// For a regular file: reserves its blocks, writes `growth` zero bytes
// behind its last byte without moving the offset (on failure the length is
// put back), and limits reading to its original length, so bytes appended
// meanwhile are neither read nor cut off. Nothing is secured for a file
// that is not regular. Overwriting the existing bytes needs no new space,
// except on copy-on-write file systems, which this does not cover.
secured_growth secure_growth(int fd, std::int32_t growth)
{
    secured_growth secured;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        secured.failed = true;
        return secured;
    }
    if (!S_ISREG(info.st_mode))
        return secured;
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start == -1 || !reserve_blocks(fd, info, info.st_size + (growth > 0 ? growth : 0))) {
        secured.failed = true;
        return secured;
    }

    static constexpr std::uint8_t zeros[32] = {};
    off_t at = info.st_size;
    std::int32_t left = growth;
    while (left > 0) {
        const auto chunk = static_cast<std::size_t>(left < 32 ? left : 32);
        const ssize_t n = pwrite(fd, zeros, chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = ENOSPC;
            const int saved = errno;
            (void)!ftruncate(fd, info.st_size);
            errno = saved;
            secured.failed = true;
            return secured;
        }
        at += n;
        left -= static_cast<std::int32_t>(n);
    }
    secured.limited = true;
    secured.original_length = info.st_size;
    secured.unread = start < info.st_size ? info.st_size - start : 0;
    secured.growth = growth > 0 ? growth : 0;
    return secured;
}

// Whether the file still has the length the driver left it with after
// securing its growth: anything else means another writer changed it.
bool length_unchanged(int fd, const secured_growth& secured)
{
    if (!secured.limited)
        return true;
    struct stat info;
    return fstat(fd, &info) == 0 && info.st_size == secured.original_length + secured.growth;
}

} // namespace

int pump_fd_in_place(cipher_stream* stream, stream_step_fn step, stream_end_fn end, int fd,
                     std::int32_t growth)
{
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];

    const secured_growth secured = secure_growth(fd, growth);
    if (secured.failed) {
        const saved_error keep;
        end(stream);
        return -3;
    }
    const bool limited = secured.limited;
    off_t unread = secured.unread; // input bytes left, when limited
    bool written = false;

    // While nothing has been overwritten, a failure also takes back the
    // secured growth, so the file is left exactly as it was.
    auto take_back_growth = [&] {
        if (secured.growth > 0 && !written)
            (void)!ftruncate(fd, secured.original_length);
    };
    // Every failure releases the stream once, unless the failing step has
    // already released it.
    auto fail = [&](int code, bool call_end) {
        const saved_error keep;
        if (call_end)
            end(stream);
        take_back_growth();
        return code;
    };

    std::int32_t filled = 0;  // bytes in the input buffer
    std::int32_t pending = 0; // bytes in the output buffer not yet written
    off_t gap = 0;            // read position minus the position of the next output byte
    bool at_end = false;      // the input is exhausted
    bool fill = true;

    for (;;) {
        if (fill) {
            while (filled < input_size && !at_end) {
                std::size_t want = static_cast<std::size_t>(input_size - filled);
                if (limited && static_cast<off_t>(want) > unread)
                    want = static_cast<std::size_t>(unread);
                if (want == 0) {
                    at_end = true;
                    break;
                }
                const ssize_t n = read(fd, input + filled, want);
                if (n < 0 && errno == EINTR)
                    continue;
                if (n < 0)
                    return fail(-3, true);
                if (n == 0)
                    at_end = true;
                filled += static_cast<std::int32_t>(n);
                if (limited)
                    unread -= n;
            }
            gap += filled;
            if (!seek_by(fd, -gap))
                return fail(-3, true);
        }

        if (pending > gap && !at_end) {
            stream_fault = fault_buffer_overflow;
            return fail(-2, true);
        }
        if (pending != 0) {
            if (!write_all(fd, output, static_cast<std::size_t>(pending), written))
                return fail(-3, true);
            gap -= pending;
        }

        stream->in_ptr = input;
        stream->in_left = filled;
        stream->out_ptr = output;
        stream->out_left = output_size;
        const int result = step(stream);
        if (result != 0)
            return fail(result, false);
        if (stream->in_left > 0) {
            stream_fault = fault_buffer_overflow;
            return fail(-2, true);
        }
        pending = output_size - stream->out_left;
        filled = 0;

        if (pending == 0 && at_end)
            break;
        if (at_end) {
            // All input is in; stay at the write position and flush.
            fill = false;
            continue;
        }
        if (!seek_by(fd, gap))
            return fail(-3, true);
    }

    const int result = end(stream);
    if (result != 0) {
        const saved_error keep;
        take_back_growth();
        return result;
    }
    // A file that grew or shrank meanwhile is not cut to the new end: the
    // other writer's bytes stay, and the caller reports the file.
    if (!length_unchanged(fd, secured)) {
        stream_fault = fault_changed_size;
        return -2;
    }
    const off_t new_end = lseek(fd, 0, SEEK_CUR);
    if (new_end == -1 || ftruncate(fd, new_end) != 0)
        return -1;
    return 0;
}
