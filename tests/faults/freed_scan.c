/*
 * Freed-memory scanner for the end-to-end tests, preloaded into the program
 * under test with LD_PRELOAD; never linked into the program itself. Every
 * block the program gives back to the allocator (free, and the old block of
 * a realloc) is searched for the secrets named in OSTREL_SECRETS (hex
 * strings separated by commas: the keyword, its hashed key, round keys,
 * plaintext), and for any 16 bytes in a row of one: a piece of a secret left
 * behind is as much a leak as the whole.
 * A hit is written to the file OSTREL_SECRET_REPORT and ends the process at
 * once with status 99, so a run that leaves a secret behind cannot pass.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <fcntl.h>
#include <malloc.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

enum {
    max_secrets = 8,
    max_secret_bytes = 256,
    window = 16,
    table_size = 4096 /* a power of two above max_secrets * max_secret_bytes */
};

static struct {
    int loaded;
    int count;
    size_t length[max_secrets];
    unsigned char bytes[max_secrets][max_secret_bytes];
    char report[4096];
    /* Every window of the secrets, by a hash of its first 8 bytes: 0 free,
     * else 1 + secret * max_secret_bytes + offset. */
    int table[table_size];
} secrets;

static const unsigned char* window_at(int entry) {
    --entry;
    return secrets.bytes[entry / max_secret_bytes] + entry % max_secret_bytes;
}

static unsigned hash(const unsigned char* bytes) {
    unsigned long long head;
    memcpy(&head, bytes, sizeof head);
    return (unsigned)((head * 0x9e3779b97f4a7c15ull) >> 52) & (table_size - 1);
}

/* The secret a window of the secrets equal to `bytes` belongs to, or -1. */
static int find_window(const unsigned char* bytes) {
    for (unsigned h = hash(bytes); secrets.table[h]; h = (h + 1) & (table_size - 1))
        if (memcmp(window_at(secrets.table[h]), bytes, window) == 0)
            return (secrets.table[h] - 1) / max_secret_bytes;
    return -1;
}

static void add_windows(int secret) {
    for (size_t at = 0; at + window <= secrets.length[secret]; ++at) {
        const unsigned char* bytes = secrets.bytes[secret] + at;
        if (find_window(bytes) >= 0) continue;
        unsigned h = hash(bytes);
        while (secrets.table[h]) h = (h + 1) & (table_size - 1);
        secrets.table[h] = 1 + secret * max_secret_bytes + (int)at;
    }
}

static int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

/* Parsed without allocating: getenv and plain loops only. */
static void load(void) {
    if (secrets.loaded) return;
    secrets.loaded = 1;
    const char* list = getenv("OSTREL_SECRETS");
    const char* report = getenv("OSTREL_SECRET_REPORT");
    if (report) snprintf(secrets.report, sizeof secrets.report, "%s", report);
    for (const char* c = list; c && *c && secrets.count < max_secrets;) {
        size_t n = 0;
        while (c[0] && c[0] != ',' && c[1] && hex_value(c[0]) >= 0 && hex_value(c[1]) >= 0 &&
               n < max_secret_bytes) {
            secrets.bytes[secrets.count][n++] =
                (unsigned char)(hex_value(c[0]) * 16 + hex_value(c[1]));
            c += 2;
        }
        if (n > 0) {
            secrets.length[secrets.count] = n;
            add_windows(secrets.count++);
        }
        while (*c && *c != ',') ++c;
        if (*c == ',') ++c;
    }
}

/* The secret found in `block`, whole or as a window, or -1. */
static int secret_in(const unsigned char* block, size_t size) {
    for (int i = 0; i < secrets.count; ++i)
        if (secrets.length[i] < window && memmem(block, size, secrets.bytes[i], secrets.length[i]))
            return i;
    for (size_t at = 0; at + window <= size; ++at) {
        const int i = find_window(block + at);
        if (i >= 0) return i;
    }
    return -1;
}

static void check(void* block) {
    if (!block) return;
    load();
    size_t size = malloc_usable_size(block);
    const int i = secret_in(block, size);
    if (i >= 0) {
        char line[128];
        int n = snprintf(line, sizeof line, "secret %d found in a released block of %zu bytes\n", i,
                         size);
        int fd =
            (int)syscall(SYS_openat, AT_FDCWD, secrets.report, O_WRONLY | O_APPEND | O_CREAT, 0600);
        if (fd >= 0) {
            syscall(SYS_write, fd, line, (size_t)n);
            syscall(SYS_close, fd);
        }
        syscall(SYS_exit_group, 99);
    }
}

void free(void* block) {
    static void (*real_free)(void*);
    static int resolving;
    if (!real_free) {
        /* dlsym may release memory of its own meanwhile: that is leaked. */
        if (resolving) return;
        resolving = 1;
        real_free = (void (*)(void*))dlsym(RTLD_NEXT, "free");
        resolving = 0;
    }
    check(block);
    real_free(block);
}

void* realloc(void* block, size_t size) {
    static void* (*real_realloc)(void*, size_t);
    if (!real_realloc) real_realloc = (void* (*)(void*, size_t))dlsym(RTLD_NEXT, "realloc");
    /* The old block may be released with its content: a secret in it is
     * left behind unless the block grows where it is. */
    check(block);
    return real_realloc(block, size);
}
