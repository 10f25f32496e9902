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
//
// A regular file longer than a few chunks is moved by a helper thread
// (engine/io_overlap.h) with the same calls, reads and writes at the
// descriptor's offset and relative seeks, in larger pieces; the output of
// a chunk is still written only after the chunk behind it has been read,
// and only once the stream has accepted it.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/engine.h"
#include "io_overlap.h"
#include "stepping.h"

namespace {

constexpr std::int32_t input_size = 10240;
constexpr std::int32_t output_size = input_size + 32;

bool seek_by(int fd, off_t delta) { return delta == 0 || lseek(fd, delta, SEEK_CUR) != -1; }

// What the driver secures before the first byte is overwritten.
struct secured_growth {
    stream_result failure; // it could not be had
    bool limited = false;  // a regular file: reads stop after `unread` bytes
    off_t original_length = 0;
    off_t unread = 0;
    std::int32_t growth = 0; // bytes written behind the original end
};

// Reserves the blocks of a sparse file (or one whose blocks are otherwise
// fewer than its new length needs) before anything is overwritten, so
// filling its holes cannot run out of space half way. Best effort where
// the file system cannot reserve; the errno when space is lacking, else 0.
int reserve_blocks(int fd, const struct stat& info, off_t new_length) {
    if (off_t(info.st_blocks) * 512 >= new_length) return 0;
    const int r = posix_fallocate(fd, 0, new_length);
    if (r == 0) return 0;
    (void)!ftruncate(fd, info.st_size);
    if (r == ENOSPC || r == EDQUOT || r == EFBIG) return r;
    return 0; // not supported here: go on as without
}

// Whether every byte the driver writes lies within the soft file-size limit:
// past it a write fails (EFBIG) half way through the file. The furthest
// byte is at the new length when the stream adds bytes, and otherwise at
// most at the old one (decryption and key change write over what is there).
bool within_size_limit(off_t length, std::int32_t growth) {
    rlimit limit;
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return true;
    const off_t furthest = length + (growth > 0 ? growth : 0);
    return rlim_t(furthest) <= limit.rlim_cur;
}

// For a regular file: reserves its blocks, writes `growth` zero bytes
// behind its last byte without moving the offset (on failure the length is
// put back), and limits reading to its original length, so bytes appended
// meanwhile are neither read nor cut off. Nothing is secured for a file
// that is not regular. Overwriting the existing bytes needs no new space,
// except on copy-on-write file systems, which this does not cover.
secured_growth secure_growth(int fd, std::int32_t growth) {
    secured_growth secured;
    struct stat info;
    if (fstat(fd, &info) != 0) {
        secured.failure = io_failure(errno);
        return secured;
    }
    if (!S_ISREG(info.st_mode)) return secured;
    if (!within_size_limit(info.st_size, growth)) {
        secured.failure = io_failure(EFBIG);
        return secured;
    }
    const off_t start = lseek(fd, 0, SEEK_CUR);
    if (start == -1) {
        secured.failure = io_failure(errno);
        return secured;
    }
    const int refused = reserve_blocks(fd, info, info.st_size + (growth > 0 ? growth : 0));
    if (refused != 0) {
        secured.failure = io_failure(refused);
        return secured;
    }

    static constexpr std::uint8_t zeros[32] = {};
    off_t at = info.st_size;
    std::int32_t left = growth;
    while (left > 0) {
        const auto chunk = static_cast<std::size_t>(left < 32 ? left : 32);
        const ssize_t n = pwrite(fd, zeros, chunk, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            secured.failure = io_failure(n == 0 ? ENOSPC : errno);
            (void)!ftruncate(fd, info.st_size);
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

// The descriptor and where the driver is in it. Offsets count from where
// the driver started.
struct descriptor {
    int fd;
    secured_growth secured;
    off_t unread = 0;          // reads stop after this many more bytes, when secured.limited
    off_t secured_length = -1; // of a regular file once its growth is secured
    bool cut = false;          // another writer cut the file below that length
    bool written = false;      // some byte has been overwritten
    off_t offset = 0;          // the descriptor's (the helper's passes)
    off_t read_at = 0;
    off_t write_at = 0;
};

// Whether another writer has changed the file's length since the driver
// secured its growth; the driver never writes past that length. Looked at
// after every write and at the end: a cut below the write position is
// filled again by the next write, with a hole of zeros that the length at
// the end no longer shows, so the cut is remembered. The driver goes on
// either way, so that after an append the file holds the whole result.
bool length_changed(descriptor& file) {
    if (file.secured_length < 0) return false;
    struct stat info;
    const bool known = fstat(file.fd, &info) == 0;
    file.cut = file.cut || !known || info.st_size < file.secured_length;
    return file.cut || info.st_size != file.secured_length;
}

// Reads at the offset until `size` bytes are in or the input has ended
// (at the original length, for a regular file).
stream_result read_input(descriptor& file, overlap_chunk& into, std::int32_t size) {
    return read_whole(file.fd, into, size, file.secured.limited ? &file.unread : nullptr);
}

// Writes at the offset; every write is followed by a look at the length.
stream_result write_output(descriptor& file, const std::uint8_t* data, std::int32_t count) {
    const stream_result result =
        write_whole(file.fd, data, static_cast<std::size_t>(count), &file.written);
    if (result.ok()) (void)length_changed(file);
    return result;
}

// ---- Plain passes: one buffer each way, on this thread ----------------------

struct plain_io {
    descriptor& file;
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];
    std::int32_t pending = 0; // bytes in the output buffer not yet written
    off_t gap = 0;            // read position minus the position of the next output byte
    bool at_end = false;      // the input is exhausted

    explicit plain_io(descriptor& f) : file(f) {}

    // Back to the read position, fills the input buffer, then goes back to
    // where the next output goes.
    stream_result next_input(step_input& next) {
        if (!seek_by(file.fd, gap)) return io_failure(errno);
        overlap_chunk into{input, 0, false};
        const stream_result result = read_input(file, into, input_size);
        if (!result.ok()) return result;
        at_end = into.final;
        gap += into.count;
        if (!seek_by(file.fd, -gap)) return io_failure(errno);
        next = {input, into.count, at_end};
        return {};
    }

    // Writes the output of the step before, which may only cover input
    // that has been read, so that its buffer is free again.
    stream_result flush() {
        if (pending > gap && !at_end) return stream_fault(fault_buffer_overflow);
        if (pending == 0) return {};
        const stream_result result = write_output(file, output, pending);
        if (!result.ok()) return result;
        gap -= pending;
        pending = 0;
        return {};
    }
    stream_result next_output(step_output& room) {
        const stream_result result = flush();
        room = {output, output_size};
        return result;
    }
    stream_result put_output(std::int32_t produced) {
        pending = produced;
        return {};
    }
    stream_result finish() { return flush(); }
};

// ---- Overlapped passes: chunks read and written by the helper -----------------

bool seek_to(descriptor& file, off_t at) {
    if (!seek_by(file.fd, at - file.offset)) return false;
    file.offset = at;
    return true;
}

stream_result read_chunk(void* context, overlap_chunk& into, std::int32_t size) {
    auto& file = *static_cast<descriptor*>(context);
    if (!seek_to(file, file.read_at)) return io_failure(errno);
    const stream_result result = read_input(file, into, size);
    if (result.ok()) {
        file.read_at += into.count;
        file.offset = file.read_at;
    }
    return result;
}

stream_result write_chunk(void* context, const std::uint8_t* data, std::int32_t count) {
    auto& file = *static_cast<descriptor*>(context);
    if (!seek_to(file, file.write_at)) return io_failure(errno);
    // After a short count the offset is not known; it is not used again.
    const stream_result result = write_output(file, data, count);
    if (!result.ok()) return result;
    file.write_at += count;
    file.offset = file.write_at;
    return {};
}

// The whole input through the stream, on a helper when it pays off;
// without one when it cannot be had. Every step must take its whole input:
// the output is bounded by what has been read.
struct in_place_io {
    static constexpr bool takes_whole_input = true;

    descriptor file;
    const in_place_file& target;
    plain_io plain{file};
    pipeline_io helper{};
    bool on_helper = false;

    explicit in_place_io(const in_place_file& t) : file{t.fd, {}}, target(t) {}

    stream_result start() {
        file.secured = secure_growth(file.fd, target.growth);
        if (!file.secured.failure.ok()) return file.secured.failure;
        file.unread = file.secured.unread;
        if (file.secured.limited)
            file.secured_length = file.secured.original_length + file.secured.growth;
        if (file.secured.limited && overlap_wanted(file.unread))
            on_helper = helper.pipeline.begin(overlap_io{read_chunk, write_chunk, &file},
                                              overlap_plan{current_overlap().chunk,
                                                           overlap_order::writes_trail_reads,
                                                           target.over_input});
        return {};
    }
    stream_result next_input(step_input& next) {
        return on_helper ? helper.next_input(next) : plain.next_input(next);
    }
    stream_result next_output(step_output& room) {
        return on_helper ? helper.next_output(room) : plain.next_output(room);
    }
    stream_result put_output(std::int32_t produced) {
        return on_helper ? helper.put_output(produced) : plain.put_output(produced);
    }
    void input_done() {
        if (on_helper) helper.input_done();
    }
    stream_result stop_after_failed_step() {
        return on_helper ? helper.stop_after_failed_step() : stream_result{};
    }
    // Once the helper has written everything, the descriptor goes to the
    // end of the output.
    stream_result finish() {
        if (!on_helper) return plain.finish();
        const stream_result result = helper.finish();
        if (!result.ok()) return result;
        return seek_to(file, file.write_at) ? stream_result{} : io_failure(errno);
    }
    // While nothing has been overwritten, a failure also takes back the
    // secured growth, so the file is left exactly as it was.
    void abandon() {
        if (file.secured.growth > 0 && !file.written)
            (void)!ftruncate(file.fd, file.secured.original_length);
    }
};

} // namespace

stream_result pump_fd_in_place(const stepped_stream& s, const in_place_file& target) {
    in_place_io io(target);
    stream_result result = step_stream(s, io);
    result.side = io_side::none; // one descriptor
    if (!result.ok()) return result;
    // A file that grew or shrank meanwhile is not cut to the new end: the
    // other writer's bytes stay, and the caller reports the file.
    if (length_changed(io.file)) return stream_fault(fault_changed_size);
    const off_t new_end = lseek(target.fd, 0, SEEK_CUR);
    if (new_end == -1 || ftruncate(target.fd, new_end) != 0) return {result_system, errno};
    return {};
}
