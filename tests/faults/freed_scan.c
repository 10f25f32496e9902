/*
 * Freed-memory scanner for the end-to-end tests, preloaded into the program
 * under test with LD_PRELOAD; never linked into the program itself. Every
 * block the program gives back to the allocator (free, and the old block of
 * a realloc) is searched for the secrets named in OSTREL_SECRETS (hex
 * strings separated by commas: the keyword, its hashed key, round keys).
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

enum { max_secrets = 8, max_secret_bytes = 256 };

static struct {
    int loaded;
    int count;
    size_t length[max_secrets];
    unsigned char bytes[max_secrets][max_secret_bytes];
    char report[4096];
} secrets;

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
        if (n > 0) secrets.length[secrets.count++] = n;
        while (*c && *c != ',') ++c;
        if (*c == ',') ++c;
    }
}

static void check(void* block) {
    if (!block) return;
    load();
    size_t size = malloc_usable_size(block);
    for (int i = 0; i < secrets.count; ++i) {
        if (!memmem(block, size, secrets.bytes[i], secrets.length[i])) continue;
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
