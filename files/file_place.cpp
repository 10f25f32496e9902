// Entries reached through open directories: operands resolved once, opens
// checked against the decision they act on, names made safe to print. The
// messages are file_report.cpp's; nothing there calls back here.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "file_steps.h"

namespace {

bool is_control(unsigned char c) { return c < 0x20 || c == 0x7f; }

} // namespace

char* shown_text(const char* text) {
    std::size_t length = 0;
    for (const char* c = text; *c; ++c)
        length += is_control(static_cast<unsigned char>(*c)) ? 4 : 1;
    char* shown = static_cast<char*>(std::malloc(length + 1));
    if (!shown) return nullptr;
    char* out = shown;
    for (const char* c = text; *c; ++c) {
        const unsigned char byte = static_cast<unsigned char>(*c);
        if (!is_control(byte)) {
            *out++ = char(byte);
            continue;
        }
        *out++ = '\\';
        *out++ = char('0' + (byte >> 6));
        *out++ = char('0' + ((byte >> 3) & 7));
        *out++ = char('0' + (byte & 7));
    }
    *out = '\0';
    return shown;
}

namespace {

struct operand_place {
    file_place place;
    int owned_fd = -1;
    owned_text shown;
    int error = 0; // of opening the operand's directory, or ENOMEM
    explicit operand_place(const char* operand);
    ~operand_place();
    operand_place(const operand_place&) = delete;
    operand_place& operator=(const operand_place&) = delete;
};

operand_place::operand_place(const char* operand) : shown(shown_text(operand)) {
    place = file_place{AT_FDCWD, operand, shown.text, std::strlen(operand)};
    if (!shown.text) {
        error = ENOMEM;
        return;
    }
    const char* slash = std::strrchr(operand, '/');
    if (!slash) return;
    const char* last = slash + 1;
    // "dir/" names a directory whose lookup the system must do whole (a
    // trailing slash follows a link, as the user asked).
    if (*last == '\0') return;
    if (place.path_length >= PATH_MAX) return; // the lookup fails as it would for the whole path
    const std::size_t parent_length = slash == operand ? 1 : std::size_t(slash - operand);
    owned_text parent(static_cast<char*>(std::malloc(parent_length + 1)));
    if (!parent.text) {
        error = ENOMEM;
        return;
    }
    std::memcpy(parent.text, operand, parent_length);
    parent.text[parent_length] = '\0';
    // Search permission is all a lookup in it needs, as for the whole path.
    owned_fd = open(parent.text, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (owned_fd < 0) {
        error = errno;
        return;
    }
    place.dir_fd = owned_fd;
    place.name = last;
}

operand_place::~operand_place() {
    if (owned_fd >= 0) close(owned_fd);
}

} // namespace

outcome with_operand(run_context& run, const char* operand,
                     outcome (*handle)(run_context&, const file_place&)) {
    operand_place resolved(operand);
    if (resolved.error == ENOMEM) return out_of_memory(run.options);
    if (resolved.error != 0) return report_failure(run, resolved.place.shown, resolved.error);
    return handle(run, resolved.place);
}

int stat_entry(int dir_fd, const char* name, int flags, struct stat* st, file_identity* identity,
               bool* born) {
    struct statx x;
    if (statx(dir_fd, name, flags, STATX_BASIC_STATS | STATX_BTIME, &x) != 0) return errno;
    *st = {};
    st->st_dev = makedev(x.stx_dev_major, x.stx_dev_minor);
    st->st_ino = x.stx_ino;
    st->st_mode = x.stx_mode;
    st->st_nlink = x.stx_nlink;
    st->st_uid = x.stx_uid;
    st->st_gid = x.stx_gid;
    st->st_rdev = makedev(x.stx_rdev_major, x.stx_rdev_minor);
    st->st_size = off_t(x.stx_size);
    st->st_blksize = blksize_t(x.stx_blksize);
    st->st_blocks = blkcnt_t(x.stx_blocks);
    st->st_atim = timespec{time_t(x.stx_atime.tv_sec), long(x.stx_atime.tv_nsec)};
    st->st_mtim = timespec{time_t(x.stx_mtime.tv_sec), long(x.stx_mtime.tv_nsec)};
    st->st_ctim = timespec{time_t(x.stx_ctime.tv_sec), long(x.stx_ctime.tv_nsec)};
    if (identity) {
        const auto nanoseconds = [](const statx_timestamp& t) {
            return std::int64_t(t.tv_sec) * 1000000000 + t.tv_nsec;
        };
        std::int64_t stamp = 0;
        if (x.stx_mask & STATX_BTIME)
            stamp = nanoseconds(x.stx_btime);
        else if (S_ISREG(x.stx_mode))
            stamp = nanoseconds(x.stx_ctime);
        *identity = file_identity{st->st_dev, st->st_ino, stamp};
    }
    if (born) *born = (x.stx_mask & STATX_BTIME) != 0;
    return 0;
}

bool same_file(const struct stat& a, const struct stat& b) {
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino &&
           (a.st_mode & S_IFMT) == (b.st_mode & S_IFMT);
}

int open_verified(run_context& run, const file_place& place, int flags, bool follow,
                  const struct stat& decided, struct stat* opened) {
    const int fd = openat(place.dir_fd, place.name,
                          flags | O_NONBLOCK | O_CLOEXEC | O_NOCTTY | (follow ? 0 : O_NOFOLLOW));
    if (fd < 0) {
        report_failure(run, place.shown, errno);
        return -1;
    }
    if (fstat(fd, opened) != 0) {
        report_failure(run, place.shown, errno);
        close(fd);
        return -1;
    }
    if (!same_file(*opened, decided)) {
        report_changed(run, place.shown);
        close(fd);
        return -1;
    }
    // Reading and writing a regular file ignore the flag.
    if (!S_ISREG(opened->st_mode)) fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    return fd;
}

outcome open_for_reading(run_context& run, const file_plan& plan, owned_file& in,
                         struct stat* opened) {
    const file_place& input = plan.input;
    at_step(file_step::open, input.shown);
    const int fd = open_verified(run, input, O_RDONLY, plan.follow, plan.decided, opened);
    if (fd < 0) return outcome::failed;
    in.file = fdopen(fd, "rb");
    if (in.file) return outcome::done;
    const int error = errno;
    close(fd);
    return report_failure(run, input.shown, error);
}
