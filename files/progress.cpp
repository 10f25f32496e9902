// The status line of --progress. Any thread that writes a file keeps the
// counters of its slot (atomics, lock-free); only the thread that started
// the run draws and clears the line, and it is also the only one that
// writes to standard error while the line may show (files written side by
// side hand their messages to it), so a message and the line never mix:
// whatever it writes clears the line first, and the next moment it may
// draw puts the line back.
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "file_steps.h"

// One file being written: by a worker (slot = its number) or by the
// drawing thread (the last slot).
struct progress_slot {
    std::atomic<bool> active{false};
    std::atomic<const char*> name{nullptr}; // as messages show it
    std::atomic<std::int64_t> size{-1};     // -1: not known (a pipe)
    std::atomic<std::int64_t> started{0};
    std::atomic<std::uint64_t> done{0};
};

namespace {

struct progress_board {
    // Asked for, and standard error a terminal; read by the workers as they
    // start a file, turned off by this thread when the terminal goes away.
    std::atomic<bool> on{false};
    bool several = false; // a tree or several operands: counts of the run too
    std::int64_t started = 0;
    progress_slot slots[max_jobs + 1];
    std::atomic<std::uint64_t> files_done{0}, bytes_done{0};
    // Of this thread: files planned to be written, and whether no more come.
    std::uint64_t files_met = 0, bytes_met = 0;
    bool traversal_over = false;
    std::int64_t last_drawn = 0;
    char line[512] = {};
};

progress_board board;
thread_local bool drawing_thread = false;
thread_local const progress_sink* current_sink = nullptr; // of the file this thread writes
// The line stands on the terminal; the signal handlers clear it too.
std::atomic<int> line_shown{0};
static_assert(std::atomic<int>::is_always_lock_free);

constexpr std::int64_t second = 1000 * 1000 * 1000;
constexpr std::int64_t draw_interval = second / 4;

std::int64_t now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return std::int64_t(t.tv_sec) * second + t.tv_nsec;
}

void write_out(const char* text, std::size_t length) {
    while (length > 0) {
        const ssize_t n = write(STDERR_FILENO, text, length);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            board.on = false; // a terminal that went away gets no more lines
            return;
        }
        text += n;
        length -= std::size_t(n);
    }
}

// Appends to a bounded line; what does not fit is dropped.
struct line_text {
    char* at;
    std::size_t left;
    void add(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        va_list arguments;
        va_start(arguments, format);
        const int n = std::vsnprintf(at, left, format, arguments);
        va_end(arguments);
        if (n < 0) return;
        const std::size_t used = std::size_t(n) < left ? std::size_t(n) : left - 1;
        at += used;
        left -= used;
    }
};

// 1023 B, 1.0 KiB, 17.3 MiB, ...
void add_bytes(line_text& out, std::uint64_t bytes) {
    if (bytes < 1024) return out.add("%" PRIu64 " B", bytes);
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = double(bytes) / 1024;
    int unit = 0;
    while (value >= 1024 && unit < 5) {
        value /= 1024;
        ++unit;
    }
    out.add("%.1f %s", value, units[unit]);
}

// m:ss, or h:mm:ss from an hour on.
void add_duration(line_text& out, std::int64_t seconds) {
    if (seconds >= 3600)
        return out.add("%" PRId64 ":%02d:%02d", seconds / 3600, int(seconds / 60 % 60),
                       int(seconds % 60));
    out.add("%d:%02d", int(seconds / 60), int(seconds % 60));
}

void add_speed(line_text& out, std::uint64_t bytes, std::int64_t elapsed) {
    if (elapsed <= 0) return;
    add_bytes(out, std::uint64_t(double(bytes) * double(second) / double(elapsed)));
    out.add("/s");
}

// The file of `slot`: in full when it is the only one, else its percentage.
void add_file(line_text& out, const progress_slot& slot, bool alone, std::int64_t at) {
    const char* name = slot.name.load(std::memory_order_relaxed);
    const std::int64_t size = slot.size.load(std::memory_order_relaxed);
    const std::uint64_t done = slot.done.load(std::memory_order_relaxed);
    const std::int64_t elapsed = at - slot.started.load(std::memory_order_relaxed);
    out.add("%s", name);
    if (size < 0) {
        out.add(": ");
        add_bytes(out, done);
        if (elapsed > 0) out.add(", ");
        return add_speed(out, done, elapsed);
    }
    const int percent = size == 0 ? 100 : int(double(done) * 100 / double(size));
    if (!alone) return out.add(" %d%%", percent > 100 ? 100 : percent);
    out.add(": ");
    add_bytes(out, done);
    out.add(" of ");
    add_bytes(out, std::uint64_t(size));
    out.add(", %d%%", percent > 100 ? 100 : percent);
    if (elapsed <= 0 || done == 0) return;
    out.add(", ");
    add_speed(out, done, elapsed);
    const std::uint64_t left = std::uint64_t(size) > done ? std::uint64_t(size) - done : 0;
    out.add(", ");
    add_duration(out, std::int64_t(double(left) * double(elapsed) / double(done) / second));
    out.add(" left");
}

// The line as it stands now.
void compose(char* text, std::size_t room, std::int64_t at) {
    line_text out{text, room};
    text[0] = '\0';
    int in_flight = 0;
    std::uint64_t flying = 0;
    for (const progress_slot& slot : board.slots)
        if (slot.active.load(std::memory_order_acquire)) {
            ++in_flight;
            flying += slot.done.load(std::memory_order_relaxed);
        }
    if (board.several) {
        const std::uint64_t files = board.files_done.load(std::memory_order_relaxed);
        const std::uint64_t bytes = board.bytes_done.load(std::memory_order_relaxed) + flying;
        if (board.traversal_over)
            out.add("%" PRIu64 " of %" PRIu64 " files, ", files, board.files_met);
        else
            out.add("%" PRIu64 " file%s, ", files, files == 1 ? "" : "s");
        add_bytes(out, bytes);
        if (board.traversal_over) {
            out.add(" of ");
            add_bytes(out, board.bytes_met);
        }
        if (bytes > 0) {
            out.add(", ");
            add_speed(out, bytes, at - board.started);
        }
    }
    for (const progress_slot& slot : board.slots) {
        if (!slot.active.load(std::memory_order_acquire)) continue;
        out.add("%s", board.several || out.at != text ? " | " : "");
        add_file(out, slot, in_flight == 1, at);
    }
}

// The columns of the terminal less one, so that the line never wraps (a
// wrapped line cannot be taken back with a carriage return). A byte counts
// as a column: no character of a name takes more columns than bytes.
std::size_t usable_width() {
    winsize size{};
    const int columns = ioctl(STDERR_FILENO, TIOCGWINSZ, &size) == 0 ? size.ws_col : 0;
    return columns > 1 ? std::size_t(columns - 1) : 79;
}

constexpr char clear_line[] = "\r\033[K";

void draw(std::int64_t at) {
    char text[sizeof board.line];
    compose(text, sizeof text, at);
    std::size_t length = std::strlen(text);
    const std::size_t width = usable_width();
    if (length > width) {
        length = width;
        // Not in the middle of a character.
        while (length > 0 && (static_cast<unsigned char>(text[length]) & 0xc0) == 0x80) --length;
        text[length] = '\0';
    }
    if (length == 0) return; // nothing being written yet
    board.last_drawn = at;
    if (line_shown.load() && std::strcmp(text, board.line) == 0) return;
    std::memcpy(board.line, text, length + 1);
    char out[sizeof board.line + sizeof clear_line + 1];
    const int n = std::snprintf(out, sizeof out, "\r%s\033[K", text);
    write_out(out, std::size_t(n) < sizeof out ? std::size_t(n) : sizeof out - 1);
    line_shown.store(1);
}

// Standard input or a file of the run, as its plan describes it.
std::int64_t size_of(const file_plan& plan) {
    if (plan.source == input_source::file) return plan.decided.st_size;
    struct stat st;
    if (fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode)) {
        const off_t at = lseek(STDIN_FILENO, 0, SEEK_CUR);
        return st.st_size - (at > 0 ? at : 0);
    }
    return -1;
}

void advance(void* context, std::uint64_t bytes) {
    static_cast<progress_slot*>(context)->done.fetch_add(bytes, std::memory_order_relaxed);
    if (drawing_thread) progress_tick();
}

void progress_start(const run_context& run) {
    const run_options& options = run.options;
    board.on = false;
    if (!options.progress || !isatty(STDERR_FILENO)) return;
    // Output on the same terminal would be torn by the line.
    if (options.row().output == output_rule::standard_output && isatty(STDOUT_FILENO)) return;
    board.several = !options.filter && (options.infile_count > 1 || options.recursive != 0);
    board.started = now();
    board.files_done = 0;
    board.bytes_done = 0;
    board.files_met = board.bytes_met = 0;
    board.traversal_over = false;
    board.last_drawn = board.started - draw_interval;
    board.line[0] = '\0';
    drawing_thread = true;
    board.on = true;
}

void progress_finish(const run_context& run) {
    if (!board.on) return;
    progress_clear();
    drawing_thread = false;
    board.on = false;
    if (run.options.quiet()) return;
    const std::uint64_t files = board.files_done.load();
    const std::uint64_t bytes = board.bytes_done.load();
    const std::int64_t elapsed = now() - board.started;
    char text[160];
    line_text out{text, sizeof text};
    out.add("%s: %" PRIu64 " file%s, ", run.options.name, files, files == 1 ? "" : "s");
    add_bytes(out, bytes);
    out.add(" in %.1f s", double(elapsed) / second);
    if (elapsed > 0 && bytes > 0) {
        out.add(", ");
        add_speed(out, bytes, elapsed);
    }
    out.add("\n");
    write_out(text, std::strlen(text));
}

} // namespace

void progress_tick() {
    if (!board.on || !drawing_thread) return;
    const std::int64_t at = now();
    if (at - board.last_drawn >= draw_interval) draw(at);
}

std::int64_t progress_wait() {
    return board.on && drawing_thread ? draw_interval / (1000 * 1000) : -1;
}

void progress_clear() {
    if (!drawing_thread || !line_shown.load()) return;
    line_shown.store(0);
    write_out(clear_line, sizeof clear_line - 1);
}

void progress_clear_from_handler() {
    if (line_shown.exchange(0) == 0) return;
    // A handler may not use write_out: it writes once and lets a failure be.
    (void)!write(STDERR_FILENO, clear_line, sizeof clear_line - 1);
}

void progress_planned(const file_plan& plan) {
    if (!board.on || plan.action != file_action::write) return;
    ++board.files_met;
    const std::int64_t size = size_of(plan);
    if (size > 0) board.bytes_met += std::uint64_t(size);
}

void progress_traversal_over() { board.traversal_over = true; }

progress_file::progress_file(const file_plan& plan) {
    if (!board.on) return;
    const int slot_number = current_worker();
    slot = &board.slots[slot_number >= 0 ? slot_number : max_jobs];
    slot->name.store(plan.input.shown, std::memory_order_relaxed);
    slot->size.store(size_of(plan), std::memory_order_relaxed);
    slot->started.store(now(), std::memory_order_relaxed);
    slot->done.store(0, std::memory_order_relaxed);
    slot->active.store(true, std::memory_order_release);
    sink = {advance, slot};
    current_sink = &sink;
    progress_tick();
}

void progress_file::finished(outcome result) {
    if (!slot) return;
    if (result == outcome::done) {
        board.files_done.fetch_add(1, std::memory_order_relaxed);
        board.bytes_done.fetch_add(slot->done.load(std::memory_order_relaxed),
                                   std::memory_order_relaxed);
    }
    slot->active.store(false, std::memory_order_release);
    slot = nullptr;
    current_sink = nullptr;
}

const progress_sink* file_progress() { return current_sink; }

progress_scope::progress_scope(const run_context& run) : run_(run) { progress_start(run); }

progress_scope::~progress_scope() { progress_finish(run_); }

progress_file::~progress_file() { finished(outcome::failed); }
