#include "support/harness.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

namespace harness {

std::string program_path(const std::string& name) {
    return std::string(OSTREL_BIN_DIR) + "/" + name;
}

bool can_drop_privileges() { return geteuid() == 0; }

// The emulator answers for /proc/self, but not for the entries of another
// process: a child forked from this one runs, to the kernel, the same
// executable as this process really does, which is this test program only
// when nothing stands between it and the CPU.
bool under_emulation() {
    static const bool emulated = [] {
        char self[4096] = {};
        if (readlink("/proc/self/exe", self, sizeof self - 1) < 0) return false;
        int hold[2];
        if (pipe(hold) != 0) return false;
        const pid_t child = fork();
        if (child < 0) {
            close(hold[0]);
            close(hold[1]);
            return false;
        }
        if (child == 0) {
            close(hold[1]);
            char c;
            (void)!read(hold[0], &c, 1); // until the parent has looked
            _exit(0);
        }
        close(hold[0]);
        char seen[4096] = {};
        const std::string link = "/proc/" + std::to_string(child) + "/exe";
        const bool readable = readlink(link.c_str(), seen, sizeof seen - 1) >= 0;
        close(hold[1]);
        waitpid(child, nullptr, 0);
        return readable && std::strcmp(self, seen) != 0;
    }();
    return emulated;
}

namespace {

    // The copies behind reachable_copy: a directory of mode 0755 under /tmp
    // holding the bin directory and any other file asked for by its base name.
    struct reachable_directory {
        std::string path;
        reachable_directory() {
            char tmpl[] = "/tmp/ostrel-bin-XXXXXX";
            if (!mkdtemp(tmpl) || chmod(tmpl, 0755) != 0)
                throw std::runtime_error("mkdtemp for the program copy");
            path = tmpl;
            DIR* bin = opendir(OSTREL_BIN_DIR);
            if (!bin) throw std::runtime_error("opendir " OSTREL_BIN_DIR);
            while (const dirent* e = readdir(bin)) {
                std::string name = e->d_name;
                if (name != "." && name != "..") add(std::string(OSTREL_BIN_DIR) + "/" + name);
            }
            closedir(bin);
        }
        ~reachable_directory() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
        }
        std::string add(const std::string& from) {
            namespace fs = std::filesystem;
            const std::string to = path + "/" + fs::path(from).filename().string();
            std::error_code ec;
            if (fs::exists(fs::symlink_status(to, ec))) return to;
            if (fs::is_symlink(fs::symlink_status(from, ec)))
                fs::copy_symlink(from, to, ec);
            else
                fs::copy_file(from, to, ec);
            if (ec) throw std::runtime_error("copy " + from + ": " + ec.message());
            if (!fs::is_symlink(fs::symlink_status(to, ec))) chmod(to.c_str(), 0755);
            return to;
        }
    };

} // namespace

std::string reachable_copy(const std::string& path) {
    static reachable_directory directory;
    return directory.add(path);
}

namespace {

    void child_fail(const char* what) {
        dprintf(2, "harness: %s: %s\n", what, std::strerror(errno));
        _exit(127);
    }

    void redirect(const std::string& path, int flags, int target) {
        int fd = ::open(path.c_str(), flags, 0644);
        if (fd < 0) child_fail(path.c_str());
        if (fd != target) {
            dup2(fd, target);
            close(fd);
        }
    }

} // namespace

running_program start(const run_options& options) {
    running_program p;
    p.timeout_seconds = options.timeout_seconds;
    int in_pipe[2], out_pipe[2], err_pipe[2];
    if (pipe2(in_pipe, O_CLOEXEC) != 0 || pipe2(out_pipe, O_CLOEXEC) != 0 ||
        pipe2(err_pipe, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe");
    int master = -1, slave = -1;
    if (options.use_tty || options.stdin_is_tty || options.stdout_is_tty || options.stderr_is_tty) {
        if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0)
            throw std::runtime_error("openpty");
        fcntl(master, F_SETFD, FD_CLOEXEC);
        fcntl(slave, F_SETFD, FD_CLOEXEC);
        // Canonical mode hands the program one line per read, whatever is
        // queued here in advance. Queued before the program starts, the
        // answers' echo comes before anything it writes to the terminal:
        // written after the fork, a program that asked at once could beat it.
        if (!options.tty_input.empty()) {
            const std::string& t = options.tty_input;
            ssize_t n = write(master, t.data(), t.size());
            (void)n;
        }
    }
    std::string path = program_path(options.name);
    std::vector<std::pair<std::string, std::string>> env_set = options.env_set;
    if (options.unprivileged) {
        path = reachable_copy(path);
        for (auto& [name, value] : env_set)
            if (name == "LD_PRELOAD") value = reachable_copy(value);
    }
    std::string argv0 = options.argv0.empty() ? path : options.argv0;
    std::vector<std::string> strings{argv0};
    strings.insert(strings.end(), options.args.begin(), options.args.end());

    pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork");
    if (pid == 0) {
        setsid(); // no controlling terminal unless we give it one
        if (slave >= 0 && ioctl(slave, TIOCSCTTY, 0) != 0) child_fail("TIOCSCTTY");
        if (options.stdin_is_tty)
            dup2(slave, 0);
        else if (!options.stdin_path.empty())
            redirect(options.stdin_path, O_RDONLY, 0);
        else
            dup2(in_pipe[0], 0);
        if (options.stdout_is_tty)
            dup2(slave, 1);
        else if (!options.stdout_path.empty())
            redirect(options.stdout_path, O_WRONLY, 1);
        else
            dup2(out_pipe[1], 1);
        dup2(options.stderr_is_tty ? slave : err_pipe[1], 2);
        if (!options.cwd.empty() && chdir(options.cwd.c_str()) != 0) child_fail("chdir");
        for (const auto& name : options.env_unset) unsetenv(name.c_str());
        for (const auto& [name, value] : env_set) setenv(name.c_str(), value.c_str(), 1);
        signal(SIGINT, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        if (options.child_setup) options.child_setup();
        if (options.unprivileged && (setgroups(0, nullptr) != 0 || setgid(unprivileged_user) != 0 ||
                                     setuid(unprivileged_user) != 0))
            child_fail("dropping to the unprivileged user");
        std::vector<char*> argv;
        for (auto& s : strings) argv.push_back(s.data());
        argv.push_back(nullptr);
        execv(path.c_str(), argv.data());
        child_fail("execv");
    }
    p.pid = pid;
    close(in_pipe[0]);
    close(out_pipe[1]);
    close(err_pipe[1]);
    p.slave_fd = slave;
    p.in_fd = in_pipe[1];
    p.out_fd = out_pipe[0];
    p.err_fd = err_pipe[0];
    p.master_fd = master;
    if (options.stdin_is_tty || !options.stdin_path.empty()) {
        close(p.in_fd);
        p.in_fd = -1;
    } else {
        p.pending_input = options.input;
        fcntl(p.in_fd, F_SETFL, O_NONBLOCK);
    }
    return p;
}

run_result finish(running_program& p) {
    run_result r;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(p.timeout_seconds);
    if (p.in_fd >= 0 && p.pending_input.empty()) {
        close(p.in_fd);
        p.in_fd = -1;
    }
    size_t input_done = 0;
    bool exited = false;
    int wstatus = 0;
    while (true) {
        std::vector<pollfd> fds;
        if (p.out_fd >= 0) fds.push_back({p.out_fd, POLLIN, 0});
        if (p.err_fd >= 0) fds.push_back({p.err_fd, POLLIN, 0});
        if (p.master_fd >= 0) fds.push_back({p.master_fd, POLLIN, 0});
        if (p.in_fd >= 0) fds.push_back({p.in_fd, POLLOUT, 0});
        if (p.out_fd < 0 && p.err_fd < 0) {
            // Both pipes closed: the child is gone or about to be.
            if (!exited && waitpid(p.pid, &wstatus, 0) == p.pid) exited = true;
            break;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            kill(p.pid, SIGKILL);
            r.timed_out = true;
            deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        }
        int n = poll(fds.data(), fds.size(), 100);
        if (n < 0 && errno != EINTR) break;
        for (auto& f : fds) {
            if (!f.revents) continue;
            if (f.fd == p.in_fd) {
                if (f.revents & (POLLERR | POLLHUP)) {
                    close(p.in_fd);
                    p.in_fd = -1;
                    continue;
                }
                ssize_t w = write(p.in_fd, p.pending_input.data() + input_done,
                                  p.pending_input.size() - input_done);
                if (w > 0) input_done += size_t(w);
                if ((w < 0 && errno != EAGAIN) || input_done == p.pending_input.size()) {
                    close(p.in_fd);
                    p.in_fd = -1;
                }
                continue;
            }
            char buf[65536];
            ssize_t got = read(f.fd, buf, sizeof buf);
            std::string* sink = f.fd == p.out_fd ? &r.out : f.fd == p.err_fd ? &r.err : &r.tty;
            if (got > 0) {
                sink->append(buf, size_t(got));
            } else if (got == 0 || (errno != EINTR && errno != EAGAIN)) {
                if (f.fd == p.out_fd)
                    p.out_fd = -1;
                else if (f.fd == p.err_fd)
                    p.err_fd = -1;
                else
                    p.master_fd = -1;
                close(f.fd);
            }
        }
    }
    if (!exited) waitpid(p.pid, &wstatus, 0);
    if (p.master_fd >= 0) {
        // Drain what the child left on the terminal.
        fcntl(p.master_fd, F_SETFL, O_NONBLOCK);
        char buf[4096];
        ssize_t got;
        while ((got = read(p.master_fd, buf, sizeof buf)) > 0) r.tty.append(buf, size_t(got));
        close(p.master_fd);
        p.master_fd = -1;
    }
    if (p.in_fd >= 0) close(p.in_fd);
    p.in_fd = -1;
    if (p.slave_fd >= 0) close(p.slave_fd);
    p.slave_fd = -1;
    if (WIFEXITED(wstatus))
        r.status = WEXITSTATUS(wstatus);
    else if (WIFSIGNALED(wstatus)) {
        r.signal = WTERMSIG(wstatus);
        r.status = 128 + r.signal;
    }
    return r;
}

run_result run(const run_options& options) {
    running_program p = start(options);
    return finish(p);
}

temp_dir::temp_dir() {
    char tmpl[] = "/tmp/ostrel-test-XXXXXX";
    if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp");
    path = tmpl;
}

temp_dir::~temp_dir() {
    namespace fs = std::filesystem;
    std::error_code ec;
    // Give every directory its write and search bits back so removal works
    // after tests that took them away.
    for (auto it = fs::recursive_directory_iterator(
             path, fs::directory_options::skip_permission_denied, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->is_directory(ec) && !it->is_symlink(ec)) chmod(it->path().c_str(), 0700);
    }
    chmod(path.c_str(), 0700);
    fs::remove_all(path, ec);
}

void write_file(const std::string& path, const std::string& data) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(data.data(), std::streamsize(data.size()));
    if (!f) throw std::runtime_error("write_file " + path);
}

std::string read_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string random_bytes(std::size_t n, unsigned seed) {
    std::mt19937 gen(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = char(gen() & 0xFF);
    return s;
}

} // namespace harness
