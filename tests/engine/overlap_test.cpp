// Both drivers with the helper thread against the same drivers without it:
// the bytes written, the results, errno, stream faults and the releases of
// the stream must not tell them apart, at chunk edges, on failing reads and
// writes of the helper, on failing steps, on a stream that overruns its
// input, and for the signals a failing write brings on.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "engine/testing.h"
#include "legacy/unixcrypt.h"
#include "tests/support/stream_ops.h"

namespace {

using namespace engine_test;

// Installs a setting for the lifetime of the guard.
struct overlap_guard {
    overlap_setting before;
    explicit overlap_guard(overlap_setting chosen) : before(set_overlap_for_testing(chosen)) {}
    ~overlap_guard() { set_overlap_for_testing(before); }
    overlap_guard(const overlap_guard&) = delete;
    overlap_guard& operator=(const overlap_guard&) = delete;
};

const overlap_setting without{overlap_choice::never, 0};

struct setting_case {
    const char* what;
    overlap_setting setting;
};

// Chunks that are, and are not, multiples of a cipher block; and the
// program's own choice with chunks small enough that the stream driver
// hands over to the helper in the middle of the input.
const setting_case overlapped_settings[] = {
    {"always, 1000-byte chunks", {overlap_choice::always, 1000}},
    {"always, 1024-byte chunks", {overlap_choice::always, 1024}},
    {"always, 4096-byte chunks", {overlap_choice::always, 4096}},
    {"by length, 2048-byte chunks", {overlap_choice::automatic, 2048}},
};

// Around the chunk sizes above, the stream driver's 992-byte reads and the
// automatic hand-over at four chunks.
const std::size_t lengths[] = {0,    1,    31,   32,   33,   991,  992,  999,   1000,
                               1001, 1023, 1024, 1025, 2047, 2048, 2049, 3000,  4095,
                               4096, 4097, 8191, 8192, 8193, 8224, 9000, 12345, 40000};

// What a run left: the result, errno, stream fault, and the file.
struct outcome {
    int result;
    int error;
    int fault;
    bytes content;
    off_t offset; // in place: where the descriptor ended; -1 otherwise
};

bool operator==(const outcome& a, const outcome& b) {
    return a.result == b.result && a.error == b.error && a.fault == b.fault &&
           a.content == b.content && a.offset == b.offset;
}

std::ostream& operator<<(std::ostream& out, const outcome& o) {
    return out << "result " << o.result << ", errno " << o.error << ", fault " << o.fault << ", "
               << o.content.size() << " bytes, offset " << o.offset;
}

// Whether errno holds the detail of a result (code_of puts it there).
bool carries_errno(int result) { return result == result_io || result == result_system; }

using fd_run = std::function<int(int)>;
using file_run = std::function<int(std::FILE*, std::FILE*)>;

outcome run_in_place(const std::string& path, const fd_run& run, int flags = O_RDWR) {
    fd_guard fd{open(path.c_str(), flags)};
    EXPECT_GE(fd.fd, 0);
    errno = 0;
    last_fault_for_testing = 0;
    const int result = run(fd.fd);
    const outcome o{result,
                    carries_errno(result) ? errno : 0,
                    last_fault_for_testing,
                    {},
                    lseek(fd.fd, 0, SEEK_CUR)};
    return outcome{o.result, o.error, o.fault, read_file(path), result == 0 ? o.offset : -1};
}

outcome run_through_files(const std::string& from, const std::string& to, const file_run& run) {
    file_guard in{std::fopen(from.c_str(), "rb")};
    file_guard out{std::fopen(to.c_str(), "wb")};
    EXPECT_NE(in.f, nullptr);
    EXPECT_NE(out.f, nullptr);
    errno = 0;
    last_fault_for_testing = 0;
    const int result = run(in.f, out.f);
    const outcome o{result, carries_errno(result) ? errno : 0, last_fault_for_testing, {}, -1};
    std::fclose(out.f);
    out.f = nullptr;
    return outcome{o.result, o.error, o.fault, read_file(to), -1};
}

struct driver_path {
    const char* what;
    bool sealed_input; // the input is an encryption under "k"
    fd_run in_place;   // one of the two is set
    file_run through_files;
    bool long_only = false; // run only on inputs of several chunks
};

// Decryption whose first step waits: by then the helper has read every
// chunk it may read ahead, whatever the scheduling, so one that read into
// a chunk whose output is not yet written would spoil that output on every
// run, not only when the cipher happens to lag.
bool first_step_done = false;
int decrypt_step_late(cipher_stream* stream) {
    if (!first_step_done && stream->in_left > 0) {
        first_step_done = true;
        usleep(20000);
    }
    return decrypt_step(stream);
}
int decrypt_late_through_files(std::FILE* in, std::FILE* out) {
    cipher_stream stream{};
    first_step_done = false;
    if (decrypt_init(&stream, "k", 0) != 0) return -1;
    return code_of(pump_file({&stream, decrypt_step_late, decrypt_end}, {in, out, true}));
}

const driver_path driver_paths[] = {
    {"in place, encryption", false, [](int fd) { return encrypt_in_place(fd, "k"); }, nullptr},
    {"in place, decryption", true, [](int fd) { return decrypt_in_place(fd, "k"); }, nullptr},
    {"in place, key change", true, [](int fd) { return keychange_in_place(fd, "k", "n"); },
     nullptr},
    {"stream, encryption", false, nullptr,
     [](std::FILE* in, std::FILE* out) { return encrypt_file(in, out, "k"); }},
    {"stream, decryption", true, nullptr,
     [](std::FILE* in, std::FILE* out) { return decrypt_file(in, out, "k", 0); }},
    {"stream, key change", true, nullptr,
     [](std::FILE* in, std::FILE* out) { return keychange_file(in, out, "k", "n"); }},
    {"stream, legacy rotor", false, nullptr,
     [](std::FILE* in, std::FILE* out) { return unixcrypt_file(in, out, "k"); }},
    {"stream, decryption, late first step", true, nullptr, decrypt_late_through_files, true},
};

outcome run_path(const driver_path& path, const temp_dir& dir, const bytes& input) {
    const fixed_nonce nonce(7);
    write_file(dir.file("in"), input);
    if (path.in_place) return run_in_place(dir.file("in"), path.in_place);
    return run_through_files(dir.file("in"), dir.file("out"), path.through_files);
}

TEST(overlap, every_driver_path_writes_the_same_bytes_with_and_without_the_helper) {
    const temp_dir dir;
    for (const driver_path& path : driver_paths) {
        SCOPED_TRACE(path.what);
        for (const std::size_t length : lengths) {
            if (path.long_only && length < 8192) continue;
            SCOPED_TRACE("length " + std::to_string(length));
            bytes input = random_bytes(length, std::uint32_t(length) + 3);
            if (path.sealed_input) input = encrypt_bytes("k", input).output;
            outcome reference;
            {
                const overlap_guard plain(without);
                reference = run_path(path, dir, input);
            }
            ASSERT_EQ(reference.result, 0);
            for (const setting_case& s : overlapped_settings) {
                const overlap_guard overlapped(s.setting);
                EXPECT_EQ(run_path(path, dir, input), reference) << s.what;
            }
        }
    }
}

// A progress sink hears of every input byte once, on every driver, whether
// or not the helper carries the I/O.
TEST(overlap, a_progress_sink_hears_of_every_input_byte_once) {
    const temp_dir dir;
    std::uint64_t heard = 0;
    const progress_sink sink{
        [](void* count, std::uint64_t bytes) { *static_cast<std::uint64_t*>(count) += bytes; },
        &heard};
    const stream_keys keys{"k", "n", 0};
    for (const std::size_t length : {std::size_t(0), std::size_t(33), std::size_t(300000)}) {
        SCOPED_TRACE("length " + std::to_string(length));
        for (const overlap_setting setting :
             {without, overlap_setting{overlap_choice::always, 4096}}) {
            const overlap_guard guard(setting);
            write_file(dir.file("in"), random_bytes(length, 5));
            heard = 0;
            {
                fd_guard fd{open(dir.file("in").c_str(), O_RDWR)};
                ASSERT_TRUE(run_stream_in_place(encrypt_kind, keys, fd.fd, &sink).ok());
            }
            EXPECT_EQ(heard, length);
            heard = 0;
            file_guard in{std::fopen(dir.file("in").c_str(), "rb")};
            file_guard out{std::fopen(dir.file("out").c_str(), "wb")};
            ASSERT_TRUE(run_stream(decrypt_kind, keys, in.f, out.f, &sink).ok());
            EXPECT_EQ(heard, length + 32);
        }
    }
}

// ---- Failing reads and writes of the helper ---------------------------------

int end_calls = 0;
int counted_encrypt_end(cipher_stream* stream) {
    ++end_calls;
    encrypt_end(stream);
    errno = 0; // a release must not disturb the detail being reported
    stream->fault = 99;
    return 0;
}
int counted_decrypt_end(cipher_stream* stream) {
    ++end_calls;
    decrypt_end(stream);
    errno = 0;
    stream->fault = 99;
    return 0;
}

struct fault_case {
    const char* what;
    bool sealed_input;
    std::function<int(const std::string& in, const std::string& out)> run;
    int result;
    int error;
};

int in_place_with(const std::string& path, int flags, bool decrypt) {
    fd_guard fd{open(path.c_str(), flags)};
    cipher_stream stream{};
    int result;
    if (decrypt) {
        decrypt_init(&stream, "k", 0);
        result = code_of(pump_fd_in_place({&stream, decrypt_step, counted_decrypt_end}, {fd.fd}));
    } else {
        encrypt_init(&stream, "k");
        result =
            code_of(pump_fd_in_place({&stream, encrypt_step, counted_encrypt_end}, {fd.fd, 32}));
    }
    return result;
}

int stream_with(std::FILE* in, std::FILE* out) {
    cipher_stream stream{};
    encrypt_init(&stream, "k");
    return code_of(pump_file({&stream, encrypt_step, counted_encrypt_end}, {in, out}));
}

const fault_case fault_cases[] = {
    {"in place, the first write (read-only descriptor)", true,
     [](const std::string& in, const std::string&) { return in_place_with(in, O_RDONLY, true); },
     result_io, EBADF},
    {"in place, the first read (write-only descriptor), growth secured", false,
     [](const std::string& in, const std::string&) { return in_place_with(in, O_WRONLY, false); },
     result_io, EBADF},
    {"stream, a write (full device)", false,
     [](const std::string& in, const std::string&) {
         file_guard from{std::fopen(in.c_str(), "rb")};
         file_guard to{std::fopen("/dev/full", "wb")};
         std::setvbuf(to.f, nullptr, _IONBF, 0);
         return stream_with(from.f, to.f);
     },
     result_io, ENOSPC},
    {"stream, the first read (write-only stream)", false,
     [](const std::string& in, const std::string& out) {
         file_guard from{std::fopen(in.c_str(), "ab")};
         file_guard to{std::fopen(out.c_str(), "wb")};
         return stream_with(from.f, to.f);
     },
     result_io, EBADF},
};

TEST(overlap, a_failing_read_or_write_of_the_helper_is_reported_as_without_it) {
    const temp_dir dir;
    const bytes plain = random_bytes(70000, 21);
    const bytes sealed = encrypt_bytes("k", plain).output;
    for (const fault_case& c : fault_cases) {
        SCOPED_TRACE(c.what);
        const bytes& content = c.sealed_input ? sealed : plain;
        for (const overlap_setting setting :
             {without, overlap_setting{overlap_choice::always, 4096},
              overlap_setting{overlap_choice::automatic, 4096}}) {
            const overlap_guard guard(setting);
            write_file(dir.file("in"), content);
            end_calls = 0;
            last_fault_for_testing = 0;
            errno = 0;
            const int result = c.run(dir.file("in"), dir.file("out"));
            const int error = errno;
            EXPECT_EQ(result, c.result);
            EXPECT_EQ(error, c.error);
            EXPECT_EQ(end_calls, 1);
            EXPECT_EQ(read_file(dir.file("in")), content) << "the input was changed";
        }
    }
}

// ---- Failing steps and overrunning streams -------------------------------------

// Encryption whose step fails at its `fail_at`-th call, the stream released
// as a failing step releases it.
int step_calls = 0;
int fail_at = 0;
int failing_encrypt_step(cipher_stream* stream) {
    if (++step_calls == fail_at) {
        encrypt_end(stream);
        stream->fault = fault_key_mismatch;
        return result_stream;
    }
    return encrypt_step(stream);
}

int counted_end(cipher_stream*) {
    ++end_calls;
    return 0;
}

struct step_case {
    const char* what;
    std::size_t length;
    stream_step_fn step;
    int failing_call; // for failing_encrypt_step
    bool in_place;
    std::int32_t chunk; // the plain driver's buffer, so both read alike
    int result;
    int fault;
    int ends;
};

const step_case step_cases[] = {
    {"in place, first step fails", 50000, failing_encrypt_step, 1, true, 10240, result_stream,
     fault_key_mismatch, 0},
    {"in place, fourth step fails", 50000, failing_encrypt_step, 4, true, 10240, result_stream,
     fault_key_mismatch, 0},
    {"in place, output overruns the reads", 400 * 10240, padding_step, 0, true, 10240,
     result_stream, fault_buffer_overflow, 1},
    {"stream, first step fails", 50000, failing_encrypt_step, 1, false, 992, result_stream,
     fault_key_mismatch, 0},
    {"stream, ninth step fails", 50000, failing_encrypt_step, 9, false, 992, result_stream,
     fault_key_mismatch, 0},
};

outcome run_step_case(const step_case& c, const temp_dir& dir, const bytes& input) {
    write_file(dir.file("in"), input);
    step_calls = 0;
    fail_at = c.failing_call;
    end_calls = 0;
    const bool encrypting = c.step == failing_encrypt_step;
    const stream_end_fn end = encrypting ? encrypt_end : counted_end;
    auto start = [&](cipher_stream* stream) {
        if (encrypting) encrypt_init(stream, "k");
    };
    if (c.in_place)
        return run_in_place(dir.file("in"), [&](int fd) {
            cipher_stream stream{};
            start(&stream);
            return code_of(pump_fd_in_place({&stream, c.step, end}, {fd, encrypting ? 32 : 0}));
        });
    return run_through_files(dir.file("in"), dir.file("out"), [&](std::FILE* in, std::FILE* out) {
        cipher_stream stream{};
        start(&stream);
        return code_of(pump_file({&stream, c.step, end}, {in, out}));
    });
}

// With chunks of the plain driver's buffer size both ways read and write the
// same pieces, so a failure leaves the same bytes behind.
TEST(overlap, a_failing_step_or_an_overrunning_stream_leaves_what_it_leaves_without_it) {
    const temp_dir dir;
    for (const step_case& c : step_cases) {
        SCOPED_TRACE(c.what);
        const fixed_nonce nonce(3);
        const bytes input = random_bytes(c.length, 8);
        outcome reference;
        {
            const overlap_guard plain(without);
            reference = run_step_case(c, dir, input);
        }
        EXPECT_EQ(reference.result, c.result);
        EXPECT_EQ(reference.fault, c.fault);
        EXPECT_EQ(end_calls, c.ends);
        if (c.in_place && c.failing_call == 1) {
            EXPECT_EQ(reference.content, input) << "a rejected file was written to";
        }
        const overlap_guard overlapped({overlap_choice::always, c.chunk});
        EXPECT_EQ(run_step_case(c, dir, input), reference);
        EXPECT_EQ(end_calls, c.ends);
    }
}

// ---- Signals a failing write brings on --------------------------------------------

struct signal_case {
    const char* what;
    int signal_number;
    int error; // of the write, when the signal is ignored
};

const signal_case signal_cases[] = {
    {"a pipe without a reader", SIGPIPE, EPIPE},
    {"past the file-size limit", SIGXFSZ, EFBIG},
};

// In a child: encrypts 200 KB into a pipe whose reader has gone, or into a
// file under a 10000-byte limit. Ends with status 0 when the driver
// reported the write's error, 1 otherwise; the signal's default action
// ends it first.
[[noreturn]] void write_into_trouble(const signal_case& c, const std::string& in_path,
                                     const std::string& out_path, bool ignored) {
    if (ignored)
        signal(c.signal_number, SIG_IGN);
    else
        signal(c.signal_number, SIG_DFL);
    std::FILE* out = nullptr;
    if (c.signal_number == SIGPIPE) {
        int ends[2];
        if (pipe(ends) != 0) _exit(2);
        close(ends[0]);
        out = fdopen(ends[1], "wb");
    } else {
        const rlimit no_core{0, 0};
        setrlimit(RLIMIT_CORE, &no_core);
        const rlimit limit{10000, 10000};
        setrlimit(RLIMIT_FSIZE, &limit);
        out = std::fopen(out_path.c_str(), "wb");
    }
    std::FILE* in = std::fopen(in_path.c_str(), "rb");
    if (in == nullptr || out == nullptr) _exit(2);
    cipher_stream stream{};
    encrypt_init(&stream, "k");
    const stream_result result = pump_file({&stream, encrypt_step, encrypt_end}, {in, out});
    _exit(result.code == result_io && result.detail == c.error ? 0 : 1);
}

TEST(overlap_signals, a_signal_brought_on_by_the_helpers_write_acts_as_without_it) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Each child runs this body again and never returns from it: it works
    // in the parent's directory rather than make one nobody removes.
    std::optional<temp_dir> owned;
    const char* inherited = std::getenv("OSTREL_SIGNAL_TEST_DIR");
    if (!inherited) {
        owned.emplace();
        setenv("OSTREL_SIGNAL_TEST_DIR", owned->path.c_str(), 1);
    }
    const std::string dir = inherited ? inherited : owned->path;
    const std::string in = dir + "/in", out = dir + "/out";
    if (!inherited) write_file(in, random_bytes(200000, 4));
    for (const signal_case& c : signal_cases) {
        SCOPED_TRACE(c.what);
        for (const overlap_setting setting :
             {without, overlap_setting{overlap_choice::always, 4096}}) {
            const overlap_guard guard(setting);
            EXPECT_EXIT(write_into_trouble(c, in, out, false),
                        testing::KilledBySignal(c.signal_number), "");
            EXPECT_EXIT(write_into_trouble(c, in, out, true), testing::ExitedWithCode(0), "");
        }
    }
    if (owned) unsetenv("OSTREL_SIGNAL_TEST_DIR");
}

// ---- Terminals -------------------------------------------------------------------

// A terminal as output keeps the plain loop: a background job's write to
// its terminal must stop the process, which a helper that blocks every
// signal would not let happen. Seen from outside: the plain loop writes
// through the stream's buffer, the helper past it, so before the caller
// flushes, a terminal has received nothing and a regular file everything.
struct terminal_case {
    const char* what;
    bool terminal;
    bool written_before_flush;
};
const terminal_case terminal_cases[] = {
    {"a terminal", true, false},
    {"a regular file", false, true},
};

// Bytes waiting on the master side of a pseudo-terminal, without blocking.
bytes drain(int master) {
    bytes got;
    std::uint8_t buffer[4096];
    pollfd ready{master, POLLIN, 0};
    while (poll(&ready, 1, 100) == 1 && (ready.revents & POLLIN) != 0) {
        const ssize_t n = read(master, buffer, sizeof buffer);
        if (n <= 0) break;
        got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

TEST(overlap, a_terminal_as_output_keeps_the_plain_loop) {
    const temp_dir dir;
    const bytes plain = random_bytes(3000, 9); // output fits a terminal's queue
    write_file(dir.file("in"), plain);
    const overlap_guard always({overlap_choice::always, 1024});
    for (const terminal_case& c : terminal_cases) {
        SCOPED_TRACE(c.what);
        int master = -1;
        int out_fd = -1;
        if (c.terminal) {
            master = posix_openpt(O_RDWR | O_NOCTTY);
            ASSERT_GE(master, 0);
            ASSERT_EQ(grantpt(master), 0);
            ASSERT_EQ(unlockpt(master), 0);
            out_fd = open(ptsname(master), O_RDWR | O_NOCTTY);
            termios raw{};
            ASSERT_EQ(tcgetattr(out_fd, &raw), 0);
            cfmakeraw(&raw);
            ASSERT_EQ(tcsetattr(out_fd, TCSANOW, &raw), 0);
        } else {
            out_fd = open(dir.file("out").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
        }
        ASSERT_GE(out_fd, 0);
        const fd_guard master_guard{master};
        std::FILE* out = fdopen(out_fd, "w");
        std::FILE* in = std::fopen(dir.file("in").c_str(), "rb");
        ASSERT_NE(out, nullptr);
        ASSERT_NE(in, nullptr);
        const file_guard out_guard{out};
        const file_guard in_guard{in};
        // A buffer of its own: given none, stdio would take the terminal's
        // 1024-byte block size and write before the flush after all.
        static char buffer[1 << 16];
        ASSERT_EQ(setvbuf(out, buffer, _IOFBF, sizeof buffer), 0);

        cipher_stream stream{};
        encrypt_init(&stream, "k");
        ASSERT_TRUE(pump_file({&stream, encrypt_step, encrypt_end}, {in, out}).ok());
        bytes sealed = c.terminal ? drain(master) : read_file(dir.file("out"));
        EXPECT_EQ(!sealed.empty(), c.written_before_flush) << sealed.size() << " bytes";

        ASSERT_EQ(std::fflush(out), 0);
        sealed = c.terminal ? drain(master) : read_file(dir.file("out"));
        EXPECT_EQ(decrypt_bytes("k", sealed).output, plain);
    }
}

} // namespace
