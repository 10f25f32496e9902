#include "io_overlap.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <csignal>
#include <new>

#include "stepping.h"
#include "testing.h"

namespace {

overlap_setting setting{overlap_choice::automatic, overlap_chunk_default};

// The pipeline's lock, held for the life of the object: a function that
// takes a `const locked&` may only be called with it held, and touches the
// shared state only then.
class locked {
public:
    explicit locked(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
    ~locked() { pthread_mutex_unlock(&mutex_); }
    locked(const locked&) = delete;
    locked& operator=(const locked&) = delete;

    // Gives the lock up until `condition` is signalled.
    void wait(pthread_cond_t& condition) const { pthread_cond_wait(&condition, &mutex_); }
    // Runs `work` with the lock given up, and holds it again after: the
    // I/O itself, and a signal whose woken thread would at once block on
    // a lock still held here.
    template <typename Work> auto unlocked(Work work) const {
        pthread_mutex_unlock(&mutex_);
        auto result = work();
        pthread_mutex_lock(&mutex_);
        return result;
    }

private:
    pthread_mutex_t& mutex_;
};

enum class helper_phase { working, idle, done };

} // namespace

struct overlap_pipeline::shared {
    // Set by begin, before the helper starts; read-only after.
    overlap_io io{};
    overlap_order order = overlap_order::separate_files;
    bool outputs_in_inputs = false; // output chunk k is input chunk k's memory
    std::int32_t chunk = 0;
    std::uint8_t* memory = nullptr; // every chunk, one mapping
    std::size_t memory_size = 0;

    // Under `lock`. Counted in chunks since the start.
    overlap_chunk inputs[overlap_slots]{};
    overlap_chunk outputs[overlap_slots]{};
    std::uint64_t reads_done = 0;
    std::uint64_t inputs_released = 0;
    std::uint64_t outputs_posted = 0;
    std::uint64_t writes_done = 0;
    bool input_ended = false;
    std::uint64_t final_input = 0;               // its chunk, once input_ended
    off_t input_ends[2 * overlap_slots]{};       // input position after each recent chunk
    std::int32_t output_counts[overlap_slots]{}; // bytes posted in each output chunk
    off_t written = 0;                           // output bytes written
    stream_result read_failure{};                // the first failing read
    stream_result write_failure{};               // the first failing write
    int raised_signal = 0;                       // brought on by that write
    bool writing = false;                        // a write is under way, on either thread
    bool caller_starved = false;                 // its last input was not read yet when asked for
    bool closing = false;                        // no more input is wanted
    bool abandoned = false;                      // stop at once, write nothing more
    helper_phase phase = helper_phase::working;

    pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t helper_wake = PTHREAD_COND_INITIALIZER;
    pthread_cond_t caller_wake = PTHREAD_COND_INITIALIZER;

    // The calling thread's own.
    pthread_t thread{};
    bool running = false;

    ~shared();
};

namespace {

using shared = overlap_pipeline::shared;

// What holds between the counters whenever the lock is free. Only the
// input in hand is held back from the helper, outputs are written in the
// order posted, and neither side runs more than the slots ahead; over the
// input, a chunk is read into again only once its output is written.
void check_counters(const shared& p, const locked&) {
    assert(p.inputs_released <= p.reads_done);
    assert(p.reads_done - p.inputs_released <= overlap_slots);
    assert(p.writes_done <= p.outputs_posted);
    assert(p.outputs_posted - p.writes_done <= overlap_slots);
    assert(!p.outputs_in_inputs || p.reads_done <= p.writes_done + overlap_slots);
    assert(!p.input_ended || p.final_input + 1 == p.reads_done);
    (void)p;
}

// ---- Signals handed from the helper to the caller ------------------------------

// The signal a failing write sent to the thread that made it (a pipe with
// no reader, a file-size limit), taken off that thread; 0 when none came.
// The helper blocks every signal, so one sent to it is still pending.
int take_write_signal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    sigaddset(&set, SIGXFSZ);
    const timespec none{0, 0};
    const int taken = sigtimedwait(&set, nullptr, &none);
    return taken > 0 ? taken : 0;
}

// On the caller's thread, where it acts as it would have without the helper.
void raise_taken_signal(int taken) {
    if (taken != 0) raise(taken);
}

// ---- What may be done now ---------------------------------------------------------

bool may_read(const shared& p, const locked&) {
    return !p.closing && !p.abandoned && p.read_failure.ok() && p.write_failure.ok() &&
           !p.input_ended && p.reads_done - p.inputs_released < overlap_slots &&
           (!p.outputs_in_inputs || p.reads_done - p.writes_done < overlap_slots);
}

bool may_write(const shared& p, const locked&) {
    if (p.abandoned || p.writing || !p.write_failure.ok() || p.writes_done == p.outputs_posted)
        return false;
    return p.order == overlap_order::separate_files || p.input_ended ||
           p.reads_done > p.writes_done + 1;
}

// In place: whether output chunk `w` would reach past the input read so
// far. Once the chunk after it met the end, everything has been read.
bool overruns_input(const shared& p, const locked&, std::uint64_t w, std::int32_t count) {
    if (p.order != overlap_order::writes_trail_reads || (p.input_ended && p.final_input <= w + 1))
        return false;
    return p.written + count > p.input_ends[(w + 1) % (2 * overlap_slots)];
}

// ---- Speed: who moves which chunk, and when the helper is woken ---------------

// In place, writing goes first: it frees a chunk for the cipher. With
// separate files reading goes first, since the caller writes whatever is
// due when it would otherwise wait: the two copies then run side by side.
bool helper_writes_first(const shared& p) { return p.order == overlap_order::writes_trail_reads; }

// Where the caller may write, it writes what is due instead of waiting
// idle, and also when outputs pile up while the helper is busy if it last
// found its input not yet read: the caller is then the faster of the two
// (decryption), and the helper's reads and the caller's writes go on side
// by side. A caller that finds its input ready (encryption) is the slower
// one and leaves the writes to the helper.
bool caller_writes_now(const shared& p, const locked& hold, bool ready) {
    const bool piling =
        p.caller_starved && p.phase != helper_phase::idle && p.outputs_posted - p.writes_done >= 2;
    return p.order == overlap_order::separate_files && may_write(p, hold) && (!ready || piling);
}

// Waking a sleeping helper costs this thread a system call (and, in a
// virtual machine, an interrupt to the other CPU), so it is woken only once
// two outputs wait or its read-ahead is down to one chunk: with three slots
// each way it still keeps ahead of the cipher, and a caller that waits
// wakes it anyway. The helper is not woken for a free input chunk alone:
// an output follows at once (or the caller waits), and one wake serves both.
bool helper_wanted_after_output(const shared& p, const locked&) {
    return p.outputs_posted - p.writes_done >= 2 || p.reads_done - p.inputs_released < 2 ||
           p.input_ended;
}

// ---- The moves ------------------------------------------------------------------------

void read_one(shared& p, const locked& hold) {
    const std::uint64_t r = p.reads_done;
    overlap_chunk& slot = p.inputs[r % overlap_slots];
    overlap_chunk got{slot.data, 0, false};
    const stream_result result =
        hold.unlocked([&] { return p.io.read(p.io.context, got, p.chunk); });
    if (!result.ok()) {
        p.read_failure = result;
        p.read_failure.side = io_side::input;
        return;
    }
    slot.count = got.count;
    slot.final = got.final;
    p.input_ends[r % (2 * overlap_slots)] =
        (r == 0 ? 0 : p.input_ends[(r - 1) % (2 * overlap_slots)]) + got.count;
    if (got.final) {
        p.input_ended = true;
        p.final_input = r;
    }
    p.reads_done = r + 1;
    check_counters(p, hold);
}

// On the helper, a signal the failing write brought on is taken off it for
// the caller to raise; on the caller's own thread it has acted already.
void write_one(shared& p, const locked& hold, bool on_helper) {
    const std::uint64_t w = p.writes_done;
    const std::int32_t count = p.output_counts[w % overlap_slots];
    if (overruns_input(p, hold, w, count)) {
        p.write_failure = stream_fault(fault_buffer_overflow);
        return;
    }
    const std::uint8_t* data = p.outputs[w % overlap_slots].data;
    struct write_outcome {
        stream_result result;
        int signal;
    };
    p.writing = true;
    const write_outcome out = hold.unlocked([&] {
        const stream_result result =
            count == 0 ? stream_result{} : p.io.write(p.io.context, data, count);
        return write_outcome{result, result.ok() || !on_helper ? 0 : take_write_signal()};
    });
    p.writing = false;
    if (!out.result.ok()) {
        p.write_failure = out.result;
        p.write_failure.side = io_side::output;
        p.raised_signal = out.signal;
        return;
    }
    p.written += count;
    p.writes_done = w + 1;
    check_counters(p, hold);
}

void* helper_main(void* argument) {
    auto& p = *static_cast<shared*>(argument);
    const locked hold(p.lock);
    for (;;) {
        if (helper_writes_first(p) && may_write(p, hold))
            write_one(p, hold, true);
        else if (may_read(p, hold))
            read_one(p, hold);
        else if (may_write(p, hold))
            write_one(p, hold, true);
        else if (p.closing || p.abandoned)
            break;
        else {
            p.phase = helper_phase::idle;
            hold.wait(p.helper_wake);
            p.phase = helper_phase::working;
            continue;
        }
        hold.unlocked([&] { return pthread_cond_signal(&p.caller_wake); });
    }
    p.phase = helper_phase::done;
    pthread_cond_signal(&p.caller_wake);
    return nullptr;
}

// Waits on the helper until `ready` holds; false once it cannot come:
// a write has failed, the helper has ended, or (when `needs_reads`) a read
// has failed. Where the caller may write, it writes meanwhile.
template <typename Ready>
bool wait_for(shared& p, const locked& hold, bool needs_reads, Ready ready) {
    for (;;) {
        const bool is_ready = ready();
        if (!is_ready && (!p.write_failure.ok() || p.phase == helper_phase::done ||
                          (needs_reads && !p.read_failure.ok())))
            return false;
        if (caller_writes_now(p, hold, is_ready)) {
            write_one(p, hold, false);
            pthread_cond_signal(&p.helper_wake);
            continue;
        }
        if (is_ready) return true;
        pthread_cond_signal(&p.helper_wake);
        hold.wait(p.caller_wake);
    }
}

// Ends the helper once it has done what it still may (`abandon`: at once).
void end_helper(shared& p, bool abandon) {
    if (!p.running) return;
    {
        const locked hold(p.lock);
        (abandon ? p.abandoned : p.closing) = true;
        pthread_cond_signal(&p.helper_wake);
    }
    pthread_join(p.thread, nullptr);
    p.running = false;
}

bool start_helper(shared& p, const overlap_io& io, const overlap_plan& plan) {
    const std::size_t input_bytes = std::size_t(plan.chunk);
    const std::size_t output_bytes = plan.over_input ? 0 : std::size_t(plan.chunk) + 32;
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
            plan.over_input
                ? overlap_chunk{p.inputs[i].data, plan.chunk, false}
                : overlap_chunk{p.memory + overlap_slots * input_bytes + i * output_bytes,
                                static_cast<std::int32_t>(output_bytes), false};
    }
    p.outputs_in_inputs = plan.over_input;
    p.io = io;
    p.chunk = plan.chunk;
    p.order = plan.order;

    sigset_t all, before;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &before);
    p.running = pthread_create(&p.thread, nullptr, helper_main, &p) == 0;
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return p.running;
}

} // namespace

overlap_pipeline::shared::~shared() {
    end_helper(*this, true);
    if (memory != nullptr) munmap(memory, memory_size);
    pthread_cond_destroy(&caller_wake);
    pthread_cond_destroy(&helper_wake);
    pthread_mutex_destroy(&lock);
}

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

stream_result read_whole(int fd, overlap_chunk& into, std::int32_t size, off_t* limit) {
    std::int32_t filled = 0;
    while (filled < size) {
        std::size_t want = static_cast<std::size_t>(size - filled);
        if (limit != nullptr && static_cast<off_t>(want) > *limit)
            want = static_cast<std::size_t>(*limit);
        const ssize_t n = want == 0 ? 0 : read(fd, into.data + filled, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return io_failure(errno);
        if (n == 0) {
            into.final = true;
            break;
        }
        filled += static_cast<std::int32_t>(n);
        if (limit != nullptr) *limit -= n;
    }
    into.count = filled;
    return {};
}

stream_result write_whole(int fd, const std::uint8_t* data, std::size_t count, bool* any) {
    while (count > 0) {
        const ssize_t n = write(fd, data, count);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return io_failure(n == 0 ? EIO : errno);
        if (any != nullptr) *any = true;
        data += n;
        count -= static_cast<std::size_t>(n);
    }
    return {};
}

overlap_pipeline::overlap_pipeline() = default;
overlap_pipeline::~overlap_pipeline() = default;

bool overlap_pipeline::begin(const overlap_io& io, const overlap_plan& plan) {
    shared_.reset(new (std::nothrow) shared);
    if (shared_ != nullptr && start_helper(*shared_, io, plan)) return true;
    shared_.reset();
    return false;
}

const overlap_chunk* overlap_pipeline::input() {
    shared& p = *shared_;
    const locked hold(p.lock);
    p.caller_starved = p.reads_done == p.inputs_released;
    if (!wait_for(p, hold, true, [&] { return p.reads_done > p.inputs_released; })) return nullptr;
    return &p.inputs[p.inputs_released % overlap_slots];
}

void overlap_pipeline::input_done() {
    shared& p = *shared_;
    const locked hold(p.lock);
    ++p.inputs_released;
    check_counters(p, hold);
}

overlap_chunk* overlap_pipeline::output() {
    shared& p = *shared_;
    const locked hold(p.lock);
    if (!wait_for(p, hold, false, [&] { return p.outputs_posted - p.writes_done < overlap_slots; }))
        return nullptr;
    return &p.outputs[p.outputs_posted % overlap_slots];
}

void overlap_pipeline::output_done(std::int32_t count) {
    shared& p = *shared_;
    bool wake;
    {
        const locked hold(p.lock);
        p.output_counts[p.outputs_posted % overlap_slots] = count;
        ++p.outputs_posted;
        check_counters(p, hold);
        wake = helper_wanted_after_output(p, hold);
    }
    if (wake) pthread_cond_signal(&p.helper_wake);
}

stream_result overlap_pipeline::stop(bool input_failed) {
    shared& p = *shared_;
    end_helper(p, false);
    // The helper has ended: what it left is read without the lock.
    stream_result result{};
    if (!p.write_failure.ok())
        result = p.write_failure;
    else if (input_failed && !p.read_failure.ok())
        result = p.read_failure;
    raise_taken_signal(p.raised_signal);
    return result;
}

stream_result pipeline_io::next_input(step_input& next) {
    const overlap_chunk* input = pipeline.input();
    if (input == nullptr) return pipeline.stop(true);
    next = {input->data, input->count, input->final};
    return {};
}

stream_result pipeline_io::next_output(step_output& room) {
    overlap_chunk* output = pipeline.output();
    if (output == nullptr) return pipeline.stop(false);
    room = {output->data, output->count};
    return {};
}
