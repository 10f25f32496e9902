// The program name, the defaults and the option scan.
#include <getopt.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "cli/cli.h"
#include "cli/config.h"
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

// A keyword's heap copy, locked in memory where the limit allows (kept out
// of swap; best effort).
char* copy_keyword(const char* text)
{
    std::size_t size = std::strlen(text) + 1;
    void* copy = checked_alloc(size, config.name);
    lock_memory(copy, size);
    return static_cast<char*>(std::memcpy(copy, text, size));
}

// -K and -H: the argument becomes the keyword and vanishes from the
// argument vector.
void take_argument_keyword(char** field, char* argument)
{
    free_keyword(*field);
    *field = copy_keyword(argument);
    wipe_text(argument);
}

// -E and -F: the variable stays defined, but with an empty value.
void take_environment_keyword(char** field, const char* variable)
{
    char* value = std::getenv(variable);
    if (!value) {
        std::fprintf(stderr, "%s: environment variable %s does not exist.\n", config.name,
                     variable);
        std::exit(9);
    }
    free_keyword(*field);
    *field = copy_keyword(value);
    wipe_text(value);
}

[[noreturn]] void try_help()
{
    std::fputs("Try --help for more information.\n", stderr);
    std::exit(1);
}

} // namespace

void wipe_text(char* text)
{
    std::memset(text, 0, std::strlen(text));
}

void take_program_name(int argc, char** argv)
{
    const char* invoked = argc > 0 ? argv[0] : "";
    const char* slash = std::strrchr(invoked, '/');
    const char* last = slash ? slash + 1 : invoked;
    for (const mode_name& entry : mode_names) {
        if (std::strcmp(last, entry.name) == 0) {
            config.name = last;
            config.mode = entry.mode;
            return;
        }
    }
    config.name = program_name;
    config.mode = mode_encrypt;
    if (argc > 0) {
        argv[0] = strdup(program_name);
        if (!argv[0])
            fatal(program_name);
    }
}

void set_defaults()
{
    config.verbosity = 0;
    config.debug = 0;
    config.keyword = nullptr;
    config.keyword2 = nullptr;
    config.filter = 0;
    config.tmpfiles = 0;
    config.suffix = ".osl";
    config.prompt = nullptr;
    config.prompt2 = nullptr;
    config.recursive = 0;
    config.symlinks = 0;
    config.force = 0;
    config.mismatch = 0;
    config.infiles = nullptr;
    config.infile_count = 0;
    config.keyfile = nullptr;
    config.timid = 1;
    config.keyref = nullptr;
    config.strictsuffix = 0;
}

void scan_options(int argc, char** argv)
{
    int letter;
    while ((letter = getopt_long(argc, argv, short_options, long_options, nullptr)) != -1) {
        switch (letter) {
        case 'e':
            config.mode = mode_encrypt;
            break;
        case 'd':
            config.mode = mode_decrypt;
            break;
        case 'c':
            config.mode = mode_cat;
            break;
        case 'x':
            config.mode = mode_keychange;
            break;
        case 'u':
            config.mode = mode_unixcrypt;
            break;
        case 'h':
            print_help();
            std::exit(0);
        case 'V':
            print_version();
            std::exit(0);
        case 'L':
            print_license();
            std::exit(0);
        case 'v':
            config.verbosity = 1;
            break;
        case 'q':
            config.verbosity = -1;
            break;
        case 'D':
            config.debug += 1;
            break;
        case 'f':
            config.force = 1;
            break;
        case 'm':
            config.mismatch = 1;
            break;
        case 'E':
            take_environment_keyword(&config.keyword, optarg);
            break;
        case 'K':
            take_argument_keyword(&config.keyword, optarg);
            break;
        case 'k':
            config.keyfile = optarg;
            break;
        case 'P':
            config.prompt = optarg;
            break;
        case 'S':
            config.suffix = optarg;
            break;
        case 's':
            config.strictsuffix = 1;
            break;
        case 'F':
            take_environment_keyword(&config.keyword2, optarg);
            break;
        case 'H':
            take_argument_keyword(&config.keyword2, optarg);
            break;
        case 'Q':
            config.prompt2 = optarg;
            break;
        case 't':
            config.timid = 1;
            break;
        case 'b':
            config.timid = 0;
            break;
        case 'y':
            config.keyref = optarg;
            config.timid = 0;
            break;
        case 'r':
            config.recursive = 1;
            break;
        case 'R':
            config.recursive = 2;
            break;
        case 'l':
            config.symlinks = 1;
            break;
        case 'T':
            config.tmpfiles = 1;
            break;
        case '?':
            try_help(); // the scanner has said what was wrong
        default:
            std::fprintf(stderr, "%s: unimplemented option -- %c\n", config.name, letter);
            std::exit(1);
        }
    }
    config.infiles = argv + optind;
    config.infile_count = argc > optind ? argc - optind : 0;
    // "-e --" is a run over an empty list, "-e" a filter; so is "-S --",
    // where the "--" is the suffix, since only the last argument counts.
    config.filter =
        config.infile_count == 0 && (argc <= 1 || std::strcmp(argv[argc - 1], "--") != 0);
}
