// Read, write, sync and close errors on the file being transformed, made by
// the preloaded interposer. Every failure is reported with the file's name and
// the system's text and ends the run with status 3; where nothing had been
// overwritten yet the file is byte for byte as it was, and a temporary or
// new output file is removed.
#include <gtest/gtest.h>

#include "faults/fault_support.h"

namespace {

const std::string key = "key";
const std::string eio = "Input/output error";

struct io_case {
    const char* title;
    std::vector<std::string> options; // mode and way of writing
    bool encrypted_input;             // the file holds an encryption of the data
    const char* op;
    const char* target; // the file whose calls fail: "input" or "output"
    int nth;
};

// Failures that come before anything is overwritten or renamed.
const io_case untouched_cases[] = {
    {"in place, first read", {}, false, "read", "input", 1},
    {"in place, securing the header's room", {}, false, "pwrite", "input", 1},
    {"in place, first write", {}, false, "write", "input", 1},
    {"in place decryption, first read", {"-d"}, true, "read", "input", 1},
    {"in place decryption, first write", {"-d"}, true, "write", "input", 1},
    {"in place key change, first write", {"-x", "-H", "new"}, true, "write", "input", 1},
    {"temporary file, read", {"-T"}, false, "fread", "input", 1},
    {"temporary file, write", {"-T"}, false, "fwrite", "output", 1},
    {"temporary file, close", {"-T"}, false, "fclose", "output", 1},
    {"temporary file, syncing the result", {"-T"}, false, "fsync", "output", 1},
    {"temporary file key change, syncing the result",
     {"-T", "-x", "-H", "new"},
     true,
     "fsync",
     "output",
     1},
    {"temporary file decryption, write", {"-T", "-d"}, true, "fwrite", "output", 1},
    {"temporary file key change, close", {"-T", "-x", "-H", "new"}, true, "fclose", "output", 1},
};

void PrintTo(const io_case& c, std::ostream* out) { *out << c.title; }

class UntouchedOnIoError : public testing::TestWithParam<io_case> {};

TEST_P(UntouchedOnIoError, ReportsAndLeavesTheInputAsItWas) {
    const io_case& c = GetParam();
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(50000, 4);
    std::string input_name = "a.txt";
    std::string content = plain;
    if (c.encrypted_input) {
        input_name = "a.txt.osl";
        content = faults::encrypt(plain, key);
        ASSERT_EQ(content.size(), plain.size() + 32);
    }
    harness::write_file(dir / input_name, content);

    // The result is written under a temporary name beside the output name.
    const std::string output_path = faults::temporary_glob(dir.path, c.options, input_name);

    harness::run_options o;
    o.args = c.options;
    o.args.insert(o.args.end(), {"-K", key, input_name});
    o.cwd = dir.path;
    faults::inject(
        o, faults::failing(c.op, std::string(c.target) == "input" ? dir / input_name : output_path,
                           c.nth));

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: " + input_name + ": " + eio + "\n");
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{input_name});
    EXPECT_TRUE(harness::read_file(dir / input_name) == content) << input_name << " was changed";
}

INSTANTIATE_TEST_SUITE_P(Faults, UntouchedOnIoError, testing::ValuesIn(untouched_cases),
                         [](const auto& info) { return faults::case_name(info.param.title); });

// A read error in the middle of in-place encryption. The driver writes
// behind its reads, and the result is 32 bytes longer than the input, so
// at that moment the file holds the encrypted start (header included), the
// untouched rest, and the 32 bytes secured at the end; the 32 input bytes
// between the two parts were only in memory. They are lost: this is the
// documented cost of writing in place, and the message says the run failed.
TEST(InPlaceIoError, ReadErrorMidwayLeavesEncryptedStartAndOriginalRest) {
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(50000, 5);
    harness::write_file(dir / "a.txt", plain);
    harness::run_options o;
    o.args = {"-K", key, "a.txt"};
    o.cwd = dir.path;
    // Reads 1 and 2 fill the first two 10240-byte buffers; the first 10272
    // bytes of output go out between them.
    faults::inject(o, faults::failing("read", dir / "a.txt", 3));

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: a.txt: " + eio + "\n");
    EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{"a.txt"});
    const std::string after = harness::read_file(dir / "a.txt");
    ASSERT_EQ(after.size(), plain.size() + 32);
    bool ok = false;
    EXPECT_TRUE(faults::decrypt(after.substr(0, 10272), key, &ok) == plain.substr(0, 10240));
    EXPECT_TRUE(ok);
    EXPECT_TRUE(after.substr(10272, plain.size() - 10272) == plain.substr(10272));
    EXPECT_EQ(after.substr(plain.size()), std::string(32, '\0'));
}

// close() reports a deferred write error after a complete transformation:
// the run stops with status 3 before the rename, so the file holds its whole
// encryption under the old name. Nothing is lost; the name is not yet the
// output name, and the message says so.
TEST(InPlaceIoError, CloseErrorStopsBeforeTheRename) {
    harness::temp_dir dir;
    const std::string plain = harness::random_bytes(30000, 6);
    harness::write_file(dir / "a.txt", plain);
    harness::write_file(dir / "b.txt", "next file, never reached");
    harness::run_options o;
    // One after the other: side by side, b.txt would be in flight already.
    o.args = {"-j1", "-K", key, "a.txt", "b.txt"};
    o.cwd = dir.path;
    faults::inject(o, faults::failing("close", dir / "a.txt"));

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: a.txt: " + eio + "\n");
    EXPECT_EQ(faults::listing(dir.path), (std::set<std::string>{"a.txt", "b.txt"}));
    bool ok = false;
    EXPECT_TRUE(faults::decrypt(harness::read_file(dir / "a.txt"), key, &ok) == plain);
    EXPECT_TRUE(ok);
    EXPECT_EQ(harness::read_file(dir / "b.txt"), "next file, never reached");
}

// The filter's output fails: status 3 and the system's text, no success.
TEST(FilterIoError, WriteErrorOnStandardOutput) {
    harness::run_options o;
    o.args = {"-K", key};
    o.input = harness::random_bytes(5000, 7);
    o.stdout_path = "/dev/full";
    auto r = harness::run(o);
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: No space left on device\n");
}

} // namespace
