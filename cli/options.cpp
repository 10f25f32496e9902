// The program name, the defaults and the option scan.
#include <getopt.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "base/base.h"
#include "cli/cli.h"

namespace {

struct mode_name {
    const char* name;
    int mode;
};

// The names under which the program selects a mode; any other name is ostrel.
constexpr mode_name mode_names[] = {
    {"osencrypt", mode_encrypt},
    {"osdecrypt", mode_decrypt},
    {"oscat", mode_cat},
};

constexpr char program_name[] = "ostrel";

// The long options without a letter of their own.
constexpr int progress_option = 256;

constexpr char short_options[] = "edcxuhVLvqDfmE:K:k:F:H:S:sP:Q:tby:rRlTj:-";

// In this order, so that the scanner's abbreviation rules give the same
// answers everywhere ("--key" is exact, "--env" ambiguous).
// clang-format off
constexpr option long_options[] = {
    {"encrypt", no_argument, nullptr, 'e'},
    {"decrypt", no_argument, nullptr, 'd'},
    {"cat", no_argument, nullptr, 'c'},
    {"keychange", no_argument, nullptr, 'x'},
    {"unixcrypt", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {"version", no_argument, nullptr, 'V'},
    {"license", no_argument, nullptr, 'L'},
    {"verbose", no_argument, nullptr, 'v'},
    {"quiet", no_argument, nullptr, 'q'},
    {"debug", no_argument, nullptr, 'D'},
    {"force", no_argument, nullptr, 'f'},
    {"mismatch", no_argument, nullptr, 'm'},
    {"envvar", required_argument, nullptr, 'E'},
    {"key", required_argument, nullptr, 'K'},
    {"keyfile", required_argument, nullptr, 'k'},
    {"prompt", required_argument, nullptr, 'P'},
    {"suffix", required_argument, nullptr, 'S'},
    {"strictsuffix", no_argument, nullptr, 's'},
    {"envvar2", required_argument, nullptr, 'F'},
    {"key2", required_argument, nullptr, 'H'},
    {"prompt2", required_argument, nullptr, 'Q'},
    {"timid", no_argument, nullptr, 't'},
    {"brave", no_argument, nullptr, 'b'},
    {"keyref", required_argument, nullptr, 'y'},
    {"recursive", no_argument, nullptr, 'r'},
    {"rec-symlinks", no_argument, nullptr, 'R'},
    {"symlinks", no_argument, nullptr, 'l'},
    {"tmpfiles", no_argument, nullptr, 'T'},
    {"jobs", required_argument, nullptr, 'j'},
    {"progress", no_argument, nullptr, progress_option},
    {nullptr, 0, nullptr, 0},
};
// clang-format on

// -K, -H, -E, -F: a keyword's heap copy, locked in memory where the limit
// allows (kept out of swap; best effort), replaces `*field`, and the text is
// wiped where it was, so that it vanishes from the argument vector or the
// environment. keep_going, or status_fatal when memory ran out (reported).
int take_keyword(const run_options& options, char** field, char* text) {
    const std::size_t size = std::strlen(text) + 1;
    void* copy = std::malloc(size);
    if (!copy) {
        out_of_memory(options);
        return status_fatal;
    }
    lock_memory(copy, size);
    free_keyword(*field);
    *field = static_cast<char*>(std::memcpy(copy, text, size));
    wipe_text(text);
    return keep_going;
}

// -E and -F: the variable stays defined, but with an empty value.
int take_environment_keyword(const run_options& options, char** field, const char* variable) {
    char* value = std::getenv(variable);
    if (value) return take_keyword(options, field, value);
    std::fprintf(stderr, "%s: environment variable %s does not exist.\n", options.name, variable);
    return status_no_key;
}

// The options that only set a field of the run's options to a value.
struct value_option {
    char letter;
    int run_options::*field;
    int value;
};
constexpr value_option value_options[] = {
    {'e', &run_options::mode, mode_encrypt},
    {'d', &run_options::mode, mode_decrypt},
    {'c', &run_options::mode, mode_cat},
    {'x', &run_options::mode, mode_keychange},
    {'u', &run_options::mode, mode_unixcrypt},
    {'v', &run_options::verbosity, 1},
    {'q', &run_options::verbosity, -1},
    {'f', &run_options::force, 1},
    {'m', &run_options::mismatch, 1},
    {'s', &run_options::strictsuffix, 1},
    {'t', &run_options::timid, 1},
    {'b', &run_options::timid, 0},
    {'r', &run_options::recursive, 1},
    {'R', &run_options::recursive, 2},
    {'l', &run_options::symlinks, 1},
    {'T', &run_options::tmpfiles, 1},
};

// The options whose argument becomes a text of the run's options.
struct text_option {
    char letter;
    const char* run_options::*field;
};
constexpr text_option text_options[] = {
    {'k', &run_options::keyfile}, {'P', &run_options::prompt}, {'S', &run_options::suffix},
    {'Q', &run_options::prompt2}, {'y', &run_options::keyref},
};

// -j: a whole decimal number; 0 means one file per CPU, and a larger one
// than the run can use means as many as it can.
int take_jobs(run_options& options, const char* text) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || value < 0 || (errno == ERANGE && value != LONG_MAX)) {
        std::fprintf(stderr, "%s: invalid number of jobs: %s\nTry --help for more information.\n",
                     options.name, text);
        return status_usage;
    }
    options.jobs = value > 1000000 ? 1000000 : int(value);
    return keep_going;
}

// Applies one option letter; -h, -V and -L print and end the run.
int apply_option(run_context& run, int letter) {
    run_options& options = run.options;
    for (const value_option& o : value_options)
        if (o.letter == letter) {
            options.*o.field = o.value;
            return keep_going;
        }
    for (const text_option& o : text_options)
        if (o.letter == letter) {
            options.*o.field = optarg;
            // A reference file makes a typed key be asked once.
            if (letter == 'y') options.timid = 0;
            return keep_going;
        }
    switch (letter) {
    case 'h': print_help(); return status_ok;
    case 'V': print_version(); return status_ok;
    case 'L': print_license(); return status_ok;
    case 'D': options.debug += 1; return keep_going;
    case 'E': return take_environment_keyword(options, &run.keyword, optarg);
    case 'F': return take_environment_keyword(options, &run.keyword2, optarg);
    case 'K': return take_keyword(options, &run.keyword, optarg);
    case 'H': return take_keyword(options, &run.keyword2, optarg);
    case 'j': return take_jobs(options, optarg);
    case progress_option: options.progress = 1; return keep_going;
    case '?':
        // The scanner has said what was wrong.
        std::fputs("Try --help for more information.\n", stderr);
        return status_usage;
    default:
        std::fprintf(stderr, "%s: unimplemented option -- %c\n", options.name, letter);
        return status_usage;
    }
}

} // namespace

void wipe_text(char* text) { std::memset(text, 0, std::strlen(text)); }

int take_program_name(run_options& options, int argc, char** argv) {
    const char* invoked = argc > 0 ? argv[0] : "";
    const char* slash = std::strrchr(invoked, '/');
    const char* last = slash ? slash + 1 : invoked;
    for (const mode_name& entry : mode_names) {
        if (std::strcmp(last, entry.name) == 0) {
            options.name = last;
            options.mode = entry.mode;
            return keep_going;
        }
    }
    options.name = program_name;
    options.mode = mode_encrypt;
    if (argc > 0) {
        argv[0] = strdup(program_name);
        if (!argv[0]) {
            out_of_memory(options);
            return status_fatal;
        }
    }
    return keep_going;
}

int scan_options(run_context& run, int argc, char** argv) {
    run_options& options = run.options;
    // One file per CPU unless -j says otherwise.
    options.jobs = 0;
    int letter;
    while ((letter = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        const int status = apply_option(run, letter);
        if (status != keep_going) return status;
    }
    options.infiles = argv + optind;
    options.infile_count = argc > optind ? argc - optind : 0;
    // "-e --" is a run over an empty list, "-e" a filter; so is "-S --",
    // where the "--" is the suffix, since only the last argument counts.
    options.filter =
        options.infile_count == 0 && (argc <= 1 || std::strcmp(argv[argc - 1], "--") != 0);
    return keep_going;
}
