// The whole entry point up to the run: program name, option scan,
// validation, key acquisition from a key file (or standard input), the
// reference check, and the filter run on small in-memory data. Argument
// vectors, the key file's content and two environment variables come from
// the fuzzer. There is no terminal: the process gives up its controlling
// terminal first, so a prompt fails as it does in a detached job.
//
// The entry point returns its status on every path, so everything runs in
// process with coverage. The run-step seam records the options read and
// what each run starts with. Inputs with an argument containing "/" or equal to ".." are skipped,
// so every name the program opens, writes or traverses (key file, reference
// file, operands) lies in a private scratch directory, which is set up
// afresh for every input.
//
// Properties:
//   - the status is one of the table's (0 1 2 3 4 7 8 9 10; 6 cannot occur
//     without a signal);
//   - status 1 (command-line error) runs nothing and writes a message;
//   - every line on standard error carries the program's prefix or is one of
//     the few unprefixed texts (unless the debug dump was asked for);
//   - standard output is written only by help, version and licence (status
//     0) or by a stream run;
//   - nothing runs without the keywords its mode needs, and keywords read
//     from the key file are exactly its first line(s), line ends dropped;
//   - "error reading keyfile" only when the key file really lacks a line.
#include <dirent.h>
#include <fcntl.h>
#include <fuzzer/FuzzedDataProvider.h>
#include <getopt.h>
#include <stdio_ext.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "cli/cli.h"
#include "cli/testing.h"
#include "cli/version.h"
#include "engine/engine.h"
#include "engine/testing.h"
#include "fuzz_check.h"
#include "tests/support/stream_ops.h"

namespace {

struct observation {
    int runs = 0;                  // runs started
    bool keywords_present = true;  // every run had the keywords of its mode
    std::string keyword, keyword2; // as seen at the first run
    bool have_keyword2 = false;
    bool stream_ran = false; // a run that writes to standard output
    std::string keyfile;
    int mode = mode_encrypt;
    int debug = 0;
} seen;

void observe_run(run_step step, const run_context& run) {
    const run_options& o = run.options;
    seen.keyfile = o.keyfile ? o.keyfile : "";
    seen.mode = o.mode;
    seen.debug = o.debug;
    if (step != run_step::started) return;
    ++seen.runs;
    if (run.keyword) seen.keyword = run.keyword;
    if (run.keyword2) {
        seen.keyword2 = run.keyword2;
        seen.have_keyword2 = true;
    }
    if (!run.keyword || (o.row().needs_keyword2 && !run.keyword2)) seen.keywords_present = false;
    seen.stream_ran = o.filter || o.row().output == output_rule::standard_output;
}

int memory_file(const std::string& content) {
    int fd = memfd_create("ostrel-options", 0);
    FUZZ_CHECK(fd >= 0);
    FUZZ_CHECK(write(fd, content.data(), content.size()) == ssize_t(content.size()));
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    return fd;
}

std::string read_all(int fd) {
    std::string text;
    char buffer[4096];
    FUZZ_CHECK(lseek(fd, 0, SEEK_SET) == 0);
    ssize_t n;
    while ((n = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, std::size_t(n));
    return text;
}

// The first lines of a key file as the program must read them; -1 entries
// (fewer lines) are absent.
std::vector<std::string> key_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size() && lines.size() < 2) {
        std::size_t nl = text.find('\n', start);
        std::string line =
            text.substr(start, nl == std::string::npos ? std::string::npos : nl - start);
        if (nl != std::string::npos && !line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
        if (nl == std::string::npos) break;
        start = nl + 1;
    }
    return lines;
}

bool starts_with(const std::string& text, const std::string& prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// In memory where possible: rewriting a small file on a journaling file
// system costs a disk flush per input.
char scratch[64] = "/dev/shm/ostrel-fuzz-options-XXXXXX";

// The program runs in the scratch directory; libFuzzer's own relative paths
// (inputs, artifacts) need the directory it was started in.
int home = -1;
// OSTREL_FUZZ_VERBOSE: describe every run (the environment is cleared later).
bool verbose = false;

// Empties the scratch directory: what a run wrote goes with it.
void clear_scratch() {
    DIR* dir = opendir(scratch);
    FUZZ_CHECK(dir != nullptr);
    while (const dirent* entry = readdir(dir)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..") continue;
        const std::string path = std::string(scratch) + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            FUZZ_CHECK(std::system(("rm -rf '" + path + "'").c_str()) == 0);
        else
            unlink(path.c_str());
    }
    closedir(dir);
}

void remove_scratch() {
    clear_scratch();
    rmdir(scratch);
}

void write_scratch_file(const char* name, const std::string& content) {
    std::FILE* f = std::fopen(name, "wb");
    FUZZ_CHECK(f && std::fwrite(content.data(), 1, content.size(), f) == content.size());
    std::fclose(f);
}

// The files every run finds: the key file, a reference file under the
// keyword "ref", and one too short for a header.
std::string reference;

void set_up_scratch(const std::string& key_text) {
    clear_scratch();
    write_scratch_file("keyfile", key_text);
    write_scratch_file("ref.osl", reference);
    write_scratch_file("short.osl", "0123456789");
}

} // namespace

// ---- The target ----------------------------------------------------------------------

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // No controlling terminal, so that a prompt fails instead of waiting.
    int tty = open("/dev/tty", O_RDWR | O_NOCTTY);
    if (tty >= 0) {
        if (getsid(0) == getpid()) {
            std::fprintf(stderr, "options fuzz target: run it outside a session leader\n");
            std::abort();
        }
        ioctl(tty, TIOCNOTTY);
        close(tty);
    }
    if (!mkdtemp(scratch)) {
        std::strcpy(scratch, "/tmp/ostrel-fuzz-options-XXXXXX");
        FUZZ_CHECK(mkdtemp(scratch) != nullptr);
    }
    FUZZ_CHECK((home = open(".", O_RDONLY | O_DIRECTORY)) >= 0);
    std::atexit(remove_scratch);
    char* sealed = nullptr;
    std::size_t sealed_size = 0;
    std::FILE* ref = open_memstream(&sealed, &sealed_size);
    std::FILE* plain = fmemopen(const_cast<char*>("reference"), 9, "rb");
    FUZZ_CHECK(ref && plain && encrypt_file(plain, ref, "ref") == 0);
    std::fclose(plain);
    std::fclose(ref);
    reference.assign(sealed, sealed_size);
    std::free(sealed);
    run_step_hook = observe_run;
    verbose = std::getenv("OSTREL_FUZZ_VERBOSE") != nullptr;
    clearenv();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    const auto flags = in.ConsumeIntegral<std::uint8_t>();
    static const char* const names[] = {"ostrel",       "/usr/local/bin/osencrypt",
                                        "osdecrypt",    "oscat",
                                        "bin/anything", "osdecrypt",
                                        "oscat",        "ostrel"};
    const std::string argv0 = names[flags & 7];
    const std::string key_text = in.ConsumeRandomLengthString(256);
    const std::string env1 = in.ConsumeRandomLengthString(64);
    const std::string env2 = in.ConsumeRandomLengthString(64);
    std::vector<std::string> args{argv0};
    while (in.remaining_bytes() > 0 && args.size() < 24) {
        std::string a = in.ConsumeRandomLengthString(64);
        if (a.find('/') != std::string::npos || a == "..") return 0;
        args.push_back(a.c_str());
    }

    // The key file, the environment and the three standard streams.
    FUZZ_CHECK(chdir(scratch) == 0);
    set_up_scratch(key_text);
    setenv("PATH", "/usr/bin:/bin", 1);
    setenv("OSK1", env1.c_str(), 1);
    setenv("OSK2", env2.c_str(), 1);
    if (flags & 8)
        setenv("POSIXLY_CORRECT", "1", 1);
    else
        unsetenv("POSIXLY_CORRECT");

    std::fflush(stdout);
    std::fflush(stderr);
    const int saved_in = dup(0), saved_out = dup(1), saved_err = dup(2);
    const int in_fd = memory_file(key_text), out_fd = memory_file(""), err_fd = memory_file("");
    dup2(in_fd, 0);
    dup2(out_fd, 1);
    dup2(err_fd, 2);
    __fpurge(stdin);
    std::clearerr(stdin);

    // Writable copies: the program wipes -K arguments and may replace argv[0].
    std::vector<std::vector<char>> storage;
    std::vector<char*> argv;
    for (const auto& a : args) {
        storage.emplace_back(a.c_str(), a.c_str() + a.size() + 1);
    }
    for (auto& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);
    char* const given_argv0 = argv[0];

    seen = observation{};
    optind = 0; // a fresh scan, POSIXLY_CORRECT looked up again
    const int status = ostrel_main(int(args.size()), argv.data());

    std::fflush(stdout);
    std::fflush(stderr);
    dup2(saved_in, 0);
    dup2(saved_out, 1);
    dup2(saved_err, 2);
    close(saved_in);
    close(saved_out);
    close(saved_err);
    const std::string out = read_all(out_fd), err = read_all(err_fd);
    close(in_fd);
    close(out_fd);
    close(err_fd);
    __fpurge(stdin);
    std::clearerr(stdin);
    const std::string keyfile = seen.keyfile;
    const int mode = seen.mode, debug = seen.debug;
    if (argv[0] != given_argv0) std::free(argv[0]);
    FUZZ_CHECK(fchdir(home) == 0);

    // ---- Properties -----------------------------------------------------------------
    // What the run was, for the report of a violated property.
    auto describe = [&] {
        std::fprintf(stderr, "arguments:");
        for (const auto& a : args) std::fprintf(stderr, " [%s]", a.c_str());
        std::fprintf(stderr, "\nstatus %d\nstandard error:\n%s\n", status, err.c_str());
    };
    if (verbose) describe();
    static const std::set<int> statuses{0, 1, 2, 3, 4, 7, 8, 9, 10};
    FUZZ_CHECK(statuses.count(status) == 1);
    if (status == 1) FUZZ_CHECK(seen.runs == 0 && !err.empty());
    FUZZ_CHECK(seen.keywords_present);

    const std::string last = argv0.substr(argv0.rfind('/') + 1);
    const bool mode_name = last == "osencrypt" || last == "osdecrypt" || last == "oscat";
    const std::string prefix = (mode_name ? last : "ostrel") + ": ";
    const std::string scanner_prefix = (mode_name ? argv0 : "ostrel") + ": ";
    // Messages quote arguments (file and variable names), which may hold
    // line ends; the line check needs arguments without them.
    bool one_line_arguments = true;
    for (const auto& a : args)
        one_line_arguments = one_line_arguments && a.find('\n') == std::string::npos;
    if (debug == 0 && one_line_arguments) {
        static const std::set<std::string> unprefixed{
            "Try --help for more information.", "Sorry, the keys you entered did not match.",
            "The encryption key does not match the reference file.", "Decrypting standard input"};
        std::size_t start = 0;
        while (start < err.size()) {
            std::size_t nl = err.find('\n', start);
            FUZZ_CHECK(nl != std::string::npos); // every message ends its line
            std::string line = err.substr(start, nl - start);
            // -v names each file as it is written, and a file met again,
            // without the prefix.
            const bool verbose_line =
                starts_with(line, "Encrypting ") || starts_with(line, "Decrypting ") ||
                starts_with(line, "Changing key for ") || starts_with(line, "Already visited ");
            if (!(starts_with(line, prefix) || starts_with(line, scanner_prefix) ||
                  unprefixed.count(line) == 1 || verbose_line)) {
                describe();
                FUZZ_CHECK(!"a message without the program's prefix");
            }
            start = nl + 1;
        }
    }
    if (!out.empty() && !seen.stream_ran)
        FUZZ_CHECK(status == 0 && starts_with(out, "ostrel " OSTREL_VERSION ". "));

    const bool key_from_text = keyfile == "keyfile" || keyfile == "-";
    const bool plain_text = key_text.find('\0') == std::string::npos;
    const auto lines = key_lines(key_text);
    const std::size_t needed = mode == mode_keychange ? 2 : 1;
    if (seen.runs > 0 && key_from_text && plain_text) {
        FUZZ_CHECK(lines.size() >= needed);
        FUZZ_CHECK(seen.keyword == lines[0]);
        if (needed == 2) FUZZ_CHECK(seen.have_keyword2 && seen.keyword2 == lines[1]);
    }
    // The message itself, not an argument quoted in another message.
    bool quoted = false;
    for (const auto& a : args) quoted = quoted || a.find("error reading") != std::string::npos;
    const std::string no_line = prefix + "error reading keyfile\n";
    const bool said_no_line =
        err.size() >= no_line.size() &&
        err.compare(err.size() - no_line.size(), no_line.size(), no_line) == 0;
    if (said_no_line && !quoted && key_from_text) {
        FUZZ_CHECK(status == 9);
        if (plain_text) FUZZ_CHECK(lines.size() < needed);
    }
    return 0;
}
