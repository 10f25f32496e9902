// A file system that fills up while the program writes: in place, through a
// temporary file, and as a filter. Nothing is reported as success, the
// message names the file and the system's error, and only the file being
// written is touched: in place and with a temporary file, the input stays
// byte for byte as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iostream>

#include "faults/fault_support.h"

namespace {

using faults::small_fs;

// Which way of filling the file system ran, for the test log.
void say_which(const small_fs& fs) {
    std::cout << (fs.mounted ? "[ fs       ] tmpfs of 64 KiB mounted: writes fail with ENOSPC\n"
                             : "[ fs       ] mounting not permitted: a file-size limit makes writes fail with EFBIG\n");
}

struct stamp {
    off_t size;
    time_t mtime;
    mode_t mode;
};

stamp stamp_of(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return {st.st_size, st.st_mtime, st.st_mode};
}

TEST(DiskFull, InPlaceEncryptionLeavesTheFileAsItWas) {
    small_fs fs(64 * 1024);
    say_which(fs);
    // A file that ends on a page boundary: the 32 bytes the header adds need
    // one page more than the file system has.
    const std::string original = harness::random_bytes(40960, 1);
    harness::write_file(fs / "data.bin", original);
    harness::run_options o;
    o.args = {"-K", "key", "data.bin"};
    o.cwd = fs.path;
    if (fs.mounted) fs.fill("filler");
    else faults::limit_file_size(o, original.size());
    const std::set<std::string> before = faults::listing(fs.path);
    const stamp data_before = stamp_of(fs / "data.bin");
    const std::string filler = harness::read_file(fs / "filler");

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: data.bin: " + faults::error_text(fs.full_error()) + "\n");
    EXPECT_EQ(faults::listing(fs.path), before);
    EXPECT_TRUE(harness::read_file(fs / "data.bin") == original) << "data.bin was changed";
    const stamp data_after = stamp_of(fs / "data.bin");
    EXPECT_EQ(data_after.size, data_before.size);
    EXPECT_EQ(data_after.mtime, data_before.mtime);
    EXPECT_EQ(data_after.mode, data_before.mode);
    EXPECT_TRUE(harness::read_file(fs / "filler") == filler);
}

TEST(DiskFull, TemporaryFileWritingKeepsTheInputAndRemovesThePartialOutput) {
    small_fs fs(64 * 1024);
    say_which(fs);
    // 10 pages of input leave 6 free: the 41 KiB result cannot be written.
    const std::string original = harness::random_bytes(40960, 2);
    harness::write_file(fs / "data.bin", original);
    harness::run_options o;
    o.args = {"-T", "-K", "key", "data.bin"};
    o.cwd = fs.path;
    if (!fs.mounted) faults::limit_file_size(o, 20000);

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: data.bin: " + faults::error_text(fs.full_error()) + "\n");
    EXPECT_EQ(faults::listing(fs.path), std::set<std::string>{"data.bin"});
    EXPECT_TRUE(harness::read_file(fs / "data.bin") == original);
}

TEST(DiskFull, FilterOutputFailsWithStatus3) {
    small_fs fs(64 * 1024);
    say_which(fs);
    harness::write_file(fs / "out.osl", "");
    harness::run_options o;
    o.args = {"-K", "key"};
    o.input = harness::random_bytes(300000, 3);
    o.stdout_path = fs / "out.osl";
    if (!fs.mounted) faults::limit_file_size(o, 65536);

    auto r = harness::run(o);

    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.err, "ostrel: " + faults::error_text(fs.full_error()) + "\n");
    // What did get out is the start of a valid stream: its header and body
    // decrypt under the key, as far as they go.
    const std::string written = harness::read_file(fs / "out.osl");
    ASSERT_GE(written.size(), 32u);
    EXPECT_LE(written.size(), 65536u);
    bool ok = false;
    const std::string plain = faults::decrypt(written, "key", &ok);
    EXPECT_TRUE(ok);
    EXPECT_TRUE(plain == o.input.substr(0, plain.size()));
    EXPECT_EQ(faults::listing(fs.path), std::set<std::string>{"out.osl"});
}

} // namespace
