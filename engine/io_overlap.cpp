#include "engine/io_overlap.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "engine/cipher_stream.h"
#include "engine/testing.h"

namespace {

overlap_setting setting{overlap_choice::automatic, overlap_chunk_default};

// Held for the length of one scope.
struct locked {
    pthread_mutex_t* mutex;
    explicit locked(pthread_mutex_t* m) : mutex(m) { pthread_mutex_lock(mutex); }
    ~locked() { pthread_mutex_unlock(mutex); }
    locked(const locked&) = delete;
    locked& operator=(const locked&) = delete;
};

// The signal a failing write sent to the thread that made it (a pipe with
// no reader, a file-size limit), taken off that thread; 0 when none came.
// The helper blocks every signal, so one sent to it is still pending.
int take_write_signal() {
    const int saved = errno;
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    const timespec none{0, 0};
    const int taken = sigtimedwait(&set, nullptr, &none);
    errno = saved;
    return taken > 0 ? taken : 0;
}

bool may_read(const overlap_pipeline& p) {
    return !p.closing && !p.abandoned && p.read_result == result_ok &&
           p.write_result == result_ok && !p.input_ended &&
           p.reads_done - p.inputs_released < overlap_slots &&
           (!p.outputs_in_inputs || p.reads_done - p.writes_done < overlap_slots);
}

bool may_write(const overlap_pipeline& p) {
    if (p.abandoned || p.writing || p.write_result != result_ok ||
        p.writes_done == p.outputs_posted)
        return false;
    return !p.writes_trail_reads || p.input_ended || p.reads_done > p.writes_done + 1;
}

// In place: whether output chunk `w` would reach past the input read so
// far. Once the chunk after it met the end, everything has been read.
bool overruns_input(const overlap_pipeline& p, std::uint64_t w, std::int32_t count) {
    if (!p.writes_trail_reads || (p.input_ended && p.final_input <= w + 1)) return false;
    return p.written + count > p.input_ends[(w + 1) % (2 * overlap_slots)];
}

void read_one(overlap_pipeline& p) {
    const std::uint64_t r = p.reads_done;
    overlap_chunk& slot = p.inputs[r % overlap_slots];
    std::int32_t count = 0;
    bool at_end = false;
    pthread_mutex_unlock(&p.lock);
    const int result = p.io.read(p.io.context, slot.data, p.chunk, &count, &at_end);
    const int error = errno;
    pthread_mutex_lock(&p.lock);
    if (result != result_ok) {
        p.read_result = result;
        p.read_errno = error;
        return;
    }
    slot.count = count;
    slot.final = at_end;
    p.input_ends[r % (2 * overlap_slots)] =
        (r == 0 ? 0 : p.input_ends[(r - 1) % (2 * overlap_slots)]) + count;
    if (at_end) {
        p.input_ended = true;
        p.final_input = r;
    }
    p.reads_done = r + 1;
}

// On the helper, a signal the failing write brought on is taken off it for
// the caller to raise; on the caller's own thread it has acted already.
void write_one(overlap_pipeline& p, bool on_helper) {
    const std::uint64_t w = p.writes_done;
    const std::int32_t count = p.output_counts[w % overlap_slots];
    if (overruns_input(p, w, count)) {
        p.write_result = result_stream;
        return;
    }
    const std::uint8_t* data = p.outputs[w % overlap_slots].data;
    p.writing = true;
    pthread_mutex_unlock(&p.lock);
    const int result = count == 0 ? result_ok : p.io.write(p.io.context, data, count);
    const int error = errno;
    const int raised = result == result_ok || !on_helper ? 0 : take_write_signal();
    pthread_mutex_lock(&p.lock);
    p.writing = false;
    if (result != result_ok) {
        p.write_result = result;
        p.write_errno = error;
        p.raised_signal = raised;
        return;
    }
    p.written += count;
    p.writes_done = w + 1;
}

// In place, writing goes first: it frees a chunk for the cipher. With
// separate files reading goes first, since the caller writes whatever is
// due when it would otherwise wait: the two copies then run side by side.
void* helper_main(void* argument) {
    auto& p = *static_cast<overlap_pipeline*>(argument);
    const locked hold(&p.lock);
    for (;;) {
        if (!p.caller_may_write && may_write(p))
            write_one(p, true);
        else if (may_read(p))
            read_one(p);
        else if (may_write(p))
            write_one(p, true);
        else if (p.closing || p.abandoned)
            break;
        else {
            p.helper_idle = true;
            pthread_cond_wait(&p.helper_wake, &p.lock);
            p.helper_idle = false;
            continue;
        }
        // Signalled unlocked, so that a woken caller does not at once
        // block on the lock still held here.
        pthread_mutex_unlock(&p.lock);
        pthread_cond_signal(&p.caller_wake);
        pthread_mutex_lock(&p.lock);
    }
    p.helper_done = true;
    pthread_cond_signal(&p.caller_wake);
    return nullptr;
}

// Waits on the helper until `ready` holds; false once it cannot come:
// a write has failed, the helper has ended, or (when `needs_reads`) a read
// has failed. Where the caller may write, it writes what is due instead of
// waiting idle, and also when outputs pile up while the helper is busy if
// it last found its input not yet read: the caller is then the faster of
// the two (decryption), and the helper's reads and the caller's writes go
// on side by side. A caller that finds its input ready (encryption) is the
// slower one and leaves the writes to the helper.
template <typename Ready> bool wait_for(overlap_pipeline& p, bool needs_reads, Ready ready) {
    for (;;) {
        const bool is_ready = ready();
        if (!is_ready && (p.write_result != result_ok || p.helper_done ||
                          (needs_reads && p.read_result != result_ok)))
            return false;
        const bool piling =
            p.caller_starved && !p.helper_idle && p.outputs_posted - p.writes_done >= 2;
        if (p.caller_may_write && may_write(p) && (!is_ready || piling)) {
            write_one(p, false);
            pthread_cond_signal(&p.helper_wake);
            continue;
        }
        if (is_ready) return true;
        pthread_cond_signal(&p.helper_wake);
        pthread_cond_wait(&p.caller_wake, &p.lock);
    }
}

void join_helper(overlap_pipeline& p) {
    if (!p.running) return;
    {
        const locked hold(&p.lock);
        p.closing = true;
        pthread_cond_signal(&p.helper_wake);
    }
    pthread_join(p.thread, nullptr);
    p.running = false;
}

bool start_helper(overlap_pipeline& p, const overlap_io& io, std::int32_t chunk,
                  overlap_order order, bool over_input) {
    const std::size_t input_bytes = std::size_t(chunk);
    const std::size_t output_bytes = over_input ? 0 : std::size_t(chunk) + 32;
    // Mapped with its pages in place: faulting them in one at a time would
    // fall to the cipher's thread, which writes the output chunks first.
    p.memory_size = overlap_slots * (input_bytes + output_bytes);
    void* memory = mmap(nullptr, p.memory_size, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    if (memory == MAP_FAILED) return false;
    p.memory = static_cast<std::uint8_t*>(memory);
    for (int i = 0; i < overlap_slots; ++i) {
        p.inputs[i] = overlap_chunk{p.memory + i * input_bytes, 0, false};
        p.outputs[i] =
            over_input ? overlap_chunk{p.inputs[i].data, chunk, false}
                       : overlap_chunk{p.memory + overlap_slots * input_bytes + i * output_bytes,
                                       static_cast<std::int32_t>(output_bytes), false};
    }
    p.outputs_in_inputs = over_input;
    p.io = io;
    p.chunk = chunk;
    p.writes_trail_reads = order == overlap_order::writes_trail_reads;
    p.caller_may_write = order == overlap_order::separate_files;

    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    p.running = pthread_create(&p.thread, nullptr, helper_main, &p) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return p.running;
}

} // namespace

overlap_setting set_overlap_for_testing(overlap_setting chosen) {
    const overlap_setting before = setting;
    setting = chosen;
    if (setting.chunk <= 0) setting.chunk = overlap_chunk_default;
    return before;
}

overlap_setting current_overlap() { return setting; }

bool overlap_wanted(off_t length) {
    switch (setting.choice) {
    case overlap_choice::never: return false;
    case overlap_choice::always: return true;
    default: return length >= overlap_threshold_chunks * setting.chunk;
    }
}

int read_whole(int fd, std::uint8_t* buffer, std::int32_t size, std::int32_t* count, bool* at_end,
               off_t* limit) {
    std::int32_t filled = 0;
    while (filled < size) {
        std::size_t want = static_cast<std::size_t>(size - filled);
        if (limit != nullptr && static_cast<off_t>(want) > *limit)
            want = static_cast<std::size_t>(*limit);
        const ssize_t n = want == 0 ? 0 : read(fd, buffer + filled, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return result_io;
        if (n == 0) {
            *at_end = true;
            break;
        }
        filled += static_cast<std::int32_t>(n);
        if (limit != nullptr) *limit -= n;
    }
    *count = filled;
    return result_ok;
}

int write_whole(int fd, const std::uint8_t* data, std::size_t count, bool* any) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return result_io;
        }
        if (any != nullptr) *any = true;
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return result_ok;
}

overlap_pipeline::~overlap_pipeline() {
    if (running) {
        {
            const locked hold(&lock);
            abandoned = true;
            pthread_cond_signal(&helper_wake);
        }
        pthread_join(thread, nullptr);
    }
    if (memory != nullptr) munmap(memory, memory_size);
    pthread_cond_destroy(&caller_wake);
    pthread_cond_destroy(&helper_wake);
    pthread_mutex_destroy(&lock);
}

bool overlap_begin(overlap_pipeline& p, const overlap_io& io, std::int32_t chunk,
                   overlap_order order, bool over_input) {
    // Whether or not the helper can be had, the caller's errno is kept.
    const int saved = errno;
    const bool began = start_helper(p, io, chunk, order, over_input);
    errno = saved;
    return began;
}

const overlap_chunk* overlap_input(overlap_pipeline& p) {
    const locked hold(&p.lock);
    p.caller_starved = p.reads_done == p.inputs_released;
    if (!wait_for(p, true, [&] { return p.reads_done > p.inputs_released; })) return nullptr;
    return &p.inputs[p.inputs_released % overlap_slots];
}

// The helper is not woken for the free chunk alone: an output follows at
// once (or the caller waits, which wakes it), and one wake serves both.
void overlap_input_done(overlap_pipeline& p) {
    const locked hold(&p.lock);
    ++p.inputs_released;
}

overlap_chunk* overlap_output(overlap_pipeline& p) {
    const locked hold(&p.lock);
    if (!wait_for(p, false, [&] { return p.outputs_posted - p.writes_done < overlap_slots; }))
        return nullptr;
    return &p.outputs[p.outputs_posted % overlap_slots];
}

// Waking a sleeping helper costs this thread a system call (and, in a
// virtual machine, an interrupt to the other CPU), so it is woken only once
// two outputs wait or its read-ahead is down to one chunk: with three slots
// each way it still keeps ahead of the cipher, and a caller that waits
// wakes it anyway.
void overlap_output_done(overlap_pipeline& p, std::int32_t count) {
    bool wake;
    {
        const locked hold(&p.lock);
        p.output_counts[p.outputs_posted % overlap_slots] = count;
        ++p.outputs_posted;
        wake = p.outputs_posted - p.writes_done >= 2 || p.reads_done - p.inputs_released < 2 ||
               p.input_ended;
    }
    if (wake) pthread_cond_signal(&p.helper_wake);
}

int overlap_stop(overlap_pipeline& p, bool input_failed) {
    join_helper(p);
    int result = result_ok;
    if (p.write_result != result_ok) {
        result = p.write_result;
        errno = p.write_errno;
    } else if (input_failed && p.read_result != result_ok) {
        result = p.read_result;
        errno = p.read_errno;
    }
    if (p.raised_signal != 0) {
        const int saved = errno;
        raise(p.raised_signal);
        errno = saved;
    }
    return result;
}
