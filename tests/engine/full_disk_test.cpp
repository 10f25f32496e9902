// In-place encryption makes a file 32 bytes longer. When those bytes cannot
// be had (file-size limit, full file system) the encryption must fail before
// the first byte is overwritten, leaving the file as it was, rather than
// failing at the last write with the file's tail already lost.
//
// Each case runs in a forked child, which is where the limit or the private
// mount lives; the child reports through a pipe.

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "engine/engine.h"
#include "engine/stream_runner.h"
#include "engine/testing.h"
#include "tests/support/stream_ops.h"

namespace {

using namespace engine_test;

struct outcome {
    int result = 0;
    int error = 0;
    int unchanged = 0;  // content and length as before the call
    long length = 0;    // length after the call
    int round_trip = 0; // decrypting afterwards restored the plaintext
    int skipped = 0;    // the environment does not allow the case
    char reason[160] = {};
};

// Runs `body` in a child and returns what it wrote into its outcome.
outcome in_child(const std::function<void(outcome&)>& body) {
    int channel[2];
    if (pipe(channel) != 0) throw std::runtime_error("pipe failed");
    const pid_t pid = fork();
    if (pid == 0) {
        close(channel[0]);
        outcome o;
        body(o);
        (void)!write(channel[1], &o, sizeof o);
        _exit(0);
    }
    close(channel[1]);
    outcome o;
    const ssize_t n = read(channel[0], &o, sizeof o);
    close(channel[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (n != static_cast<ssize_t>(sizeof o) || !WIFEXITED(status))
        throw std::runtime_error("child failed");
    return o;
}

bool same_file(const std::string& path, const bytes& content) {
    try {
        return read_file(path) == content;
    } catch (const std::exception&) {
        return false;
    }
}

// Encrypts `path` in place and records the result; on success decrypts it
// again to check the round trip.
void encrypt_and_check(const std::string& path, const bytes& content, outcome& o) {
    const int fd = open(path.c_str(), O_RDWR);
    errno = 0;
    o.result = encrypt_in_place(fd, "full disk");
    o.error = errno;
    struct stat info;
    fstat(fd, &info);
    o.length = static_cast<long>(info.st_size);
    close(fd);
    o.unchanged = same_file(path, content);
    if (o.result == 0) {
        const int again = open(path.c_str(), O_RDWR);
        o.round_trip = decrypt_in_place(again, "full disk") == 0;
        close(again);
        o.round_trip = o.round_trip && same_file(path, content);
    }
}

TEST(full_disk, file_size_limit) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const struct {
        std::size_t length;
        long room; // bytes the limit allows beyond the current length
    } cases[] = {{0, 0},      {5000, 0},  {10240, 0},  {25000, 0},  {5000, 10},
                 {25000, 31}, {5000, 32}, {10240, 32}, {25000, 100}};
    for (const auto& c : cases) {
        SCOPED_TRACE("length " + std::to_string(c.length) + " room " + std::to_string(c.room));
        const bytes content = random_bytes(c.length, static_cast<std::uint32_t>(c.length));
        write_file(path, content);
        const outcome o = in_child([&](outcome& out) {
            signal(SIGXFSZ, SIG_IGN);
            const rlim_t limit = static_cast<rlim_t>(c.length) + static_cast<rlim_t>(c.room);
            const rlimit fsize{limit, limit};
            setrlimit(RLIMIT_FSIZE, &fsize);
            encrypt_and_check(path, content, out);
        });
        if (c.room < 32) {
            EXPECT_EQ(o.result, -3);
            EXPECT_EQ(o.error, EFBIG);
            EXPECT_TRUE(o.unchanged);
            EXPECT_EQ(o.length, static_cast<long>(c.length));
        } else {
            EXPECT_EQ(o.result, 0);
            EXPECT_EQ(o.length, static_cast<long>(c.length) + 32);
            EXPECT_TRUE(o.round_trip);
        }
    }
}

// A key change keeps the length, so it needs no room at all.
TEST(full_disk, key_change_needs_no_room) {
    const temp_dir dir;
    const std::string path = dir.file("f");
    const bytes plain = random_bytes(15000, 6);
    write_file(path, encrypt_bytes("old", plain).output);
    const outcome o = in_child([&](outcome& out) {
        signal(SIGXFSZ, SIG_IGN);
        const rlim_t limit = plain.size() + 32;
        const rlimit fsize{limit, limit};
        setrlimit(RLIMIT_FSIZE, &fsize);
        const int fd = open(path.c_str(), O_RDWR);
        out.result = keychange_in_place(fd, "old", "new");
        close(fd);
    });
    EXPECT_EQ(o.result, 0);
    EXPECT_EQ(decrypt_bytes("new", read_file(path)).output, plain);
}

// A tiny tmpfs filled up to the last page: the 32 extra bytes need one more
// page. Needs the right to mount (root with CAP_SYS_ADMIN); the mount lives
// in a private mount namespace of the child and vanishes with it.
TEST(full_disk, full_file_system) {
    const temp_dir dir;
    const std::string mount_point = dir.file("mnt");
    ASSERT_EQ(mkdir(mount_point.c_str(), 0700), 0);
    const bytes content = random_bytes(8192, 77); // exactly two pages

    const outcome o = in_child([&](outcome& out) {
        auto skip = [&](const char* what) {
            out.skipped = 1;
            std::snprintf(out.reason, sizeof out.reason, "%s: %s", what, std::strerror(errno));
        };
        if (unshare(CLONE_NEWNS) != 0) return skip("unshare(CLONE_NEWNS)");
        if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
            return skip("making mounts private");
        if (mount("tmpfs", mount_point.c_str(), "tmpfs", 0, "size=64k") != 0)
            return skip("mount -t tmpfs");

        const std::string target = mount_point + "/target";
        const std::string filler = mount_point + "/filler";
        write_file(target, content);
        const int fill = open(filler.c_str(), O_WRONLY | O_CREAT, 0600);
        static const std::uint8_t page[4096] = {};
        while (write(fill, page, sizeof page) > 0) {}
        while (write(fill, page, 1) > 0) {}
        close(fill);

        encrypt_and_check(target, content, out);
        if (out.result != -3) return;
        // With room again the same file encrypts and decrypts.
        unlink(filler.c_str());
        outcome second;
        encrypt_and_check(target, content, second);
        out.round_trip = second.result == 0 && second.round_trip && second.length == 8192 + 32;
    });
    if (o.skipped) GTEST_SKIP() << "cannot mount a small tmpfs here (" << o.reason << ")";
    EXPECT_EQ(o.result, -3);
    EXPECT_EQ(o.error, ENOSPC);
    EXPECT_TRUE(o.unchanged);
    EXPECT_EQ(o.length, 8192);
    EXPECT_TRUE(o.round_trip);
}

} // namespace
