// Help, version and licence texts (standard output) and the debug dump
// (standard error).
#include <cstdio>

#include "cli/cli.h"
#include "cli/version.h"

namespace {

constexpr char version_line[] =
    "ostrel " OSTREL_VERSION ". Secure encryption and decryption of files and streams.\n";
// Must agree with the LICENSE file.
constexpr char rights_line[] = "Copyright (C) 2026 The ostrel developers.\n";
constexpr char license_notice[] =
    "ostrel is free software, released under the MIT License: you may use,\n"
    "copy, modify and distribute it under the terms of that licence.\n"
    "It is provided \"as is\", without warranty of any kind, express or implied.\n"
    "See the file LICENSE for the full text.\n";

constexpr char default_suffix[] = ".osl";

struct help_line {
    const char* synopsis;
    const char* description;
};

constexpr help_line mode_lines[] = {
    {"-e, --encrypt", "encrypt"},
    {"-d, --decrypt", "decrypt"},
    {"-c, --cat", "cat; decrypt files to stdout"},
    {"-x, --keychange", "change key"},
    {"-u, --unixcrypt", "decrypt old unix crypt files"},
};

// A description may hold one "%s", the default suffix.
constexpr help_line option_lines[] = {
    {"-h, --help", "print this help message and exit"},
    {"-V, --version", "print version info and exit"},
    {"-L, --license", "print license info and exit"},
    {"-v, --verbose", "print progress information to stderr"},
    {"-q, --quiet", "run quietly; suppress warnings"},
    {"-f, --force", "overwrite existing files without asking"},
    {"-m, --mismatch", "allow decryption with non-matching key"},
    {"-E, --envvar var", "read keyword from environment variable (unsafe)"},
    {"-K, --key key", "give keyword on command line (unsafe)"},
    {"-k, --keyfile file", "read keyword(s) as first line(s) from file"},
    {"-P, --prompt prompt", "use this prompt instead of default"},
    {"-S, --suffix .suf", "use suffix .suf instead of default %s"},
    {"-s, --strictsuffix", "refuse to encrypt files which already have suffix"},
    {"-F, --envvar2 var", "as -E for second keyword (for keychange mode)"},
    {"-H, --key2 key", "as -K for second keyword (for keychange mode)"},
    {"-Q, --prompt2 prompt", "as -P for second keyword (for keychange mode)"},
    {"-t, --timid", "prompt twice for encryption keys (default)"},
    {"-b, --brave", "prompt only once for encryption keys"},
    {"-y, --keyref file", "encryption key must match this encrypted file"},
    {"-r, --recursive", "recurse through directories"},
    {"-R, --rec-symlinks", "follow symbolic links as subdirectories"},
    {"-l, --symlinks", "dereference symbolic links"},
    {"-T, --tmpfiles", "use temporary files instead of overwriting (unsafe)"},
    {"-j, --jobs n", "transform up to n files at once (default 0: one per CPU)"},
    {"--progress", "show a status line on a terminal while files are written"},
    {"--", "end of options, filenames follow"},
};

void print_help_line(const help_line& line) {
    std::printf("    %-22s", line.synopsis);
    std::printf(line.description, default_suffix);
    std::putchar('\n');
}

const char* yes_no(int flag) { return flag ? "yes" : "no"; }
const char* or_none(const char* text) { return text ? text : "(none)"; }
const char* known(const char* keyword) { return keyword ? "(known)" : "(unknown)"; }

} // namespace

void print_version() {
    std::fputs(version_line, stdout);
    std::fputs(rights_line, stdout);
}

void print_license() {
    print_version();
    std::putchar('\n');
    std::fputs(license_notice, stdout);
}

void print_help() {
    std::fputs(version_line, stdout);
    std::putchar('\n');
    std::printf("Usage: %s [mode] [options] [file...]\n"
                "       %s [options] [file...]\n"
                "       %s [options] [file...]\n"
                "       %s [options] file...\n\n",
                "ostrel", "osencrypt", "osdecrypt", "oscat");
    std::puts("Modes:");
    for (const help_line& line : mode_lines) print_help_line(line);
    std::puts("\nOptions:");
    for (const help_line& line : option_lines) print_help_line(line);
}

void print_debug_dump(const run_context& run) {
    static constexpr const char* verbosities[] = {"quiet", "normal", "verbose"};
    static constexpr const char* recursions[] = {"no", "dirs, not symlinks", "dirs and symlinks"};
    const run_options& o = run.options;
    std::FILE* out = stderr;
    std::fprintf(out, "\nCommand line:\n");
    std::fprintf(out, "name = %s\n", o.name);
    std::fprintf(out, "verbosity = %s\n", verbosities[o.verbosity + 1]);
    std::fprintf(out, "debug = %d\n", o.debug);
    std::fprintf(out, "keyword = %s\n", known(run.keyword));
    std::fprintf(out, "keyword2 = %s\n", known(run.keyword2));
    std::fprintf(out, "mode = %s\n", o.row().name);
    std::fprintf(out, "filter = %s\n", yes_no(o.filter));
    std::fprintf(out, "tmpfiles = %s\n", yes_no(o.tmpfiles));
    if (o.jobs > 0)
        std::fprintf(out, "jobs = %d\n", o.jobs);
    else
        std::fprintf(out, "jobs = (CPUs)\n");
    std::fprintf(out, "suffix = %s\n", o.suffix);
    std::fprintf(out, "prompt = %s\n", or_none(o.prompt));
    std::fprintf(out, "prompt2 = %s\n", or_none(o.prompt2));
    std::fprintf(out, "recursive = %s\n", recursions[o.recursive]);
    std::fprintf(out, "symlinks = %s\n", yes_no(o.symlinks));
    std::fprintf(out, "force = %s\n", yes_no(o.force));
    std::fprintf(out, "mismatch = %s\n", yes_no(o.mismatch));
    std::fprintf(out, "keyfile = %s\n", or_none(o.keyfile));
    std::fprintf(out, "timid = %s\n", yes_no(o.timid));
    std::fprintf(out, "keyref = %s\n", or_none(o.keyref));
    std::fprintf(out, "strictsuffix = %s\n", yes_no(o.strictsuffix));
    std::fprintf(out, "infiles:");
    for (int i = 0; i < o.infile_count; ++i) std::fprintf(out, " %s", o.infiles[i]);
    std::fprintf(out, "\n\n");
}
