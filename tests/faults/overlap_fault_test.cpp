// Files long enough that the program reads and writes them on its helper
// thread (engine/io_overlap.h): failures injected in the helper's own calls,
// interrupted and short calls, interrupts while it works, a closed pipe and
// another writer. Each must end as it does for a file read and written
// without the helper: the same message, status and bytes left behind.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "engine/io_overlap.h"
#include "faults/fault_support.h"

namespace {

const std::string key = "key";
const std::string eio = "Input/output error";
constexpr std::size_t chunk = overlap_chunk_default;
// Past the length at which a helper is used, and not a multiple of a chunk.
constexpr std::size_t long_length = 3 * 1024 * 1024 + 1234;
// The stream driver hands over after this many of its 992-byte reads.
constexpr int plain_stream_calls = int((overlap_threshold_chunks * chunk + 991) / 992);

const std::string& long_plain() {
    static const std::string plain = harness::random_bytes(long_length, 61);
    return plain;
}

// ---- A failing call of the helper before anything is overwritten -----------

struct untouched_case {
    const char* title;
    std::vector<std::string> options;
    bool encrypted_input;
    const char* op;
    bool on_output; // the temporary file's calls, else the input's
    int nth;
};

void PrintTo(const untouched_case& c, std::ostream* out) { *out << c.title; }

const untouched_case untouched_cases[] = {
    {"in place, the helper's first read", {}, false, "read", false, 1},
    {"in place, the helper's first write", {}, false, "write", false, 1},
    {"in place decryption, the helper's first read", {"-d"}, true, "read", false, 1},
    {"in place decryption, the helper's first write", {"-d"}, true, "write", false, 1},
    {"in place key change, the helper's first write", {"-x", "-H", "new"}, true, "write", false, 1},
    // Through a temporary file the helper first takes what stdio has read
    // ahead, then reads the descriptor; it first flushes what stdio holds
    // of the output, then writes the descriptor.
    {"temporary file, the helper's read of what stdio holds",
     {"-T"},
     false,
     "fread",
     false,
     plain_stream_calls + 1},
    {"temporary file, the helper's first read", {"-T"}, false, "read", false, 1},
    {"temporary file, a later read of the helper", {"-T"}, false, "read", false, 3},
    {"temporary file, the helper's flush of what stdio holds", {"-T"}, false, "fflush", true, 1},
    {"temporary file, the helper's first write", {"-T"}, false, "write", true, 1},
    {"temporary file decryption, a later write of the helper",
     {"-T", "-d"},
     true,
     "write",
     true,
     3},
};

class HelperFault : public testing::TestWithParam<untouched_case> {};

TEST_P(HelperFault, IsReportedAndLeavesTheInputAsItWas) {
    const untouched_case& c = GetParam();
    harness::temp_dir dir;
    const std::string input_name = c.encrypted_input ? "a.txt.osl" : "a.txt";
    const std::string content =
        c.encrypted_input ? faults::encrypt(long_plain(), key) : long_plain();
    harness::write_file(dir / input_name, content);
    const std::string output_glob = faults::temporary_glob(dir.path, c.options, input_name);

    harness::run_options o;
    o.args = c.options;
    o.args.insert(o.args.end(), {"-K", key, input_name});
    o.cwd = dir.path;
    faults::inject(o, faults::failing(c.op, c.on_output ? output_glob : dir / input_name, c.nth));
    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: " + input_name + ": " + eio + "\n");
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{input_name});
    EXPECT_TRUE(harness::read_file(dir / input_name) == content) << input_name << " was changed";
}

INSTANTIATE_TEST_SUITE_P(Faults, HelperFault, testing::ValuesIn(untouched_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

// ---- A failing call of the helper in the middle of writing in place ---------

struct midway_case {
    const char* title;
    const char* op;
    int nth;
};

// Either way only the first chunk's output was written: after a failing
// third read, because the second chunk's output waits for the third read;
// after a failing second write, because that write was the second chunk's.
void PrintTo(const midway_case& c, std::ostream* out) { *out << c.title; }

const midway_case midway_cases[] = {
    {"the third read", "read", 3},
    {"the second write", "write", 2},
};

class HelperFaultMidway : public testing::TestWithParam<midway_case> {};

TEST_P(HelperFaultMidway, LeavesTheEncryptedStartAndTheOriginalRest) {
    const midway_case& c = GetParam();
    harness::temp_dir dir;
    const std::string& plain = long_plain();
    harness::write_file(dir / "a.txt", plain);
    harness::run_options o;
    o.args = {"-K", key, "a.txt"};
    o.cwd = dir.path;
    faults::inject(o, faults::failing(c.op, dir / "a.txt", c.nth));
    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: a.txt: " + eio + "\n");
    const std::string after = harness::read_file(dir / "a.txt");
    ASSERT_EQ(after.size(), plain.size() + 32);
    bool ok = false;
    EXPECT_TRUE(faults::decrypt(after.substr(0, chunk + 32), key, &ok) == plain.substr(0, chunk));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(after.substr(chunk + 32, plain.size() - chunk - 32) == plain.substr(chunk + 32));
    EXPECT_EQ(after.substr(plain.size()), std::string(32, '\0'));
}

INSTANTIATE_TEST_SUITE_P(Faults, HelperFaultMidway, testing::ValuesIn(midway_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

// ---- Interrupted and short calls ---------------------------------------------------

struct whole_case {
    const char* title;
    std::vector<std::string> options;
    bool encrypted_input;
    bool filter; // standard input to standard output
};

void PrintTo(const whole_case& c, std::ostream* out) { *out << c.title; }

const whole_case whole_cases[] = {
    {"in place encryption", {}, false, false},
    {"in place decryption", {"-d"}, true, false},
    {"temporary file encryption", {"-T"}, false, false},
    {"temporary file decryption", {"-T", "-d"}, true, false},
    {"filter encryption", {}, false, true},
    {"filter decryption", {"-d"}, true, true},
};

class HelperShortCalls : public testing::TestWithParam<whole_case> {};

// Every read and write moves at most 65537 bytes, and the first of each kind
// fails with EINTR: the result is complete all the same.
TEST_P(HelperShortCalls, GiveTheWholeResult) {
    const whole_case& c = GetParam();
    harness::temp_dir dir;
    const std::string& plain = long_plain();
    const std::string content = c.encrypted_input ? faults::encrypt(plain, key) : plain;
    const std::string input = c.encrypted_input ? "a.osl" : "a";
    const std::string output = c.encrypted_input ? "a" : "a.osl";
    harness::write_file(dir / input, content);
    harness::run_options o;
    o.args = c.options;
    o.args.insert(o.args.end(), {"-K", key});
    o.cwd = dir.path;
    if (c.filter) {
        o.stdin_path = dir / input;
        harness::write_file(dir / "out", "");
        o.stdout_path = dir / "out";
    } else {
        o.args.push_back(input);
    }
    o.env_set = {{"LD_PRELOAD", OSTREL_FAULT_INTERPOSER},
                 {"OSTREL_SHORT_IO", "65537"},
                 {"OSTREL_EINTR", "1"},
                 {"ASAN_OPTIONS",
                  std::string(std::getenv("ASAN_OPTIONS") ? std::getenv("ASAN_OPTIONS") : "") +
                      ":verify_asan_link_order=0"}};
    auto r = harness::run(o);
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string result = harness::read_file(dir / (c.filter ? "out" : output));
    if (c.encrypted_input) {
        EXPECT_TRUE(result == plain);
    } else {
        bool ok = false;
        EXPECT_TRUE(faults::decrypt(result, key, &ok) == plain && ok);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, HelperShortCalls, testing::ValuesIn(whole_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

// ---- A filter whose reader has gone ---------------------------------------------

struct pipe_case {
    const char* title;
    std::size_t length; // below and above the length at which the helper starts
    bool ignored;       // SIGPIPE ignored from the start
    // The pipe stays open, and the interposer has the helper's first write
    // meet a reader that has gone: with a closed pipe, which thread writes
    // first is a matter of timing, and a signal the caller's own write
    // brings on ends the run whatever the helper does with its own.
    bool at_helper_write = false;
};

void PrintTo(const pipe_case& c, std::ostream* out) { *out << c.title; }

const pipe_case pipe_cases[] = {
    {"short input", 50000, false},
    {"long input", long_length, false},
    {"short input, SIGPIPE ignored", 50000, true},
    {"long input, SIGPIPE ignored", long_length, true},
    {"long input, the reader gone at the helper's first write", long_length, false, true},
};

class ClosedPipe : public testing::TestWithParam<pipe_case> {};

TEST_P(ClosedPipe, EndsTheFilterAsWithoutTheHelper) {
    const pipe_case& c = GetParam();
    harness::temp_dir dir;
    harness::write_file(dir / "in", long_plain().substr(0, c.length));
    harness::run_options o;
    o.args = {"-K", key};
    o.stdin_path = dir / "in";
    if (c.at_helper_write) {
        faults::fault f = faults::failing("write", "pipe:*");
        f.error = EPIPE;
        f.action = "reader_gone";
        faults::inject(o, f);
    }
    const bool ignored = c.ignored, closed = !c.at_helper_write;
    o.child_setup = [ignored, closed] {
        if (closed) {
            int ends[2];
            if (pipe(ends) != 0) _exit(125);
            close(ends[0]);
            dup2(ends[1], 1);
            close(ends[1]);
        }
        signal(SIGPIPE, ignored ? SIG_IGN : SIG_DFL);
    };
    auto r = harness::run(o);
    if (c.ignored) {
        EXPECT_EQ(r.status, 3);
        EXPECT_EQ(r.err, "ostrel: " + faults::error_text(EPIPE) + "\n");
    } else {
        EXPECT_EQ(r.signal, SIGPIPE);
        EXPECT_EQ(r.err, "");
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, ClosedPipe, testing::ValuesIn(pipe_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

// ---- Interrupts while the helper works --------------------------------------------

const std::string int_notice =
    "Interrupt - will exit after current file.\n"
    "Press CTRL-C twice to exit now (warning: this can lead to loss of data).\n";

struct interrupt_case {
    const char* title;
    std::vector<std::string> options;
    const char* action;
    const char* op; // the helper's call the signal comes before
    bool on_output;
    int nth;
    std::string err;
    bool first_done; // a is transformed; otherwise untouched
};

void PrintTo(const interrupt_case& c, std::ostream* out) { *out << c.title; }

const interrupt_case interrupt_cases[] = {
    {"in place, SIGINT at a read", {}, "sigint", "read", false, 2, int_notice, true},
    {"in place, SIGTERM at a write",
     {},
     "sigterm",
     "write",
     false,
     2,
     "ostrel: SIGTERM - will exit after current file.\n",
     true},
    {"temporary file, SIGINT at a read", {"-T"}, "sigint", "read", false, 2, "", false},
    {"temporary file, SIGTERM at a write", {"-T"}, "sigterm", "write", true, 2, "", false},
};

class HelperInterrupted : public testing::TestWithParam<interrupt_case> {};

// The signal reaches the program while its helper reads or writes: in place
// the file is finished and the run ends after it; through a temporary file
// the run ends at once and the temporary file goes. The next file is not
// started either way.
TEST_P(HelperInterrupted, EndsTheRunAsWithoutTheHelper) {
    const interrupt_case& c = GetParam();
    harness::temp_dir dir;
    const std::string& plain = long_plain();
    harness::write_file(dir / "a", plain);
    harness::write_file(dir / "b", "the next file");
    harness::run_options o;
    o.args = c.options;
    // One after the other, so that b is never started.
    o.args.insert(o.args.end(), {"-j1", "-K", key, "a", "b"});
    o.cwd = dir.path;
    faults::fault f = faults::failing(c.op, c.on_output ? dir / "a.osl.*" : dir / "a", c.nth);
    f.action = c.action;
    faults::inject(o, f);
    auto r = harness::run(o);

    EXPECT_EQ(r.status, 6);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(harness::read_file(dir / "b"), "the next file");
    if (c.first_done) {
        EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a.osl", "b"}));
        bool ok = false;
        EXPECT_TRUE(faults::decrypt(harness::read_file(dir / "a.osl"), key, &ok) == plain && ok);
    } else {
        EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a", "b"}));
        EXPECT_TRUE(harness::read_file(dir / "a") == plain);
    }
}

INSTANTIATE_TEST_SUITE_P(Faults, HelperInterrupted, testing::ValuesIn(interrupt_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

} // namespace
