/*
 * Fault interposer for the end-to-end fault tests, preloaded into the
 * program under test with LD_PRELOAD; never linked into the program itself.
 * It sits in front of the C library's file calls and, as told by environment
 * variables that only it reads, makes one of them fail (or raises a signal
 * just before it) on descriptors and streams that refer to a given path:
 *
 *   OSTREL_FAULT_OP     read write pwrite close ftruncate fsync fread fwrite
 *                       fflush fclose rename unlink posix_fallocate (nothing
 *                       happens without);
 *                       create: an open that creates the file, whose action
 *                       (a signal only) comes just after the file exists
 *   OSTREL_FAULT_PATH   the file's absolute path (for rename and unlink, and
 *                       renameat, renameat2 and unlinkat, the old name); a trailing "*"
 *                       matches every path that begins with the rest
 *   OSTREL_FAULT_NTH    the first matching call that fails (1-based, default 1)
 *   OSTREL_FAULT_COUNT  how many matching calls fail from there on (default 1)
 *   OSTREL_FAULT_ERRNO  the error number given (default EIO)
 *   OSTREL_FAULT_ACTION fail (default); sigint, sigterm, sighup or sigkill:
 *                       the process sends itself that signal (kill, not
 *                       raise) just before doing the call, and the call log
 *                       gets the line "signal N" once it is sent; append (write only): a line is
 *                       appended to the file first, as another writer would;
 *                       truncate (write only): the file is cut to half its
 *                       length first, as another writer would; occupy (rename
 *                       only): the new name is made, as by another process,
 *                       before the call fails; reader_gone (write only): only
 *                       calls of threads other than the first (the I/O helper)
 *                       match, and the call sends that thread SIGPIPE and fails,
 *                       as a write to a pipe whose reader has left does
 *
 * A failing close or fclose still releases the descriptor, as the kernel does
 * when close reports a deferred write error. A failing fread or fwrite sets
 * the stream's error indicator, as a real failure of the underlying call does.
 *
 *   OSTREL_FSYNC_SKIP=1 makes every fsync return success at once without
 *   syncing anything: the program as it would be without durable writing,
 *   for measuring what that costs (bench/fsync_cost.sh).
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

enum op_kind {
    op_none,
    op_read,
    op_write,
    op_pwrite,
    op_close,
    op_ftruncate,
    op_fsync,
    op_fread,
    op_fwrite,
    op_fflush,
    op_fclose,
    op_rename,
    op_unlink,
    op_create,
    op_fallocate
};

static const char* const op_names[] = {
    "",       "read",   "write",  "pwrite", "close",  "ftruncate", "fsync",          "fread",
    "fwrite", "fflush", "fclose", "rename", "unlink", "create",    "posix_fallocate"};

static struct {
    int loaded;
    enum op_kind op;
    char path[PATH_MAX];
    size_t path_length;
    int prefix;
    long nth, count, seen;
    int error;
    int signal_number;
    int append;
    int truncate;
    int occupy;
    int reader_gone;
    long short_io; /* OSTREL_SHORT_IO: at most this many bytes per call */
    int eintr;     /* OSTREL_EINTR: first read, write and pwrite fail once */
    int log_fd;    /* OSTREL_CALL_LOG: descriptor of the log, or -1 */
    int fsync_skip;
} config;

/* Loaded as the library is, before the program has a second thread: a
 * thread that found the work begun by another would go on with an empty
 * configuration, and the fault would never strike. */
__attribute__((constructor)) static void load_config(void) {
    if (config.loaded) return;
    config.loaded = 1;
    const char* op = getenv("OSTREL_FAULT_OP");
    for (int i = 1; op && i < (int)(sizeof op_names / sizeof op_names[0]); ++i)
        if (strcmp(op, op_names[i]) == 0) config.op = (enum op_kind)i;
    const char* path = getenv("OSTREL_FAULT_PATH");
    if (path) {
        snprintf(config.path, sizeof config.path, "%s", path);
        config.path_length = strlen(config.path);
        if (config.path_length > 0 && config.path[config.path_length - 1] == '*') {
            config.prefix = 1;
            config.path[--config.path_length] = '\0';
        }
    }
    const char* nth = getenv("OSTREL_FAULT_NTH");
    const char* count = getenv("OSTREL_FAULT_COUNT");
    const char* error = getenv("OSTREL_FAULT_ERRNO");
    const char* action = getenv("OSTREL_FAULT_ACTION");
    config.nth = nth ? atol(nth) : 1;
    config.count = count ? atol(count) : 1;
    config.error = error ? atoi(error) : EIO;
    if (action && strcmp(action, "sigint") == 0) config.signal_number = SIGINT;
    if (action && strcmp(action, "sigkill") == 0) config.signal_number = SIGKILL;
    if (action && strcmp(action, "sigterm") == 0) config.signal_number = SIGTERM;
    if (action && strcmp(action, "sighup") == 0) config.signal_number = SIGHUP;
    if (action && strcmp(action, "append") == 0) config.append = 1;
    if (action && strcmp(action, "truncate") == 0) config.truncate = 1;
    if (action && strcmp(action, "occupy") == 0) config.occupy = 1;
    if (action && strcmp(action, "reader_gone") == 0) config.reader_gone = 1;
    const char* short_io = getenv("OSTREL_SHORT_IO");
    config.short_io = short_io ? atol(short_io) : 0;
    const char* eintr = getenv("OSTREL_EINTR");
    config.eintr = eintr && strcmp(eintr, "1") == 0;
    config.log_fd = -1;
    const char* log = getenv("OSTREL_CALL_LOG");
    if (log && *log)
        config.log_fd = (int)syscall(SYS_openat, AT_FDCWD, log,
                                     O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    const char* skip = getenv("OSTREL_FSYNC_SKIP");
    config.fsync_skip = skip && strcmp(skip, "1") == 0;
}

static int path_matches(const char* path) {
    if (!path || config.path_length == 0) return 0;
    if (config.prefix) return strncmp(path, config.path, config.path_length) == 0;
    return strcmp(path, config.path) == 0;
}

static int fd_matches(int fd) {
    char link[64], target[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, target, sizeof target - 1);
    if (n < 0) return 0;
    target[n] = '\0';
    return path_matches(target);
}

/* Relative names are made absolute against the working directory. */
static int name_matches(const char* name) {
    if (name[0] == '/') return path_matches(name);
    char full[PATH_MAX];
    if (!getcwd(full, sizeof full)) return 0;
    size_t used = strlen(full);
    snprintf(full + used, sizeof full - used, "/%s", name);
    return path_matches(full);
}

/* The same for a name relative to an open directory (or AT_FDCWD). */
static int name_at_matches(int dir_fd, const char* name) {
    if (name[0] == '/' || dir_fd == AT_FDCWD) return name_matches(name);
    char link[64], full[PATH_MAX];
    snprintf(link, sizeof link, "/proc/self/fd/%d", dir_fd);
    ssize_t n = readlink(link, full, sizeof full - 1);
    if (n < 0) return 0;
    full[n] = '\0';
    snprintf(full + n, sizeof full - (size_t)n, "/%s", name);
    return path_matches(full);
}

/* ---- Short and interrupted I/O -------------------------------------- */

static int is_regular(int fd) {
    struct stat st;
    return fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
}

/* How many bytes a read or write on `fd` may move this time. */
static size_t io_limit(int fd, size_t count) {
    if (config.short_io > 0 && count > (size_t)config.short_io && is_regular(fd))
        return (size_t)config.short_io;
    return count;
}

/* 1 once per kind of call when OSTREL_EINTR asks for an interrupted call. */
static int interrupted_once(int fd, int* done) {
    if (!config.eintr || *done || !is_regular(fd)) return 0;
    *done = 1;
    errno = EINTR;
    return 1;
}

/* ---- The call log ------------------------------------------------------ */

static void fd_path(int fd, char* out, size_t size) {
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, out, size - 1);
    out[n < 0 ? 0 : n] = '\0';
}

static void at_path(int dir_fd, const char* name, char* out, size_t size) {
    if (name[0] == '/') {
        snprintf(out, size, "%s", name);
        return;
    }
    char dir[PATH_MAX];
    if (dir_fd == AT_FDCWD) {
        if (!getcwd(dir, sizeof dir)) dir[0] = '\0';
    } else {
        fd_path(dir_fd, dir, sizeof dir);
    }
    snprintf(out, size, "%s/%s", dir, name);
}

/* One line: the call and its arguments, written with the system call
 * itself so the log never passes through the calls it records. */
static void log_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void log_line(const char* format, ...) {
    if (config.log_fd < 0) return;
    char line[2 * PATH_MAX + 128];
    va_list args;
    va_start(args, format);
    int n = vsnprintf(line, sizeof line - 1, format, args);
    va_end(args);
    if (n < 0) return;
    if ((size_t)n > sizeof line - 2) n = (int)sizeof line - 2;
    line[n++] = '\n';
    syscall(SYS_write, config.log_fd, line, (size_t)n);
}

/* The first write to each descriptor since it was opened is logged. */
static unsigned char written_since_open[1024];

static void log_first_write(int fd) {
    if (config.log_fd < 0 || fd < 3 || fd >= (int)sizeof written_since_open ||
        written_since_open[fd])
        return;
    written_since_open[fd] = 1;
    char path[PATH_MAX];
    fd_path(fd, path, sizeof path);
    log_line("write %s", path);
}

static void log_open(int dir_fd, const char* name, int flags, mode_t mode, int fd) {
    if (config.log_fd < 0 || fd < 0) return;
    if (fd < (int)sizeof written_since_open) written_since_open[fd] = 0;
    char path[PATH_MAX];
    at_path(dir_fd, name, path, sizeof path);
    if (flags & O_CREAT)
        log_line("create %s%s %04o", path, (flags & O_EXCL) ? " excl" : "", (unsigned)mode);
    else
        log_line("open %s", path);
}

static void log_fd_call(const char* call, int fd) {
    if (config.log_fd < 0) return;
    char path[PATH_MAX];
    fd_path(fd, path, sizeof path);
    log_line("%s %s", call, path);
}

static void log_pair(const char* call, int from_dir, const char* from, int to_dir, const char* to) {
    if (config.log_fd < 0) return;
    char a[PATH_MAX], b[PATH_MAX];
    at_path(from_dir, from, a, sizeof a);
    at_path(to_dir, to, b, sizeof b);
    log_line("%s %s %s", call, a, b);
}

/* The descriptor of the call being checked, for the append and truncate
 * actions; the new name of the rename being checked, for occupy. */
static int strike_fd = -1;
static int occupy_dir = AT_FDCWD;
static const char* occupy_name;

/* Whether the calling thread may match: with reader_gone only the helper's. */
static int thread_matches(void) { return !config.reader_gone || syscall(SYS_gettid) != getpid(); }

/* 1 when this call is to fail (errno is then set); a signal action (or an
 * append or a cut, as another writer would) is carried out here and the
 * call then proceeds normally. */
static int strike(enum op_kind op, int matched) {
    if (config.op != op || !matched) return 0;
    long n = ++config.seen;
    if (n < config.nth || (config.count > 0 && n >= config.nth + config.count)) return 0;
    if (config.signal_number) {
        /* To the process, as a terminal or another process sends it: a
         * call made on a thread that holds signals back (the program's I/O
         * helper) sees it taken by the thread that does not. */
        kill(getpid(), config.signal_number);
        log_line("signal %d", config.signal_number);
        return 0;
    }
    if (config.append) {
        static const char line[] = "appended by another writer\n";
        struct stat st;
        if (strike_fd >= 0 && fstat(strike_fd, &st) == 0)
            (void)!pwrite(strike_fd, line, sizeof line - 1, st.st_size);
        return 0;
    }
    if (config.truncate) {
        struct stat st;
        if (strike_fd >= 0 && fstat(strike_fd, &st) == 0)
            (void)!syscall(SYS_ftruncate, strike_fd, st.st_size / 2);
        return 0;
    }
    if (config.occupy && occupy_name) {
        static const char line[] = "made by another process\n";
        int fd = (int)syscall(SYS_openat, occupy_dir, occupy_name,
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            (void)!syscall(SYS_write, fd, line, sizeof line - 1);
            syscall(SYS_close, fd);
        }
    }
    if (config.reader_gone) syscall(SYS_tgkill, getpid(), syscall(SYS_gettid), SIGPIPE);
    errno = config.error;
    return 1;
}

/* The next definition of the call (the C library's, or a sanitizer's
 * interceptor in front of it); the configuration is read on first use. */
#define REAL(name)                                                                                 \
    static __typeof__(&name) real_##name;                                                          \
    if (!real_##name) real_##name = (__typeof__(&name))dlsym(RTLD_NEXT, #name);                    \
    load_config()

static int read_interrupted, write_interrupted, pwrite_interrupted;

ssize_t read(int fd, void* buffer, size_t count) {
    REAL(read);
    if (strike(op_read, config.op == op_read && fd_matches(fd))) return -1;
    if (interrupted_once(fd, &read_interrupted)) return -1;
    return real_read(fd, buffer, io_limit(fd, count));
}

ssize_t write(int fd, const void* buffer, size_t count) {
    REAL(write);
    strike_fd = fd;
    if (strike(op_write, config.op == op_write && fd_matches(fd) && thread_matches())) return -1;
    if (interrupted_once(fd, &write_interrupted)) return -1;
    log_first_write(fd);
    return real_write(fd, buffer, io_limit(fd, count));
}

ssize_t pwrite(int fd, const void* buffer, size_t count, off_t offset) {
    REAL(pwrite);
    if (strike(op_pwrite, config.op == op_pwrite && fd_matches(fd))) return -1;
    if (interrupted_once(fd, &pwrite_interrupted)) return -1;
    log_first_write(fd);
    return real_pwrite(fd, buffer, io_limit(fd, count), offset);
}

/* The mode argument of an open that creates a file. */
#define CREATION_MODE(flags, mode)                                                                 \
    mode_t mode = 0;                                                                               \
    if ((flags) & (O_CREAT | O_TMPFILE)) {                                                         \
        va_list args;                                                                              \
        va_start(args, flags);                                                                     \
        mode = (mode_t)va_arg(args, int);                                                          \
        va_end(args);                                                                              \
    }

int openat(int dir_fd, const char* name, int flags, ...) {
    REAL(openat);
    CREATION_MODE(flags, mode);
    int fd = real_openat(dir_fd, name, flags, mode);
    log_open(dir_fd, name, flags, mode, fd);
    if (fd >= 0 && (flags & O_CREAT) && config.op == op_create) {
        char path[PATH_MAX];
        at_path(dir_fd, name, path, sizeof path);
        strike(op_create, path_matches(path));
    }
    return fd;
}

int open(const char* name, int flags, ...) {
    CREATION_MODE(flags, mode);
    return openat(AT_FDCWD, name, flags, mode);
}

int fchmod(int fd, mode_t mode) {
    REAL(fchmod);
    int r = real_fchmod(fd, mode);
    if (r == 0 && config.log_fd >= 0) {
        char path[PATH_MAX];
        fd_path(fd, path, sizeof path);
        log_line("fchmod %s %04o", path, (unsigned)mode);
    }
    return r;
}

int fchown(int fd, uid_t owner, gid_t group) {
    REAL(fchown);
    int r = real_fchown(fd, owner, group);
    if (r == 0) log_fd_call("fchown", fd);
    return r;
}

int ftruncate(int fd, off_t length) {
    REAL(ftruncate);
    if (strike(op_ftruncate, config.op == op_ftruncate && fd_matches(fd))) return -1;
    return real_ftruncate(fd, length);
}

int fsync(int fd) {
    REAL(fsync);
    log_fd_call("fsync", fd);
    if (strike(op_fsync, config.op == op_fsync && fd_matches(fd))) return -1;
    if (config.fsync_skip) return 0;
    return real_fsync(fd);
}

int close(int fd) {
    REAL(close);
    int fail = strike(op_close, config.op == op_close && fd_matches(fd));
    int saved = errno;
    int result = real_close(fd);
    if (!fail) return result;
    errno = saved;
    return -1;
}

size_t fread(void* buffer, size_t size, size_t count, FILE* stream) {
    REAL(fread);
    if (strike(op_fread, config.op == op_fread && fd_matches(fileno(stream)))) {
        stream->_flags |= _IO_ERR_SEEN;
        return 0;
    }
    return real_fread(buffer, size, count, stream);
}

size_t fwrite(const void* buffer, size_t size, size_t count, FILE* stream) {
    REAL(fwrite);
    log_first_write(fileno(stream));
    if (strike(op_fwrite, config.op == op_fwrite && fd_matches(fileno(stream)))) {
        stream->_flags |= _IO_ERR_SEEN;
        return 0;
    }
    return real_fwrite(buffer, size, count, stream);
}

int fflush(FILE* stream) {
    REAL(fflush);
    if (stream && strike(op_fflush, config.op == op_fflush && fd_matches(fileno(stream)))) {
        stream->_flags |= _IO_ERR_SEEN;
        return EOF;
    }
    return real_fflush(stream);
}

int fclose(FILE* stream) {
    REAL(fclose);
    int fail = strike(op_fclose, config.op == op_fclose && fd_matches(fileno(stream)));
    int saved = errno;
    int result = real_fclose(stream);
    if (!fail) return result;
    errno = saved;
    return EOF;
}

int rename(const char* from, const char* to) {
    REAL(rename);
    occupy_dir = AT_FDCWD;
    occupy_name = to;
    if (strike(op_rename, config.op == op_rename && name_matches(from))) return -1;
    return real_rename(from, to);
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    REAL(renameat);
    occupy_dir = to_dir;
    occupy_name = to;
    if (strike(op_rename, config.op == op_rename && name_at_matches(from_dir, from))) return -1;
    int r = real_renameat(from_dir, from, to_dir, to);
    if (r == 0) log_pair("renameat", from_dir, from, to_dir, to);
    return r;
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned int flags) {
    REAL(renameat2);
    occupy_dir = to_dir;
    occupy_name = to;
    if (strike(op_rename, config.op == op_rename && name_at_matches(from_dir, from))) return -1;
    int r = real_renameat2(from_dir, from, to_dir, to, flags);
    if (r == 0)
        log_pair((flags & RENAME_NOREPLACE) ? "renameat2-noreplace" : "renameat2", from_dir, from,
                 to_dir, to);
    return r;
}

int unlinkat(int dir_fd, const char* name, int flags) {
    REAL(unlinkat);
    if (strike(op_unlink, config.op == op_unlink && name_at_matches(dir_fd, name))) return -1;
    char path[PATH_MAX] = "";
    if (config.log_fd >= 0) at_path(dir_fd, name, path, sizeof path);
    int r = real_unlinkat(dir_fd, name, flags);
    if (r == 0) log_line("unlinkat %s", path);
    return r;
}

int unlink(const char* name) {
    REAL(unlink);
    if (strike(op_unlink, config.op == op_unlink && name_matches(name))) return -1;
    return real_unlink(name);
}

/* Returns the error number, as posix_fallocate does, rather than setting errno. */
int posix_fallocate(int fd, off_t offset, off_t length) {
    REAL(posix_fallocate);
    if (strike(op_fallocate, config.op == op_fallocate && fd_matches(fd))) return errno;
    return real_posix_fallocate(fd, offset, length);
}
