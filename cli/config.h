// The one process-wide configuration record, and the small routines that
// every part of the program uses for fatal failures and for reading lines.
// Written by the option scan; from key acquisition on only the keywords and
// prompts change.
#pragma once

#include <cstddef>
#include <cstdio>

enum : int {
    mode_encrypt = 0,
    mode_decrypt = 1,
    mode_keychange = 2,
    mode_cat = 3,
    mode_unixcrypt = 4,
};

struct run_config {
    const char* name;    // prefix of every message; not owned
    int verbosity;       // -1 quiet, 0 normal, 1 verbose
    int debug;           // number of -D
    char* keyword;       // owned; first key (old key in keychange mode)
    char* keyword2;      // owned; new key in keychange mode
    int mode;            // mode_encrypt .. mode_unixcrypt
    int filter;          // no file operands: standard input to standard output
    int tmpfiles;        // write through a temporary file instead of in place
    const char* suffix;  // marks encrypted files; "" means no suffix at all
    const char* prompt;  // first prompt, or null
    const char* prompt2; // second prompt, or null
    int recursive;       // 0 no, 1 dirs but not links to dirs, 2 dirs and links
    int symlinks;        // dereference symbolic links named as files
    int force;           // overwrite without asking; no terminal checks
    int mismatch;        // decrypt with a key that does not match
    char** infiles;      // the operands, pointing into the argument vector
    int infile_count;
    const char* keyfile; // key file, "-" for standard input, or null
    int timid;           // ask twice for a key that will encrypt
    const char* keyref;  // reference file for the encryption key, or null
    int strictsuffix;    // refuse to encrypt files that already have suffix
};

extern run_config config;

// Writes "prefix: strerror(errno)\n" to standard error and exits with 2.
[[noreturn]] void fatal(const char* prefix);
// malloc/realloc that call fatal(prefix) instead of returning null.
void* checked_alloc(std::size_t size, const char* prefix);
void* checked_realloc(void* block, std::size_t size, const char* prefix);

// One whole line of any length from `in`, without its newline and without a
// carriage return directly before it; a last line without newline is kept
// whole. Null only when the input is already at its end. Heap text, cut at
// the line's first zero byte, in a block of exactly its length + 1 (so
// free_keyword wipes all of it); every intermediate copy is wiped before it
// is freed.
char* read_line(std::FILE* in, const char* prefix);
// The same for a keyword: its blocks are also locked in memory where the
// limit allows, and `zero_inside`, unless null, tells whether a zero byte
// cut the line.
char* read_keyword_line(std::FILE* in, const char* prefix, bool* zero_inside);

// Asks "prompt suffix" on standard error and reads one line from /dev/tty
// with echo off (restored whatever happens: an interrupt meanwhile gives the
// terminal its echo back and then ends the process by SIGINT as usual). Null
// at end of input. Exits with status 2 when /dev/tty cannot be opened.
char* prompt_keyword(const char* prompt, const char* suffix, const char* prefix);
