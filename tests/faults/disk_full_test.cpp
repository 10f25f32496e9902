// A file system that fills up while the program writes: in place, through a
// temporary file, and as a filter. Nothing is reported as success, the
// message names the file and the system's error, and only the file being
// written is touched: in place and with a temporary file, the input stays
// byte for byte as it was.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <iostream>

#include "engine/io_overlap.h"
#include "faults/fault_support.h"

namespace {

using faults::small_fs;

// Which way of filling the file system ran, for the test log.
void say_which(const small_fs& fs) {
    std::cout << (fs.mounted ? "[ fs       ] tmpfs of 64 KiB mounted: writes fail with ENOSPC\n"
                             : "[ fs       ] mounting not permitted: a file-size limit makes "
                               "writes fail with EFBIG\n");
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
    if (fs.mounted)
        fs.fill("filler");
    else
        faults::limit_file_size(o, original.size());
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

namespace {

// A sparse file whose holes need more room than the file system has: its
// blocks are reserved before anything is overwritten, so the run fails
// first and the file stays as it was, in every mode that writes in place.
TEST(DiskFull, SparseFileLargerThanTheFreeSpaceIsLeftAsItWas) {
    small_fs fs(64 * 1024);
    if (!fs.mounted)
        GTEST_SKIP() << "needs root to mount a small tmpfs (a file-size limit cannot fill holes)";
    struct mode_case {
        std::vector<std::string> options;
        bool encrypted;
    };
    const mode_case modes[] = {{{}, false}, {{"-d"}, true}, {{"-x", "-H", "new"}, true}};
    for (const mode_case& m : modes) {
        // 1 MiB, of which only the start is written: 16 times the room.
        std::string start = harness::random_bytes(4096, 8);
        if (m.encrypted) {
            start = faults::encrypt(start, "key");
        }
        const std::string name = m.encrypted ? "sparse.osl" : "sparse";
        harness::write_file(fs / name, start);
        ASSERT_EQ(truncate((fs / name).c_str(), 1 << 20), 0);
        const std::string original = harness::read_file(fs / name);
        harness::run_options o;
        o.args = m.options;
        o.args.insert(o.args.end(), {"-K", "key", name});
        o.cwd = fs.path;
        auto r = harness::run(o);
        EXPECT_EQ(r.status, 3) << r.err;
        EXPECT_EQ(r.err, "ostrel: " + name + ": " + faults::error_text(ENOSPC) + "\n");
        EXPECT_EQ(faults::listing(fs.path), std::set<std::string>{name});
        EXPECT_TRUE(harness::read_file(fs / name) == original) << name << " was changed";
        struct stat st {};
        ASSERT_EQ(stat((fs / name).c_str(), &st), 0);
        EXPECT_LT(st.st_blocks * 512, 1 << 20) << "the reserved blocks were kept";
        ASSERT_EQ(unlink((fs / name).c_str()), 0);
    }
}

// Space that cannot be reserved: only a lack of it fails the file, which
// stays as it was; a file system that cannot reserve, or an interrupted
// reservation, leaves the run to go on as without.
TEST(DiskFull, OnlyALackOfSpaceToReserveFailsTheFile) {
    for (const int error : {ENOSPC, EDQUOT, EOPNOTSUPP, EINTR}) {
        SCOPED_TRACE(faults::error_text(error));
        harness::temp_dir dir;
        harness::write_file(dir / "f", harness::random_bytes(4096, 10));
        ASSERT_EQ(truncate((dir / "f").c_str(), 100000), 0);
        struct stat st {};
        ASSERT_EQ(stat((dir / "f").c_str(), &st), 0);
        if (st.st_blocks * 512 >= st.st_size) GTEST_SKIP() << "this file system keeps no holes";
        const std::string original = harness::read_file(dir / "f");
        harness::run_options o;
        o.args = {"-K", "key", "f"};
        o.cwd = dir.path;
        faults::fault f = faults::failing("posix_fallocate", dir / "f");
        f.error = error;
        faults::inject(o, f);
        auto r = harness::run(o);
        if (error == ENOSPC || error == EDQUOT) {
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, "ostrel: f: " + faults::error_text(error) + "\n");
            EXPECT_TRUE(harness::read_file(dir / "f") == original);
            continue;
        }
        EXPECT_EQ(r.status, 0) << r.err;
        bool ok = false;
        EXPECT_TRUE(faults::decrypt(harness::read_file(dir / "f.osl"), "key", &ok) == original &&
                    ok);
    }
}

// Another writer appends to the file, or cuts it short, while it is
// encrypted in place: the file is not cut to the encryption's end, the run
// fails it with status 3, and the file keeps its name. After an append it
// holds the complete encryption of what it held at the start, followed by
// the appended bytes. The same whether the plain loop or the helper thread
// writes the file; the cut comes at the first write, when the helper has
// not yet read the file's last chunks, or at the fourth, once all is read
// (a cut the next write would fill again with a hole of zeros).
TEST(Growth, AFileAppendedToOrCutWhileEncryptedInPlaceIsReported) {
    const std::size_t lengths[] = {50000, overlap_threshold_chunks * overlap_chunk_default + 1234};
    const std::pair<std::string, int> actions[] = {{"append", 3}, {"truncate", 1}, {"truncate", 4}};
    for (const auto& [action, nth] : actions) {
        for (const std::size_t length : lengths) {
            SCOPED_TRACE(action + " at write " + std::to_string(nth) + ", " +
                         std::to_string(length));
            harness::temp_dir dir;
            const std::string plain = harness::random_bytes(length, 9);
            harness::write_file(dir / "log", plain);
            harness::run_options o;
            o.args = {"-K", "key", "log"};
            o.cwd = dir.path;
            faults::fault f = faults::failing("write", dir / "log", nth);
            f.action = action;
            faults::inject(o, f);
            auto r = harness::run(o);
            EXPECT_EQ(r.status, 3);
            EXPECT_EQ(r.err, "ostrel: log: changed size while being processed\n");
            EXPECT_EQ(faults::listing(dir.path), std::set<std::string>{"log"});
            const std::string after = harness::read_file(dir / "log");
            if (action == "truncate") {
                // A late cut is filled again by the writes after it.
                if (nth == 1) {
                    EXPECT_LT(after.size(), plain.size() + 32);
                }
                continue;
            }
            const std::string appended = "appended by another writer\n";
            ASSERT_EQ(after.size(), plain.size() + 32 + appended.size());
            EXPECT_EQ(after.substr(plain.size() + 32), appended);
            bool ok = false;
            EXPECT_TRUE(faults::decrypt(after.substr(0, plain.size() + 32), "key", &ok) == plain &&
                        ok);
        }
    }
}

} // namespace
