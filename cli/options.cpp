// The program name, the defaults and the option scan.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "engine/lock_memory.h"
#include "engine/wipe.h"

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

constexpr char short_options[] = "edcxuhVLvqDfmE:K:k:F:H:S:sP:Q:tby:rRlT-";

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
    {nullptr, 0, nullptr, 0},
};
// clang-format on

// -K, -H, -E, -F: a keyword's heap copy, locked in memory where the limit
// allows (kept out
// of swap; best effort), replacing `*field`, and the text wiped where it
// was. keep_going, or status_fatal when memory ran out (reported).
int take_keyword(const run_options& options, char** field, char* text)
{
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
int take_environment_keyword(const run_options& options, char** field, const char* variable)
{
    char* value = std::getenv(variable);
    if (value)
        return take_keyword(options, field, value);
    std::fprintf(stderr, "%s: environment variable %s does not exist.\n", options.name, variable);
    return status_no_key;
}

// Applies one option letter; -h, -V and -L print and end the run.
int apply_option(run_context& run, int letter)
{
    run_options& options = run.options;
    switch (letter) {
    case 'e':
        options.mode = mode_encrypt;
        break;
    case 'd':
        options.mode = mode_decrypt;
        break;
    case 'c':
        options.mode = mode_cat;
        break;
    case 'x':
        options.mode = mode_keychange;
        break;
    case 'u':
        options.mode = mode_unixcrypt;
        break;
    case 'h':
        print_help();
        return status_ok;
    case 'V':
        print_version();
        return status_ok;
    case 'L':
        print_license();
        return status_ok;
    case 'v':
        options.verbosity = 1;
        break;
    case 'q':
        options.verbosity = -1;
        break;
    case 'D':
        options.debug += 1;
        break;
    case 'f':
        options.force = 1;
        break;
    case 'm':
        options.mismatch = 1;
        break;
    case 'E':
        return take_environment_keyword(options, &run.keyword, optarg);
    case 'K':
        // The argument vanishes from the argument vector.
        return take_keyword(options, &run.keyword, optarg);
    case 'k':
        options.keyfile = optarg;
        break;
    case 'P':
        options.prompt = optarg;
        break;
    case 'S':
        options.suffix = optarg;
        break;
    case 's':
        options.strictsuffix = 1;
        break;
    case 'F':
        return take_environment_keyword(options, &run.keyword2, optarg);
    case 'H':
        return take_keyword(options, &run.keyword2, optarg);
    case 'Q':
        options.prompt2 = optarg;
        break;
    case 't':
        options.timid = 1;
        break;
    case 'b':
        options.timid = 0;
        break;
    case 'y':
        options.keyref = optarg;
        options.timid = 0;
        break;
    case 'r':
        options.recursive = 1;
        break;
    case 'R':
        options.recursive = 2;
        break;
    case 'l':
        options.symlinks = 1;
        break;
    case 'T':
        options.tmpfiles = 1;
        break;
    case '?':
        // The scanner has said what was wrong.
        std::fputs("Try --help for more information.\n", stderr);
        return status_usage;
    default:
        std::fprintf(stderr, "%s: unimplemented option -- %c\n", options.name, letter);
        return status_usage;
    }
    return keep_going;
}

} // namespace

void wipe_text(char* text)
{
    std::memset(text, 0, std::strlen(text));
}

int take_program_name(run_options& options, int argc, char** argv)
{
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

int scan_options(run_context& run, int argc, char** argv)
{
    run_options& options = run.options;
    int letter;
    while ((letter = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        const int status = apply_option(run, letter);
        if (status != keep_going)
            return status;
    }
    options.infiles = argv + optind;
    options.infile_count = argc > optind ? argc - optind : 0;
    // "-e --" is a run over an empty list, "-e" a filter; so is "-S --",
    // where the "--" is the suffix, since only the last argument counts.
    options.filter =
        options.infile_count == 0 && (argc <= 1 || std::strcmp(argv[argc - 1], "--") != 0);
    return keep_going;
}
