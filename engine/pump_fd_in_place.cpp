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
#include "engine/io_overlap.h"
#include "engine/saved_error.h"

namespace {

constexpr std::int32_t input_size = 10240;
constexpr std::int32_t output_size = input_size + 32;

// Every stream fault of this driver is set here.
int stream_error(cipher_stream* stream, int fault) {
    stream->fault = fault;
    return result_stream;
}

bool seek_by(int fd, off_t delta) { return delta == 0 || lseek(fd, delta, SEEK_CUR) != -1; }

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
bool reserve_blocks(int fd, const struct stat& info, off_t new_length) {
    if (off_t(info.st_blocks) * 512 >= new_length) return true;
    const int r = posix_fallocate(fd, 0, new_length);
    if (r == 0) return true;
    (void)!ftruncate(fd, info.st_size);
    if (r == ENOSPC || r == EDQUOT || r == EFBIG) {
        errno = r;
        return false;
    }
    return true; // not supported here: go on as without
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
        secured.failed = true;
        return secured;
    }
    if (!S_ISREG(info.st_mode)) return secured;
    if (!within_size_limit(info.st_size, growth)) {
        errno = EFBIG;
        secured.failed = true;
        return secured;
    }
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
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = ENOSPC;
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

// Owns the stream until it is ended: on the way out of a failure it is
// ended once, the detail being reported kept, unless the failing step has
// released it already.
struct stream_owner {
    cipher_stream* stream;
    stream_end_fn end;
    bool held = true;

    stream_owner(cipher_stream* s, stream_end_fn e) : stream(s), end(e) {}
    stream_owner(const stream_owner&) = delete;
    stream_owner& operator=(const stream_owner&) = delete;
    ~stream_owner() {
        if (held) {
            const saved_error keep(stream);
            end(stream);
        }
    }
    int finish() {
        held = false;
        return end(stream);
    }
};

// The descriptor and where the driver is in it. Offsets count from where
// the driver started.
struct in_place_file {
    int fd;
    bool limited; // reads stop after `unread` more bytes
    off_t unread;
    off_t secured_length; // of a regular file once its growth is secured; -1 otherwise
    bool cut = false;     // another writer cut the file below that length
    bool written = false; // some byte has been overwritten
    off_t offset = 0;     // the descriptor's (the helper's passes)
    off_t read_at = 0;
    off_t write_at = 0;
};

// Whether another writer has changed the file's length since the driver
// secured its growth; the driver never writes past that length. Looked at
// after every write and at the end: a cut below the write position is
// filled again by the next write, with a hole of zeros that the length at
// the end no longer shows, so the cut is remembered. The driver goes on
// either way, so that after an append the file holds the whole result.
bool length_changed(in_place_file& file) {
    if (file.secured_length < 0) return false;
    struct stat info;
    const bool known = fstat(file.fd, &info) == 0;
    file.cut = file.cut || !known || info.st_size < file.secured_length;
    return file.cut || info.st_size != file.secured_length;
}

// While nothing has been overwritten, a failure also takes back the
// secured growth, so the file is left exactly as it was.
struct growth_claim {
    const in_place_file& file;
    const secured_growth& secured;
    bool settled = false;

    growth_claim(const in_place_file& f, const secured_growth& s) : file(f), secured(s) {}
    growth_claim(const growth_claim&) = delete;
    growth_claim& operator=(const growth_claim&) = delete;
    ~growth_claim() {
        if (!settled && secured.growth > 0 && !file.written) {
            const saved_error keep;
            (void)!ftruncate(file.fd, secured.original_length);
        }
    }
};

// Reads at the offset until `size` bytes are in or the input has ended
// (at the original length, for a regular file).
int read_input(in_place_file& file, std::uint8_t* buffer, std::int32_t size, std::int32_t* count,
               bool* at_end) {
    return read_whole(file.fd, buffer, size, count, at_end, file.limited ? &file.unread : nullptr);
}

// One step over a whole input buffer; a stream that cannot take all of it
// breaks the driver's bound on output.
int step_whole(cipher_stream* stream, stream_step_fn step, stream_owner& owner,
               const std::uint8_t* input, std::int32_t count, std::uint8_t* output,
               std::int32_t room, std::int32_t* produced) {
    stream->in_ptr = input;
    stream->in_left = count;
    stream->out_ptr = output;
    stream->out_left = room;
    const int result = step(stream);
    if (result != 0) {
        owner.held = false;
        return result;
    }
    if (stream->in_left > 0) return stream_error(stream, fault_buffer_overflow);
    *produced = room - stream->out_left;
    return result_ok;
}

// ---- Plain passes: one buffer each way, on this thread ----------------------

struct plain_pass {
    std::uint8_t input[input_size];
    std::uint8_t output[output_size];
    std::int32_t filled = 0;  // bytes in the input buffer
    std::int32_t pending = 0; // bytes in the output buffer not yet written
    off_t gap = 0;            // read position minus the position of the next output byte
    bool at_end = false;      // the input is exhausted
};

// Fills the input buffer, then goes back to where the next output goes.
int fill_input(in_place_file& file, plain_pass& pass) {
    if (read_input(file, pass.input, input_size, &pass.filled, &pass.at_end) != result_ok)
        return result_io;
    pass.gap += pass.filled;
    return seek_by(file.fd, -pass.gap) ? result_ok : result_io;
}

// Writes the output of the step before, which may only cover input that
// has been read, and comes back to the read position.
int flush_output(cipher_stream* stream, in_place_file& file, plain_pass& pass) {
    if (pass.pending > pass.gap && !pass.at_end) return stream_error(stream, fault_buffer_overflow);
    if (pass.pending == 0) return result_ok;
    if (write_whole(file.fd, pass.output, static_cast<std::size_t>(pass.pending), &file.written) !=
        result_ok)
        return result_io;
    (void)length_changed(file);
    pass.gap -= pass.pending;
    return result_ok;
}

int run_plain(cipher_stream* stream, stream_step_fn step, stream_owner& owner,
              in_place_file& file) {
    plain_pass pass;
    for (;;) {
        // Once all input is in, the driver stays at the write position.
        const bool reading = !pass.at_end;
        int result = reading ? fill_input(file, pass) : result_ok;
        if (result == result_ok) result = flush_output(stream, file, pass);
        if (result == result_ok)
            result = step_whole(stream, step, owner, pass.input, pass.filled, pass.output,
                                output_size, &pass.pending);
        if (result != result_ok) return result;
        pass.filled = 0;
        if (pass.at_end) {
            if (pass.pending == 0) return result_ok;
        } else if (!seek_by(file.fd, pass.gap)) {
            return result_io;
        }
    }
}

// ---- Overlapped passes: chunks read and written by the helper -----------------

bool seek_to(in_place_file& file, off_t at) {
    if (!seek_by(file.fd, at - file.offset)) return false;
    file.offset = at;
    return true;
}

int read_chunk(void* context, std::uint8_t* buffer, std::int32_t size, std::int32_t* count,
               bool* at_end) {
    auto& file = *static_cast<in_place_file*>(context);
    if (!seek_to(file, file.read_at)) return result_io;
    const int result = read_input(file, buffer, size, count, at_end);
    if (result == result_ok) {
        file.read_at += *count;
        file.offset = file.read_at;
    }
    return result;
}

int write_chunk(void* context, const std::uint8_t* data, std::int32_t count) {
    auto& file = *static_cast<in_place_file*>(context);
    if (!seek_to(file, file.write_at)) return result_io;
    // After a short count the offset is not known; it is not used again.
    if (write_whole(file.fd, data, static_cast<std::size_t>(count), &file.written) != result_ok)
        return result_io;
    (void)length_changed(file);
    file.write_at += count;
    file.offset = file.write_at;
    return result_ok;
}

// The helper's failure as this driver reports it.
int stopped(cipher_stream* stream, overlap_pipeline& pipeline, bool input_failed) {
    const int result = overlap_stop(pipeline, input_failed);
    return result == result_stream ? stream_error(stream, fault_buffer_overflow) : result;
}

// Steps `count` bytes into the next output chunk and hands that to the
// helper. A write that failed before a failing step is what is reported.
int step_into_output(cipher_stream* stream, stream_step_fn step, stream_owner& owner,
                     overlap_pipeline& pipeline, const std::uint8_t* data, std::int32_t count,
                     std::int32_t* produced) {
    overlap_chunk* output = overlap_output(pipeline);
    if (output == nullptr) return stopped(stream, pipeline, false);
    const int result =
        step_whole(stream, step, owner, data, count, output->data, output->count, produced);
    if (result != result_ok) {
        const int failure = stopped(stream, pipeline, false);
        return failure != result_ok ? failure : result;
    }
    overlap_output_done(pipeline, *produced);
    return result_ok;
}

int run_overlapped(cipher_stream* stream, stream_step_fn step, stream_owner& owner,
                   in_place_file& file, overlap_pipeline& pipeline) {
    bool final = false;
    std::int32_t produced = 0;
    while (!final) {
        const overlap_chunk* input = overlap_input(pipeline);
        if (input == nullptr) return stopped(stream, pipeline, true);
        final = input->final;
        const int result =
            step_into_output(stream, step, owner, pipeline, input->data, input->count, &produced);
        if (result != result_ok) return result;
        overlap_input_done(pipeline);
    }
    // All input is in; the stream gives what it still owes.
    static constexpr std::uint8_t nothing[1] = {};
    while (produced != 0) {
        const int result = step_into_output(stream, step, owner, pipeline, nothing, 0, &produced);
        if (result != result_ok) return result;
    }
    const int result = stopped(stream, pipeline, false);
    if (result != result_ok) return result;
    return seek_to(file, file.write_at) ? result_ok : result_io;
}

// The whole input through the stream, on a helper when it pays off;
// without one when it cannot be had.
int move_contents(cipher_stream* stream, stream_step_fn step, stream_owner& owner,
                  in_place_file& file, bool over_input) {
    if (file.limited && overlap_wanted(file.unread)) {
        overlap_pipeline pipeline;
        if (overlap_begin(pipeline, overlap_io{read_chunk, write_chunk, &file},
                          current_overlap().chunk, overlap_order::writes_trail_reads, over_input))
            return run_overlapped(stream, step, owner, file, pipeline);
    }
    return run_plain(stream, step, owner, file);
}

} // namespace

int pump_fd_in_place(cipher_stream* stream, stream_step_fn step, stream_end_fn end, int fd,
                     std::int32_t growth, bool over_input) {
    stream_owner owner(stream, end);
    const secured_growth secured = secure_growth(fd, growth);
    if (secured.failed) return result_io;
    in_place_file file{fd, secured.limited, secured.unread,
                       secured.limited ? secured.original_length + secured.growth : -1};
    growth_claim claim(file, secured);

    const int result = move_contents(stream, step, owner, file, over_input);
    if (result != result_ok) return result;
    const int ended = owner.finish();
    if (ended != result_ok) return ended;
    claim.settled = true;
    // A file that grew or shrank meanwhile is not cut to the new end: the
    // other writer's bytes stay, and the caller reports the file.
    if (length_changed(file)) return stream_error(stream, fault_changed_size);
    const off_t new_end = lseek(fd, 0, SEEK_CUR);
    if (new_end == -1 || ftruncate(fd, new_end) != 0) return result_system;
    return result_ok;
}
